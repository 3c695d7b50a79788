#include "ik/dense.hpp"

#include <algorithm>
#include <cmath>

#include "numeric.hpp"

namespace ortholink::solver {
namespace {

// Relative deflation test of the QR iteration: one machine epsilon.
constexpr double kEigenEpsilon = kMachineEpsilon;
// Francis steps allowed per eigenvalue before giving up (exceptional shifts at 10 and 20).
constexpr int kEigenIterations = 30;
// Relative threshold below which a bidiagonal entry counts as zero (5 machine epsilons).
constexpr double kSvdEpsilon = 5.0 * kMachineEpsilon;
// QR sweeps allowed per singular value.
constexpr int kSvdSweepsPerValue = 75;
// Singular values at or below this fraction of the largest are dropped from the pseudo-inverse.
constexpr double kPseudoInverseRatio = 1e-12;

constexpr int kRows = 12;
constexpr int kCols = 6;

// Reduces the first n×n block of `h` (row stride kMaxEigenOrder) to upper
// Hessenberg form by Householder similarity transforms.
void hessenberg(double (*h)[kMaxEigenOrder], int n) noexcept {
    for (int k = 0; k + 2 < n; ++k) {
        double tail = 0.0;
        for (int i = k + 2; i < n; ++i) {
            tail += h[i][k] * h[i][k];
        }
        if (tail == 0.0) {
            continue;  // column already in Hessenberg shape
        }
        const double x0 = h[k + 1][k];
        const double alpha = std::sqrt(x0 * x0 + tail);
        const double beta = x0 >= 0.0 ? -alpha : alpha;
        double v[kMaxEigenOrder] = {};
        v[k + 1] = x0 - beta;
        for (int i = k + 2; i < n; ++i) {
            v[i] = h[i][k];
        }
        // H = I - v·vᵀ/half with half = vᵀv/2.
        const double half = alpha * (alpha + std::fabs(x0));
        for (int j = k; j < n; ++j) {
            double s = 0.0;
            for (int i = k + 1; i < n; ++i) {
                s += v[i] * h[i][j];
            }
            const double f = s / half;
            for (int i = k + 1; i < n; ++i) {
                h[i][j] -= f * v[i];
            }
        }
        for (int i = 0; i < n; ++i) {
            double s = 0.0;
            for (int j = k + 1; j < n; ++j) {
                s += h[i][j] * v[j];
            }
            const double f = s / half;
            for (int j = k + 1; j < n; ++j) {
                h[i][j] -= f * v[j];
            }
        }
        h[k + 1][k] = beta;
        for (int i = k + 2; i < n; ++i) {
            h[i][k] = 0.0;
        }
    }
}

double copy_sign_magnitude(double magnitude, double sign_of) noexcept {
    return sign_of >= 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude);
}

}  // namespace

