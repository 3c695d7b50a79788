#pragma once
// The arm as installed: a robot with a tool on its flange, mounted somewhere
// in a cell, with the controller's joint limits and rated joint speeds.
// Plain values; nothing here allocates except the solution lists of ik.

#include <array>
#include <optional>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

// Limits on J2 + J3 (degrees, inclusive): the angle between upper arm and
// forearm that the arm's mechanics limit.
struct ElbowLimit {
    double lower;
    double upper;

    friend bool operator==(const ElbowLimit&, const ElbowLimit&) = default;
};

struct Arm {
    Crx robot;
    std::optional<CrxModel> model;      // set when built from a model (meshes, URDF names)
    Pose base{};                        // the robot's base frame in the world frame
    Pose tool{};                        // the TCP in the flange frame
    JointVector lower{};                // controller degrees, inclusive
    JointVector upper{};
    std::optional<ElbowLimit> elbow;    // none: J2 + J3 is not limited
    JointVector max_speed{};            // rated joint speeds, degrees per second

    // The model's published limits and speeds, identity base and tool.
    static Arm from_model(CrxModel model) noexcept;
    // -180 .. 180 on every joint, no elbow limit, 180 degrees per second.
    static Arm from_robot(const Crx& robot) noexcept;

    friend bool operator==(const Arm&, const Arm&) = default;
};

// Height of the J2 axis above the mounting face (the base_link of the
// maker's robot description), millimetres.
double mounting_height(CrxModel model) noexcept;

// The TCP pose in the world frame: base · fk(joints) · tool.
Pose arm_fk(const Arm& arm, const JointVector& joints) noexcept;

// True when every joint and J2 + J3 lie within the arm's limits (NaN is outside).
bool arm_within_limits(const Arm& arm, const JointVector& joints) noexcept;

// Every joint vector within the limits that puts the TCP on `world_tcp`: the
// flange solutions in the solver's order, each followed by its whole-turn
// variants within the limits (J1 varying slowest, each joint's turns ascending).
std::vector<JointVector> arm_ik(const Arm& arm, const Pose& world_tcp);

// The solution of arm_ik with the smallest largest-joint motion from
// `reference`, measured without wrapping (first on ties); none when empty or
// when the reference is not finite.
std::optional<JointVector> arm_ik_closest(const Arm& arm, const Pose& world_tcp, const JointVector& reference);

// Geometric Jacobian at the TCP in the world frame: rows 0-2 linear velocity
// (mm per rad), rows 3-5 angular velocity (rad per rad); column j is the
// derivative with respect to controller joint Jj in radians.
using Jacobian = std::array<std::array<double, 6>, 6>;
Jacobian arm_jacobian(const Arm& arm, const JointVector& joints) noexcept;

// Yoshikawa's sqrt(det(J·Jᵀ)) with the linear rows in metres.
double arm_manipulability(const Arm& arm, const JointVector& joints) noexcept;

}  // namespace ortholink
