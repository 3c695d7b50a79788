#pragma once
// Inverse kinematics: every joint configuration that puts the flange at a
// target pose. Never throws; an unreachable target gives an empty list.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

enum class SolutionKind : std::uint8_t {
    Regular = 0,         // wrist point off the J1 axis; the arm plane follows from it
    AxisDegenerate = 1,  // wrist point on the J1 axis; J1 follows from the elbow
    SingularFamily = 2,  // one representative of a continuous family of solutions
};

struct IkSolution {
    JointVector joints;  // controller degrees, polished
    double residual;     // largest absolute element difference of the flange matrix
    double theta;        // circle angle of the candidate, radians, not wrapped
    SolutionKind kind;
};

// Largest pose error of a kept solution.
inline constexpr double kAcceptResidual = 1e-8;
// Two solutions closer than this (radians, whole turns ignored) are one.
inline constexpr double kDuplicateDistance = 1e-5;

// Running maximum of |wrap(a_i - b_i)| in radians; NaN terms are skipped.
double joint_distance(const JointVector& a, const JointVector& b) noexcept;

// Solutions in candidate order; within a candidate the primary before its mirror.
std::vector<IkSolution> ik(const Crx& robot, const Pose& target);

// The solution nearest `reference` (first on ties), or nothing when unreachable.
std::optional<IkSolution> ik_closest(const Crx& robot, const Pose& target, const JointVector& reference);

// The member name as plain text ("AxisDegenerate"); empty for a code outside the enumeration.
std::string_view kind_name(SolutionKind kind) noexcept;

// "IkSolution(joints=[10.0000, ...], residual=1.137e-13, kind=Regular)": the
// joints to four decimals, the residual to four digits. Throws
// std::invalid_argument for a kind outside the enumeration.
std::string to_string(const IkSolution& solution);

}  // namespace ortholink
