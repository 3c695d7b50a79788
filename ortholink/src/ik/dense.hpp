#pragma once
// Small dense linear algebra for the solver: fixed sizes, stack storage only,
// every iteration bounded so that no input (NaN included) can loop forever.

#include <array>
#include <complex>

namespace ortholink::solver {

// Order bound of the eigenvalue routine (the half-angle polynomial has degree <= 8).
inline constexpr int kMaxEigenOrder = 8;

// Eigenvalues of the n×n real matrix `a` (row-major, n*n values, 1 <= n <= 8):
// Householder reduction to upper Hessenberg form, then Francis double-shift QR
// with exceptional shifts. Eigenvalues come out of the 1×1 and 2×2 diagonal
// blocks in diagonal order into out[0..n-1]. Returns false on non-finite input,
// an order outside 1..8, or when the iteration bound is exhausted.
bool eigenvalues(const double* a, int n, std::array<std::complex<double>, kMaxEigenOrder>& out) noexcept;

using Vec6 = std::array<double, 6>;
using Vec12 = std::array<double, 12>;
using Mat6 = std::array<double, 36>;     // 6×6, row-major
using Mat12x6 = std::array<double, 72>;  // 12×6, row-major

// A = L·Lᵀ for a symmetric 6×6 `a` (only the lower triangle is read). `l` gets
// the lower-triangular factor (upper part zero). Fails when a pivot is not
// positive (zero, negative or NaN); `l` then holds only the columns before it.
bool cholesky(const Mat6& a, Mat6& l) noexcept;

// Solves L·Lᵀ·x = b: forward substitution, then back substitution.
Vec6 cholesky_solve(const Mat6& l, const Vec6& b) noexcept;

// Thin singular value decomposition A = U·diag(s)·Vᵀ of a 12×6 matrix.
// Singular values are non-negative, in no particular order.
struct Svd12x6 {
    Mat12x6 u;  // 12×6, orthonormal columns
    Vec6 s;
    Mat6 v;  // 6×6 orthogonal, row-major (V, not Vᵀ)
};

// Householder bidiagonalisation, then implicit-shift QR sweeps with Givens
// rotations (relative convergence threshold 5 machine epsilons). Fails on
// non-finite input or when the sweep bound is exhausted.
bool svd(const Mat12x6& a, Svd12x6& out) noexcept;

// Least-squares solution V·Σ⁺·Uᵀ·b; singular values at or below
// 1e-12·σmax are treated as zero.
Vec6 svd_solve(const Svd12x6& d, const Vec12& b) noexcept;

}  // namespace ortholink::solver
