#pragma once
// Gauss–Newton refinement of a joint vector against forward kinematics, and
// the pose residual used to judge solutions.

#include <array>
#include <cstdint>

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::solver {

// Flange matrix of fk(joints) minus the target's: rotation entries row by row
// (0..8, dimensionless), then translation x, y, z (9..11, mm).
using Residual = std::array<double, 12>;

Residual residuals(const Crx& robot, const JointVector& joints, const Pose& target) noexcept;

// Largest |r_i|, a running maximum from 0 that skips NaN entries: never NaN.
double pose_error(const Residual& r) noexcept;

// d residuals / d joints (per degree), 12×6 row-major, from one fk_all call.
std::array<double, 72> jacobian(const Crx& robot, const JointVector& joints) noexcept;

// Refined joints; the start vector itself when no step is accepted.
JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target) noexcept;

// What a refinement did, for tests and diagnostics.
enum class PolishStop : unsigned char {
    Converged,     // pose error below the threshold
    StepTooLarge,  // a step component above the limit; not applied
    NoDecrease,    // the trial did not strictly lower the error; not applied
    SolveFailed,   // the decomposition failed (non-finite or not converged)
    StepLimit,     // every allowed step was accepted
};

struct PolishTrace {
    int accepted = 0;              // steps applied
    int cholesky_steps = 0;        // attempted steps solved by the normal equations
    int svd_steps = 0;             // attempted steps solved by the decomposition of J
    bool cholesky_failed = false;  // some factorisation hit a non-positive pivot
    double initial_error = 0.0;
    double final_error = 0.0;
    PolishStop stop = PolishStop::Converged;
};

// As above, also filling `trace` when it is not null.
JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target,
                          PolishTrace* trace) noexcept;

// The target as the residual reads it, prepared once for many refinements.
struct PreparedTarget {
    std::array<double, 9> rotation;  // row-major, from the target quaternion
    Vec3 translation;
};

PreparedTarget prepare_target(const Pose& target) noexcept;

// The joint rotations of forward kinematics last evaluated, reused when an
// angle repeats bit for bit: a mirror solution shares J5 and J6 with its
// primary. Starts empty; one per solver call, not shared between threads.
class JointRotations {
public:
    // rotation_from_scaled_axis(axis of joint k, angle), as forward kinematics computes it.
    Quat get(const Crx& robot, int k, double angle) noexcept;

private:
    std::array<std::uint64_t, 6> angle_bits_{};
    std::array<Quat, 6> rotations_{};
    std::array<bool, 6> known_{};
};

// polish_joints against a prepared target; its final pose error goes to `trace`.
JointVector polish_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                          JointRotations& rotations, PolishTrace* trace) noexcept;

// The six joint rotations forward kinematics uses for `joints`.
std::array<Quat, 6> joint_rotations(const Crx& robot, const JointVector& joints, JointRotations& rotations) noexcept;

// joint_rotations of two vectors at once (a primary and its mirror share
// J5 and J6, evaluated once); the same values.
std::array<std::array<Quat, 6>, 2> joint_rotation_pair(const Crx& robot, const JointVector& a,
                                                       const JointVector& b) noexcept;

// The same with the joint rotations of the start vector already evaluated, so
// that the costly part of the first evaluation of several starts can run
// side by side.
JointVector polish_joints(const Crx& robot, const JointVector& joints, const std::array<Quat, 6>& start_rotations,
                          const PreparedTarget& target, JointRotations& rotations, PolishTrace* trace) noexcept;

// polish_joints for two starts (a primary and its mirror) whose first
// evaluation runs side by side; a start that is not already converged
// continues on its own. Same results as two separate calls.
std::array<JointVector, 2> polish_pair(const Crx& robot, const std::array<JointVector, 2>& starts,
                                       const std::array<std::array<Quat, 6>, 2>& start_rotations,
                                       const PreparedTarget& target, JointRotations& rotations,
                                       std::array<PolishTrace, 2>& traces) noexcept;

// Pose error above the acceptance threshold up to which a refined vector is
// still worth a second try (see rescue_joints).
inline constexpr double kRescueError = 1e-3;

// Pose error of an accepted vector above which it is sharpened (see
// sharpen_joints): polishing stops below 1e-12, and rounding keeps a few
// ordinary solutions up to about 2.4e-12, which are left as they are.
inline constexpr double kSharpenFrom = 3e-12;

// Second refinement of a vector Gauss–Newton left just short of acceptance
// where the Jacobian loses rank: with the arm stretched (J2 + J3 = 90) and
// J5 = 0, within 0.1 degree, the vector is moved onto those configurations
// and refined there. Other vectors come back unchanged. Bounded iterations,
// stack only. `error` gets the pose error of the returned vector, never above
// the start's.
JointVector rescue_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                          JointRotations& rotations, double& error) noexcept;

// The vector moved onto the stretched or folded arm with J5 at 0 or 180 and
// refined there (see rescue_joints), when it lies within 0.1 degree of that
// place; false, and nothing written, otherwise. There a solution can also
// have exact neighbours a few 1e-4 rad away (J1 and J4 nearly coaxial), so
// a converged vector can stand next to the one on that place.
bool snap_stretched(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                    JointRotations& rotations, JointVector& out, double& error) noexcept;

// The other five joints refined against `target` with joint `held` (0 … 5)
// kept where it is: Gauss–Newton on the normal equations, steps halved until
// they lower the pose error (bounded iterations, stack only). `error` gets
// the pose error of the returned vector.
JointVector refine_holding(const Crx& robot, const JointVector& joints, std::size_t held, const Pose& target,
                           double& error) noexcept;

// The same with two different joints `first` and `second` held.
JointVector refine_holding_pair(const Crx& robot, const JointVector& joints, std::size_t first, std::size_t second,
                                const Pose& target, double& error) noexcept;

// Further refinement of a vector that polishing left above its convergence
// threshold, for solutions where the Jacobian loses rank (the error then falls
// only with the square of the distance, and ordinary steps stall while the
// joints are still 1e-5 rad away): steps through the pseudo-inverse, halved
// until they lower the error, without the usual stopping threshold. Bounded
// iterations, stack only. `error` gets the pose error of the returned vector,
// never above the start's.
JointVector sharpen_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                           JointRotations& rotations, double& error) noexcept;

}  // namespace ortholink::solver
