#include "ortholink/xyzwpr.hpp"

#include <cmath>

#include "ortholink/fk.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

// Below this cos P the pose is at P = ±90 degrees, where only W - R or W + R
// is determined.
constexpr double kGimbalLock = 1e-12;

}  // namespace

Pose pose_from_xyzwpr(const Xyzwpr& v) noexcept {
    const Quat qx = rotation_from_scaled_axis(Vec3{1.0, 0.0, 0.0}, v[3] * kDegToRad);
    const Quat qy = rotation_from_scaled_axis(Vec3{0.0, 1.0, 0.0}, v[4] * kDegToRad);
    const Quat qz = rotation_from_scaled_axis(Vec3{0.0, 0.0, 1.0}, v[5] * kDegToRad);
    return Pose{quat_mul(quat_mul(qz, qy), qx), Vec3{v[0], v[1], v[2]}};
}

Xyzwpr xyzwpr_from_pose(const Pose& pose) noexcept {
    double m[16];
    iso_into(pose, m);
    const double r00 = m[0], r01 = m[1], r10 = m[4], r11 = m[5];
    const double r20 = m[8];
    const double cos_p = std::hypot(r00, r10);
    const double p = std::atan2(-r20, cos_p);
    double w = 0.0;
    double r = 0.0;
    if (cos_p > kGimbalLock) {
        // Near P = ±90 the entries that fix R are tiny and carry few correct
        // digits, so W is not read from its own small entries (atan2(r21, r22))
        // but from the rotation left once that R is taken off: Rz(-R)·M =
        // Ry(P)·Rx(W), whose row 1 is (0, cos W, -sin W). The two angles then
        // rebuild the matrix to rounding whatever R's own error.
        r = std::atan2(r10, r00);
        double sin_r = 0.0;
        double cos_r = 0.0;
        ::sincos(r, &sin_r, &cos_r);
        const double r02 = m[2], r12 = m[6];
        w = std::atan2(sin_r * r02 - cos_r * r12, cos_r * r11 - sin_r * r01);
    } else {
        r = std::atan2(-r01, r11);
    }
    return Xyzwpr{pose.t[0], pose.t[1], pose.t[2], w * kRadToDeg, p * kRadToDeg, r * kRadToDeg};
}

}  // namespace ortholink
