#include "ik/setup.hpp"

#include <algorithm>
#include <cmath>

namespace ortholink::solver {

Setup::Setup(const Crx& robot_ref, const Pose& target_pose) noexcept
    : robot(&robot_ref), target(target_pose), o5{}, o6{}, x_axis{}, y_axis{} {
    const Vec3 back = rotate(target.q, Vec3{0.0, 0.0, -robot_ref.x2});
    const Vec3 zero = rotate(target.q, Vec3{0.0, 0.0, 0.0});
    for (int i = 0; i < 3; ++i) {
        o5[i] = target.t[i] + back[i];
        o6[i] = target.t[i] + zero[i];
    }
    const double x = target.q.x;
    const double y = target.q.y;
    const double z = target.q.z;
    const double w = target.q.w;
    x_axis = Vec3{w * w + x * x - y * y - z * z, 2.0 * x * y + 2.0 * w * z, 2.0 * x * z - 2.0 * w * y};
    y_axis = Vec3{2.0 * x * y - 2.0 * w * z, w * w - x * x + y * y - z * z, 2.0 * y * z + 2.0 * w * x};
}

double Setup::f(double theta) const noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    return f_sc(s, c);
}

double Setup::f_sc(double s, double c) const noexcept {
    const double k = 1.0 / robot->z1;
    const double rho = robot->x1 * k;
    const double y1 = robot->y1;
    const Vec3 d = direction(s, c);
    // o4 in units of z1.
    const Vec3 w{k * (y1 * d[0] + o5[0]), k * (y1 * d[1] + o5[1]), k * (y1 * d[2] + o5[2])};
    // Normal of the vertical plane through the J1 axis and w.
    const Vec3 n{-w[1], w[0], 0.0};
    // The elbow O satisfies O·n = 0, O·w = h (from |O| = 1 and |w - O| = ρ)
    // and O·d = e; with A and D below, O = A/D.
    const double h = ((w[2] * w[2] + w[0] * w[0] + w[1] * w[1] + 1.0) - rho * rho) * 0.5;
    const Vec3 m = cross(d, n);
    const double e = dot(d, w);
    const Vec3 nw = cross(n, w);
    const Vec3 a{e * nw[0] + h * m[0], e * nw[1] + h * m[1], e * nw[2] + h * m[2]};
    const double dd = dot(m, w);
    return (a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) - dd * dd;
}

V2 Setup::f_sc(V2 s, V2 c) const noexcept {
    // Setup::f_sc(double, double) written out for two lanes, operation for operation.
    const V2 k = splat(1.0 / robot->z1);
    const V2 rho = splat(robot->x1) * k;
    const V2 y1 = splat(robot->y1);
    V2 d[3];
    V2 w[3];
    for (int i = 0; i < 3; ++i) {
        d[i] = s * splat(y_axis[i]) + c * splat(x_axis[i]);
    }
    for (int i = 0; i < 3; ++i) {
        w[i] = k * (y1 * d[i] + splat(o5[i]));
    }
    const V2 zero{0.0, 0.0};
    const V2 n[3] = {-w[1], w[0], zero};
    const V2 h = ((w[2] * w[2] + w[0] * w[0] + w[1] * w[1] + splat(1.0)) - rho * rho) * splat(0.5);
    // cross(d, n), dot(d, w), cross(n, w) as in pose.hpp.
    const V2 m[3] = {d[1] * n[2] - d[2] * n[1], d[2] * n[0] - d[0] * n[2], d[0] * n[1] - d[1] * n[0]};
    const V2 e = d[0] * w[0] + d[1] * w[1] + d[2] * w[2];
    const V2 nw[3] = {n[1] * w[2] - n[2] * w[1], n[2] * w[0] - n[0] * w[2], n[0] * w[1] - n[1] * w[0]};
    const V2 a[3] = {e * nw[0] + h * m[0], e * nw[1] + h * m[1], e * nw[2] + h * m[2]};
    const V2 dd = m[0] * w[0] + m[1] * w[1] + m[2] * w[2];
    return (a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) - dd * dd;
}

Vec3 branch_elbow(const Vec3& p, double rho_h, double l, double mu, double r, double s) noexcept {
    // Arm-plane coordinates (radial, height): unit vector along p and its left normal.
    const double ur = rho_h / l;
    const double uz = p[2] / l;
    const double a = ur * mu - uz * s * r;
    const double b = s * r * ur + mu * uz;
    return Vec3{a * p[0] / rho_h, a * p[1] / rho_h, b};
}

CirclePoint circle_point(const Setup& setup, double theta) noexcept {
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(theta, &sn, &cs);
    const Vec3 d = setup.direction(sn, cs);
    const Vec3 p = setup.wrist_point(d);
    return CirclePoint{d, p, std::hypot(p[0], p[1]), std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2])};
}

