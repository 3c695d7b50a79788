#pragma once
// Zeros of the branch residuals across the stretch of the circle where o4
// passes close to the J1 axis (the equal-arm arm just off its fold), found
// by sampling instead of from the regular residual's roots: there the roots
// crowd, and a zero several of their spreads away can be lost to the root
// finder altogether.

#include "ik/candidates.hpp"

namespace ortholink::solver {

// Appends to `out` the elbows of both branches at the zeros of their
// residuals within `half_width` radians of `theta` (sign changes and dips on
// an even grid, each refined by bisection) whose residual is at most 1e-9.
void scan_crowded(const Setup& setup, double theta, double half_width, Candidates& out) noexcept;

}  // namespace ortholink::solver