bool eigenvalues(const double* a, int n, std::array<std::complex<double>, kMaxEigenOrder>& out) noexcept {
    if (n < 1 || n > kMaxEigenOrder) {
        return false;
    }
    double h[kMaxEigenOrder][kMaxEigenOrder] = {};
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const double value = a[i * n + j];
            if (!std::isfinite(value)) {
                return false;
            }
            h[i][j] = value;
        }
    }
    hessenberg(h, n);

    double norm = 0.0;
    for (int i = 0; i < n; ++i) {
        for (int j = i > 0 ? i - 1 : 0; j < n; ++j) {
            norm += std::fabs(h[i][j]);
        }
    }

    double wr[kMaxEigenOrder] = {};
    double wi[kMaxEigenOrder] = {};
    int nn = n - 1;      // last row of the active block
    double shift = 0.0;  // accumulated exceptional shifts
    int its = 0;         // Francis steps since the last deflation
    while (nn >= 0) {
        // Find the start l of the unreduced block that ends at nn.
        int l = nn;
        for (; l >= 1; --l) {
            double s = std::fabs(h[l - 1][l - 1]) + std::fabs(h[l][l]);
            if (s == 0.0) {
                s = norm;
            }
            if (std::fabs(h[l][l - 1]) <= kEigenEpsilon * s) {
                h[l][l - 1] = 0.0;
                break;
            }
        }
        double x = h[nn][nn];
        if (l == nn) {
            wr[nn] = x + shift;
            wi[nn] = 0.0;
            --nn;
            its = 0;
            continue;
        }
        double y = h[nn - 1][nn - 1];
        double w = h[nn][nn - 1] * h[nn - 1][nn];
        if (l == nn - 1) {
            // 2×2 block: its eigenvalues directly.
            const double p = 0.5 * (y - x);
            const double q = p * p + w;
            double z = std::sqrt(std::fabs(q));
            x += shift;
            if (q >= 0.0) {
                z = p + copy_sign_magnitude(z, p);
                wr[nn - 1] = x + z;
                wr[nn] = z != 0.0 ? x - w / z : x + z;
                wi[nn - 1] = 0.0;
                wi[nn] = 0.0;
            } else {
                wr[nn - 1] = x + p;
                wr[nn] = x + p;
                wi[nn - 1] = z;
                wi[nn] = -z;
            }
            nn -= 2;
            its = 0;
            continue;
        }
        if (its == kEigenIterations) {
            return false;
        }
        if (its == 10 || its == 20) {
            // Exceptional shift: breaks cycles such as those of permutation matrices.
            shift += x;
            for (int i = 0; i <= nn; ++i) {
                h[i][i] -= x;
            }
            const double s = std::fabs(h[nn][nn - 1]) + std::fabs(h[nn - 1][nn - 2]);
            x = 0.75 * s;
            y = x;
            w = -0.4375 * s * s;
        }
        ++its;

        // Look for two consecutive small subdiagonal elements to start the bulge lower.
        int m = nn - 2;
        double p = 0.0;
        double q = 0.0;
        double r = 0.0;
        for (;; --m) {
            const double z = h[m][m];
            const double rr = x - z;
            const double ss = y - z;
            p = (rr * ss - w) / h[m + 1][m] + h[m][m + 1];
            q = h[m + 1][m + 1] - z - rr - ss;
            r = h[m + 2][m + 1];
            const double scale = std::fabs(p) + std::fabs(q) + std::fabs(r);
            p /= scale;
            q /= scale;
            r /= scale;
            if (m == l) {
                break;
            }
            const double u = std::fabs(h[m][m - 1]) * (std::fabs(q) + std::fabs(r));
            const double v = std::fabs(p) * (std::fabs(h[m - 1][m - 1]) + std::fabs(z) + std::fabs(h[m + 1][m + 1]));
            if (u <= kEigenEpsilon * v) {
                break;
            }
        }
        for (int i = m + 2; i <= nn; ++i) {
            h[i][i - 2] = 0.0;
            if (i != m + 2) {
                h[i][i - 3] = 0.0;
            }
        }

        // Double-shift QR step on rows and columns l..nn, chasing the bulge down.
        for (int k = m; k <= nn - 1; ++k) {
            if (k != m) {
                p = h[k][k - 1];
                q = h[k + 1][k - 1];
                r = k != nn - 1 ? h[k + 2][k - 1] : 0.0;
                x = std::fabs(p) + std::fabs(q) + std::fabs(r);
                if (x != 0.0) {
                    p /= x;
                    q /= x;
                    r /= x;
                }
            }
            const double s = copy_sign_magnitude(std::sqrt(p * p + q * q + r * r), p);
            if (s == 0.0) {
                continue;
            }
            if (k == m) {
                if (l != m) {
                    h[k][k - 1] = -h[k][k - 1];
                }
            } else {
                h[k][k - 1] = -s * x;
            }
            p += s;
            x = p / s;
            y = q / s;
            const double z = r / s;
            q /= p;
            r /= p;
            for (int j = k; j <= nn; ++j) {
                double t = h[k][j] + q * h[k + 1][j];
                if (k != nn - 1) {
                    t += r * h[k + 2][j];
                    h[k + 2][j] -= t * z;
                }
                h[k + 1][j] -= t * y;
                h[k][j] -= t * x;
            }
            const int last = nn < k + 3 ? nn : k + 3;
            for (int i = l; i <= last; ++i) {
                double t = x * h[i][k] + y * h[i][k + 1];
                if (k != nn - 1) {
                    t += z * h[i][k + 2];
                    h[i][k + 2] -= t * r;
                }
                h[i][k + 1] -= t * q;
                h[i][k] -= t;
            }
        }
    }

    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(wr[i]) || !std::isfinite(wi[i])) {
            return false;  // overflow inside the iteration
        }
        out[i] = std::complex<double>(wr[i], wi[i]);
    }
    return true;
}

