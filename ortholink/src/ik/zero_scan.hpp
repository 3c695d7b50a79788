#pragma once
// Zeros of a residual along one parameter from evenly spaced samples: every
// sign change between samples, and every dip towards zero between samples of
// one sign (two zeros closer than the sample spacing, or a zero the residual
// only touches), which a sign test alone misses.

#include <array>
#include <cmath>
#include <optional>

namespace ortholink::solver {

// Largest sample count of scan_zeros.
inline constexpr int kMaxScanSamples = 128;

namespace scan_detail {

inline constexpr int kDipSteps = 40;
inline constexpr int kEdgeBisections = 64;
inline constexpr double kGolden0 = 0.3819660112501051;
inline constexpr double kGolden1 = 0.6180339887498949;

}  // namespace scan_detail

// The zero of at(x) (an optional<double>) between a and b, where it changes
// sign (ga and gb its values there, of opposite signs, or one of them zero):
// false position with the Illinois change, as safe as bisection (the bracket
// always holds the sign change) and far quicker on smooth residuals. Ends
// after `steps` steps, when the bracket is `stop` wide, stops shrinking or
// leaves the residual's domain; returns its end with the smaller residual
// (the halved values are only weights, so both ends are evaluated again).
template <class At>
double false_position(const At& at, double a, double b, double ga, double gb, int steps, double stop) noexcept {
    int side = 0;
    for (int k = 0; k < steps && ga != 0.0 && gb != 0.0 && std::fabs(b - a) > stop; ++k) {
        double m = b - gb * (b - a) / (gb - ga);
        if (!(m > (a < b ? a : b) && m < (a < b ? b : a))) {
            m = 0.5 * (a + b);
            if (m == a || m == b) {
                break;  // neighbouring doubles
            }
        }
        const std::optional<double> gm = at(m);
        if (!gm) {
            break;
        }
        if ((*gm > 0.0) == (ga > 0.0) && *gm != 0.0) {
            a = m;
            ga = *gm;
            if (side == -1) {
                gb *= 0.5;
            }
            side = -1;
        } else {
            b = m;
            gb = *gm;
            if (side == 1) {
                ga *= 0.5;
            }
            side = 1;
        }
    }
    const std::optional<double> at_a = at(a);
    const std::optional<double> at_b = at(b);
    if (at_a && (!at_b || std::fabs(*at_a) < std::fabs(*at_b))) {
        return a;
    }
    return b;
}

// Zeros of at(x) (an optional<double>, nothing where the residual is not
// defined) at the samples x = place(i), i = 0 .. samples (at most
// kMaxScanSamples), where place maps [0, samples] increasingly onto the range
// scanned. Each sign change between samples i - 1 and i goes to
// bisect(x_{i-1}, x_i, g_{i-1}, g_i), which returns the zero; each dip of |g|
// at a sample is searched for its bottom by golden section on the sample
// index, and split in two sign changes where the bottom crosses zero, or
// passed to emit as it is where it does not (emit checks the residual
// there). Dips are searched where the parabola through the three samples
// reaches below half of the middle one, or the middle one is below half of
// both others (near the J1 axis they are V-shaped rather than round).
// Where the residual stops being defined between two samples, the edge is
// found by bisection and treated as a sample: a zero between it and the
// defined sample is bisected, and the edge itself goes to emit otherwise.
// emit(x) receives every zero.
// `sampled`, when not null, holds at(place(i)) for every sample already.
template <class At, class Place, class Bisect, class Emit>
void scan_zeros(const At& at, const Place& place, int samples, const Bisect& bisect, const Emit& emit,
                const std::optional<double>* sampled = nullptr) noexcept {
    std::array<std::optional<double>, kMaxScanSamples + 1> g;
    std::array<double, kMaxScanSamples + 1> x;
    const int n = samples < kMaxScanSamples ? samples : kMaxScanSamples;
    for (int i = 0; i <= n; ++i) {
        x[i] = place(static_cast<double>(i));
        g[i] = sampled != nullptr ? sampled[i] : at(x[i]);
    }
    for (int i = 1; i <= n; ++i) {
        if (g[i - 1].has_value() != g[i].has_value()) {
            // The residual stops being defined between the samples (the elbow
            // leaves the reachable shell): a zero can sit right at that edge.
            double inside = g[i - 1] ? x[i - 1] : x[i];
            double outside = g[i - 1] ? x[i] : x[i - 1];
            for (int k = 0; k < scan_detail::kEdgeBisections; ++k) {
                const double m = 0.5 * (inside + outside);
                if (m == inside || m == outside) {
                    break;
                }
                (at(m) ? inside : outside) = m;
            }
            const double known = g[i - 1] ? *g[i - 1] : *g[i];
            const double known_x = g[i - 1] ? x[i - 1] : x[i];
            const std::optional<double> ge = at(inside);
            if (!ge) {
                continue;
            }
            if (*ge == 0.0 || (*ge > 0.0) != (known > 0.0)) {
                emit(g[i - 1] ? bisect(known_x, inside, known, *ge) : bisect(inside, known_x, *ge, known));
            } else {
                emit(inside);  // emit checks how close to zero it comes
            }
            continue;
        }
        if (!g[i - 1]) {
            continue;
        }
        const double a = *g[i - 1];
        const double b = *g[i];
        if (b == 0.0 || (a != 0.0 && (a > 0.0) != (b > 0.0))) {
            emit(bisect(x[i - 1], x[i], a, b));
            continue;
        }
        if (i == n || !g[i + 1]) {
            continue;
        }
        const double c = *g[i + 1];
        const double sign = b > 0.0 ? 1.0 : -1.0;
        if ((c > 0.0) != (b > 0.0) || !(sign * b < sign * a && sign * b <= sign * c)) {
            continue;  // not a dip of |g| at sample i
        }
        const double curvature = a - 2.0 * b + c;
        const double bottom_estimate = curvature != 0.0 ? b - (c - a) * (c - a) / (8.0 * curvature) : b;
        const bool sharp = 2.0 * sign * b < sign * a && 2.0 * sign * b < sign * c;
        if (!sharp && !(sign * bottom_estimate < 0.5 * sign * b)) {
            continue;  // a broad extremum, far from zero
        }
        // Golden section on sign·g over the two intervals around sample i; it
        // stops once the dip reaches zero.
        double lo = i - 1.0;
        double hi = i + 1.0;
        double m1 = lo + (hi - lo) * scan_detail::kGolden0;
        double m2 = lo + (hi - lo) * scan_detail::kGolden1;
        std::optional<double> g1 = at(place(m1));
        std::optional<double> g2 = at(place(m2));
        for (int it = 0; it < scan_detail::kDipSteps && g1 && g2; ++it) {
            if (!(sign * *g1 > 0.0) || !(sign * *g2 > 0.0)) {
                lo = sign * *g1 <= sign * *g2 ? m1 : m2;
                hi = lo;
                break;
            }
            if (sign * *g1 <= sign * *g2) {
                hi = m2;
                m2 = m1;
                g2 = g1;
                m1 = lo + (hi - lo) * scan_detail::kGolden0;
                g1 = at(place(m1));
            } else {
                lo = m1;
                m1 = m2;
                g1 = g2;
                m2 = lo + (hi - lo) * scan_detail::kGolden1;
                g2 = at(place(m2));
            }
        }
        const double bottom = place(0.5 * (lo + hi));
        const std::optional<double> gb = at(bottom);
        if (!gb) {
            continue;
        }
        if (!(sign * *gb > 0.0)) {
            emit(bisect(x[i - 1], bottom, a, *gb));
            emit(bisect(bottom, x[i + 1], *gb, c));
        } else {
            emit(bottom);  // the dip only touches zero, if at all
        }
    }
}

}  // namespace ortholink::solver
