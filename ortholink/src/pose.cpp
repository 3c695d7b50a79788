#include "ortholink/pose.hpp"

#include <algorithm>
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

namespace {

// The rotation from a to b as the half angle and the vector part of a⁻¹·b,
// taken with w >= 0 so that it is the shorter arc.
struct Relative {
    Quat q;
    double half_angle;
};

Relative relative(const Quat& a, const Quat& b) noexcept {
    Quat r = quat_mul(Quat{-a.x, -a.y, -a.z, a.w}, b);
    if (r.w < 0.0) {
        r = Quat{-r.x, -r.y, -r.z, -r.w};
    }
    const double s = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
    return Relative{r, std::atan2(s, r.w)};
}

}  // namespace

std::vector<Pose> interpolate_poses(const Pose& a, const Pose& b, std::size_t count) {
    std::vector<Pose> out;
    out.reserve(count);
    const Relative r = relative(a.q, b.q);
    const double s = std::sin(r.half_angle);
    for (std::size_t k = 0; k < count; ++k) {
        if (k == 0) {
            out.push_back(a);
            continue;
        }
        if (k + 1 == count) {
            out.push_back(b);
            continue;
        }
        const double t = static_cast<double>(k) / static_cast<double>(count - 1);
        // r^t: the same axis, t times the angle; below a tiny angle sin(tφ)/sin φ is t.
        const double scale = s > 1e-300 ? std::sin(t * r.half_angle) / s : t;
        const Quat step{r.q.x * scale, r.q.y * scale, r.q.z * scale, std::cos(t * r.half_angle)};
        Quat q = quat_mul(a.q, step);
        const double norm = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
        q = Quat{q.x / norm, q.y / norm, q.z / norm, q.w / norm};
        const Vec3 t_vec{a.t[0] + t * (b.t[0] - a.t[0]), a.t[1] + t * (b.t[1] - a.t[1]), a.t[2] + t * (b.t[2] - a.t[2])};
        out.push_back(Pose{q, t_vec});
    }
    return out;
}

double interpolation_count(const Pose& a, const Pose& b, double step_mm, double step_degrees) noexcept {
    const double dx = b.t[0] - a.t[0];
    const double dy = b.t[1] - a.t[1];
    const double dz = b.t[2] - a.t[2];
    const double distance = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double angle = 2.0 * relative(a.q, b.q).half_angle * 57.29577951308232;
    return std::max({std::ceil(distance / step_mm), std::ceil(angle / step_degrees), 1.0}) + 1.0;
}

}  // namespace ortholink
