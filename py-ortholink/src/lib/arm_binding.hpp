#pragma once
// Shared by the units that take arms and forgiving poses as arguments.

#include <vector>

#include "ortholink/arm.hpp"
#include "classes.hpp"
#include "python.hpp"

namespace ortholink::py {

// A pose argument read as Arm reads it: a rotation part within rounding of a
// rotation is replaced by the nearest rotation; anything farther, a last row
// off 0 0 0 1 or a non-finite entry raises ValueError naming `name`.
Pose near_rigid_pose(PyObject* object, const char* name);

// An (n, 4, 4) array-like or a sequence of poses, each read as near_rigid_pose.
std::vector<Pose> near_rigid_poses(PyObject* object, const char* name);

// Methods of Arm written beside what they use: path planning (path.cpp) and
// the ROS 2 / URDF export (urdf.cpp).
extern const MethodTable arm_path_methods;
extern const MethodTable arm_urdf_methods;

}  // namespace ortholink::py
