#include "ik/polish.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "chain.hpp"
#include "ik/dense.hpp"
#include "ik/lanes.hpp"

namespace ortholink::solver {
namespace {

// Pose error below which a vector needs no further refinement.
constexpr double kConvergedError = 1e-12;
// Gauss–Newton steps attempted at most.
constexpr int kMaxSteps = 25;
// Largest joint change (degrees) a single step may make.
constexpr double kMaxStepDegrees = 10.0;
// The normal equations are trusted only while the diagonal of their factor
// spans less than this ratio (five orders of magnitude).
constexpr double kCholeskyRatio = 1e-5;

using generic::rotation_matrix;

// Two quaternions and two poses, lane by lane: the forward kinematics and
// residual of two start vectors evaluated together.
struct Quat2 {
    V2 x;
    V2 y;
    V2 z;
    V2 w;
};
struct Pose2 {
    Quat2 q;
    std::array<V2, 3> t;
};

Quat2 pair_of(const Quat& a, const Quat& b) noexcept {
    return Quat2{V2{a.x, b.x}, V2{a.y, b.y}, V2{a.z, b.z}, V2{a.w, b.w}};
}

// Residual of a flange pose (one or two lanes) against a prepared target.
template <class P>
[[gnu::always_inline]] inline auto residual_of(const P& flange, const PreparedTarget& target) noexcept {
    using S = decltype(flange.q.x);
    const auto ra = rotation_matrix(flange.q);
    std::array<S, 12> r;
    for (int i = 0; i < 9; ++i) {
        r[i] = ra[i] - target.rotation[i];
    }
    for (int i = 0; i < 3; ++i) {
        r[9 + i] = flange.t[i] - target.translation[i];
    }
    return r;
}

// Largest |r_i| lane by lane, a running maximum from 0 that skips NaN entries.
template <class S>
[[gnu::always_inline]] inline S largest_magnitude(const std::array<S, 12>& r) noexcept {
    S m{};
    for (const S& v : r) {
        const S a = lane_fabs(v);
        m = a > m ? a : m;  // false for NaN, so NaN entries are skipped
    }
    return m;
}

[[gnu::always_inline]] inline std::array<Pose, 6> frames_from(const Crx& robot, const std::array<Quat, 6>& q) noexcept {
    return generic::chain_frames<Pose>(robot, q);
}

// The joint rotations of fk_all, through the cache.
std::array<Quat, 6> rotations_of(const Crx& robot, const JointVector& joints, JointRotations& cache) noexcept {
    const std::array<double, 6> a = generic::joint_angles(joints);
    return {cache.get(robot, 0, a[0]), cache.get(robot, 1, a[1]), cache.get(robot, 2, a[2]),
            cache.get(robot, 3, a[3]), cache.get(robot, 4, a[4]), cache.get(robot, 5, a[5])};
}

Pose flange_from(const Crx& robot, const std::array<Quat, 6>& q) noexcept {
    return frames_from(robot, q)[5];
}

// Pose errors (lane 0, lane 1) of the flanges of two sets of joint rotations.
V2 pose_errors2(const Crx& robot, const std::array<Quat, 6>& a, const std::array<Quat, 6>& b,
                const PreparedTarget& target) noexcept {
    std::array<Quat2, 6> q;
    for (int k = 0; k < 6; ++k) {
        q[k] = pair_of(a[k], b[k]);
    }
    return largest_magnitude(residual_of(generic::chain_frames<Pose2>(robot, q)[5], target));
}

}  // namespace

Quat JointRotations::get(const Crx& robot, int k, double angle) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(angle);
    if (known_[k] && angle_bits_[k] == bits) {
        return rotations_[k];
    }
    const Quat q = generic::rotation_from_scaled_axis<Quat>(robot.axes[k], angle);
    known_[k] = true;
    angle_bits_[k] = bits;
    rotations_[k] = q;
    return q;
}

PreparedTarget prepare_target(const Pose& target) noexcept {
    return PreparedTarget{rotation_matrix(target.q), target.t};
}

Residual residuals(const Crx& robot, const JointVector& joints, const Pose& target) noexcept {
    return residual_of(fk_all(robot, joints)[5], prepare_target(target));
}

double pose_error(const Residual& r) noexcept {
    return largest_magnitude(r);
}