bool cholesky(const Mat6& a, Mat6& l) noexcept {
    l = Mat6{};
    for (int j = 0; j < 6; ++j) {
        double d = a[j * 6 + j];
        for (int k = 0; k < j; ++k) {
            d -= l[j * 6 + k] * l[j * 6 + k];
        }
        if (!(d > 0.0)) {
            return false;  // zero, negative or NaN pivot
        }
        const double ljj = std::sqrt(d);
        l[j * 6 + j] = ljj;
        for (int i = j + 1; i < 6; ++i) {
            double s = a[i * 6 + j];
            for (int k = 0; k < j; ++k) {
                s -= l[i * 6 + k] * l[j * 6 + k];
            }
            l[i * 6 + j] = s / ljj;
        }
    }
    return true;
}

Vec6 cholesky_solve(const Mat6& l, const Vec6& b) noexcept {
    Vec6 y{};
    for (int i = 0; i < 6; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k) {
            s -= l[i * 6 + k] * y[k];
        }
        y[i] = s / l[i * 6 + i];
    }
    Vec6 x{};
    for (int i = 5; i >= 0; --i) {
        double s = y[i];
        for (int k = i + 1; k < 6; ++k) {
            s -= l[k * 6 + i] * x[k];
        }
        x[i] = s / l[i * 6 + i];
    }
    return x;
}

namespace {

// Givens pair (c, s) with c·f + s·g = r and -s·f + c·g = 0.
struct Givens {
    double c;
    double s;
    double r;
};

// The bidiagonal is scaled to magnitudes near 1, so the plain square root
// rarely underflows; hypot (much slower) covers the cases where it would.
Givens givens(double f, double g) noexcept {
    if (g == 0.0) {
        return Givens{1.0, 0.0, f};
    }
    double r = std::sqrt(f * f + g * g);
    if (!(r > 1e-150)) {
        r = std::hypot(f, g);
    }
    return Givens{f / r, g / r, r};
}

// Columns i, j of a row-major matrix with `rows` rows and row stride `stride`:
// (col_i, col_j) <- (c·col_i + s·col_j, -s·col_i + c·col_j).
void rotate_columns(double* m, int rows, int stride, int i, int j, double c, double s) noexcept {
    for (int r = 0; r < rows; ++r) {
        const double a = m[r * stride + i];
        const double b = m[r * stride + j];
        m[r * stride + i] = c * a + s * b;
        m[r * stride + j] = c * b - s * a;
    }
}

}  // namespace

