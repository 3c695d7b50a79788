#pragma once
// PathPlan.trajectory, written beside the Trajectory class (trajectory.cpp).

#include "classes.hpp"

namespace ortholink::py {

extern const MethodTable plan_trajectory_methods;

}  // namespace ortholink::py
