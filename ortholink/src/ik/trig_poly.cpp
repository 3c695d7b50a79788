#include "ik/trig_poly.hpp"

#include <cmath>

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

}  // namespace

TrigPoly TrigPoly::from_setup(const Setup& setup) noexcept {
    std::array<double, kTrigSamples> samples;
    for (int i = 0; i < kTrigSamples; ++i) {
        // The stored pairs are exactly sincos(i·π/8).
        samples[i] = setup.f_sc(kSampleSinCos[i][0], kSampleSinCos[i][1]);
    }
    return from_samples(samples);
}

TrigPoly TrigPoly::from_samples(const std::array<double, kTrigSamples>& f) noexcept {
    double s0 = 0.0;
    std::array<double, kTrigDegree + 1> sum_a{};
    std::array<double, kTrigDegree + 1> sum_b{};
    for (int i = 0; i < kTrigSamples; ++i) {
        s0 += f[i];
        for (int k = 1; k <= kTrigDegree; ++k) {
            const int j = (k * i) % kTrigSamples;
            sum_a[k] += kSampleSinCos[j][1] * f[i];
            sum_b[k] += kSampleSinCos[j][0] * f[i];
        }
    }
    TrigPoly p;
    p.a[0] = s0 * 0.0625;
    p.b[0] = 0.0;
    for (int k = 1; k <= kTrigDegree; ++k) {
        p.a[k] = sum_a[k] * 0.125;
        p.b[k] = sum_b[k] * 0.125;
    }
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

HalfAnglePoly half_angle_polynomial(const TrigPoly& q) noexcept {
    // E = (1 + i·t)^(2k) = (1 + t²)^k·(cos kφ + i·sin kφ), as real and imaginary parts.
    HalfAnglePoly re{};
    HalfAnglePoly im{};
    HalfAnglePoly out{};
    re[0] = 1.0;
    im[0] = 0.0;
    int len = 1;
    for (int k = 0; k <= kTrigDegree; ++k) {
        if (k > 0) {
            // Multiply by 1 - t² + 2i·t.
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
        HalfAnglePoly t{};
        for (int j = 0; j < len; ++j) {
            t[j] = q.a[k] * re[j] + q.b[k] * im[j];
        }
        // Multiply by (1 + t²)^(4-k) so every term has the common denominator.
        int tlen = len;
        for (int r = 0; r < kTrigDegree - k; ++r) {
            tlen += 2;
            for (int j = tlen - 1; j >= 2; --j) {
                t[j] = t[j] + t[j - 2];
            }
        }
        for (int j = 0; j < tlen; ++j) {
            out[j] += t[j];
        }
    }
    return out;
}

}  // namespace ortholink::solver
