#pragma once
// Rigid transforms as a unit quaternion plus a translation, with the exact
// evaluation orders that the kinematics depends on for reproducible bits.

#include <array>
#include <cmath>
#include <optional>
#include <vector>

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

// Each formula below is written once, over the scalar type S of its values:
// double, or two doubles side by side inside the solver, whose arithmetic
// rounds every lane exactly as the scalar operation does. A quaternion type
// is an aggregate with members x, y, z, w of type S; a vector is
// std::array<S, 3>. Lanes<S> says how to reach single lanes.
template <class S>
struct Lanes;

template <>
struct Lanes<double> {
    static constexpr int kCount = 1;
    static constexpr double uniform(double x) noexcept { return x; }
    static constexpr double get(double v, int /*lane*/) noexcept { return v; }
    static constexpr void set(double& v, int /*lane*/, double x) noexcept { v = x; }
};

namespace generic {

// Hamilton product a·b.
template <class Q>
[[gnu::always_inline]] inline Q quat_mul(const Q& a, const Q& b) noexcept {
    return Q{
        a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
        a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
        a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
        a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
    };
}

template <class S>
[[gnu::always_inline]] inline std::array<S, 3> cross(const std::array<S, 3>& a, const std::array<S, 3>& b) noexcept {
    return std::array<S, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

template <class S>
[[gnu::always_inline]] inline S dot(const std::array<S, 3>& a, const std::array<S, 3>& b) noexcept {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// v rotated by the unit quaternion q: t = 2·(qv × v); v + w·t + qv × t.
template <class Q, class S>
[[gnu::always_inline]] inline std::array<S, 3> rotate(const Q& q, const std::array<S, 3>& v) noexcept {
    const std::array<S, 3> qv{q.x, q.y, q.z};
    const std::array<S, 3> c = cross(qv, v);
    const std::array<S, 3> t{2.0 * c[0], 2.0 * c[1], 2.0 * c[2]};
    const std::array<S, 3> u = cross(qv, t);
    return std::array<S, 3>{v[0] + q.w * t[0] + u[0], v[1] + q.w * t[1] + u[1], v[2] + q.w * t[2] + u[2]};
}

}  // namespace generic

// Hamilton product a·b.
inline Quat quat_mul(const Quat& a, const Quat& b) noexcept {
    return generic::quat_mul(a, b);
}

inline Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return generic::cross(a, b);
}

inline double dot(const Vec3& a, const Vec3& b) noexcept {
    return generic::dot(a, b);
}

// v rotated by the unit quaternion q.
inline Vec3 rotate(const Quat& q, const Vec3& v) noexcept {
    return generic::rotate(q, v);
}

// a∘b: apply b first, then a.
inline Pose compose(const Pose& a, const Pose& b) noexcept {
    const Vec3 r = rotate(a.q, b.t);
    return Pose{quat_mul(a.q, b.q), Vec3{a.t[0] + r[0], a.t[1] + r[1], a.t[2] + r[2]}};
}

// A stored quaternion whose squared norm is within this of 1 is taken as unit.
inline constexpr double kUnitQuaternionTolerance = 1e-12;

// A pose rebuilt from a stored quaternion and translation, bit for bit; none
// unless the quaternion is unit within kUnitQuaternionTolerance and the
// translation finite.
std::optional<Pose> pose_from_fields(const Quat& q, const Vec3& t) noexcept;

// `count` poses from `a` to `b`, both included (count 1 gives `a`): the
// translation linear, the rotation by spherical interpolation along the
// shorter arc, equal steps of both. The ends are `a` and `b` exactly.
std::vector<Pose> interpolate_poses(const Pose& a, const Pose& b, std::size_t count);

// The fewest poses interpolate_poses needs from `a` to `b` for steps of at
// most `step_mm` in translation and `step_degrees` in rotation angle (both
// positive): at least 2.
double interpolation_count(const Pose& a, const Pose& b, double step_mm, double step_degrees) noexcept;

// Below this squared half-angle the exponential map returns the identity (2^-104).
inline constexpr double kTinyHalfAngleSquared = 4.930380657631324e-32;

namespace generic {

// Exponential map of the rotation by `angle` radians about the unit axis `u`,
// lane by lane; the sine and cosine come from one sincos call per lane.
template <class Q, class S>
[[gnu::always_inline]] inline Q rotation_from_scaled_axis(const Vec3& u, S angle) noexcept {
    using L = Lanes<S>;
    const S hx = u[0] * angle * 0.5;
    const S hy = u[1] * angle * 0.5;
    const S hz = u[2] * angle * 0.5;
    const S n2 = hx * hx + hy * hy + hz * hz;
    S n = L::uniform(1.0);
    S s = L::uniform(0.0);
    S c = L::uniform(1.0);
    bool any = false;
    for (int lane = 0; lane < L::kCount; ++lane) {
        if (!(L::get(n2, lane) <= kTinyHalfAngleSquared)) {
            const double nl = std::sqrt(L::get(n2, lane));
            double sl = 0.0;
            double cl = 0.0;
            ::sincos(nl, &sl, &cl);
            L::set(n, lane, nl);
            L::set(s, lane, sl);
            L::set(c, lane, cl);
            any = true;
        }
    }
    const S zero{};
    if (!any) {
        return Q{zero, zero, zero, L::uniform(1.0)};
    }
    // Joint axes are coordinate axes, so two of the three components are
    // signed zeros; (h·s)/n of a zero is h·s (n > 0), which skips two
    // divisions of a single lane. Lanes divide together instead.
    const auto scaled = [&](S h) -> S {
        if constexpr (L::kCount == 1) {
            return h == 0.0 ? h * s : h * s / n;
        } else {
            return h * s / n;
        }
    };
    const Q q{scaled(hx), scaled(hy), scaled(hz), c};
    if constexpr (L::kCount == 1) {
        return q;  // a tiny single lane has returned above
    } else {
        const auto tiny = n2 <= kTinyHalfAngleSquared;
        return Q{tiny ? zero : q.x, tiny ? zero : q.y, tiny ? zero : q.z, tiny ? L::uniform(1.0) : q.w};
    }
}

}  // namespace generic

// Exponential map of the rotation by `angle` radians about the unit axis `u`.
inline Quat rotation_from_scaled_axis(const Vec3& u, double angle) noexcept {
    return generic::rotation_from_scaled_axis<Quat>(u, angle);
}

}  // namespace ortholink
