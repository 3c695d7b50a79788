#include "ik/polish.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

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

// Rotation matrix of a unit quaternion, row-major. Same formula for the
// actual and the target pose so that equal rotations cancel exactly.
std::array<double, 9> rotation_matrix(const Quat& q) noexcept {
    const double x = q.x;
    const double y = q.y;
    const double z = q.z;
    const double w = q.w;
    return {
        w * w + x * x - y * y - z * z, 2.0 * x * y - 2.0 * w * z,     2.0 * w * y + 2.0 * x * z,
        2.0 * w * z + 2.0 * x * y,     w * w - x * x + y * y - z * z, 2.0 * y * z - 2.0 * w * x,
        2.0 * x * z - 2.0 * w * y,     2.0 * w * x + 2.0 * y * z,     w * w - x * x - y * y + z * z,
    };
}

// Residual of a flange pose against a target given by its rotation matrix
// and translation.
Residual residual_of(const Pose& flange, const std::array<double, 9>& target_rotation, const Vec3& target_t) noexcept {
    const auto ra = rotation_matrix(flange.q);
    Residual r;
    for (int i = 0; i < 9; ++i) {
        r[i] = ra[i] - target_rotation[i];
    }
    for (int i = 0; i < 3; ++i) {
        r[9 + i] = flange.t[i] - target_t[i];
    }
    return r;
}

// The frames of fk_all from its six joint rotations, with the same
// operations in the same order, so every bit agrees.
[[gnu::always_inline]] inline std::array<Pose, 6> frames_from(const Crx& robot, const std::array<Quat, 6>& q) noexcept {
    std::array<Pose, 6> frames;
    frames[0] = Pose{q[0], Vec3{0.0, 0.0, 0.0}};
    frames[1] = Pose{quat_mul(q[0], q[1]), Vec3{0.0, 0.0, 0.0}};
    frames[2] = Pose{quat_mul(frames[1].q, q[2]), rotate(frames[1].q, Vec3{0.0, 0.0, robot.z1})};
    frames[3] = Pose{quat_mul(frames[2].q, q[3]), frames[2].t};
    const Vec3 r5 = rotate(frames[3].q, Vec3{robot.x1, -robot.y1, 0.0});
    frames[4] = Pose{quat_mul(frames[3].q, q[4]),
                     Vec3{frames[3].t[0] + r5[0], frames[3].t[1] + r5[1], frames[3].t[2] + r5[2]}};
    const Vec3 r6 = rotate(frames[4].q, Vec3{robot.x2, 0.0, 0.0});
    frames[5] = Pose{quat_mul(quat_mul(frames[4].q, q[5]), kFlangeRotation),
                     Vec3{frames[4].t[0] + r6[0], frames[4].t[1] + r6[1], frames[4].t[2] + r6[2]}};
    return frames;
}

// The joint rotations of fk_all; the J3 rotation is about J2 + J3.
std::array<Quat, 6> rotations_of(const Crx& robot, const JointVector& joints, JointRotations& cache) noexcept {
    const double t1 = joints[0] * kDegToRad;
    const double t2 = joints[1] * kDegToRad;
    const double t3 = joints[2] * kDegToRad;
    const double t4 = joints[3] * kDegToRad;
    const double t5 = joints[4] * kDegToRad;
    const double t6 = joints[5] * kDegToRad;
    return {cache.get(robot, 0, t1), cache.get(robot, 1, t2), cache.get(robot, 2, t3 + t2),
            cache.get(robot, 3, t4), cache.get(robot, 4, t5), cache.get(robot, 5, t6)};
}

Pose flange_from(const Crx& robot, const std::array<Quat, 6>& q) noexcept {
    return frames_from(robot, q)[5];
}

// Two of everything, lane by lane: the forward kinematics and residual of two
// start vectors evaluated together, with the operations of quat_mul, rotate,
// frames_from, rotation_matrix and pose_error written out for lanes.
struct Quat2 {
    V2 x;
    V2 y;
    V2 z;
    V2 w;
};
using Vec3x2 = std::array<V2, 3>;

Quat2 pair_of(const Quat& a, const Quat& b) noexcept {
    return Quat2{V2{a.x, b.x}, V2{a.y, b.y}, V2{a.z, b.z}, V2{a.w, b.w}};
}

