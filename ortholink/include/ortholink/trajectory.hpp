#pragma once
// Timing a path: the rows of a plan joined by a C² spline, then the fastest
// motion along it under joint speed, joint acceleration and TCP speed limits
// (time-optimal path parameterisation by reachability analysis, TOPP-RA),
// sampled at a fixed period.

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/path.hpp"

namespace ortholink {

struct TrajectoryLimits {
    JointVector max_speed{};            // degrees per second
    JointVector max_acceleration{};     // degrees per second squared
    std::optional<double> tcp_speed{};  // millimetres per second; none: not limited
};

struct Trajectory {
    std::vector<double> time;               // seconds from 0, every `period` and at the end
    std::vector<JointVector> joints;        // controller degrees
    std::vector<JointVector> velocity;      // degrees per second
    std::vector<JointVector> acceleration;  // degrees per second squared
    std::vector<double> waypoint_times;     // when each row is passed; NaN for rows without joints
    double duration = 0.0;
    double period = 0.0;
    double deviation = 0.0;  // bound on any joint's distance from the straight moves between rows
    TrajectoryLimits limits;
};

// Samples beyond this are refused (a period far too short for the path).
inline constexpr std::size_t kMaxTrajectorySamples = 10'000'000;

// Every sample lies within the limits, the samples being exact evaluations of
// the continuous motion, which the timing keeps kLimitMargin inside its limits
// at the grid points and checks between them. The margin costs at most that
// fraction of the duration.
inline constexpr double kLimitMargin = 1e-3;

// Rows that cannot be joined or timed within the arm's and the motion's
// limits: a row outside the joint limits, a spline that added knots do not
// bring within them, or limits so low that the path speed or the duration is
// not representable. what() says which.
struct TrajectoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why a plan cannot be timed as one motion (empty when it can): a break after
// its first reached row is a stop and reconfiguration, which no smooth path
// follows.
std::string trajectory_problem(const PathPlan& plan);

// The fastest motion through `rows` (NaN rows skipped, repeated rows merged),
// at rest on the first and last. The path is the natural cubic spline through
// the rows parameterised by joint-space arc length (degrees, Euclidean over
// the six joints); it passes through every row, and its distance on any joint
// from the straight move between consecutive rows, at the same fraction of
// the way, is at most `deviation`. Where the spline would leave the arm's
// joint limits (its elbow limit included), knots are added on the straight
// move between the neighbouring rows until it stays within them to kLimitSnap
// (arm_snap_to_limits puts the samples on them); rows must be within them to
// that too. The TCP speed limit is on the speed of the arm's TCP. Limits must
// be positive and `period` positive; more than kMaxTrajectorySamples samples
// throw std::invalid_argument, and what cannot be timed within the limits
// TrajectoryError. The first sample is at 0 on the first row, the last at the
// duration on the last row. `cancel` is asked every few milliseconds; when it
// returns true the call throws BatchCancelled. With a `checker` (of this arm),
// the path keeps clear wherever the straight move between two rows is: an
// interval of the spline that comes into contact there gets knots on that
// move as for the limits, until it is clear (TrajectoryError when they do
// not clear it); a move that is not clear itself is not looked at.
Trajectory time_rows(const Arm& arm, std::span<const JointVector> rows, const TrajectoryLimits& limits,
                     double period, const CancelCheck& cancel = {}, const CollisionChecker* checker = nullptr);

// time_rows of the plan's rows; the plan must have no trajectory_problem.
Trajectory time_plan(const Arm& arm, const PathPlan& plan, const TrajectoryLimits& limits, double period,
                     const CancelCheck& cancel = {}, const CollisionChecker* checker = nullptr);

// The samples as CSV: a header line "time,j1,...,j6,v1,...,v6,a1,...,a6",
// then one line per sample, every number in its shortest exact form.
std::string trajectory_csv(const Trajectory& trajectory);

// "Trajectory(samples=1251, duration=10.0000, period=0.0080)".
std::string to_string(const Trajectory& trajectory);

}  // namespace ortholink
