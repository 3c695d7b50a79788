#include "ik/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace ortholink::solver {
namespace {

// Below this the coefficients of a·cos φ + b·sin φ (or c) count as zero.
constexpr double kLinearTrigZero = 1e-12;
// |c/r| may exceed 1 by this much from rounding and still give a (double) root.
constexpr double kLinearTrigSlack = 1.000000000001;
// Relative to z1: a J5 origin farther than y1 plus this from the J1 axis
// cannot bring the circle onto the axis.
constexpr double kAxisReachRelative = 2e-6;
constexpr int kAxisStarts = 16;
// Spacing of the starts as a fraction of a turn (1/16, exact).
constexpr double kAxisStartStep = 1.0 / kAxisStarts;
constexpr int kAxisNewtonSteps = 20;
constexpr double kAxisNewtonStop = 1e-15;  // radians
// Two axis angles closer than this (radians) are the same.
constexpr double kAxisMerge = 1e-9;
// Allowance for rounding in the lower bound of the distance from the axis,
// relative to the size of the circle's horizontal projection.
constexpr double kAxisBoundSlack = 1e-9;

// The horizontal part of the circle and its derivatives at θ.
struct HorizontalCircle {
    double g2;   // second derivative of |P_h|², 2·(|P'|² - y1·(P·d))
    double g1h;  // P·P' (half the first derivative)
    double dist_sq;
};

HorizontalCircle horizontal_circle(const Setup& setup, double theta) noexcept {
    const double y1 = setup.robot->y1;
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    const double dx = c * setup.x_axis[0] + s * setup.y_axis[0];
    const double dy = c * setup.x_axis[1] + s * setup.y_axis[1];
    const double ddx = -s * setup.x_axis[0] + c * setup.y_axis[0];
    const double ddy = -s * setup.x_axis[1] + c * setup.y_axis[1];
    const double px = setup.o5[0] + y1 * dx;
    const double py = setup.o5[1] + y1 * dy;
    const double ppx = y1 * ddx;
    const double ppy = y1 * ddy;
    const double g2 = 2.0 * ((ppx * ppx + ppy * ppy) - y1 * (px * dx + py * dy));
    return HorizontalCircle{g2, px * ppx + py * ppy, px * px + py * py};
}

// A lower bound on the horizontal distance of o4 from the J1 axis over the
// whole circle. With M = y1·[x_h y_h] and o = o5_h the horizontal part of o4 is
// M·u + o for a unit vector u, and adj(M)·(M·u + o) = det(M)·u + adj(M)·o, so
// |M·u + o| >= ||adj(M)·o| - |det M|| / ‖M‖ (adj(M) has the norm of M).
double horizontal_distance_bound(const Setup& setup) noexcept {
    const double y1 = setup.robot->y1;
    const double a = y1 * setup.x_axis[0];
    const double b = y1 * setup.y_axis[0];
    const double c = y1 * setup.x_axis[1];
    const double d = y1 * setup.y_axis[1];
    const double det = a * d - b * c;
    // adj(M) = [[d, -b], [-c, a]]
    const double ax = d * setup.o5[0] - b * setup.o5[1];
    const double ay = -c * setup.o5[0] + a * setup.o5[1];
    const double frobenius = std::sqrt(a * a + b * b + c * c + d * d);
    if (!(frobenius > 0.0)) {
        return 0.0;  // no bound; let the search decide
    }
    return std::fabs(std::hypot(ax, ay) - std::fabs(det)) / frobenius;
}

}  // namespace

LinearTrigSolution solve_linear_trig(double a, double b, double c) noexcept {
    LinearTrigSolution out;
    const double r = std::hypot(a, b);
    if (r < kLinearTrigZero) {
        out.any_angle = std::fabs(c) < kLinearTrigZero;
        return out;
    }
    const double q = c / r;
    if (std::fabs(q) > kLinearTrigSlack) {
        return out;
    }
    const double phi0 = std::atan2(b, a);
    const double delta = std::acos(std::clamp(q, -1.0, 1.0));
    if (delta < kLinearTrigZero) {
        out.angles.push_back(wrap_angle(phi0));
    } else {
        out.angles.push_back(wrap_angle(phi0 + delta));
        out.angles.push_back(wrap_angle(phi0 - delta));
    }
    return out;
}

