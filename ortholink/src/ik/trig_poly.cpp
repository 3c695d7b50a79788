#include "ik/trig_poly.hpp"

#include <cmath>

#include "ik/lanes.hpp"

namespace ortholink::solver {
namespace {

// (sin(jπ/8), cos(jπ/8)) as the C library gives them for j = 0..15: the fit
// must use the rounded values (cos(π/2) is 6.123233995736766e-17, not 0).
constexpr std::array<std::array<double, 2>, kTrigSamples> kSampleSinCos{{
    {0.0, 1.0},
    {0.38268343236508978, 0.92387953251128674},
    {0.70710678118654746, 0.70710678118654757},
    {0.92387953251128674, 0.38268343236508984},
    {1.0, 6.123233995736766e-17},
    {0.92387953251128674, -0.38268343236508973},
    {0.70710678118654757, -0.70710678118654746},
    {0.38268343236508989, -0.92387953251128674},
    {1.2246467991473532e-16, -1.0},
    {-0.38268343236508967, -0.92387953251128685},
    {-0.70710678118654746, -0.70710678118654768},
    {-0.92387953251128652, -0.38268343236509034},
    {-1.0, -1.8369701987210297e-16},
    {-0.92387953251128663, 0.38268343236509},
    {-0.70710678118654768, 0.70710678118654735},
    {-0.38268343236509039, 0.92387953251128652},
}};

// Fourier weights of the fit: the mean (1/16) and the harmonics (2/16), exact.
constexpr double kSampleMean = 1.0 / kTrigSamples;
constexpr double kHarmonicWeight = 2.0 / kTrigSamples;

}  // namespace

TrigPoly TrigPoly::from_setup(const Setup& setup) noexcept {
    std::array<double, kTrigSamples> samples;
    for (int i = 0; i < kTrigSamples; i += 2) {
        // The stored pairs are exactly sincos(i·π/8).
        const V2 f = setup.f_sc(V2{kSampleSinCos[i][0], kSampleSinCos[i + 1][0]},
                                V2{kSampleSinCos[i][1], kSampleSinCos[i + 1][1]});
        samples[i] = f[0];
        samples[i + 1] = f[1];
    }
    return from_samples(samples);
}

TrigPoly TrigPoly::from_samples(const std::array<double, kTrigSamples>& f) noexcept {
    // The four harmonics accumulate side by side, (1, 2) and (3, 4), each in
    // the order of the samples.
    double s0 = 0.0;
    V2 a12{0.0, 0.0};
    V2 a34{0.0, 0.0};
    V2 b12{0.0, 0.0};
    V2 b34{0.0, 0.0};
    for (int i = 0; i < kTrigSamples; ++i) {
        s0 += f[i];
        const V2 fi = splat(f[i]);
        const int j1 = i % kTrigSamples;
        const int j2 = (2 * i) % kTrigSamples;
        const int j3 = (3 * i) % kTrigSamples;
        const int j4 = (4 * i) % kTrigSamples;
        a12 = a12 + V2{kSampleSinCos[j1][1], kSampleSinCos[j2][1]} * fi;
        a34 = a34 + V2{kSampleSinCos[j3][1], kSampleSinCos[j4][1]} * fi;
        b12 = b12 + V2{kSampleSinCos[j1][0], kSampleSinCos[j2][0]} * fi;
        b34 = b34 + V2{kSampleSinCos[j3][0], kSampleSinCos[j4][0]} * fi;
    }
    TrigPoly p;
    p.a[0] = s0 * kSampleMean;
    p.b[0] = 0.0;
    const V2 eighth = splat(kHarmonicWeight);
    const V2 pa12 = a12 * eighth;
    const V2 pa34 = a34 * eighth;
    const V2 pb12 = b12 * eighth;
    const V2 pb34 = b34 * eighth;
    p.a[1] = pa12[0];
    p.a[2] = pa12[1];
    p.a[3] = pa34[0];
    p.a[4] = pa34[1];
    p.b[1] = pb12[0];
    p.b[2] = pb12[1];
    p.b[3] = pb34[0];
    p.b[4] = pb34[1];
    return p;
}

double TrigPoly::value(double theta) const noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    return value_at(harmonics(s, c));
}

double TrigPoly::derivative(double theta) const noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(theta, &s, &c);
    return derivative_at(harmonics(s, c));
}

namespace {

// (1 + i·t)^(2k) = (1 + t²)^k·(cos kφ + i·sin kφ) for k = 0..4, as real and
// imaginary coefficient lists: integers that do not depend on the polynomial,
// built once by the recurrence (multiplication by 1 - t² + 2i·t).
struct HalfAnglePowers {
    std::array<HalfAnglePoly, kTrigDegree + 1> re{};
    std::array<HalfAnglePoly, kTrigDegree + 1> im{};
    std::array<int, kTrigDegree + 1> len{};
};

constexpr HalfAnglePowers half_angle_powers() {
    HalfAnglePowers out;
    HalfAnglePoly re{};
    HalfAnglePoly im{};
    re[0] = 1.0;
    im[0] = 0.0;
    int len = 1;
    for (int k = 0; k <= kTrigDegree; ++k) {
        if (k > 0) {
            const HalfAnglePoly old_re = re;
            const HalfAnglePoly old_im = im;
            len += 2;
            for (int j = 0; j < len; ++j) {
                double cr = j < len - 2 ? old_re[j] : 0.0;
                double ci = j < len - 2 ? old_im[j] : 0.0;
                if (j >= 2) {
                    cr = cr - old_re[j - 2];
                    ci = ci - old_im[j - 2];
                }
                if (j >= 1 && j - 1 < len - 2) {
                    cr = cr - 2.0 * old_im[j - 1];
                    ci = ci + 2.0 * old_re[j - 1];
                }
                re[j] = cr;
                im[j] = ci;
            }
        }
        out.re[k] = re;
        out.im[k] = im;
        out.len[k] = len;
    }
    return out;
}

constexpr HalfAnglePowers kHalfAnglePowers = half_angle_powers();

// The term of harmonic K, multiplied by (1 + t²)^(4-K) so that every term has
// the common denominator, added into `out`.
template <int K>
void add_half_angle_term(const TrigPoly& q, HalfAnglePoly& out) noexcept {
    constexpr const HalfAnglePoly& re = kHalfAnglePowers.re[K];
    constexpr const HalfAnglePoly& im = kHalfAnglePowers.im[K];
    constexpr int len = kHalfAnglePowers.len[K];
    HalfAnglePoly t{};
    for (int j = 0; j < len; ++j) {
        t[j] = q.a[K] * re[j] + q.b[K] * im[j];
    }
    int tlen = len;
    for (int r = 0; r < kTrigDegree - K; ++r) {
        tlen += 2;
        for (int j = tlen - 1; j >= 2; --j) {
            t[j] = t[j] + t[j - 2];
        }
    }
    for (int j = 0; j < tlen; ++j) {
        out[j] += t[j];
    }
}

}  // namespace

HalfAnglePoly half_angle_polynomial(const TrigPoly& q) noexcept {
    HalfAnglePoly out{};
    add_half_angle_term<0>(q, out);
    add_half_angle_term<1>(q, out);
    add_half_angle_term<2>(q, out);
    add_half_angle_term<3>(q, out);
    add_half_angle_term<4>(q, out);
    return out;
}

}  // namespace ortholink::solver