namespace {

// Normal equations JᵀJ·δ = -Jᵀr for the N unknowns whose columns of J are
// the rows of `col`, into the leading N×N block of `a` and the first N
// entries of `b`.
template <int N>
void normal_equations(const double (&col)[N][12], const Residual& r, Mat6& a, Vec6& b) noexcept {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j <= i; ++j) {
            double s = 0.0;
            for (int k = 0; k < 12; ++k) {
                s += col[i][k] * col[j][k];
            }
            a[i * 6 + j] = s;
            a[j * 6 + i] = s;
        }
        double s = 0.0;
        for (int k = 0; k < 12; ++k) {
            s += col[i][k] * r[k];
        }
        b[i] = -s;
    }
}

// Jacobian from the frames of one fk_all call.
Mat12x6 jacobian_of(const Crx& robot, const std::array<Pose, 6>& frames) noexcept {
    const auto rot = rotation_matrix(frames[5].q);
    const Vec3& t = frames[5].t;

    // Raw columns per radian of the kinematic rotation angle of each joint.
    double raw[6][12];
    for (int k = 0; k < 6; ++k) {
        const Vec3 omega = k == 0 ? robot.axes[0] : rotate(frames[k - 1].q, robot.axes[k]);
        const Vec3& p = frames[k].t;
        // [ω]×·R, column by column: ω × (column j of R).
        for (int j = 0; j < 3; ++j) {
            const Vec3 col = cross(omega, Vec3{rot[j], rot[3 + j], rot[6 + j]});
            raw[k][j] = col[0];
            raw[k][3 + j] = col[1];
            raw[k][6 + j] = col[2];
        }
        const Vec3 lever = cross(omega, Vec3{t[0] - p[0], t[1] - p[1], t[2] - p[2]});
        raw[k][9] = lever[0];
        raw[k][10] = lever[1];
        raw[k][11] = lever[2];
    }

    // The kinematic J3 angle is J2 + J3, so J2 also turns the J3 axis.
    Mat12x6 jac;
    for (int i = 0; i < 12; ++i) {
        jac[i * 6 + 0] = raw[0][i] * kDegToRad;
        jac[i * 6 + 1] = (raw[1][i] + raw[2][i]) * kDegToRad;
        for (int k = 2; k < 6; ++k) {
            jac[i * 6 + k] = raw[k][i] * kDegToRad;
        }
    }
    return jac;
}

}  // namespace

std::array<double, 72> jacobian(const Crx& robot, const JointVector& joints) noexcept {
    return jacobian_of(robot, fk_all(robot, joints));
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target) noexcept {
    return polish_joints(robot, joints, target, nullptr);
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target,
                          PolishTrace* trace) noexcept {
    JointRotations rotations;
    return polish_joints(robot, joints, prepare_target(target), rotations, trace);
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                          JointRotations& rotations, PolishTrace* trace) noexcept {
    return polish_joints(robot, joints, joint_rotations(robot, joints, rotations), target, rotations, trace);
}

