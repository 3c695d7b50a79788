#include "ik/plane_sweep.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "ik/geometry.hpp"
#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

// Relative to z1: wrist points this close to the J1 axis are the ones the
// regular residual's roots can lose (the same distance below which both
// branches of a root are refined).
constexpr double kNearAxisRelative = 0.01;
// Relative to z1: the sweep runs when the circle of o4 can pass this close
// to the J1 axis. Farther, the roots stay apart enough for the regular path
// (the sweep costs several times a whole ordinary solve).
constexpr double kSweepFromRelative = 1e-4;
// Planes sampled over half a turn, and bisection steps per sign change.
constexpr int kPlaneSamples = 96;
constexpr int kPlaneBisections = 64;
constexpr double kPlaneStop = 1e-15;  // radians
// Largest residual (a cosine) of an elbow kept from the sweep. Near the axis
// the elbow direction carries the rounding of o4 relative to its distance
// from the axis (1e-8 at hundredths of a micrometre), so the refined
// candidates' 1e-9 would drop good elbows; polishing and the acceptance test
// judge them anyway.
constexpr double kPlaneResidual = 1e-6;
// How far from horizontal (a sine) the flange z axis may be for the circle's
// plane to hold the J1 axis: rounding of a rotation built from angles.
constexpr double kHoldsAxisSlope = 1e-12;
// Golden-section steps looking for the bottom of a dip between samples.
constexpr int kPlaneDipSteps = 30;
constexpr double kGolden0 = 0.3819660112501051;
constexpr double kGolden1 = 0.6180339887498949;

// The elbow of one branch in the plane at azimuth psi, where the circle of o4
// meets that plane for the k-th time (k = +1 or -1).
struct PlaneElbow {
    bool valid = false;
    double theta = 0.0;
    double radial = 0.0;  // signed distance of o4 from the J1 axis within the plane
    Vec3 o3{};
    Vec3 o4{};
    double g = 0.0;  // ((o3 - o4)·d)/x1
};

// What a plane shares between its two meetings and two branches.
struct Plane {
    bool meets = false;
    double cp = 0.0;
    double sp = 0.0;
    double phi0 = 0.0;
    double delta = 0.0;
};

// The plane with the given sine and cosine of its azimuth.
Plane plane_with(const Setup& setup, double sp, double cp) noexcept {
    Plane pl;
    pl.sp = sp;
    pl.cp = cp;
    // Normal of the plane (-sin ψ, cos ψ, 0); o4(θ)·n = 0 is a·cos θ + b·sin θ = c.
    const double y1 = setup.robot->y1;
    const double a = y1 * (pl.cp * setup.x_axis[1] - pl.sp * setup.x_axis[0]);
    const double b = y1 * (pl.cp * setup.y_axis[1] - pl.sp * setup.y_axis[0]);
    const double c = pl.sp * setup.o5[0] - pl.cp * setup.o5[1];
    const double r = std::hypot(a, b);
    if (!(r > 0.0)) {
        return pl;
    }
    const double q = c / r;
    if (!(std::fabs(q) <= 1.0)) {
        return pl;
    }
    pl.meets = true;
    pl.phi0 = std::atan2(b, a);
    pl.delta = std::acos(q);
    return pl;
}

// Both branches s = +1 and -1 (they share everything but the last step).
std::array<PlaneElbow, 2> elbows_in(const Setup& setup, const Plane& pl, double k) noexcept {
    std::array<PlaneElbow, 2> out{};
    if (!pl.meets) {
        return out;
    }
    const Crx& robot = *setup.robot;
    const double theta = pl.phi0 + k * pl.delta;
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(theta, &sn, &cs);
    const Vec3 d = setup.direction(sn, cs);
    const Vec3 p = setup.wrist_point(d);
    const double u = p[0] * pl.cp + p[1] * pl.sp;
    const double l = std::hypot(u, p[2]);
    if (!(l > 0.0)) {
        return out;  // o4 at the origin: a family, covered by the axis angles
    }
    const double z1_sq = robot.z1 * robot.z1;
    const double mu = (l * l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * l);
    const double r_sq = z1_sq - mu * mu;
    if (!(r_sq >= 0.0)) {
        return out;
    }
    const double r = std::sqrt(r_sq);
    for (int i = 0; i < 2; ++i) {
        const double s = i == 0 ? 1.0 : -1.0;
        PlaneElbow& e = out[i];
        // In the plane's (radial, height) coordinates, as for an o4 off the
        // axis, with the radial coordinate allowed to be negative.
        const double radial = (u * mu - s * r * p[2]) / l;
        const double height = (p[2] * mu + s * r * u) / l;
        e.theta = theta;
        e.o3 = Vec3{radial * pl.cp, radial * pl.sp, height};
        e.o4 = p;
        e.radial = u;
        const Vec3 arm{e.o3[0] - p[0], e.o3[1] - p[1], e.o3[2] - p[2]};
        e.g = dot(arm, d) / robot.x1;
        e.valid = std::isfinite(e.g);
    }
    return out;
}

