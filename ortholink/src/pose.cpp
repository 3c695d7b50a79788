#include "ortholink/pose.hpp"

#include <cmath>

namespace ortholink {

std::optional<Pose> pose_from_fields(const Quat& q, const Vec3& t) noexcept {
    const double norm = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    // NaN fails the first test.
    if (!(std::fabs(norm - 1.0) <= kUnitQuaternionTolerance) || !std::isfinite(t[0]) || !std::isfinite(t[1]) ||
        !std::isfinite(t[2])) {
        return std::nullopt;
    }
    return Pose{q, t};
}

}  // namespace ortholink