std::array<Quat, 6> joint_rotations(const Crx& robot, const JointVector& joints, JointRotations& rotations) noexcept {
    return rotations_of(robot, joints, rotations);
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const std::array<Quat, 6>& start_rotations,
                          const PreparedTarget& target, JointRotations& rotations, PolishTrace* trace) noexcept {
    PolishTrace local;
    PolishTrace& tr = trace != nullptr ? *trace : local;
    tr = PolishTrace{};

    JointVector q = joints;
    // The joint rotations of the last accepted vector also give its Jacobian.
    std::array<Quat, 6> rot = start_rotations;
    Residual r = residual_of(flange_from(robot, rot), target);
    double e = pose_error(r);
    tr.initial_error = e;
    tr.stop = PolishStop::StepLimit;

    for (int step = 0; step < kMaxSteps; ++step) {
        if (e < kConvergedError) {
            tr.stop = PolishStop::Converged;
            break;
        }
        const Mat12x6 jac = jacobian_of(robot, frames_from(robot, rot));
        double col[6][12];
        for (int k = 0; k < 12; ++k) {
            for (int i = 0; i < 6; ++i) {
                col[i][k] = jac[k * 6 + i];
            }
        }
        Mat6 a;
        Vec6 b;
        normal_equations(col, r, a, b);

        Vec6 delta;
        Mat6 l;
        bool use_cholesky = cholesky(a, l);
        if (use_cholesky) {
            double lmax = l[0];
            double lmin = l[0];
            for (int i = 1; i < 6; ++i) {
                lmax = std::max(lmax, l[i * 6 + i]);
                lmin = std::min(lmin, l[i * 6 + i]);
            }
            use_cholesky = lmax > 0.0 && lmin > kCholeskyRatio * lmax;
        } else {
            tr.cholesky_failed = true;
        }
        if (use_cholesky) {
            ++tr.cholesky_steps;
            delta = cholesky_solve(l, b);
        } else {
            ++tr.svd_steps;
            Svd12x6 d;
            if (!svd(jac, d)) {
                tr.stop = PolishStop::SolveFailed;
                break;
            }
            Vec12 minus_r;
            for (int k = 0; k < 12; ++k) {
                minus_r[k] = -r[k];
            }
            delta = svd_solve(d, minus_r);
        }

        // A non-finite step is refused too: its trial residual would be NaN,
        // whose pose error (NaN skipped) could pass for an improvement.
        bool too_large = false;
        for (const double v : delta) {
            too_large = too_large || !(std::fabs(v) <= kMaxStepDegrees);
        }
        if (too_large) {
            tr.stop = PolishStop::StepTooLarge;
            break;
        }

        JointVector trial;
        for (int i = 0; i < 6; ++i) {
            trial[i] = q[i] + delta[i];
        }
        const std::array<Quat, 6> trial_rot = rotations_of(robot, trial, rotations);
        const Residual r_trial = residual_of(flange_from(robot, trial_rot), target);
        const double e_trial = pose_error(r_trial);
        if (e_trial >= e) {
            tr.stop = PolishStop::NoDecrease;
            break;
        }
        q = trial;
        rot = trial_rot;
        r = r_trial;
        e = e_trial;
        ++tr.accepted;
    }
    if (tr.accepted == kMaxSteps && e < kConvergedError) {
        tr.stop = PolishStop::Converged;
    }
    tr.final_error = e;
    return q;
}

std::array<JointVector, 2> polish_pair(const Crx& robot, const std::array<JointVector, 2>& starts,
                                       const std::array<std::array<Quat, 6>, 2>& start_rotations,
                                       const PreparedTarget& target, JointRotations& rotations,
                                       std::array<PolishTrace, 2>& traces) noexcept {
    const V2 errors = pose_errors2(robot, start_rotations[0], start_rotations[1], target);
    std::array<JointVector, 2> out;
    for (int lane = 0; lane < 2; ++lane) {
        if (errors[lane] < kConvergedError) {
            // What polish_joints records when it stops before its first step.
            traces[lane] = PolishTrace{};
            traces[lane].initial_error = errors[lane];
            traces[lane].final_error = errors[lane];
            out[lane] = starts[lane];
        } else {
            out[lane] = polish_joints(robot, starts[lane], start_rotations[lane], target, rotations, &traces[lane]);
        }
    }
    return out;
}

std::array<std::array<Quat, 6>, 2> joint_rotation_pair(const Crx& robot, const JointVector& a,
                                                       const JointVector& b) noexcept {
    const std::array<double, 6> ta = generic::joint_angles(a);
    const std::array<double, 6> tb = generic::joint_angles(b);
    std::array<std::array<Quat, 6>, 2> out;
    for (int k = 0; k < 6; ++k) {
        if (std::bit_cast<std::uint64_t>(ta[k]) == std::bit_cast<std::uint64_t>(tb[k])) {
            out[0][k] = generic::rotation_from_scaled_axis<Quat>(robot.axes[k], ta[k]);
            out[1][k] = out[0][k];
            continue;
        }
        const Quat2 q = generic::rotation_from_scaled_axis<Quat2>(robot.axes[k], V2{ta[k], tb[k]});
        for (int lane = 0; lane < 2; ++lane) {
            out[lane][k] = Quat{q.x[lane], q.y[lane], q.z[lane], q.w[lane]};
        }
    }
    return out;
}

