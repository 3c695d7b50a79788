#include "ik/setup.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "chain.hpp"

namespace ortholink::solver {

namespace {

// The regular residual at sin θ = s, cos θ = c, one or two lanes.
template <class S>
S residual_at(const Setup& setup, S s, S c) noexcept {
    const Crx& robot = *setup.robot;
    const double k = 1.0 / robot.z1;
    const double rho = robot.x1 * k;
    const std::array<S, 3> d = setup.direction(s, c);
    // o4 in units of z1.
    const std::array<S, 3> o4 = setup.wrist_point(d);
    const std::array<S, 3> w{k * o4[0], k * o4[1], k * o4[2]};
    // Normal of the vertical plane through the J1 axis and w.
    const std::array<S, 3> n{-w[1], w[0], S{}};
    // The elbow O satisfies O·n = 0, O·w = h (from |O| = 1 and |w - O| = ρ)
    // and O·d = e; with A and D below, O = A/D.
    const S h = ((w[2] * w[2] + w[0] * w[0] + w[1] * w[1] + 1.0) - rho * rho) * 0.5;
    const std::array<S, 3> m = generic::cross(d, n);
    const S e = generic::dot(d, w);
    const std::array<S, 3> nw = generic::cross(n, w);
    const std::array<S, 3> a{e * nw[0] + h * m[0], e * nw[1] + h * m[1], e * nw[2] + h * m[2]};
    const S dd = generic::dot(m, w);
    return (a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) - dd * dd;
}

}  // namespace

Setup::Setup(const Crx& robot_ref, const Pose& target_pose) noexcept
    : robot(&robot_ref), target(target_pose), o5{}, o6{}, x_axis{}, y_axis{} {
    const Vec3 back = rotate(target.q, Vec3{0.0, 0.0, -robot_ref.x2});
    const Vec3 zero = rotate(target.q, Vec3{0.0, 0.0, 0.0});
    for (int i = 0; i < 3; ++i) {
        o5[i] = target.t[i] + back[i];
        o6[i] = target.t[i] + zero[i];
    }
    const std::array<double, 9> m = generic::rotation_matrix(target.q);
    x_axis = Vec3{m[0], m[3], m[6]};
    y_axis = Vec3{m[1], m[4], m[7]};
}

double Setup::f(double theta) const noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    return f_sc(s, c);
}

double Setup::f_sc(double s, double c) const noexcept {
    return residual_at(*this, s, c);
}

V2 Setup::f_sc(V2 s, V2 c) const noexcept {
    return residual_at(*this, s, c);
}

namespace {

template <class S>
BasicCirclePoint<S> circle_point_at(const Setup& setup, S sn, S cs) noexcept {
    const std::array<S, 3> d = setup.direction(sn, cs);
    const std::array<S, 3> p = setup.wrist_point(d);
    return BasicCirclePoint<S>{d, p, lane_hypot(p[0], p[1]), lane_sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2])};
}

// What both branches share at one circle angle, one or two lanes. `off`
// marks where there is no elbow: o4 within 1e-6·z1 of the J1 axis or the
// origin, or spheres that do not meet.
template <class S>
struct ArmPlane {
    std::array<S, 3> d;
    std::array<S, 3> p;  // o4
    S rho_h;
    S l;
    S mu;
    S r;
    decltype(S{} < 0.0) off;
};

template <class S>
ArmPlane<S> arm_plane(const Setup& setup, const BasicCirclePoint<S>& c) noexcept {
    const Crx& robot = *setup.robot;
    const double tol = kOnAxisRelative * robot.z1;
    const double z1_sq = robot.z1 * robot.z1;
    const S mu = (c.l * c.l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * c.l);
    const S r_sq = z1_sq - mu * mu;
    ArmPlane<S> plane{c.d, c.p, c.rho_h, c.l, mu, lane_sqrt(r_sq < 0.0 ? S{} : r_sq), {}};
    plane.off = (c.rho_h < tol) | (c.l < tol) | (r_sq < 0.0);
    return plane;
}

// Elbow of branch s for a wrist point p off the J1 axis.
template <class S>
std::array<S, 3> elbow_point(const std::array<S, 3>& p, S rho_h, S l, S mu, S r, double s) noexcept {
    // Arm-plane coordinates (radial, height): unit vector along p and its left normal.
    const S ur = rho_h / l;
    const S uz = p[2] / l;
    const S a = ur * mu - uz * s * r;
    const S b = s * r * ur + mu * uz;
    return std::array<S, 3>{a * p[0] / rho_h, a * p[1] / rho_h, b};
}

// The elbow of branch s and its residual ((o3 - o4)·d)/x1.
template <class S>
std::pair<std::array<S, 3>, S> elbow_of(const ArmPlane<S>& a, double s, double x1) noexcept {
    const std::array<S, 3> o3 = elbow_point(a.p, a.rho_h, a.l, a.mu, a.r, s);
    const std::array<S, 3> arm{o3[0] - a.p[0], o3[1] - a.p[1], o3[2] - a.p[2]};
    return {o3, generic::dot(arm, a.d) / x1};
}

ArmPlane<double> arm_plane(const Setup& setup, double theta) noexcept {
    return arm_plane(setup, circle_point(setup, theta));
}

}  // namespace

Vec3 branch_elbow(const Vec3& p, double rho_h, double l, double mu, double r, double s) noexcept {
    return elbow_point(p, rho_h, l, mu, r, s);
}

CirclePoint circle_point(const Setup& setup, double theta) noexcept {
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(theta, &sn, &cs);
    return circle_point_at(setup, sn, cs);
}

std::optional<BranchPoint> branch_point(const Setup& setup, double theta, double s) noexcept {
    const ArmPlane<double> plane = arm_plane(setup, theta);
    if (plane.off) {
        return std::nullopt;
    }
    const auto [o3, g] = elbow_of(plane, s, setup.robot->x1);
    return BranchPoint{o3, plane.p, g};
}

std::optional<double> branch_residual(const Setup& setup, double theta, double s) noexcept {
    const ArmPlane<double> plane = arm_plane(setup, theta);
    if (plane.off) {
        return std::nullopt;
    }
    return elbow_of(plane, s, setup.robot->x1).second;
}

std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, double theta) noexcept {
    return branch_residuals(setup, circle_point(setup, theta));
}

std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, const CirclePoint& point) noexcept {
    const ArmPlane<double> plane = arm_plane(setup, point);
    if (plane.off) {
        return {};
    }
    return {elbow_of(plane, 1.0, setup.robot->x1).second, elbow_of(plane, -1.0, setup.robot->x1).second};
}

std::array<std::optional<double>, 2> branch_residual_pair(const Setup& setup, double theta_a, double theta_b,
                                                          double s) noexcept {
    double sa = 0.0;
    double ca = 0.0;
    double sb = 0.0;
    double cb = 0.0;
    ::sincos(theta_a, &sa, &ca);
    ::sincos(theta_b, &sb, &cb);
    const ArmPlane<V2> plane = arm_plane(setup, circle_point_at(setup, V2{sa, sb}, V2{ca, cb}));
    const V2 g = elbow_of(plane, s, setup.robot->x1).second;
    std::array<std::optional<double>, 2> out;
    for (int lane = 0; lane < 2; ++lane) {
        if (plane.off[lane] == 0) {
            out[lane] = g[lane];
        }
    }
    return out;
}

}  // namespace ortholink::solver