namespace {

// What both branches share at one circle angle.
struct ArmPlane {
    Vec3 d;
    Vec3 p;  // o4
    double rho_h;
    double l;
    double mu;
    double r;
};

std::optional<ArmPlane> arm_plane(const Setup& setup, const CirclePoint& c) noexcept {
    const Crx& robot = *setup.robot;
    const double tol = kOnAxisRelative * robot.z1;
    if (c.rho_h < tol || c.l < tol) {
        return std::nullopt;
    }
    const double z1_sq = robot.z1 * robot.z1;
    const double mu = (c.l * c.l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * c.l);
    const double r_sq = z1_sq - mu * mu;
    if (r_sq < 0.0) {
        return std::nullopt;
    }
    return ArmPlane{c.d, c.p, c.rho_h, c.l, mu, std::sqrt(std::max(r_sq, 0.0))};
}

std::optional<ArmPlane> arm_plane(const Setup& setup, double theta) noexcept {
    return arm_plane(setup, circle_point(setup, theta));
}

BranchPoint elbow_of(const ArmPlane& a, double s, double x1) noexcept {
    const Vec3 o3 = branch_elbow(a.p, a.rho_h, a.l, a.mu, a.r, s);
    const Vec3 arm{o3[0] - a.p[0], o3[1] - a.p[1], o3[2] - a.p[2]};
    return BranchPoint{o3, a.p, dot(arm, a.d) / x1};
}

}  // namespace

std::optional<BranchPoint> branch_point(const Setup& setup, double theta, double s) noexcept {
    const auto plane = arm_plane(setup, theta);
    if (!plane) {
        return std::nullopt;
    }
    return elbow_of(*plane, s, setup.robot->x1);
}

std::optional<double> branch_residual(const Setup& setup, double theta, double s) noexcept {
    const auto plane = arm_plane(setup, theta);
    if (!plane) {
        return std::nullopt;
    }
    return elbow_of(*plane, s, setup.robot->x1).g;
}

std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, double theta) noexcept {
    return branch_residuals(setup, circle_point(setup, theta));
}

std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, const CirclePoint& point) noexcept {
    const auto plane = arm_plane(setup, point);
    if (!plane) {
        return {};
    }
    return {elbow_of(*plane, 1.0, setup.robot->x1).g, elbow_of(*plane, -1.0, setup.robot->x1).g};
}

std::array<std::optional<double>, 2> branch_residual_pair(const Setup& setup, double theta_a, double theta_b,
                                                          double s) noexcept {
    // circle_point, arm_plane and elbow_of written out for two lanes,
    // operation for operation.
    const Crx& robot = *setup.robot;
    const double tol = kOnAxisRelative * robot.z1;
    double sa = 0.0;
    double ca = 0.0;
    double sb = 0.0;
    double cb = 0.0;
    ::sincos(theta_a, &sa, &ca);
    ::sincos(theta_b, &sb, &cb);
    const V2 sn{sa, sb};
    const V2 cs{ca, cb};
    V2 d[3];
    V2 p[3];
    for (int i = 0; i < 3; ++i) {
        d[i] = sn * splat(setup.y_axis[i]) + cs * splat(setup.x_axis[i]);
        p[i] = splat(setup.o5[i]) + splat(robot.y1) * d[i];
    }
    const V2 rho_h{std::hypot(p[0][0], p[1][0]), std::hypot(p[0][1], p[1][1])};
    const V2 l_sq = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    const V2 l{std::sqrt(l_sq[0]), std::sqrt(l_sq[1])};
    const double z1_sq = robot.z1 * robot.z1;
    const V2 mu = (l * l + splat(z1_sq - robot.x1 * robot.x1)) / (splat(2.0) * l);
    const V2 r_sq = splat(z1_sq) - mu * mu;
    const V2 r{std::sqrt(std::max(r_sq[0], 0.0)), std::sqrt(std::max(r_sq[1], 0.0))};
    const V2 ur = rho_h / l;
    const V2 uz = p[2] / l;
    const V2 sv = splat(s);
    const V2 a = ur * mu - uz * sv * r;
    const V2 b = sv * r * ur + mu * uz;
    const V2 o3[3] = {a * p[0] / rho_h, a * p[1] / rho_h, b};
    const V2 arm[3] = {o3[0] - p[0], o3[1] - p[1], o3[2] - p[2]};
    const V2 g = (arm[0] * d[0] + arm[1] * d[1] + arm[2] * d[2]) / splat(robot.x1);
    std::array<std::optional<double>, 2> out;
    for (int lane = 0; lane < 2; ++lane) {
        if (!(rho_h[lane] < tol) && !(l[lane] < tol) && !(r_sq[lane] < 0.0)) {
            out[lane] = g[lane];
        }
    }
    return out;
}

}  // namespace ortholink::solver