namespace {

// Where a refinement stands: the joints, their rotations, residual and pose error.
struct Iterate {
    JointVector q;
    std::array<Quat, 6> rot;
    Residual r;
    double e;
};

Iterate iterate_at(const Crx& robot, const JointVector& q, const PreparedTarget& target,
                   JointRotations& rotations) noexcept {
    const std::array<Quat, 6> rot = rotations_of(robot, q, rotations);
    const Residual r = residual_of(flange_from(robot, rot), target);
    return Iterate{q, rot, r, pose_error(r)};
}

// Step halvings per step of the refinements below.
constexpr int kHalvings = 8;

// Moves `at` to the first of apply(at.q, δ), apply(at.q, δ/2), ... (kHalvings
// trials) that lowers the pose error; false, and `at` unchanged, when none does.
template <class Apply>
bool take_halved_step(const Crx& robot, const PreparedTarget& target, JointRotations& rotations, Vec6 delta,
                      Apply apply, Iterate& at) noexcept {
    for (int halving = 0; halving < kHalvings; ++halving) {
        const Iterate trial = iterate_at(robot, apply(at.q, delta), target, rotations);
        if (trial.e < at.e) {
            at = trial;
            return true;
        }
        for (double& v : delta) {
            v *= 0.5;
        }
    }
    return false;
}

// A Gauss–Newton step on N of the joints, whose Jacobian columns are `col`:
// the normal equations in the corner of a 6×6 identity, solved by Cholesky,
// the step refused when a component is over the step limit, and otherwise
// taken as take_halved_step takes it (through `apply`). False when no step
// was taken.
template <int N, class Apply>
bool take_reduced_step(const Crx& robot, const PreparedTarget& target, JointRotations& rotations,
                       const double (&col)[N][12], Apply apply, Iterate& at) noexcept {
    Mat6 a{};
    Vec6 b{};
    for (int i = N; i < 6; ++i) {
        a[i * 6 + i] = 1.0;
    }
    normal_equations(col, at.r, a, b);
    Mat6 l;
    if (!cholesky(a, l)) {
        return false;
    }
    const Vec6 delta = cholesky_solve(l, b);
    for (int i = 0; i < N; ++i) {
        if (!(std::fabs(delta[i]) <= kMaxStepDegrees)) {
            return false;
        }
    }
    return take_halved_step(robot, target, rotations, delta, apply, at);
}

// How far (degrees) J5 may be from 0 and J2 + J3 from 90 for a vector to be
// taken onto the stretched, wrist-aligned configurations.
constexpr double kStretchedSnapDegrees = 0.1;
// Gauss–Newton steps on those configurations.
constexpr int kStretchedSteps = 20;
// Joints free on those configurations: J1, J2 (J3 following), J4, J6.
constexpr int kStretchedFree = 4;

// Arm stretched (J2 + J3 = 90) and J5 = 0: J4 and J6 are parallel and the
// elbow sits at a double root, so the Jacobian loses rank and the error of a
// nearby vector falls only with the square of its distance; Gauss–Newton
// stalls just above acceptance. Held on those configurations (J5 at 0, J3 at
// 90 - J2) the pose depends on J1, J2, J4 and J6 through a Jacobian of full
// rank, so the vector is moved onto them and refined there.
// Returns false when the vector is not close to them.
bool refine_stretched(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                      JointRotations& rotations, JointVector& out, double& error) noexcept {
    // Stretched (90) or folded (270); J5 at 0 or 180.
    const double off_elbow = std::remainder(joints[1] + joints[2] - 90.0, 180.0);
    const double off_wrist = std::remainder(joints[4], 180.0);
    if (!(std::fabs(off_elbow) <= kStretchedSnapDegrees && std::fabs(off_wrist) <= kStretchedSnapDegrees)) {
        return false;
    }
    JointVector q = joints;
    q[2] -= off_elbow;
    q[4] -= off_wrist;
    Iterate at = iterate_at(robot, q, target, rotations);
    // A step of the free joints; J3 moves against J2.
    const auto along = [](const JointVector& from, const Vec6& delta) {
        JointVector trial = from;
        trial[0] += delta[0];
        trial[1] += delta[1];
        trial[2] -= delta[1];
        trial[3] += delta[2];
        trial[5] += delta[3];
        return trial;
    };
    for (int step = 0; step < kStretchedSteps && at.e >= kConvergedError; ++step) {
        const Mat12x6 jac = jacobian_of(robot, frames_from(robot, at.rot));
        // Columns for J1, J2 with J3 following it (J2 + J3 fixed), J4 and J6.
        constexpr std::array<int, kStretchedFree> kFree{0, 1, 3, 5};
        double col[kStretchedFree][12];
        for (int k = 0; k < 12; ++k) {
            for (int i = 0; i < kStretchedFree; ++i) {
                col[i][k] = jac[k * 6 + kFree[i]];
            }
            col[1][k] -= jac[k * 6 + 2];
        }
        if (!take_reduced_step(robot, target, rotations, col, along, at)) {
            break;
        }
    }
    out = at.q;
    error = at.e;
    return true;
}

// Gauss–Newton steps of the sharpening, and of a refinement holding a joint.
constexpr int kSharpenSteps = 40;
constexpr int kHoldingSteps = 20;

}  // namespace