AxisThetas axis_thetas(const Setup& setup) noexcept {
    AxisThetas out;
    const Crx& robot = *setup.robot;
    if (std::hypot(setup.o5[0], setup.o5[1]) - robot.y1 > kAxisReachRelative * robot.z1) {
        return out;
    }
    const double tol = kOnAxisRelative * robot.z1;
    if (horizontal_distance_bound(setup) > tol + kAxisBoundSlack * (std::hypot(setup.o5[0], setup.o5[1]) + robot.y1)) {
        return out;  // no start could end within tol of the axis
    }
    for (int k = 0; k < kAxisStarts; ++k) {
        // Newton on the derivative of the squared horizontal distance.
        double theta = k * kTwoPi * kAxisStartStep;
        bool abandoned = false;
        for (int step_count = 0; step_count < kAxisNewtonSteps; ++step_count) {
            const HorizontalCircle hc = horizontal_circle(setup, theta);
            if (hc.g2 == 0.0) {
                abandoned = true;
                break;
            }
            const double step = -2.0 * hc.g1h / hc.g2;
            theta = theta + step;
            if (std::fabs(step) < kAxisNewtonStop) {
                break;
            }
        }
        if (abandoned) {
            continue;
        }
        const HorizontalCircle hc = horizontal_circle(setup, theta);
        if (!(hc.g2 > 0.0) || !(std::sqrt(hc.dist_sq) <= tol)) {
            continue;
        }
        const double wrapped = wrap_angle(theta);
        const bool seen = std::any_of(out.begin(), out.end(), [&](double known) {
            return std::fabs(wrap_angle(wrapped - known)) < kAxisMerge;
        });
        if (!seen) {
            out.push_back(wrapped);
        }
    }
    return out;
}

FixedVector<Vec3, 2> o3_on_axis(const Setup& setup, double theta) noexcept {
    FixedVector<Vec3, 2> out;
    const Crx& robot = *setup.robot;
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    const Vec3 d = setup.direction(s, c);
    const double pz = setup.o5[2] + robot.y1 * d[2];
    const double l = std::fabs(pz);
    double mu = 0.0;
    double rho = 0.0;
    if (l >= kOnAxisRelative * robot.z1) {
        const double z1_sq = robot.z1 * robot.z1;
        mu = (l * l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * l);
        rho = std::sqrt(std::max(z1_sq - mu * mu, 0.0));
    }
    // sign(P_z)·μ by the sign bit; μ itself is negative when x1 > z1 and o4 is low.
    const double zo = std::isnan(pz) ? pz : (std::signbit(pz) ? -mu : mu);
    // The elbow (ρ cos φ, ρ sin φ, zo) must keep the forearm perpendicular to d.
    const LinearTrigSolution phis = solve_linear_trig(rho * d[0], rho * d[1], d[2] * (pz - zo));
    if (phis.any_angle) {
        return out;
    }
    for (const double phi : phis.angles) {
        double sp = 0.0;
        double cp = 0.0;
        ::sincos(phi, &sp, &cp);
        out.push_back(Vec3{rho * cp, rho * sp, zo});
    }
    return out;
}

double axis_distance_bound(const Setup& setup) noexcept {
    return horizontal_distance_bound(setup);
}

std::optional<Vec3> o3_on_origin(const Setup& setup, double theta) noexcept {
    const Crx& robot = *setup.robot;
    if (std::fabs(robot.z1 - robot.x1) > kOnAxisRelative * robot.z1) {
        return std::nullopt;
    }
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    const Vec3 d = setup.direction(s, c);
    // Any direction perpendicular to d will do; take the better conditioned of two.
    const Vec3 c1{d[1], -d[0], 0.0};
    const Vec3 c2{0.0, d[2], -d[1]};
    const double n1 = std::sqrt(dot(c1, c1));
    const double n2 = std::sqrt(dot(c2, c2));
    const Vec3& e = n1 < n2 ? c2 : c1;
    const double n = n1 < n2 ? n2 : n1;
    return Vec3{robot.z1 * e[0] / n, robot.z1 * e[1] / n, robot.z1 * e[2] / n};
}

}  // namespace ortholink::solver
