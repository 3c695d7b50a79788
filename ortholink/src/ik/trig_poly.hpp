#pragma once
// Trigonometric polynomials of degree 4,
// p(θ) = a0 + Σ_{k=1..4} (a_k·cos kθ + b_k·sin kθ),
// and their conversion to an ordinary polynomial in t = tan(φ/2).

#include <array>

#include "ik/setup.hpp"

namespace ortholink::solver {

inline constexpr int kTrigDegree = 4;
inline constexpr int kTrigSamples = 16;
inline constexpr int kHalfAngleDegree = 8;

using HalfAnglePoly = std::array<double, kHalfAngleDegree + 1>;  // ascending powers of t

// cos kθ and sin kθ for k = 0..4 from one sincos, by the fixed recurrences.
struct Harmonics {
    std::array<double, kTrigDegree + 1> c;
    std::array<double, kTrigDegree + 1> s;
};
inline Harmonics harmonics(double s, double c) noexcept {
    Harmonics h;
    h.c[0] = 1.0;
    h.s[0] = 0.0;
    h.c[1] = c;
    h.s[1] = s;
    h.s[2] = c * s + c * s;
    h.c[2] = c * c - s * s;
    h.c[3] = h.c[2] * c - h.s[2] * s;
    h.s[3] = h.s[2] * c + h.c[2] * s;
    h.c[4] = c * h.c[3] - s * h.s[3];
    h.s[4] = c * h.s[3] + s * h.c[3];
    return h;
}

struct TrigPoly {
    std::array<double, kTrigDegree + 1> a{};  // a[0] constant, a[k] of cos kθ
    std::array<double, kTrigDegree + 1> b{};  // b[0] always 0, b[k] of sin kθ

    // Fitted from Setup::f at θ_i = i·π/8.
    static TrigPoly from_setup(const Setup& setup) noexcept;
    // Discrete Fourier fit of samples at θ_i = i·π/8, i = 0..15; exact for degree 4.
    static TrigPoly from_samples(const std::array<double, kTrigSamples>& samples) noexcept;

    [[nodiscard]] double value(double theta) const noexcept;
    [[nodiscard]] double derivative(double theta) const noexcept;
    // p and p' from precomputed harmonics: a0 + Σ (a_k·cos kθ + b_k·sin kθ) in
    // order of k, and Σ k·(b_k·cos kθ - a_k·sin kθ).
    [[nodiscard]] double value_at(const Harmonics& h) const noexcept {
        double v = a[0];
        for (int k = 1; k <= kTrigDegree; ++k) {
            v += a[k] * h.c[k] + b[k] * h.s[k];
        }
        return v;
    }
    [[nodiscard]] double derivative_at(const Harmonics& h) const noexcept {
        double v = 0.0;
        for (int k = 1; k <= kTrigDegree; ++k) {
            v += k * (b[k] * h.c[k] - a[k] * h.s[k]);
        }
        return v;
    }
};

// Coefficients c_0..c_8 with Σ c_j·t^j = (1 + t²)^4·q(φ), t = tan(φ/2).
HalfAnglePoly half_angle_polynomial(const TrigPoly& q) noexcept;

}  // namespace ortholink::solver