bool svd(const Mat12x6& a, Svd12x6& out) noexcept {
    // Scale by a power of two (exact) so that squares inside cannot overflow.
    double amax = 0.0;
    for (const double value : a) {
        if (!std::isfinite(value)) {
            return false;
        }
        amax = std::max(amax, std::fabs(value));
    }
    int exponent = 0;
    if (amax > 0.0) {
        std::frexp(amax, &exponent);
    }
    Mat12x6 w;
    if (exponent > -1000 && exponent < 1000) {
        const double scale = std::ldexp(1.0, -exponent);  // a power of two: exact
        for (int i = 0; i < kRows * kCols; ++i) {
            w[i] = a[i] * scale;
        }
    } else {
        for (int i = 0; i < kRows * kCols; ++i) {
            w[i] = std::ldexp(a[i], -exponent);
        }
    }

    // Householder bidiagonalisation W = U·B·Vᵀ, B upper bidiagonal (d, e).
    // Left reflector vectors stay in the columns of w, right ones in its rows.
    Vec6 d{};
    std::array<double, kCols - 1> e{};
    Vec6 left_half{};   // vᵀv/2 of each left reflector, 0 for none
    Vec6 right_half{};  // the same for the right reflectors
    for (int k = 0; k < kCols; ++k) {
        {
            double tail = 0.0;
            for (int i = k + 1; i < kRows; ++i) {
                tail += w[i * kCols + k] * w[i * kCols + k];
            }
            const double x0 = w[k * kCols + k];
            if (tail == 0.0) {
                d[k] = x0;
            } else {
                const double alpha = std::sqrt(x0 * x0 + tail);
                const double beta = x0 >= 0.0 ? -alpha : alpha;
                const double half = alpha * (alpha + std::fabs(x0));
                w[k * kCols + k] = x0 - beta;
                for (int j = k + 1; j < kCols; ++j) {
                    double s = 0.0;
                    for (int i = k; i < kRows; ++i) {
                        s += w[i * kCols + k] * w[i * kCols + j];
                    }
                    const double f = s / half;
                    for (int i = k; i < kRows; ++i) {
                        w[i * kCols + j] -= f * w[i * kCols + k];
                    }
                }
                d[k] = beta;
                left_half[k] = half;
            }
        }
        if (k + 2 < kCols) {
            double tail = 0.0;
            for (int j = k + 2; j < kCols; ++j) {
                tail += w[k * kCols + j] * w[k * kCols + j];
            }
            const double x0 = w[k * kCols + k + 1];
            if (tail == 0.0) {
                e[k] = x0;
            } else {
                const double alpha = std::sqrt(x0 * x0 + tail);
                const double beta = x0 >= 0.0 ? -alpha : alpha;
                const double half = alpha * (alpha + std::fabs(x0));
                w[k * kCols + k + 1] = x0 - beta;
                for (int i = k + 1; i < kRows; ++i) {
                    double s = 0.0;
                    for (int j = k + 1; j < kCols; ++j) {
                        s += w[i * kCols + j] * w[k * kCols + j];
                    }
                    const double f = s / half;
                    for (int j = k + 1; j < kCols; ++j) {
                        w[i * kCols + j] -= f * w[k * kCols + j];
                    }
                }
                e[k] = beta;
                right_half[k] = half;
            }
        } else if (k + 1 < kCols) {
            e[k] = w[k * kCols + k + 1];
        }
    }

    // U = H0·H1·…·H5 applied to the first six columns of the identity.
    Mat12x6& u = out.u;
    u = Mat12x6{};
    for (int i = 0; i < kCols; ++i) {
        u[i * kCols + i] = 1.0;
    }
    for (int k = kCols - 1; k >= 0; --k) {
        if (left_half[k] == 0.0) {
            continue;
        }
        for (int j = k; j < kCols; ++j) {
            double s = 0.0;
            for (int i = k; i < kRows; ++i) {
                s += w[i * kCols + k] * u[i * kCols + j];
            }
            const double f = s / left_half[k];
            for (int i = k; i < kRows; ++i) {
                u[i * kCols + j] -= f * w[i * kCols + k];
            }
        }
    }
    // V = G0·G1·…·G3.
    Mat6& v = out.v;
    v = Mat6{};
    for (int i = 0; i < kCols; ++i) {
        v[i * kCols + i] = 1.0;
    }
    for (int k = kCols - 3; k >= 0; --k) {
        if (right_half[k] == 0.0) {
            continue;
        }
        for (int c = k + 1; c < kCols; ++c) {
            double s = 0.0;
            for (int j = k + 1; j < kCols; ++j) {
                s += w[k * kCols + j] * v[j * kCols + c];
            }
            const double f = s / right_half[k];
            for (int j = k + 1; j < kCols; ++j) {
                v[j * kCols + c] -= f * w[k * kCols + j];
            }
        }
    }

    // Implicit-shift QR on the bidiagonal (Golub–Kahan), deflating from the bottom.
    double bnorm = 0.0;
    for (int i = 0; i < kCols; ++i) {
        bnorm = std::max(bnorm, std::fabs(d[i]) + (i + 1 < kCols ? std::fabs(e[i]) : 0.0));
    }
    const double negligible = kSvdEpsilon * bnorm;
    int sweeps = 0;
    int hi = kCols - 1;
    while (hi > 0) {
        for (int i = 0; i < hi; ++i) {
            if (std::fabs(e[i]) <= kSvdEpsilon * (std::fabs(d[i]) + std::fabs(d[i + 1]))) {
                e[i] = 0.0;
            }
        }
        for (int i = 0; i <= hi; ++i) {
            if (std::fabs(d[i]) <= negligible) {
                d[i] = 0.0;
            }
        }
        if (e[hi - 1] == 0.0) {
            --hi;  // d[hi] has converged
            continue;
        }
        int lo = hi - 1;
        while (lo > 0 && e[lo - 1] != 0.0) {
            --lo;
        }
        if (++sweeps > kSvdSweepsPerValue * kCols) {
            return false;
        }

        // A zero on the diagonal splits the block once its row (or, at the
        // bottom, its column) is rotated clear.
        int zero = -1;
        for (int i = lo; i <= hi; ++i) {
            if (d[i] == 0.0) {
                zero = i;
                break;
            }
        }
        if (zero >= 0 && zero < hi) {
            double f = e[zero];
            e[zero] = 0.0;
            for (int j = zero + 1; j <= hi; ++j) {
                const Givens g = givens(d[j], f);
                d[j] = g.r;
                // Rows j and `zero`: new row j = c·row_j + s·row_zero.
                rotate_columns(u.data(), kRows, kCols, j, zero, g.c, g.s);
                if (j < hi) {
                    f = -g.s * e[j];
                    e[j] = g.c * e[j];
                }
            }
            continue;
        }
        if (zero == hi) {
            double f = e[hi - 1];
            e[hi - 1] = 0.0;
            for (int j = hi - 1; j >= lo; --j) {
                const Givens g = givens(d[j], f);
                d[j] = g.r;
                rotate_columns(v.data(), kCols, kCols, j, hi, g.c, g.s);
                if (j > lo) {
                    f = -g.s * e[j - 1];
                    e[j - 1] = g.c * e[j - 1];
                }
            }
            continue;
        }

        // Wilkinson shift from the trailing 2×2 block of BᵀB.
        const double dm = d[hi - 1];
        const double dn = d[hi];
        const double fm = e[hi - 1];
        const double fl = hi - 1 > lo ? e[hi - 2] : 0.0;
        const double tmm = dm * dm + fl * fl;
        const double tmn = dm * fm;
        const double tnn = dn * dn + fm * fm;
        const double half_gap = (tmm - tnn) * 0.5;
        const double root = std::sqrt(half_gap * half_gap + tmn * tmn);
        const double mu = half_gap >= 0.0 ? tnn - tmn * tmn / (half_gap + root)
                                          : tnn + tmn * tmn / (root - half_gap);
        double y = d[lo] * d[lo] - (std::isfinite(mu) ? mu : 0.0);
        double z = d[lo] * e[lo];
        for (int k = lo; k < hi; ++k) {
            Givens g = givens(y, z);
            if (k > lo) {
                e[k - 1] = g.r;
            }
            const double dk = d[k];
            const double ek = e[k];
            d[k] = g.c * dk + g.s * ek;
            e[k] = g.c * ek - g.s * dk;
            const double bulge = g.s * d[k + 1];
            d[k + 1] = g.c * d[k + 1];
            rotate_columns(v.data(), kCols, kCols, k, k + 1, g.c, g.s);

            g = givens(d[k], bulge);
            d[k] = g.r;
            const double e2 = e[k];
            const double d2 = d[k + 1];
            e[k] = g.c * e2 + g.s * d2;
            d[k + 1] = g.c * d2 - g.s * e2;
            rotate_columns(u.data(), kRows, kCols, k, k + 1, g.c, g.s);
            if (k + 1 < hi) {
                y = e[k];
                z = g.s * e[k + 1];
                e[k + 1] = g.c * e[k + 1];
            }
        }
    }

    const bool exact_scale = exponent > -1000 && exponent < 1000;
    const double unscale = exact_scale ? std::ldexp(1.0, exponent) : 1.0;
    for (int i = 0; i < kCols; ++i) {
        if (d[i] < 0.0) {
            d[i] = -d[i];
            for (int r = 0; r < kCols; ++r) {
                v[r * kCols + i] = -v[r * kCols + i];
            }
        }
        out.s[i] = exact_scale ? d[i] * unscale : std::ldexp(d[i], exponent);
    }
    return true;
}

Vec6 svd_solve(const Svd12x6& d, const Vec12& b) noexcept {
    double smax = 0.0;
    for (const double s : d.s) {
        smax = std::max(smax, s);
    }
    const double eps = kPseudoInverseRatio * smax;
    Vec6 c{};
    for (int i = 0; i < kCols; ++i) {
        if (d.s[i] > eps) {
            double s = 0.0;
            for (int r = 0; r < kRows; ++r) {
                s += d.u[r * kCols + i] * b[r];
            }
            c[i] = s / d.s[i];
        }
    }
    Vec6 x{};
    for (int j = 0; j < kCols; ++j) {
        double s = 0.0;
        for (int i = 0; i < kCols; ++i) {
            s += d.v[j * kCols + i] * c[i];
        }
        x[j] = s;
    }
    return x;
}

}  // namespace ortholink::solver
