#include "ik/polish.hpp"

#include <algorithm>
#include <cmath>

#include "ik/dense.hpp"

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

}  // namespace

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
    PolishTrace local;
    PolishTrace& tr = trace != nullptr ? *trace : local;
    tr = PolishTrace{};

    const auto target_rotation = rotation_matrix(target.q);
    JointVector q = joints;
    // The frames of the last accepted vector also give its Jacobian.
    std::array<Pose, 6> frames = fk_all(robot, q);
    Residual r = residual_of(frames[5], target_rotation, target.t);
    double e = pose_error(r);
    tr.initial_error = e;
    tr.stop = PolishStop::StepLimit;

    for (int step = 0; step < kMaxSteps; ++step) {
        if (e < kConvergedError) {
            tr.stop = PolishStop::Converged;
            break;
        }
        const Mat12x6 jac = jacobian_of(robot, frames);

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
        const auto trial_frames = fk_all(robot, trial);
        const Residual r_trial = residual_of(trial_frames[5], target_rotation, target.t);
        const double e_trial = pose_error(r_trial);
        if (e_trial >= e) {
            tr.stop = PolishStop::NoDecrease;
            break;
        }
        q = trial;
        frames = trial_frames;
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

}  // namespace ortholink::solver
