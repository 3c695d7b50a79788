#include "ik/polish.hpp"

#include <cmath>

#include "ik/dense.hpp"

namespace ortholink::ik {
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

}  // namespace

Residual residuals(const Crx& robot, const JointVector& joints, const Pose& target) noexcept {
    const Pose actual = fk_all(robot, joints)[5];
    const auto ra = rotation_matrix(actual.q);
    const auto rt = rotation_matrix(target.q);
    Residual r;
    for (int i = 0; i < 9; ++i) {
        r[i] = ra[i] - rt[i];
    }
    for (int i = 0; i < 3; ++i) {
        r[9 + i] = actual.t[i] - target.t[i];
    }
    return r;
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

std::array<double, 72> jacobian(const Crx& robot, const JointVector& joints) noexcept {
    const auto frames = fk_all(robot, joints);
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
    std::array<double, 72> jac;
    for (int i = 0; i < 12; ++i) {
        jac[i * 6 + 0] = raw[0][i] * kDegToRad;
        jac[i * 6 + 1] = (raw[1][i] + raw[2][i]) * kDegToRad;
        for (int k = 2; k < 6; ++k) {
            jac[i * 6 + k] = raw[k][i] * kDegToRad;
        }
    }
    return jac;
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target) noexcept {
    return polish_joints(robot, joints, target, nullptr);
}

JointVector polish_joints(const Crx& robot, const JointVector& joints, const Pose& target,
                          PolishTrace* trace) noexcept {
    PolishTrace local;
    PolishTrace& tr = trace != nullptr ? *trace : local;
    tr = PolishTrace{};

    JointVector q = joints;
    Residual r = residuals(robot, q, target);
    double e = pose_error(r);
    tr.initial_error = e;
    tr.stop = PolishStop::StepLimit;

    for (int step = 0; step < kMaxSteps; ++step) {
        if (e < kConvergedError) {
            tr.stop = PolishStop::Converged;
            break;
        }
        const Mat12x6 jac = jacobian(robot, q);

        // Normal equations JᵀJ·δ = -Jᵀr, lower triangle only.
        Mat6 a;
        Vec6 b;
        for (int i = 0; i < 6; ++i) {
            for (int j = 0; j <= i; ++j) {
                double s = 0.0;
                for (int k = 0; k < 12; ++k) {
                    s += jac[k * 6 + i] * jac[k * 6 + j];
                }
                a[i * 6 + j] = s;
                a[j * 6 + i] = s;
            }
            double s = 0.0;
            for (int k = 0; k < 12; ++k) {
                s += jac[k * 6 + i] * r[k];
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
                lmax = std::fmax(lmax, l[i * 6 + i]);
                lmin = std::fmin(lmin, l[i * 6 + i]);
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
        const Residual r_trial = residuals(robot, trial, target);
        const double e_trial = pose_error(r_trial);
        if (e_trial >= e) {
            tr.stop = PolishStop::NoDecrease;
            break;
        }
        q = trial;
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

}  // namespace ortholink::ik
