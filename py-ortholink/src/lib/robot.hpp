#pragma once
// Shared by the class families that take robots and models as arguments.

#include "ortholink/robot.hpp"
#include "classes.hpp"
#include "python.hpp"

namespace ortholink::py {

// The model held by a CrxModel argument (TypeError naming `name` otherwise).
CrxModel model_from_any(PyObject* object, const char* name);

// Methods of Crx written beside what they use: inverse kinematics
// (solution.cpp), batches (batch.cpp), limits and XYZWPR (limits.cpp), ROS 2
// joint conventions (urdf.cpp).
extern const MethodTable crx_ik_methods;
extern const MethodTable crx_batch_methods;
extern const MethodTable crx_limits_methods;
extern const MethodTable crx_urdf_methods;

}  // namespace ortholink::py
