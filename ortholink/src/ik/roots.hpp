#pragma once
// Real zeros of a degree-4 trigonometric polynomial on the full circle.

#include "ik/setup.hpp"
#include "ik/trig_poly.hpp"

namespace ortholink::solver {

// A nonzero degree-4 trigonometric polynomial has at most 8 zeros on the circle.
inline constexpr std::size_t kMaxRoots = 8;
using ThetaRoots = FixedVector<double, kMaxRoots>;

// How the zeros were found, for tests and diagnostics.
enum class RootPath : unsigned char {
    None,       // zero or constant polynomial: nothing to find
    Aberth,     // simultaneous iteration converged
    Companion,  // eigenvalues of the companion matrix
    Scan,       // sign changes on a half-degree grid
};

// Zeros of p as angles in [-π, π), no two within 1e-9 of each other; never
// fails (an empty list means none was found). They keep the order in which the
// root finder produced them; each is Newton-polished on p before merging.
ThetaRoots theta_roots(const TrigPoly& p, RootPath* path = nullptr) noexcept;

// The same, starting the chain of methods further down (Aberth, then the
// companion matrix, then the scan): lets the fallbacks be exercised directly.
ThetaRoots theta_roots_from(const TrigPoly& p, RootPath first, RootPath* path = nullptr) noexcept;

}  // namespace ortholink::solver
