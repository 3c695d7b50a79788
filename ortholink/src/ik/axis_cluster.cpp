#include "ik/axis_cluster.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

// Axis angles closer than this (radians) to another form a cluster.
constexpr double kClusterGap = 1e-3;
// Refined angles closer than this (radians) are one place.
constexpr double kMergedGap = 1e-7;
// Gauss–Newton steps at most per angle, and the step below which it stops.
constexpr int kRefineSteps = 40;
constexpr double kRefineStop = 1e-15;  // radians
// A step this large (radians) would leave the cluster: the refinement stops.
constexpr double kRefineLargest = 1e-2;
// Intervals across each side of the scanned stretch, and the residual (a
// cosine) up to which a zero is kept (as the plane sweep's: the elbow
// direction carries the rounding of o4 relative to its distance from the
// axis).
constexpr int kScanSamples = 32;
// Relative to z1: o4 closer than this to the axis is left out of the scan
// (its plane carries rounding of 1e-13·z1 relative to that distance).
constexpr double kScanInnerRelative = 1e-13;
constexpr double kScanResidual = 1e-6;
constexpr int kBisections = 60;
// The stretch scanned, relative to the one where o4 stays within the on-axis
// tolerance of the axis (where the roots of the regular residual give no
// elbow).
constexpr double kScanReach = 1.5;

// The horizontal part of o4 and its derivative at θ.
struct Horizontal {
    double px;
    double py;
    double jx;
    double jy;
};

Horizontal horizontal(const Setup& setup, double theta) noexcept {
    const double y1 = setup.robot->y1;
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    return Horizontal{setup.o5[0] + y1 * (c * setup.x_axis[0] + s * setup.y_axis[0]),
                      setup.o5[1] + y1 * (c * setup.x_axis[1] + s * setup.y_axis[1]),
                      y1 * (c * setup.y_axis[0] - s * setup.x_axis[0]),
                      y1 * (c * setup.y_axis[1] - s * setup.x_axis[1])};
}

// Gauss–Newton on the horizontal part of o4. Where the circle touches the
// axis o4 meets it at a double zero and each step only halves the distance
// to it, so the doubled step is tried as well and the better one kept.
double refine(const Setup& setup, double theta) noexcept {
    Horizontal h = horizontal(setup, theta);
    double distance = std::hypot(h.px, h.py);
    for (int k = 0; k < kRefineSteps && distance > 0.0; ++k) {
        const double jj = h.jx * h.jx + h.jy * h.jy;
        if (!(jj > 0.0)) {
            break;
        }
        const double step = (h.jx * h.px + h.jy * h.py) / jj;
        if (!(std::fabs(step) < kRefineLargest)) {
            break;
        }
        if (std::fabs(step) < kRefineStop) {
            break;
        }
        const Horizontal single = horizontal(setup, theta - step);
        const Horizontal twice = horizontal(setup, theta - 2.0 * step);
        const double d_single = std::hypot(single.px, single.py);
        const double d_twice = std::hypot(twice.px, twice.py);
        const bool doubled = d_twice < d_single;
        const double next = doubled ? d_twice : d_single;
        if (!(next < distance)) {
            break;
        }
        theta -= doubled ? 2.0 * step : step;
        h = doubled ? twice : single;
        distance = next;
    }
    return theta;
}

// o4(θ) with what both elbow branches in the plane through it and the J1
// axis share; `valid` is false on the axis itself or where the elbow circle
// misses.
struct InPlane {
    bool valid;
    Vec3 d;
    Vec3 p;
    double rho_h;
    double l;
    double mu;
    double r;
};

InPlane in_plane(const Setup& setup, double theta) noexcept {
    const Crx& robot = *setup.robot;
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(theta, &sn, &cs);
    InPlane out{};
    out.d = setup.direction(sn, cs);
    out.p = setup.wrist_point(out.d);
    const Vec3& p = out.p;
    out.rho_h = std::sqrt(p[0] * p[0] + p[1] * p[1]);
    out.l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    if (!(out.rho_h > 0.0) || !(out.l >= kOnAxisRelative * robot.z1)) {
        return out;
    }
    const double z1_sq = robot.z1 * robot.z1;
    out.mu = ((z1_sq - robot.x1 * robot.x1) + out.l * out.l) / (2.0 * out.l);
    const double q = z1_sq - out.mu * out.mu;
    out.valid = q >= 0.0;
    out.r = out.valid ? std::sqrt(q) : 0.0;
    return out;
}

BranchPoint branch_of(const Setup& setup, const InPlane& at, double s) noexcept {
    const Vec3 o3 = branch_elbow(at.p, at.rho_h, at.l, at.mu, at.r, s);
    const Vec3 arm{o3[0] - at.p[0], o3[1] - at.p[1], o3[2] - at.p[2]};
    return BranchPoint{o3, at.p, dot(arm, at.d) / setup.robot->x1};
}

// The elbow of branch s in the plane through o4(θ) and the J1 axis, with its
// residual; nothing on the axis itself or where the elbow circle misses.
std::optional<BranchPoint> in_plane_point(const Setup& setup, double theta, double s) noexcept {
    const InPlane at = in_plane(setup, theta);
    if (!at.valid) {
        return std::nullopt;
    }
    return branch_of(setup, at, s);
}

