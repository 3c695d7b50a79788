#pragma once
// Forward kinematics: controller joint angles (degrees) to the pose of every
// frame of the chain. Stack values only; never allocates.

#include <array>

#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

// J1..J6 in controller degrees; the J3 rotation applied is J2 + J3.
using JointVector = std::array<double, 6>;

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;

// Half a turn about (1, 0, 1)/√2 from the J6 frame to the flange frame.
inline constexpr Quat kFlangeRotation{0.7071067811865476, 0.0, 0.7071067811865476, 6.123233995736766e-17};

// Frames 1..6; the last one is the flange.
std::array<Pose, 6> fk_all(const Crx& robot, const JointVector& joints) noexcept;

// Exactly frame 6 of fk_all.
Pose fk(const Crx& robot, const JointVector& joints) noexcept;

}  // namespace ortholink
