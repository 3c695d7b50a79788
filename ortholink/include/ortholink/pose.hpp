#pragma once
// Rigid transforms as a unit quaternion plus a translation, with the exact
// evaluation orders that the kinematics depends on for reproducible bits.

#include <array>
#include <cmath>

namespace ortholink {

using Vec3 = std::array<double, 3>;

// Unit quaternion, vector part first: (x, y, z, w).
struct Quat {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;

    friend bool operator==(const Quat&, const Quat&) = default;
};

// Rigid transform: rotate by `q`, then translate by `t` (millimetres).
struct Pose {
    Quat q{};
    Vec3 t{0.0, 0.0, 0.0};

    friend bool operator==(const Pose&, const Pose&) = default;
};

// Hamilton product a·b.
inline Quat quat_mul(const Quat& a, const Quat& b) noexcept {
    return Quat{
        a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
        a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
        a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
        a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
    };
}

inline Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double dot(const Vec3& a, const Vec3& b) noexcept {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// v rotated by the unit quaternion q: t = 2·(qv × v); v + w·t + qv × t.
inline Vec3 rotate(const Quat& q, const Vec3& v) noexcept {
    const Vec3 qv{q.x, q.y, q.z};
    const Vec3 c = cross(qv, v);
    const Vec3 t{2.0 * c[0], 2.0 * c[1], 2.0 * c[2]};
    const Vec3 u = cross(qv, t);
    return Vec3{v[0] + q.w * t[0] + u[0], v[1] + q.w * t[1] + u[1], v[2] + q.w * t[2] + u[2]};
}

// a∘b: apply b first, then a.
inline Pose compose(const Pose& a, const Pose& b) noexcept {
    const Vec3 r = rotate(a.q, b.t);
    return Pose{quat_mul(a.q, b.q), Vec3{a.t[0] + r[0], a.t[1] + r[1], a.t[2] + r[2]}};
}

// Below this squared half-angle the exponential map returns the identity (2^-104).
inline constexpr double kTinyHalfAngleSquared = 4.930380657631324e-32;

// Exponential map of the rotation by `angle` radians about the unit axis `u`.
inline Quat rotation_from_scaled_axis(const Vec3& u, double angle) noexcept {
    const double hx = u[0] * angle * 0.5;
    const double hy = u[1] * angle * 0.5;
    const double hz = u[2] * angle * 0.5;
    const double n2 = hx * hx + hy * hy + hz * hz;
    if (n2 <= kTinyHalfAngleSquared) {
        return Quat{};
    }
    const double n = std::sqrt(n2);
    double s = 0.0;
    double c = 0.0;
    ::sincos(n, &s, &c);
    // Joint axes are coordinate axes, so two of the three components are
    // signed zeros; (h·s)/n of a zero is h·s (n > 0), which skips two divisions.
    const auto scaled = [&](double h) { return h == 0.0 ? h * s : h * s / n; };
    return Quat{scaled(hx), scaled(hy), scaled(hz), c};
}

}  // namespace ortholink