std::optional<double> in_plane_residual(const Setup& setup, double theta, double s) noexcept {
    const auto point = in_plane_point(setup, theta, s);
    return point ? std::optional<double>(point->g) : std::nullopt;
}

// The stretch about a merged cluster's angle that its scan covers: out to
// where the roots of the regular residual take over, and in to where o4
// still fixes a plane to a few digits. Each side is scanned on its own, so
// that no stretch holds the axis angle, where the plane turns over or is not
// fixed at all.
void set_reach(const Setup& setup, AxisCluster& cluster) noexcept {
    // How far from the axis angle o4 is within a distance r of the axis: the
    // distance grows with the slope of its horizontal part times the angle,
    // or where that slope vanishes (the circle touching the axis) with half
    // its curvature times the square.
    const Crx& robot = *setup.robot;
    const Horizontal h = horizontal(setup, cluster.theta);
    const double slope = std::hypot(h.jx, h.jy);
    const double curvature = std::hypot(h.px - setup.o5[0], h.py - setup.o5[1]);  // |P''| = |y1·d_h|
    const auto within = [&](double r) {
        const double angle = slope > 0.0 ? r / slope : kRefineLargest;
        return curvature > 0.0 ? std::min(angle, std::sqrt(2.0 * r / curvature)) : angle;
    };
    cluster.outer = std::max(kScanReach * within(kOnAxisRelative * robot.z1),
                             std::max(cluster.theta - cluster.lo, cluster.hi - cluster.theta));
    cluster.inner = within(kScanInnerRelative * robot.z1);
}

}  // namespace

void merge_axis_clusters(const Setup& setup, AxisThetas& axis, AxisClusters& clusters) noexcept {
    clusters.clear();
    const auto near_another = [&](std::size_t i) {
        for (std::size_t k = 0; k < axis.size(); ++k) {
            if (k != i && std::fabs(wrap_angle(axis[k] - axis[i])) < kClusterGap) {
                return true;
            }
        }
        return false;
    };
    AxisThetas merged;
    for (std::size_t i = 0; i < axis.size(); ++i) {
        if (!near_another(i)) {
            merged.push_back(axis[i]);
            continue;
        }
        const double theta = wrap_angle(refine(setup, axis[i]));
        const double lo = theta + std::min(0.0, wrap_angle(axis[i] - theta));
        const double hi = theta + std::max(0.0, wrap_angle(axis[i] - theta));
        bool seen = false;
        for (std::size_t k = 0; k < clusters.size(); ++k) {
            AxisCluster& c = clusters[k];
            if (std::fabs(wrap_angle(c.theta - theta)) < kMergedGap) {
                c.lo = std::min(c.lo, c.theta + wrap_angle(lo - c.theta));
                c.hi = std::max(c.hi, c.theta + wrap_angle(hi - c.theta));
                seen = true;
                break;
            }
        }
        if (!seen) {
            merged.push_back(theta);
            clusters.push_back(AxisCluster{theta, lo, hi});
        }
    }
    axis = merged;
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        set_reach(setup, clusters[k]);
    }
}

void scan_axis_cluster(const Setup& setup, const AxisCluster& cluster, Candidates& out) noexcept {
    const double inner = cluster.inner;
    const double outer = cluster.outer;
    if (!(outer > inner)) {
        return;
    }
    for (const double side : {-1.0, 1.0}) {
        const double near = cluster.theta + side * inner;
        const double far = cluster.theta + side * outer;
        const double lo = std::min(near, far);
        const double width = std::fabs(far - near);
        const auto place = [&](double i) { return lo + width * i / kScanSamples; };
        // Both branches at each sample at once: they share the circle point.
        std::array<std::array<std::optional<double>, kScanSamples + 1>, 2> sampled;
        for (int i = 0; i <= kScanSamples; ++i) {
            const InPlane at = in_plane(setup, place(static_cast<double>(i)));
            sampled[0][i] = at.valid ? std::optional<double>(branch_of(setup, at, 1.0).g) : std::nullopt;
            sampled[1][i] = at.valid ? std::optional<double>(branch_of(setup, at, -1.0).g) : std::nullopt;
        }
        for (int b = 0; b < 2; ++b) {
            const double s = b == 0 ? 1.0 : -1.0;
            scan_zeros([&](double theta) { return in_plane_residual(setup, theta, s); }, place, kScanSamples,
                       [&](double a, double c, double ga, double gc) {
                           return false_position([&](double theta) { return in_plane_residual(setup, theta, s); }, a, c,
                                                 ga, gc, kBisections, 0.0);
                       },
                       [&](double root) {
                           const auto point = in_plane_point(setup, root, s);
                           if (point && std::fabs(point->g) <= kScanResidual) {
                               out.push_back(Candidate{point->o3, point->o4, root, SolutionKind::Regular});
                           }
                       },
                       sampled[b].data());
        }
    }
}

}  // namespace ortholink::solver