JointVector sharpen_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                           JointRotations& rotations, double& error) noexcept {
    Iterate at = iterate_at(robot, joints, target, rotations);
    const auto along = [](const JointVector& from, const Vec6& delta) {
        JointVector trial;
        for (int i = 0; i < 6; ++i) {
            trial[i] = from[i] + delta[i];
        }
        return trial;
    };
    // No early stop at the usual threshold: near a multiple solution the error
    // grows with the square of the distance, so the last digits of the error
    // are what place the joints.
    for (int step = 0; step < kSharpenSteps && at.e > 0.0; ++step) {
        Svd12x6 d;
        if (!svd(jacobian_of(robot, frames_from(robot, at.rot)), d)) {
            break;
        }
        Vec12 minus_r;
        for (int k = 0; k < 12; ++k) {
            minus_r[k] = -at.r[k];
        }
        const Vec6 delta = svd_solve(d, minus_r);
        bool usable = true;
        for (const double v : delta) {
            usable = usable && std::fabs(v) <= kMaxStepDegrees;
        }
        if (!usable || !take_halved_step(robot, target, rotations, delta, along, at)) {
            break;
        }
    }
    error = at.e;
    return at.q;
}

bool snap_stretched(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                    JointRotations& rotations, JointVector& out, double& error) noexcept {
    return refine_stretched(robot, joints, target, rotations, out, error);
}

namespace {

// Gauss-Newton on the joints `free` (the others kept where they are), as
// refine_holding and refine_holding_pair describe.
template <std::size_t N>
JointVector refine_free(const Crx& robot, const JointVector& joints, const std::array<int, N>& free, const Pose& target,
                        double& error) noexcept {
    const PreparedTarget prepared = prepare_target(target);
    JointRotations rotations;
    Iterate at = iterate_at(robot, joints, prepared, rotations);
    const auto along = [&free](const JointVector& from, const Vec6& delta) {
        JointVector trial = from;
        for (std::size_t i = 0; i < N; ++i) {
            trial[static_cast<std::size_t>(free[i])] += delta[i];
        }
        return trial;
    };
    for (int step = 0; step < kHoldingSteps && at.e >= kConvergedError; ++step) {
        const Mat12x6 jac = jacobian_of(robot, frames_from(robot, at.rot));
        double col[N][12];
        for (int k = 0; k < 12; ++k) {
            for (std::size_t i = 0; i < N; ++i) {
                col[i][k] = jac[k * 6 + free[i]];
            }
        }
        if (!take_reduced_step(robot, prepared, rotations, col, along, at)) {
            break;
        }
    }
    error = at.e;
    return at.q;
}

// The joints other than those `held` (a bit per joint), in order.
template <std::size_t N>
std::array<int, N> free_joints(unsigned held) noexcept {
    std::array<int, N> free{};
    for (int i = 0, k = 0; i < 6; ++i) {
        if (((held >> i) & 1U) == 0) {
            free[static_cast<std::size_t>(k++)] = i;
        }
    }
    return free;
}

}  // namespace

JointVector refine_holding(const Crx& robot, const JointVector& joints, std::size_t held, const Pose& target,
                           double& error) noexcept {
    return refine_free(robot, joints, free_joints<5>(1U << held), target, error);
}

JointVector refine_holding_pair(const Crx& robot, const JointVector& joints, std::size_t first, std::size_t second,
                                const Pose& target, double& error) noexcept {
    return refine_free(robot, joints, free_joints<4>((1U << first) | (1U << second)), target, error);
}

JointVector rescue_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                          JointRotations& rotations, double& error) noexcept {
    error = iterate_at(robot, joints, target, rotations).e;
    JointVector refined;
    double refined_error = 0.0;
    JointVector best = joints;
    if (refine_stretched(robot, joints, target, rotations, refined, refined_error) && refined_error < error) {
        error = refined_error;
        best = refined;
    }
    // Elsewhere the Jacobian can lose rank too (two pairs of parallel axes);
    // steps that keep to its range, shortened until they help, still converge.
    refined = sharpen_joints(robot, best, target, rotations, refined_error);
    if (refined_error < error) {
        error = refined_error;
        best = refined;
    }
    return best;
}

}  // namespace ortholink::solver
