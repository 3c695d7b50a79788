#include "ik/roots.hpp"

#include <algorithm>
#include <cmath>

#include "ik/dense.hpp"
#include "ik/lanes.hpp"
#include "numeric.hpp"

namespace ortholink::solver {
namespace {

// Rotation search: |p| on a grid of 64 angles.
constexpr int kRotationGrid = 64;
// One grid step as a fraction of a turn (1/64, exact).
constexpr double kRotationGridStep = 1.0 / kRotationGrid;
// Coefficients at or below this fraction of the largest count as zero.
constexpr double kCoefficientFloor = 1e-14;
constexpr int kAberthSweeps = 100;
// Convergence of a root: |p(z)| within 2^-47 of the rounding bound Σ|m_j|·|z|^j.
constexpr double kAberthConvergence = 7.105427357601002e-15;
// Nudge (relative to the root radius) for a root sitting on a zero of p'.
constexpr double kAberthNudge = 0.001;
// Angle offset of the initial points, radians, so none starts on the real axis.
constexpr double kAberthPhase = 0.4;
// A root is real when |Im z| <= this times max(1, |Re z|).
constexpr double kRealRootSlack = 0.01;
// Sign-change scan: half a degree in radians, 720 intervals, 80 bisections.
constexpr double kScanStep = 0.008726646259971648;
constexpr int kScanIntervals = 720;
constexpr int kBisections = 80;
// Newton polish on p: largest step (radians), stop step, accepted steps.
constexpr double kNewtonMaxStep = 0.05;
constexpr double kNewtonStop = 1e-15;
constexpr int kNewtonSteps = 20;
// Two roots closer than this (radians) are one.
constexpr double kRootMerge = 1e-9;

struct Cx {
    double re;
    double im;
};

Cx mul(Cx a, Cx b) noexcept {
    return Cx{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

Cx div(Cx a, Cx b) noexcept {
    const double inv = 1.0 / (b.re * b.re + b.im * b.im);
    return Cx{(a.re * b.re + a.im * b.im) * inv, (a.im * b.re - a.re * b.im) * inv};
}

// |z| for the convergence test: the plain formula where it cannot overflow
// or lose precision to underflow, hypot elsewhere.
double magnitude(Cx z) noexcept {
    const double sq = z.re * z.re + z.im * z.im;
    return sq > kSquareSafeLow && sq < kSquareSafeHigh ? std::sqrt(sq) : std::hypot(z.re, z.im);
}

// |z| rounded up in the lanes computed as sqrt(re² + im²): that is within a
// few rounding errors of hypot(re, im), so a relative margin of 1e-15 keeps it
// from falling below. Below the safe range hypot is used itself.
constexpr double kMagnitudeUpward = 1.0 + 1e-15;

// Not above hypot(z.re, z.im), by the same margin.
double magnitude_below(Cx z) noexcept {
    constexpr double kDownward = 1.0 - 1e-15;
    const double sq = z.re * z.re + z.im * z.im;
    return sq > kSquareSafeLow && sq < kSquareSafeHigh ? std::sqrt(sq) * kDownward : std::hypot(z.re, z.im);
}

// Lane 0 or lane 1 of a pair, all ones.
constexpr M2 kLane[2] = {M2{-1, 0}, M2{0, -1}};

// `pair` with lane `lane` replaced by `value`, built in registers: a store of
// one lane followed by a load of the whole pair would stall the pipeline.
V2 with_lane(V2 pair, int lane, double value) noexcept {
    return (V2)(((M2)pair & ~kLane[lane]) | ((M2)V2{value, value} & kLane[lane]));
}

using Monic = std::array<double, kHalfAngleDegree + 1>;
using ComplexRoots = std::array<Cx, kHalfAngleDegree>;

// cos kθ and sin kθ of the rotation-search angles, computed once from one
// sincos each by the usual recurrences: the same values every evaluation would
// compute for itself.
struct GridPair {
    std::array<V2, kTrigDegree + 1> c;
    std::array<V2, kTrigDegree + 1> s;
};

const std::array<GridPair, kRotationGrid / 2>& rotation_grid() noexcept {
    static const auto grid = [] {
        std::array<GridPair, kRotationGrid / 2> g{};
        for (int i = 0; i < kRotationGrid; ++i) {
            double s = 0.0;
            double c = 0.0;
            ::sincos((i * kTwoPi) * kRotationGridStep, &s, &c);
            const Harmonics h = harmonics(s, c);
            for (int k = 0; k <= kTrigDegree; ++k) {
                g[i / 2].c[k][i % 2] = h.c[k];
                g[i / 2].s[k][i % 2] = h.s[k];
            }
        }
        return g;
    }();
    return grid;
}

// cos and sin of the initial angles 2πk/n + 0.4 of the root iteration for
// every degree n, computed once: the same values each call would compute.
const std::array<std::array<Cx, kHalfAngleDegree>, kHalfAngleDegree + 1>& initial_directions() noexcept {
    static const auto table = [] {
        std::array<std::array<Cx, kHalfAngleDegree>, kHalfAngleDegree + 1> t{};
        for (int n = 1; n <= kHalfAngleDegree; ++n) {
            for (int k = 0; k < n; ++k) {
                double s = 0.0;
                double c = 0.0;
                ::sincos(kTwoPi * k / n + kAberthPhase, &s, &c);
                t[n][k] = Cx{c, s};
            }
        }
        return t;
    }();
    return table;
}

double eval_at(const TrigPoly& p, double theta) noexcept {
    return p.value(theta);
}

// All n roots of the monic polynomial m (m[n] = 1) by the Aberth–Ehrlich
// iteration; false when it does not settle.
bool aberth(const Monic& m, int n, ComplexRoots& z) noexcept {
    double radius = 0.0;
    for (int j = 0; j < n; ++j) {
        const double term = std::pow(std::fabs(m[j]), 1.0 / static_cast<double>(n - j));
        if (term > radius) {
            radius = term;
        }
    }
    if (radius == 0.0) {
        for (int k = 0; k < n; ++k) {
            z[k] = Cx{0.0, 0.0};
        }
        return true;
    }
    const auto& directions = initial_directions()[n];
    for (int k = 0; k < n; ++k) {
        z[k] = Cx{radius * directions[k].re, radius * directions[k].im};
    }
    std::array<double, kHalfAngleDegree + 1> abs_m{};
    for (int j = 0; j <= n; ++j) {
        abs_m[j] = std::fabs(m[j]);
    }

    // Roots and their values as separate real and imaginary parts in pairs of
    // lanes, of the full capacity, so the per-root loops run two roots at a
    // time. Every lane is computed as the scalar formulas would; unused lanes
    // hold zeros and are never read back.
    constexpr int kPairs = kHalfAngleDegree / 2;
    V2 zr[kPairs] = {};
    V2 zi[kPairs] = {};
    for (int k = 0; k < n; ++k) {
        zr[k / 2][k % 2] = z[k].re;
        zi[k / 2][k % 2] = z[k].im;
    }
    // All ones in the lanes of the n roots, and in those not yet converged.
    M2 in_use[kPairs] = {};
    for (int k = 0; k < n; ++k) {
        in_use[k / 2][k % 2] = -1;
    }
    M2 active[kPairs];
    for (int h = 0; h < kPairs; ++h) {
        active[h] = in_use[h];
    }
    // For each root, the lanes of all the others.
    M2 others[kHalfAngleDegree][kPairs];
    for (int k = 0; k < n; ++k) {
        for (int h = 0; h < kPairs; ++h) {
            others[k][h] = h == k / 2 ? in_use[h] & ~kLane[k % 2] : in_use[h];
        }
    }
    // A converged root is never moved again, so it would pass the test again
    // on every later sweep; it is not re-evaluated.
    std::array<bool, kHalfAngleDegree> converged{};
    const V2 zero{0.0, 0.0};
    for (int sweep = 0; sweep < kAberthSweeps; ++sweep) {
        // A root moves only at its own turn, so the values a sweep needs at
        // z_k and z_k+1 are the same whenever they are computed before the
        // turn of z_k: each pair of roots is evaluated just before its first
        // root's turn, which lets that work run alongside the updates of the
        // roots before it.
        V2 pr[kPairs];
        V2 pi[kPairs];
        V2 dr[kPairs];
        V2 di[kPairs];
        V2 bound[kPairs];
        const auto evaluate_pair = [&](int h) {
            // The bound is first taken with |z| rounded up: when |p| exceeds
            // even that, it exceeds the bound with |z| by hypot (the Horner
            // recurrence of non-negative terms is monotonic), and hypot is not
            // needed. Converged and unused lanes get |z| = 0.
            const V2 sq = zr[h] * zr[h] + zi[h] * zi[h];
            V2 upper = V2{std::sqrt(sq[0]), std::sqrt(sq[1])} * V2{kMagnitudeUpward, kMagnitudeUpward};
            const M2 plain = sq > V2{kSquareSafeLow, kSquareSafeLow};
            if (((~plain & active[h])[0] | (~plain & active[h])[1]) != 0) {
                upper = V2{plain[0] != 0 ? upper[0] : std::hypot(zr[h][0], zi[h][0]),
                           plain[1] != 0 ? upper[1] : std::hypot(zr[h][1], zi[h][1])};
            }
            const V2 az = (V2)((M2)upper & active[h]);
            V2 vr{m[n], m[n]};
            V2 vi = zero;
            V2 wr = zero;
            V2 wi = zero;
            V2 b{abs_m[n], abs_m[n]};
            const V2 x = zr[h];
            const V2 y = zi[h];
            for (int j = n - 1; j >= 0; --j) {
                // p' ← p'·z + p, then p ← p·z + m_j.
                const V2 dzr = wr * x - wi * y;
                const V2 dzi = wr * y + wi * x;
                wr = dzr + vr;
                wi = dzi + vi;
                const V2 pzr = vr * x - vi * y;
                const V2 pzi = vr * y + vi * x;
                vr = pzr + V2{m[j], m[j]};
                vi = pzi;
                b = b * az + V2{abs_m[j], abs_m[j]};
            }
            pr[h] = vr;
            pi[h] = vi;
            dr[h] = wr;
            di[h] = wi;
            bound[h] = b;
        };
        bool all_converged = true;
        for (int k = 0; k < n; ++k) {
            const int hk = k / 2;
            const int lk = k % 2;
            if (lk == 0 && (active[hk][0] | active[hk][1]) != 0) {
                evaluate_pair(hk);
            }
            if (converged[k]) {
                continue;
            }
            const Cx zk{zr[hk][lk], zi[hk][lk]};
            const Cx p{pr[hk][lk], pi[hk][lk]};
            const Cx dp{dr[hk][lk], di[hk][lk]};
            const double abs_p = magnitude(p);
            if (abs_p <= bound[hk][lk] * kAberthConvergence) {
                // Passing with |z| rounded down passes with hypot too; only
                // a value between the two needs hypot to decide.
                const double below = magnitude_below(zk);
                double b = abs_m[n];
                for (int j = n - 1; j >= 0; --j) {
                    b = b * below + abs_m[j];
                }
                if (!(abs_p <= b * kAberthConvergence)) {
                    const double exact = std::hypot(zk.re, zk.im);
                    b = abs_m[n];
                    for (int j = n - 1; j >= 0; --j) {
                        b = b * exact + abs_m[j];
                    }
                }
                if (abs_p <= b * kAberthConvergence) {
                    converged[k] = true;
                    active[hk] &= ~kLane[lk];
                    continue;
                }
            }
            all_converged = false;
            if (dp.re == 0.0 && dp.im == 0.0) {
                zr[hk] = with_lane(zr[hk], lk, zk.re + kAberthNudge * radius);
                zi[hk] = with_lane(zi[hk], lk, zk.im + kAberthNudge * radius);
                continue;
            }
            const Cx newton = div(p, dp);
            // 1/(z_k - z_j) for every lane at once, then summed in order of j.
            // Unused lanes give values that are never read; lane k itself (a
            // zero difference) gives signed zeros.
            const V2 zkr{zk.re, zk.re};
            const V2 zki{zk.im, zk.im};
            V2 terms[kHalfAngleDegree];  // (re, im) of 1/(z_k - z_j), lane j
            M2 vanishing = {0, 0};       // other roots at a zero squared distance
            for (int h = 0; h < kPairs; ++h) {
                const V2 xr = zkr - zr[h];
                const V2 xi = zki - zi[h];
                const V2 den = xr * xr + xi * xi;
                const V2 quotient = V2{1.0, 1.0} / den;
                // A difference whose square underflows contributes nothing.
                const M2 nonzero = den != zero;
                const V2 inv = (V2)((M2)quotient & nonzero);
                const V2 ir = xr * inv;
                const V2 ii = -xi * inv;
                terms[2 * h] = __builtin_shufflevector(ir, ii, 0, 2);
                terms[2 * h + 1] = __builtin_shufflevector(ir, ii, 1, 3);
                vanishing |= ~nonzero & others[k][h];
            }
            // Rare: decide on the differences themselves whether a root
            // coincides with z_k.
            if ((vanishing[0] | vanishing[1]) != 0) {
                for (int j = 0; j < n; ++j) {
                    if (j != k && zk.re - zr[j / 2][j % 2] == 0.0 && zk.im - zi[j / 2][j % 2] == 0.0) {
                        return false;
                    }
                }
            }
            // Lane k's term is (+0, -0), and adding it changes nothing: the
            // running sum starts at +0 and can never become -0 (an exact
            // cancellation rounds to +0). So with all lanes in use the sum runs
            // over every lane without a gap.
            V2 total = zero;
            if (n == kHalfAngleDegree) {
                for (int j = 0; j < kHalfAngleDegree; ++j) {
                    total = total + terms[j];
                }
            } else {
                for (int j = 0; j < k; ++j) {
                    total = total + terms[j];
                }
                for (int j = k + 1; j < n; ++j) {
                    total = total + terms[j];
                }
            }
            const Cx sum{total[0], total[1]};
            const Cx ns = mul(newton, sum);
            const Cx den{1.0 - ns.re, -ns.im};
            const Cx w = (den.re == 0.0 && den.im == 0.0) ? newton : div(newton, den);
            if (!std::isfinite(w.re) || !std::isfinite(w.im)) {
                return false;
            }
            zr[hk] = with_lane(zr[hk], lk, zk.re - w.re);
            zi[hk] = with_lane(zi[hk], lk, zk.im - w.im);
        }
        if (all_converged) {
            for (int k = 0; k < n; ++k) {
                z[k] = Cx{zr[k / 2][k % 2], zi[k / 2][k % 2]};
            }
            return true;
        }
    }
    return false;
}

// Eigenvalues of the companion matrix of c (degree n, leading c[n]).
bool companion(const HalfAnglePoly& c, int n, ComplexRoots& z) noexcept {
    std::array<double, kMaxEigenOrder * kMaxEigenOrder> a{};
    for (int j = 0; j < n; ++j) {
        a[j] = -c[n - 1 - j] / c[n];
    }
    for (int i = 1; i < n; ++i) {
        a[i * n + (i - 1)] = 1.0;
    }
    std::array<std::complex<double>, kMaxEigenOrder> ev{};
    if (!eigenvalues(a.data(), n, ev)) {
        return false;
    }
    for (int k = 0; k < n; ++k) {
        z[k] = Cx{ev[k].real(), ev[k].imag()};
    }
    return true;
}

// Sign changes of p on a half-degree grid over [-π, π], each bisected.
FixedVector<double, kMaxRoots> scan(const TrigPoly& p) noexcept {
    FixedVector<double, kMaxRoots> out;
    double prev_theta = -kPi;
    double f_prev = eval_at(p, prev_theta);
    for (int i = 1; i <= kScanIntervals; ++i) {
        const double theta = i * kScanStep - kPi;
        const double f = eval_at(p, theta);
        if (f_prev == 0.0) {
            out.push_back(theta - kScanStep);
        } else if (f_prev * f < 0.0) {
            // Requires p(lo)·p(hi) < 0.
            double lo = prev_theta;
            double hi = theta;
            double f_lo = f_prev;
            bool exact = false;
            for (int b = 0; b < kBisections; ++b) {
                const double mid = (lo + hi) * 0.5;
                const double f_mid = eval_at(p, mid);
                if (f_mid == 0.0) {
                    out.push_back(mid);
                    exact = true;
                    break;
                }
                if (f_lo * f_mid < 0.0) {
                    hi = mid;
                } else {
                    lo = mid;
                    f_lo = f_mid;
                }
            }
            if (!exact) {
                out.push_back((lo + hi) * 0.5);
            }
        }
        prev_theta = theta;
        f_prev = f;
    }
    return out;
}

// Newton on p itself; every step must strictly lower |p|.
double polish_root(const TrigPoly& p, double theta) noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    Harmonics h = harmonics(s, c);
    double v = p.value_at(h);
    double dv = p.derivative_at(h);
    for (int accepted = 0; accepted < kNewtonSteps;) {
        if (dv == 0.0) {
            break;
        }
        const double step = -v / dv;
        if (std::fabs(step) > kNewtonMaxStep) {
            break;
        }
        const double next = theta + step;
        ::sincos(next, &s, &c);
        h = harmonics(s, c);
        const double v_next = p.value_at(h);
        if (std::fabs(v) <= std::fabs(v_next)) {
            break;
        }
        theta = next;
        v = v_next;
        dv = p.derivative_at(h);
        ++accepted;
        if (std::fabs(step) < kNewtonStop) {
            break;
        }
    }
    return theta;
}

void collect(const TrigPoly& p, double theta, ThetaRoots& out) noexcept {
    const double wrapped = wrap_angle(polish_root(p, theta));
    const bool seen = std::any_of(out.begin(), out.end(), [&](double known) {
        return std::fabs(wrap_angle(wrapped - known)) < kRootMerge;
    });
    if (!seen) {
        out.push_back(wrapped);
    }
}

}  // namespace

ThetaRoots theta_roots(const TrigPoly& p, RootPath* path) noexcept {
    return theta_roots_from(p, RootPath::Aberth, path);
}

ThetaRoots theta_roots_from(const TrigPoly& p, RootPath first, RootPath* path) noexcept {
    ThetaRoots out;
    RootPath used = RootPath::None;

    // The half-angle substitution cannot represent φ = π; put that point where
    // |p| is largest, where no zero can be.
    // p on two grid angles at a time, each lane as TrigPoly::value_at.
    const auto& grid = rotation_grid();
    double best = -1.0;
    double theta_max = 0.0;
    for (int i = 0; i < kRotationGrid; i += 2) {
        const GridPair& g = grid[i / 2];
        V2 value = splat(p.a[0]);
        for (int k = 1; k <= kTrigDegree; ++k) {
            value = value + (splat(p.a[k]) * g.c[k] + splat(p.b[k]) * g.s[k]);
        }
        for (int lane = 0; lane < 2; ++lane) {
            const double v = std::fabs(value[lane]);
            if (v > best) {
                best = v;
                theta_max = ((i + lane) * kTwoPi) * kRotationGridStep;
            }
        }
    }
    const double shift = theta_max - kPi;
    double ss = 0.0;
    double cs = 0.0;
    ::sincos(shift, &ss, &cs);
    const Harmonics hs = harmonics(ss, cs);
    TrigPoly q;
    q.a[0] = p.a[0];
    q.b[0] = p.b[0];
    for (int k = 1; k <= kTrigDegree; ++k) {
        q.a[k] = p.b[k] * hs.s[k] + p.a[k] * hs.c[k];
        q.b[k] = p.b[k] * hs.c[k] - p.a[k] * hs.s[k];
    }
    const HalfAnglePoly c = half_angle_polynomial(q);

    double largest = 0.0;
    for (const double cj : c) {
        if (std::fabs(cj) > largest) {
            largest = std::fabs(cj);
        }
    }
    bool use_scan = false;
    int n = 0;
    ComplexRoots z{};
    if (largest != 0.0) {
        const double tol = largest * kCoefficientFloor;
        // Each dropped leading coefficient is a root at φ = π, ruled out above.
        for (int j = kHalfAngleDegree; j >= 1; --j) {
            if (std::fabs(c[j]) > tol) {
                n = j;
                break;
            }
        }
        if (n == 0) {
            // A nonzero constant has no zeros; anything else is non-finite.
            use_scan = !(std::fabs(c[0]) > tol);
        } else {
            Monic m{};
            for (int j = 0; j <= n; ++j) {
                m[j] = c[j] / c[n];
            }
            if (first == RootPath::Scan) {
                use_scan = true;
            } else if (first != RootPath::Companion && aberth(m, n, z)) {
                used = RootPath::Aberth;
            } else if (companion(c, n, z)) {
                used = RootPath::Companion;
            } else {
                use_scan = true;
            }
        }
    }

    if (use_scan) {
        used = RootPath::Scan;
        for (const double theta : scan(p)) {
            collect(p, theta, out);
        }
    } else if (used != RootPath::None) {
        for (int k = 0; k < n; ++k) {
            if (std::fabs(z[k].im) <= kRealRootSlack * std::max(1.0, std::fabs(z[k].re))) {
                collect(p, wrap_angle(2.0 * std::atan(z[k].re) + shift), out);
            }
        }
    }
    if (path != nullptr) {
        *path = used;
    }
    return out;
}

}  // namespace ortholink::solver