[[gnu::always_inline]] inline Quat2 mul2(const Quat2& a, const Quat2& b) noexcept {
    return Quat2{
        a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
        a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
        a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
        a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
    };
}

[[gnu::always_inline]] inline Vec3x2 cross2(const Vec3x2& a, const Vec3x2& b) noexcept {
    return Vec3x2{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

[[gnu::always_inline]] inline Vec3x2 rotate2(const Quat2& q, const Vec3x2& v) noexcept {
    const Vec3x2 qv{q.x, q.y, q.z};
    const Vec3x2 c = cross2(qv, v);
    const V2 two = splat(2.0);
    const Vec3x2 t{two * c[0], two * c[1], two * c[2]};
    const Vec3x2 u = cross2(qv, t);
    return Vec3x2{v[0] + q.w * t[0] + u[0], v[1] + q.w * t[1] + u[1], v[2] + q.w * t[2] + u[2]};
}

// Pose errors (lane 0, lane 1) of the flanges of two sets of joint rotations.
V2 pose_errors2(const Crx& robot, const std::array<Quat, 6>& a, const std::array<Quat, 6>& b,
                const PreparedTarget& target) noexcept {
    std::array<Quat2, 6> q;
    for (int k = 0; k < 6; ++k) {
        q[k] = pair_of(a[k], b[k]);
    }
    const V2 zero{0.0, 0.0};
    const Quat2 q12 = mul2(q[0], q[1]);
    const Quat2 q3 = mul2(q12, q[2]);
    const Vec3x2 t3 = rotate2(q12, Vec3x2{zero, zero, splat(robot.z1)});
    const Quat2 q4 = mul2(q3, q[3]);
    const Vec3x2 r5 = rotate2(q4, Vec3x2{splat(robot.x1), splat(-robot.y1), zero});
    const Quat2 q5 = mul2(q4, q[4]);
    const Vec3x2 t5{t3[0] + r5[0], t3[1] + r5[1], t3[2] + r5[2]};
    const Vec3x2 r6 = rotate2(q5, Vec3x2{splat(robot.x2), zero, zero});
    const Quat2 q6 = mul2(mul2(q5, q[5]), pair_of(kFlangeRotation, kFlangeRotation));
    const Vec3x2 t6{t5[0] + r6[0], t5[1] + r6[1], t5[2] + r6[2]};

    const V2 x = q6.x;
    const V2 y = q6.y;
    const V2 z = q6.z;
    const V2 w = q6.w;
    const V2 two = splat(2.0);
    const std::array<V2, 12> actual{
        w * w + x * x - y * y - z * z, two * x * y - two * w * z,     two * w * y + two * x * z,
        two * w * z + two * x * y,     w * w - x * x + y * y - z * z, two * y * z - two * w * x,
        two * x * z - two * w * y,     two * w * x + two * y * z,     w * w - x * x - y * y + z * z,
        t6[0],                         t6[1],                         t6[2],
    };
    V2 largest = zero;
    for (int i = 0; i < 12; ++i) {
        const double wanted = i < 9 ? target.rotation[i] : target.translation[i - 9];
        const V2 diff = actual[i] - splat(wanted);
        const V2 magnitude{std::fabs(diff[0]), std::fabs(diff[1])};
        // largest = magnitude where magnitude > largest: NaN never wins.
        const M2 above = magnitude > largest;
        largest = (V2)(((M2)magnitude & above) | ((M2)largest & ~above));
    }
    return largest;
}

}  // namespace

Quat JointRotations::get(const Crx& robot, int k, double angle) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(angle);
    if (known_[k] && angle_bits_[k] == bits) {
        return rotations_[k];
    }
    const Quat q = rotation_from_scaled_axis(robot.axes[k], angle);
    known_[k] = true;
    angle_bits_[k] = bits;
    rotations_[k] = q;
    return q;
}

Pose flange_pose(const Crx& robot, const JointVector& joints, JointRotations& rotations) noexcept {
    return flange_from(robot, rotations_of(robot, joints, rotations));
}

PreparedTarget prepare_target(const Pose& target) noexcept {
    return PreparedTarget{rotation_matrix(target.q), target.t};
}

Residual residuals(const Crx& robot, const JointVector& joints, const Pose& target) noexcept {
    return residual_of(fk_all(robot, joints)[5], rotation_matrix(target.q), target.t);
}

