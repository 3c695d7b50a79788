#include "ortholink/matrix.hpp"

#include <algorithm>
#include <cmath>

#include "numeric.hpp"

namespace ortholink {
namespace {

bool unit_length(double x, double y, double z) noexcept {
    const double n = x * x + y * y + z * z;
    const double d = std::fabs(n - 1.0);
    return d <= kIsometryTolerance || d <= std::max(std::fabs(n), 1.0) * kMachineEpsilon;
}

bool orthogonal(double ax, double ay, double az, double bx, double by, double bz) noexcept {
    return std::fabs(ax * bx + ay * by + az * bz) <= kIsometryTolerance;
}

}  // namespace

void iso_into(const Pose& pose, double* out) noexcept {
    const double x = pose.q.x;
    const double y = pose.q.y;
    const double z = pose.q.z;
    const double w = pose.q.w;
    out[0] = x * x + w * w - y * y - z * z;
    out[1] = x * y * 2.0 - z * w * 2.0;
    out[2] = x * z * 2.0 + y * w * 2.0;
    out[3] = pose.t[0];
    out[4] = x * y * 2.0 + z * w * 2.0;
    out[5] = y * y + (w * w - x * x) - z * z;
    out[6] = y * z * 2.0 - x * w * 2.0;
    out[7] = pose.t[1];
    out[8] = x * z * 2.0 - y * w * 2.0;
    out[9] = y * z * 2.0 + x * w * 2.0;
    out[10] = z * z + ((w * w - x * x) - y * y);
    out[11] = pose.t[2];
    out[12] = 0.0;
    out[13] = 0.0;
    out[14] = 0.0;
    out[15] = 1.0;
}

std::optional<Pose> row_slice_to_iso(const double* m, std::size_t count, std::string_view& error) noexcept {
    if (count != 16) {
        error = kSliceLengthMessage;
        return std::nullopt;
    }
    const double r00 = m[0], r01 = m[1], r02 = m[2];
    const double r10 = m[4], r11 = m[5], r12 = m[6];
    const double r20 = m[8], r21 = m[9], r22 = m[10];
    const double det = r00 * (r11 * r22 - r12 * r21) - r01 * (r10 * r22 - r12 * r20) + r02 * (r10 * r21 - r11 * r20);
    // A non-finite translation would pass the rotation tests and poison every
    // result computed from the pose, so it is rejected as well.
    const bool accepted = unit_length(r00, r10, r20) && unit_length(r01, r11, r21) && unit_length(r02, r12, r22) &&
                          orthogonal(r00, r10, r20, r01, r11, r21) && orthogonal(r00, r10, r20, r02, r12, r22) &&
                          orthogonal(r01, r11, r21, r02, r12, r22) && det > 0.0 && m[12] == 0.0 && m[13] == 0.0 &&
                          m[14] == 0.0 && m[15] == 1.0 && std::isfinite(m[3]) && std::isfinite(m[7]) &&
                          std::isfinite(m[11]);
    if (!accepted) {
        error = kNotIsometryMessage;
        return std::nullopt;
    }

    Quat q;
    const double tr = r00 + r11 + r22;
    if (tr > 0.0) {
        const double d = 2.0 * std::sqrt(tr + 1.0);
        q = Quat{(r21 - r12) / d, (r02 - r20) / d, (r10 - r01) / d, 0.25 * d};
    } else if (r00 > r11 && r00 > r22) {
        const double d = 2.0 * std::sqrt(1.0 + r00 - r11 - r22);
        q = Quat{0.25 * d, (r01 + r10) / d, (r02 + r20) / d, (r21 - r12) / d};
    } else if (r11 > r22) {
        const double d = 2.0 * std::sqrt(1.0 + r11 - r00 - r22);
        q = Quat{(r01 + r10) / d, 0.25 * d, (r12 + r21) / d, (r02 - r20) / d};
    } else {
        const double d = 2.0 * std::sqrt(1.0 + r22 - r00 - r11);
        q = Quat{(r02 + r20) / d, (r12 + r21) / d, 0.25 * d, (r10 - r01) / d};
    }
    return Pose{q, Vec3{m[3], m[7], m[11]}};
}

}  // namespace ortholink
