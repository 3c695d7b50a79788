#pragma once
// The controller's Cartesian form: X, Y, Z in millimetres and W, P, R in
// degrees, rotations about the fixed X, Y and Z axes applied in that order
// (R = Rz(R)·Ry(P)·Rx(W)).

#include <array>

#include "ortholink/pose.hpp"

namespace ortholink {

using Xyzwpr = std::array<double, 6>;

Pose pose_from_xyzwpr(const Xyzwpr& xyzwpr) noexcept;

// At P = ±90 degrees W and R are not separable; W is then reported as 0.
Xyzwpr xyzwpr_from_pose(const Pose& pose) noexcept;

}  // namespace ortholink
