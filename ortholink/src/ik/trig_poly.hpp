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
Harmonics harmonics(double s, double c) noexcept;

struct TrigPoly {
    std::array<double, kTrigDegree + 1> a{};  // a[0] constant, a[k] of cos kθ
    std::array<double, kTrigDegree + 1> b{};  // b[0] always 0, b[k] of sin kθ

    // Fitted from Setup::f at θ_i = i·π/8.
    static TrigPoly from_setup(const Setup& setup) noexcept;
    // Discrete Fourier fit of samples at θ_i = i·π/8, i = 0..15; exact for degree 4.
    static TrigPoly from_samples(const std::array<double, kTrigSamples>& samples) noexcept;

    [[nodiscard]] double value(double theta) const noexcept;
    [[nodiscard]] double derivative(double theta) const noexcept;
    [[nodiscard]] double value_at(const Harmonics& h) const noexcept;
    [[nodiscard]] double derivative_at(const Harmonics& h) const noexcept;
};

// Coefficients c_0..c_8 with Σ c_j·t^j = (1 + t²)^4·q(φ), t = tan(φ/2).
HalfAnglePoly half_angle_polynomial(const TrigPoly& q) noexcept;

}  // namespace ortholink::solver