double pose_error(const Residual& r) noexcept {
    double m = 0.0;
    for (const double v : r) {
        const double a = std::fabs(v);
        if (a > m) {  // false for NaN, so NaN entries are skipped
            m = a;
        }
    }
    return m;
}

namespace {

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
    Residual r = residual_of(flange_from(robot, rot), target.rotation, target.translation);
    double e = pose_error(r);
    tr.initial_error = e;
    tr.stop = PolishStop::StepLimit;

    for (int step = 0; step < kMaxSteps; ++step) {
        if (e < kConvergedError) {
            tr.stop = PolishStop::Converged;
            break;
        }
        const Mat12x6 jac = jacobian_of(robot, frames_from(robot, rot));
        // Normal equations JᵀJ·δ = -Jᵀr from the columns of J.
        double col[6][12];
        for (int k = 0; k < 12; ++k) {
            for (int i = 0; i < 6; ++i) {
                col[i][k] = jac[k * 6 + i];
            }
        }
        Mat6 a;
        Vec6 b;
        for (int i = 0; i < 6; ++i) {
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
        const Residual r_trial = residual_of(flange_from(robot, trial_rot), target.rotation, target.translation);
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
    // The angles as forward kinematics forms them.
    std::array<double, 6> ta;
    std::array<double, 6> tb;
    for (int k = 0; k < 6; ++k) {
        ta[k] = a[k] * kDegToRad;
        tb[k] = b[k] * kDegToRad;
    }
    ta[2] = ta[2] + ta[1];
    tb[2] = tb[2] + tb[1];

    std::array<std::array<Quat, 6>, 2> out;
    for (int k = 0; k < 6; ++k) {
        if (std::bit_cast<std::uint64_t>(ta[k]) == std::bit_cast<std::uint64_t>(tb[k])) {
            out[0][k] = rotation_from_scaled_axis(robot.axes[k], ta[k]);
            out[1][k] = out[0][k];
            continue;
        }
        // rotation_from_scaled_axis in two lanes; the sincos calls stay single.
        const Vec3& u = robot.axes[k];
        const V2 angle{ta[k], tb[k]};
        const V2 half = splat(0.5);
        const V2 hx = splat(u[0]) * angle * half;
        const V2 hy = splat(u[1]) * angle * half;
        const V2 hz = splat(u[2]) * angle * half;
        const V2 n2 = hx * hx + hy * hy + hz * hz;
        V2 n{1.0, 1.0};
        V2 s{0.0, 0.0};
        V2 c{1.0, 1.0};
        for (int lane = 0; lane < 2; ++lane) {
            if (!(n2[lane] <= kTinyHalfAngleSquared)) {
                n[lane] = std::sqrt(n2[lane]);
                double sl = 0.0;
                double cl = 0.0;
                ::sincos(n[lane], &sl, &cl);
                s[lane] = sl;
                c[lane] = cl;
            }
        }
        const V2 x = hx * s / n;
        const V2 y = hy * s / n;
        const V2 z = hz * s / n;
        for (int lane = 0; lane < 2; ++lane) {
            out[lane][k] = n2[lane] <= kTinyHalfAngleSquared ? Quat{} : Quat{x[lane], y[lane], z[lane], c[lane]};
        }
    }
    return out;
}

namespace {

// How far (degrees) J5 may be from 0 and J2 + J3 from 90 for a vector to be
// taken onto the stretched, wrist-aligned configurations.
constexpr double kStretchedSnapDegrees = 0.1;
// Gauss–Newton steps on those configurations, and step halvings per step.
constexpr int kStretchedSteps = 20;
constexpr int kStretchedHalvings = 8;
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
    std::array<Quat, 6> rot = rotations_of(robot, q, rotations);
    Residual r = residual_of(flange_from(robot, rot), target.rotation, target.translation);
    double e = pose_error(r);
    for (int step = 0; step < kStretchedSteps && e >= kConvergedError; ++step) {
        const Mat12x6 jac = jacobian_of(robot, frames_from(robot, rot));
        // Columns for J1, J2 with J3 following it (J2 + J3 fixed), J4 and J6.
        constexpr std::array<int, kStretchedFree> kFree{0, 1, 3, 5};
        double col[kStretchedFree][12];
        for (int k = 0; k < 12; ++k) {
            for (int i = 0; i < kStretchedFree; ++i) {
                col[i][k] = jac[k * 6 + kFree[i]];
            }
            col[1][k] -= jac[k * 6 + 2];
        }
        // The normal equations in the corner of a 6×6 identity.
        Mat6 a{};
        Vec6 b{};
        for (int i = kStretchedFree; i < 6; ++i) {
            a[i * 6 + i] = 1.0;
        }
        for (int i = 0; i < kStretchedFree; ++i) {
            for (int j = 0; j <= i; ++j) {
                double sum = 0.0;
                for (int k = 0; k < 12; ++k) {
                    sum += col[i][k] * col[j][k];
                }
                a[i * 6 + j] = sum;
                a[j * 6 + i] = sum;
            }
            double sum = 0.0;
            for (int k = 0; k < 12; ++k) {
                sum += col[i][k] * r[k];
            }
            b[i] = -sum;
        }
        Mat6 l;
        if (!cholesky(a, l)) {
            break;
        }
        Vec6 delta = cholesky_solve(l, b);
        bool usable = true;
        for (int i = 0; i < kStretchedFree; ++i) {
            usable = usable && std::fabs(delta[i]) <= kMaxStepDegrees;
        }
        if (!usable) {
            break;
        }
        bool improved = false;
        for (int halving = 0; halving < kStretchedHalvings && !improved; ++halving) {
            JointVector trial = q;
            trial[0] += delta[0];
            trial[1] += delta[1];
            trial[2] -= delta[1];
            trial[3] += delta[2];
            trial[5] += delta[3];
            const std::array<Quat, 6> trial_rot = rotations_of(robot, trial, rotations);
            const Residual r_trial = residual_of(flange_from(robot, trial_rot), target.rotation, target.translation);
            const double e_trial = pose_error(r_trial);
            if (e_trial < e) {
                q = trial;
                rot = trial_rot;
                r = r_trial;
                e = e_trial;
                improved = true;
            }
            for (int i = 0; i < kStretchedFree; ++i) {
                delta[i] *= 0.5;
            }
        }
        if (!improved) {
            break;
        }
    }
    out = q;
    error = e;
    return true;
}

// Gauss–Newton steps of the sharpening, and step halvings per step.
constexpr int kSharpenSteps = 40;
constexpr int kSharpenHalvings = 8;

}  // namespace

JointVector sharpen_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                           JointRotations& rotations, double& error) noexcept {
    JointVector q = joints;
    std::array<Quat, 6> rot = rotations_of(robot, q, rotations);
    Residual r = residual_of(flange_from(robot, rot), target.rotation, target.translation);
    double e = pose_error(r);
    // No early stop at the usual threshold: near a multiple solution the error
    // grows with the square of the distance, so the last digits of the error
    // are what place the joints.
    for (int step = 0; step < kSharpenSteps && e > 0.0; ++step) {
        Svd12x6 d;
        if (!svd(jacobian_of(robot, frames_from(robot, rot)), d)) {
            break;
        }
        Vec12 minus_r;
        for (int k = 0; k < 12; ++k) {
            minus_r[k] = -r[k];
        }
        Vec6 delta = svd_solve(d, minus_r);
        bool usable = true;
        for (const double v : delta) {
            usable = usable && std::fabs(v) <= kMaxStepDegrees;
        }
        if (!usable) {
            break;
        }
        bool improved = false;
        for (int halving = 0; halving < kSharpenHalvings && !improved; ++halving) {
            JointVector trial;
            for (int i = 0; i < 6; ++i) {
                trial[i] = q[i] + delta[i];
            }
            const std::array<Quat, 6> trial_rot = rotations_of(robot, trial, rotations);
            const Residual r_trial = residual_of(flange_from(robot, trial_rot), target.rotation, target.translation);
            const double e_trial = pose_error(r_trial);
            if (e_trial < e) {
                q = trial;
                rot = trial_rot;
                r = r_trial;
                e = e_trial;
                improved = true;
            }
            for (double& v : delta) {
                v *= 0.5;
            }
        }
        if (!improved) {
            break;
        }
    }
    error = e;
    return q;
}

JointVector rescue_joints(const Crx& robot, const JointVector& joints, const PreparedTarget& target,
                          JointRotations& rotations, double& error) noexcept {
    error = pose_error(
        residual_of(flange_from(robot, rotations_of(robot, joints, rotations)), target.rotation, target.translation));
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