Plane plane_at(const Setup& setup, double psi) noexcept {
    double sp = 0.0;
    double cp = 0.0;
    ::sincos(psi, &sp, &cp);
    return plane_with(setup, sp, cp);
}

PlaneElbow elbow_in(const Setup& setup, const Plane& pl, double k, double s) noexcept {
    return elbows_in(setup, pl, k)[s > 0.0 ? 0 : 1];
}

PlaneElbow elbow_at(const Setup& setup, double psi, double k, double s) noexcept {
    return elbow_in(setup, plane_at(setup, psi), k, s);
}

}  // namespace

bool passes_near_axis(const Setup& setup) noexcept {
    return axis_distance_bound(setup) <= kSweepFromRelative * setup.robot->z1;
}

namespace {

// Appends the zero of branch (k, s) in [lo, hi], where its residual changes sign.
void bisect_plane(const Setup& setup, double lo, double hi, double g_lo, double g_hi, double k, double s,
                  Candidates& out) noexcept {
    // False position with the Illinois change: as safe as bisection (the
    // bracket always holds the sign change) and much faster on smooth pieces.
    int side = 0;
    for (int b = 0; b < kPlaneBisections && hi - lo > kPlaneStop; ++b) {
        double mid = (g_hi != g_lo) ? hi - g_hi * (hi - lo) / (g_hi - g_lo) : 0.5 * (lo + hi);
        if (!(mid > lo && mid < hi)) {
            mid = 0.5 * (lo + hi);
        }
        const PlaneElbow m = elbow_at(setup, mid, k, s);
        if (!m.valid) {
            return;
        }
        if (m.g == 0.0) {
            lo = mid;
            hi = mid;
            break;
        }
        if ((m.g > 0.0) == (g_lo > 0.0)) {
            lo = mid;
            g_lo = m.g;
            if (side == -1) {
                g_hi *= 0.5;
            }
            side = -1;
        } else {
            hi = mid;
            g_hi = m.g;
            if (side == 1) {
                g_lo *= 0.5;
            }
            side = 1;
        }
    }
    const PlaneElbow root = elbow_at(setup, 0.5 * (lo + hi), k, s);
    // Far from the axis the regular roots find these already.
    if (root.valid && std::fabs(root.g) <= kPlaneResidual &&
        std::fabs(root.radial) <= kNearAxisRelative * setup.robot->z1) {
        out.push_back(Candidate{root.o3, root.o4, wrap_angle(root.theta), SolutionKind::Regular});
    }
}

// Where the circle of o4 passes through the J1 axis, every plane through the
// axis meets it at that same point, and a branch residual whose forearm
// direction is then the same in every plane is constant in the azimuth: its
// samples differ by rounding alone, and each of their ripples would be
// searched as a dip (about 25 golden-section searches of 32 evaluations per
// target, several times a whole ordinary solve). Samples this close
// (cosines) around one this far from zero hold no zero between them.
constexpr double kFlatSamples = 1e-12;
constexpr double kFlatFarFromZero = 1e-3;

bool flat_far_from_zero(double before, double at, double after) noexcept {
    return std::fabs(at) >= kFlatFarFromZero && std::fabs(before - at) <= kFlatSamples &&
           std::fabs(after - at) <= kFlatSamples;
}

// Sines and cosines of the sampled azimuths, the same values ::sincos gives
// for them, computed once: every swept target samples the same planes.
struct PlaneGrid {
    std::array<double, kPlaneSamples + 1> sp;
    std::array<double, kPlaneSamples + 1> cp;
};

const PlaneGrid& plane_grid() noexcept {
    static const PlaneGrid grid = [] {
        PlaneGrid out{};
        const double step = kPi / kPlaneSamples;
        for (int i = 0; i <= kPlaneSamples; ++i) {
            ::sincos(-0.5 * kPi + i * step, &out.sp[i], &out.cp[i]);
        }
        return out;
    }();
    return grid;
}

void sweep_planes(const Setup& setup, Candidates& out) noexcept {
    const double step = kPi / kPlaneSamples;
    // Residuals sampled per meeting k = +1, -1 and branch s = +1, -1 (only
    // whether each is defined and its value: the sampled elbows themselves
    // are never used).
    struct Sample {
        bool valid;
        double g;
    };
    std::array<std::array<std::array<Sample, kPlaneSamples + 1>, 2>, 2> g;
    const PlaneGrid& grid = plane_grid();
    for (int i = 0; i <= kPlaneSamples; ++i) {
        const Plane pl = plane_with(setup, grid.sp[i], grid.cp[i]);
        for (int ki = 0; ki < 2; ++ki) {
            const auto both = elbows_in(setup, pl, ki == 0 ? 1.0 : -1.0);
            g[ki][0][i] = Sample{both[0].valid, both[0].g};
            g[ki][1][i] = Sample{both[1].valid, both[1].g};
        }
    }
    for (int ki = 0; ki < 2; ++ki) {
        for (int si = 0; si < 2; ++si) {
            const double k = ki == 0 ? 1.0 : -1.0;
            const double s = si == 0 ? 1.0 : -1.0;
            const auto& v = g[ki][si];
            for (int i = 1; i <= kPlaneSamples; ++i) {
                const double lo = -0.5 * kPi + (i - 1) * step;
                if (!v[i - 1].valid || !v[i].valid) {
                    continue;
                }
                if (v[i].g == 0.0 || (v[i].g > 0.0) != (v[i - 1].g > 0.0)) {
                    bisect_plane(setup, lo, lo + step, v[i - 1].g, v[i].g, k, s, out);
                    continue;
                }
                // Two zeros can share an interval: where |g| dips between
                // samples of one sign, look for the dip's bottom.
                if (i == kPlaneSamples || !v[i + 1].valid || (v[i + 1].g > 0.0) != (v[i].g > 0.0) ||
                    !(std::fabs(v[i].g) < std::fabs(v[i - 1].g) && std::fabs(v[i].g) <= std::fabs(v[i + 1].g))) {
                    continue;
                }
                if (flat_far_from_zero(v[i - 1].g, v[i].g, v[i + 1].g)) {
                    continue;  // a ripple of rounding, not a dip
                }
                const double sign = v[i].g > 0.0 ? 1.0 : -1.0;
                double a = lo;
                double b = lo + 2.0 * step;
                // Golden section on sign·g, one new evaluation per step; it
                // stops early once the dip reaches zero.
                double m1 = a + (b - a) * kGolden0;
                double m2 = a + (b - a) * kGolden1;
                PlaneElbow e1 = elbow_at(setup, m1, k, s);
                PlaneElbow e2 = elbow_at(setup, m2, k, s);
                for (int it = 0; it < kPlaneDipSteps && e1.valid && e2.valid; ++it) {
                    if (!(sign * e1.g > 0.0) || !(sign * e2.g > 0.0)) {
                        a = sign * e1.g <= sign * e2.g ? m1 : m2;
                        b = a;
                        break;
                    }
                    if (sign * e1.g <= sign * e2.g) {
                        b = m2;
                        m2 = m1;
                        e2 = e1;
                        m1 = a + (b - a) * kGolden0;
                        e1 = elbow_at(setup, m1, k, s);
                    } else {
                        a = m1;
                        m1 = m2;
                        e1 = e2;
                        m2 = a + (b - a) * kGolden1;
                        e2 = elbow_at(setup, m2, k, s);
                    }
                }
                const double bottom = 0.5 * (a + b);
                const PlaneElbow e = elbow_at(setup, bottom, k, s);
                if (!e.valid) {
                    continue;
                }
                if (sign * e.g <= 0.0) {
                    bisect_plane(setup, lo, bottom, v[i - 1].g, e.g, k, s, out);
                    bisect_plane(setup, bottom, lo + 2.0 * step, e.g, v[i + 1].g, k, s, out);
                } else if (std::fabs(e.g) <= kPlaneResidual &&
                           std::fabs(e.radial) <= kNearAxisRelative * setup.robot->z1) {
                    out.push_back(Candidate{e.o3, e.o4, wrap_angle(e.theta), SolutionKind::Regular});
                }
            }
        }
    }
}

// Horizontal distance of o4 from the J1 axis and its first two derivatives
// (of its square, halved) at θ.
struct Passage {
    double dist_sq;
    double half_d1;  // P_h·P_h'
    double half_d2;  // |P_h'|² + P_h·P_h''
    double speed;    // |P_h'|
};

Passage passage_at(const Setup& setup, double theta) noexcept {
    const double y1 = setup.robot->y1;
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(theta, &sn, &cs);
    const double px = setup.o5[0] + y1 * (cs * setup.x_axis[0] + sn * setup.y_axis[0]);
    const double py = setup.o5[1] + y1 * (cs * setup.x_axis[1] + sn * setup.y_axis[1]);
    const double vx = y1 * (cs * setup.y_axis[0] - sn * setup.x_axis[0]);
    const double vy = y1 * (cs * setup.y_axis[1] - sn * setup.x_axis[1]);
    const double ax = setup.o5[0] - px;  // P'' = -(P - o5)
    const double ay = setup.o5[1] - py;
    const double v_sq = vx * vx + vy * vy;
    return Passage{px * px + py * py, px * vx + py * vy, v_sq + px * ax + py * ay, std::sqrt(v_sq)};
}

// The elbow of branch s at θ as branch_point gives it, but down to any
// distance of o4 from the axis: there the elbow direction is only as good as
// that distance (relative error about 1e-16 of |o5| over it), which the
// residual allowance and polishing absorb.
std::optional<BranchPoint> passage_elbow_at(const Setup& setup, const CirclePoint& c, double s) noexcept {
    const Crx& robot = *setup.robot;
    if (!(c.rho_h > 0.0) || !(c.l > 0.0)) {
        return std::nullopt;
    }
    const double z1_sq = robot.z1 * robot.z1;
    const double mu = (c.l * c.l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * c.l);
    const double r_sq = z1_sq - mu * mu;
    if (!(r_sq >= 0.0)) {
        return std::nullopt;
    }
    const Vec3 o3 = branch_elbow(c.p, c.rho_h, c.l, mu, std::sqrt(r_sq), s);
    const Vec3 arm{o3[0] - c.p[0], o3[1] - c.p[1], o3[2] - c.p[2]};
    const double g = dot(arm, c.d) / robot.x1;
    if (!std::isfinite(g)) {
        return std::nullopt;
    }
    return BranchPoint{o3, c.p, g};
}

std::optional<BranchPoint> passage_elbow(const Setup& setup, double theta, double s) noexcept {
    return passage_elbow_at(setup, circle_point(setup, theta), s);
}

// Samples over the passage and bisection steps of the circle-angle scan.
constexpr int kPassageSamples = 64;
constexpr int kPassageCoarse = 64;
constexpr int kPassageNewton = 30;

// Golden-section steps narrowing a coarse minimum of the passage distance.
constexpr int kPassageGolden = 64;
// Passages closer than this (radians) are one.
constexpr double kSamePassage = 1e-6;

// The solutions along the circle angle about the passage at theta_c, with
// samples crowded where o4 passes the axis and spread out geometrically from
// there (θ = θc + w·sinh u for u evenly spaced, w the time the passage
// takes), so that close pairs of zeros are told apart at every distance: this
// holds up where a plane through the J1 axis meets the circle badly (nearly
// tangent, or the circle's own plane nearly vertical).
void scan_passage_with(const Setup& setup, double theta_c, double closest, double speed, Candidates& out) noexcept;

void scan_passage(const Setup& setup, double theta_c, Candidates& out) noexcept {
    const Passage c = passage_at(setup, theta_c);
    scan_passage_with(setup, theta_c, std::sqrt(c.dist_sq), c.speed, out);
}

// The same about an angle where o4 passes something (the J1 axis, or the base
// origin) `closest` away at `speed` (mm per radian).
void scan_passage_with(const Setup& setup, double theta_c, double closest, double speed, Candidates& out) noexcept {
    const double near = kNearAxisRelative * setup.robot->z1;
    if (!(speed > 0.0) || !(closest <= near)) {
        return;
    }
    const double w = std::max(closest, 1e-12 * setup.robot->z1) / speed;
    const double u_max = std::asinh(near / speed / w);
    const auto place = [&](double i) { return theta_c + w * std::sinh(-u_max + 2.0 * u_max * i / kPassageSamples); };
    // Both branches at each sample at once: they share the circle point.
    std::array<std::array<std::optional<double>, kPassageSamples + 1>, 2> sampled;
    for (int i = 0; i <= kPassageSamples; ++i) {
        const CirclePoint at_sample = circle_point(setup, place(static_cast<double>(i)));
        for (int b = 0; b < 2; ++b) {
            const auto point = passage_elbow_at(setup, at_sample, b == 0 ? 1.0 : -1.0);
            sampled[b][i] = point ? std::optional<double>(point->g) : std::nullopt;
        }
    }
    for (const double s : {1.0, -1.0}) {
        const auto at = [&](double theta) -> std::optional<double> {
            const auto point = passage_elbow(setup, theta, s);
            return point ? std::optional<double>(point->g) : std::nullopt;
        };
        const auto bisect = [&](double lo, double hi, double g_lo, double /*g_hi*/) {
            for (int b = 0; b < kPlaneBisections && std::fabs(hi - lo) > kPlaneStop; ++b) {
                const double mid = 0.5 * (lo + hi);
                const auto gm = at(mid);
                if (!gm) {
                    break;
                }
                if (*gm != 0.0 && (*gm > 0.0) == (g_lo > 0.0)) {
                    lo = mid;
                    g_lo = *gm;
                } else {
                    hi = mid;
                }
            }
            return 0.5 * (lo + hi);
        };
        scan_zeros(
            at, place, kPassageSamples, bisect, [&](double root) {
                const auto point = passage_elbow(setup, root, s);
                if (point && std::fabs(point->g) <= kPlaneResidual && std::hypot(point->o4[0], point->o4[1]) <= near) {
                    out.push_back(Candidate{point->o3, point->o4, wrap_angle(root), SolutionKind::Regular});
                }
            },
            sampled[s > 0.0 ? 0 : 1].data());
    }
}

// Newton on the derivative of the squared distance from theta.
double passage_newton(const Setup& setup, double theta) noexcept {
    for (int i = 0; i < kPassageNewton; ++i) {
        const Passage p = passage_at(setup, theta);
        if (!(p.half_d2 > 0.0)) {
            break;
        }
        const double step = -p.half_d1 / p.half_d2;
        theta += step;
        if (!(std::fabs(step) > 1e-15)) {
            break;
        }
    }
    return theta;
}

// The circle of o4 can pass the J1 axis twice (its squared horizontal
// distance has harmonics up to the second), and Newton from the best coarse
// sample stops where the squared distance is concave, a sample away from
// the closest passage; two passages closer than a coarse sample can also
// hide each other. Scanned first is the passage Newton reaches from the best
// sample, then those Newton reaches from the axis angles, then every coarse
// minimum narrowed by golden section over its two sample intervals before
// Newton, each where it is another passage.
void sweep_passage(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept {
    std::array<double, kPassageCoarse> coarse;
    std::size_t best = 0;
    for (std::size_t i = 0; i < coarse.size(); ++i) {
        coarse[i] = passage_at(setup, -kPi + kTwoPi * static_cast<double>(i) / kPassageCoarse).dist_sq;
        if (i == 0 || coarse[i] < coarse[best]) {
            best = i;
        }
    }
    const double step = kTwoPi / kPassageCoarse;
    const double first = passage_newton(setup, -kPi + step * static_cast<double>(best));
    scan_passage(setup, first, out);
    std::array<double, kPassageCoarse / 2 + kMaxAxisThetas> scanned;
    std::size_t scanned_count = 0;
    scanned[scanned_count++] = first;
    const auto scan_new = [&](double theta) {
        const bool known = std::any_of(scanned.begin(), scanned.begin() + scanned_count, [&](double t) {
            return std::fabs(wrap_angle(t - theta)) < kSamePassage;
        });
        if (!known && scanned_count < scanned.size()) {
            scanned[scanned_count++] = theta;
            scan_passage(setup, theta, out);
        }
    };
    // Minima closer than a coarse sample can hide each other; where o4
    // comes within the on-axis tolerance the axis angles mark them.
    for (const double alpha : axis) {
        const double theta = passage_newton(setup, alpha);
        scan_new(passage_at(setup, theta).dist_sq <= passage_at(setup, alpha).dist_sq ? theta : alpha);
    }
    for (std::size_t i = 0; i < coarse.size(); ++i) {
        const double before = coarse[(i + coarse.size() - 1) % coarse.size()];
        const double after = coarse[(i + 1) % coarse.size()];
        if (!(coarse[i] <= before && coarse[i] < after)) {
            continue;
        }
        const double centre = -kPi + step * static_cast<double>(i);
        double a = centre - step;
        double b = centre + step;
        double m1 = a + (b - a) * kGolden0;
        double m2 = a + (b - a) * kGolden1;
        double d1 = passage_at(setup, m1).dist_sq;
        double d2 = passage_at(setup, m2).dist_sq;
        for (int it = 0; it < kPassageGolden; ++it) {
            if (d1 <= d2) {
                b = m2;
                m2 = m1;
                d2 = d1;
                m1 = a + (b - a) * kGolden0;
                d1 = passage_at(setup, m1).dist_sq;
            } else {
                a = m1;
                m1 = m2;
                d1 = d2;
                m2 = a + (b - a) * kGolden1;
                d2 = passage_at(setup, m2).dist_sq;
            }
        }
        const double narrowed = d1 <= d2 ? m1 : m2;
        const double narrowed_dist_sq = d1 <= d2 ? d1 : d2;
        double theta = passage_newton(setup, narrowed);
        if (!(passage_at(setup, theta).dist_sq <= narrowed_dist_sq)) {
            theta = narrowed;  // Newton left the minimum
        }
        scan_new(theta);
    }
}

}  // namespace

void sweep_arm_plane(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept {
    sweep_planes(setup, out);
    sweep_passage(setup, axis, out);
}

// On a robot with equal arm lengths whose circle of o4 passes next to the
// base origin (the arm just off its fold) the elbow turns over a whole circle
// there, and the residual changes on the scale of that passage, which can lie
// many of its own widths from where o4 passes the J1 axis: scanned about the
// closest approach as well. |o4|² = |o5|² + y1² + 2·y1·(o5·d) is least where d
// points away from o5 in the flange's xy plane.
void scan_origin_passage(const Setup& setup, Candidates& out) noexcept {
    const Crx& robot = *setup.robot;
    if (!(std::fabs(robot.z1 - robot.x1) <= kOnAxisRelative * robot.z1)) {
        return;
    }
    const double ax = dot(setup.o5, setup.x_axis);
    const double ay = dot(setup.o5, setup.y_axis);
    const double planar = std::hypot(ax, ay);
    if (!(planar > 0.0)) {
        return;  // every point of the circle as far from the origin
    }
    const double closest_sq = dot(setup.o5, setup.o5) + robot.y1 * robot.y1 - 2.0 * robot.y1 * planar;
    const double near = kNearAxisRelative * robot.z1;
    if (!(closest_sq <= near * near)) {
        return;  // most targets: the circle stays away from the origin
    }
    scan_passage_with(setup, std::atan2(-ay, -ax), std::sqrt(std::max(closest_sq, 0.0)), robot.y1, out);
}

bool circle_plane_holds_axis(const Setup& setup) noexcept {
    // The normal of the circle's plane is the flange z axis, x_axis × y_axis.
    const Vec3 normal = cross(setup.x_axis, setup.y_axis);
    const double tol = kAxisPlaneRelative * setup.robot->z1;
    return std::fabs(normal[2]) <= kHoldsAxisSlope && std::fabs(dot(normal, setup.o5)) <= tol;
}

void sweep_arm_plane_lean(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept {
    if (!circle_plane_holds_axis(setup)) {
        sweep_planes(setup, out);
    }
    sweep_passage(setup, axis, out);
}

void sweep_arm_plane(const Setup& setup, Candidates& out) noexcept {
    sweep_arm_plane(setup, axis_thetas(setup), out);
}

}  // namespace ortholink::solver
