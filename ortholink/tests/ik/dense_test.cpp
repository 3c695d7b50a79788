#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "ik/dense.hpp"

namespace ortholink::solver {
namespace {

using Complex = std::complex<double>;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Mat12x6 random_matrix(std::mt19937_64& rng, double scale = 1.0) {
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Mat12x6 m;
    for (double& v : m) {
        v = dist(rng) * scale;
    }
    return m;
}

// ---------------------------------------------------------------- Cholesky

Mat6 random_spd(std::mt19937_64& rng) {
    const Mat12x6 m = random_matrix(rng);
    Mat6 a{};
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            double s = i == j ? 0.1 : 0.0;
            for (int k = 0; k < 12; ++k) {
                s += m[k * 6 + i] * m[k * 6 + j];
            }
            a[i * 6 + j] = s;
        }
    }
    return a;
}

TEST(Cholesky, ReconstructsAndSolves) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        const Mat6 a = random_spd(rng);
        Mat6 l;
        ASSERT_TRUE(cholesky(a, l));
        for (int i = 0; i < 6; ++i) {
            EXPECT_GT(l[i * 6 + i], 0.0);
            for (int j = i + 1; j < 6; ++j) {
                EXPECT_EQ(l[i * 6 + j], 0.0) << "upper triangle must be clear";
            }
            for (int j = 0; j < 6; ++j) {
                double s = 0.0;
                for (int k = 0; k < 6; ++k) {
                    s += l[i * 6 + k] * l[j * 6 + k];
                }
                EXPECT_NEAR(s, a[i * 6 + j], 1e-13) << i << "," << j;
            }
        }
        const Vec6 b{1.0, -2.0, 0.5, 3.0, -0.25, 4.0};
        const Vec6 x = cholesky_solve(l, b);
        for (int i = 0; i < 6; ++i) {
            double s = 0.0;
            for (int j = 0; j < 6; ++j) {
                s += a[i * 6 + j] * x[j];
            }
            EXPECT_NEAR(s, b[i], 1e-10);
        }
    }
}

TEST(Cholesky, FailsOnNonPositivePivots) {
    Mat6 identity{};
    for (int i = 0; i < 6; ++i) {
        identity[i * 6 + i] = 1.0;
    }
    Mat6 l;

    Mat6 negative = identity;
    negative[3 * 6 + 3] = -1.0;
    EXPECT_FALSE(cholesky(negative, l));

    Mat6 zero = identity;
    zero[5 * 6 + 5] = 0.0;
    EXPECT_FALSE(cholesky(zero, l));

    // Positive diagonal, but singular: the second pivot becomes exactly 0.
    Mat6 singular = identity;
    singular[1 * 6 + 0] = 1.0;
    singular[0 * 6 + 1] = 1.0;
    EXPECT_FALSE(cholesky(singular, l));

    Mat6 nan_diagonal = identity;
    nan_diagonal[2 * 6 + 2] = kNan;
    EXPECT_FALSE(cholesky(nan_diagonal, l));

    // A NaN below the diagonal reaches a later pivot.
    Mat6 nan_off = identity;
    nan_off[4 * 6 + 1] = kNan;
    EXPECT_FALSE(cholesky(nan_off, l));
}

// --------------------------------------------------------------------- SVD

struct SvdCheck {
    double reconstruction = 0.0;   // max |U·Σ·Vᵀ - A|
    double u_orthogonality = 0.0;  // max |UᵀU - I|
    double v_orthogonality = 0.0;  // max |VᵀV - I|
};

SvdCheck check_svd(const Mat12x6& a, const Svd12x6& d) {
    SvdCheck c;
    for (int i = 0; i < 12; ++i) {
        for (int j = 0; j < 6; ++j) {
            double s = 0.0;
            for (int k = 0; k < 6; ++k) {
                s += d.u[i * 6 + k] * d.s[k] * d.v[j * 6 + k];
            }
            c.reconstruction = std::max(c.reconstruction, std::fabs(s - a[i * 6 + j]));
        }
    }
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            double su = 0.0;
            for (int k = 0; k < 12; ++k) {
                su += d.u[k * 6 + i] * d.u[k * 6 + j];
            }
            double sv = 0.0;
            for (int k = 0; k < 6; ++k) {
                sv += d.v[k * 6 + i] * d.v[k * 6 + j];
            }
            const double expected = i == j ? 1.0 : 0.0;
            c.u_orthogonality = std::max(c.u_orthogonality, std::fabs(su - expected));
            c.v_orthogonality = std::max(c.v_orthogonality, std::fabs(sv - expected));
        }
    }
    return c;
}

double max_abs(const Mat12x6& a) {
    double m = 0.0;
    for (const double v : a) {
        m = std::max(m, std::fabs(v));
    }
    return m;
}

void expect_valid_svd(const Mat12x6& a, const char* what) {
    Svd12x6 d;
    ASSERT_TRUE(svd(a, d)) << what;
    const SvdCheck c = check_svd(a, d);
    EXPECT_LE(c.reconstruction, 1e-14 * std::max(1.0, max_abs(a)) * 10) << what;
    EXPECT_LE(c.u_orthogonality, 1e-14) << what;
    EXPECT_LE(c.v_orthogonality, 1e-14) << what;
    for (const double s : d.s) {
        EXPECT_GE(s, 0.0) << what;
    }
}

int rank_of(const Svd12x6& d) {
    const double smax = *std::max_element(d.s.begin(), d.s.end());
    return static_cast<int>(std::count_if(d.s.begin(), d.s.end(), [&](double s) { return s > 1e-12 * smax; }));
}

TEST(Svd, RandomMatricesReconstruct) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        expect_valid_svd(random_matrix(rng), "random");
    }
}

TEST(Svd, RankDeficientMatricesReconstruct) {
    std::mt19937_64 rng(12);

    Mat12x6 repeated = random_matrix(rng);  // column 4 = column 1
    for (int i = 0; i < 12; ++i) {
        repeated[i * 6 + 4] = repeated[i * 6 + 1];
    }
    expect_valid_svd(repeated, "repeated column");
    Svd12x6 d;
    ASSERT_TRUE(svd(repeated, d));
    EXPECT_EQ(rank_of(d), 5);

    Mat12x6 zero_column = random_matrix(rng);
    for (int i = 0; i < 12; ++i) {
        zero_column[i * 6 + 2] = 0.0;
    }
    expect_valid_svd(zero_column, "zero column");
    ASSERT_TRUE(svd(zero_column, d));
    EXPECT_EQ(rank_of(d), 5);

    Mat12x6 rank_one{};  // outer product x·yᵀ
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::array<double, 12> x{};
    std::array<double, 6> y{};
    for (double& v : x) v = dist(rng);
    for (double& v : y) v = dist(rng);
    for (int i = 0; i < 12; ++i) {
        for (int j = 0; j < 6; ++j) {
            rank_one[i * 6 + j] = x[i] * y[j];
        }
    }
    expect_valid_svd(rank_one, "rank one");
    ASSERT_TRUE(svd(rank_one, d));
    EXPECT_EQ(rank_of(d), 1);

    expect_valid_svd(Mat12x6{}, "zero matrix");
    ASSERT_TRUE(svd(Mat12x6{}, d));
    for (const double s : d.s) {
        EXPECT_EQ(s, 0.0);
    }
}

// Already bidiagonal inputs reach the QR sweeps unchanged, exact zeros on the
// diagonal included, which exercises the row and column chases.
TEST(Svd, ZerosOnTheBidiagonalDiagonal) {
    const std::array<std::array<double, 6>, 4> diagonals{{
        {3.0, 2.0, 0.0, 1.0, 4.0, 0.5},
        {1.0, 2.0, 3.0, 4.0, 5.0, 0.0},
        {0.0, 2.0, 3.0, 0.0, 5.0, 0.0},
        {0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
    }};
    for (const auto& diagonal : diagonals) {
        Mat12x6 b{};
        for (int i = 0; i < 6; ++i) {
            b[i * 6 + i] = diagonal[i];
            if (i + 1 < 6) {
                b[i * 6 + i + 1] = 0.75 + i;
            }
        }
        expect_valid_svd(b, "bidiagonal");
    }
}

TEST(Svd, ExtremeScalesAndNonFiniteInput) {
    std::mt19937_64 rng(13);
    for (const double scale : {1e-200, 1e200, 1e300}) {
        const Mat12x6 a = random_matrix(rng, scale);
        Svd12x6 d;
        ASSERT_TRUE(svd(a, d)) << scale;
        const SvdCheck c = check_svd(a, d);
        EXPECT_LE(c.reconstruction, 1e-13 * scale) << scale;
        EXPECT_LE(c.u_orthogonality, 1e-14);
    }
    for (const double bad : {kNan, kInf, -kInf}) {
        Mat12x6 a = random_matrix(rng);
        a[37] = bad;
        Svd12x6 d;
        EXPECT_FALSE(svd(a, d));
    }
}

TEST(Svd, SolveGivesMinimumNormLeastSquares) {
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Vec12 b;
    for (double& v : b) v = dist(rng);

    // Full rank: the residual is orthogonal to the columns (normal equations).
    const Mat12x6 a = random_matrix(rng);
    Svd12x6 d;
    ASSERT_TRUE(svd(a, d));
    Vec6 x = svd_solve(d, b);
    for (int j = 0; j < 6; ++j) {
        double s = 0.0;
        for (int i = 0; i < 12; ++i) {
            double ax = 0.0;
            for (int k = 0; k < 6; ++k) ax += a[i * 6 + k] * x[k];
            s += a[i * 6 + j] * (ax - b[i]);
        }
        EXPECT_NEAR(s, 0.0, 1e-12);
    }

    // Columns 0 and 3 equal: the minimum-norm solution splits their share evenly
    // instead of blowing up along the null space.
    Mat12x6 deficient = a;
    for (int i = 0; i < 12; ++i) {
        deficient[i * 6 + 3] = deficient[i * 6 + 0];
    }
    ASSERT_TRUE(svd(deficient, d));
    x = svd_solve(d, b);
    EXPECT_NEAR(x[0], x[3], 1e-10);
    for (const double v : x) {
        EXPECT_LT(std::fabs(v), 100.0);
    }

    // All singular values zero: nothing to invert.
    ASSERT_TRUE(svd(Mat12x6{}, d));
    x = svd_solve(d, b);
    for (const double v : x) {
        EXPECT_EQ(v, 0.0);
    }
}

// ------------------------------------------------------------- Eigenvalues

// Companion matrix of the monic polynomial with the given roots.
std::vector<double> companion_of_roots(const std::vector<Complex>& roots) {
    std::vector<Complex> c{1.0};  // descending powers
    for (const Complex& r : roots) {
        std::vector<Complex> next(c.size() + 1, 0.0);
        for (std::size_t i = 0; i < c.size(); ++i) {
            next[i] += c[i];
            next[i + 1] -= c[i] * r;
        }
        c = next;
    }
    const int n = static_cast<int>(roots.size());
    std::vector<double> m(static_cast<std::size_t>(n * n), 0.0);
    for (int j = 0; j < n; ++j) {
        m[j] = -c[j + 1].real();
    }
    for (int i = 1; i < n; ++i) {
        m[i * n + i - 1] = 1.0;
    }
    return m;
}

// Every expected value is matched by a distinct computed one.
void expect_same_set(const std::vector<Complex>& expected, const std::array<Complex, kMaxEigenOrder>& got, int n,
                     double tol) {
    std::vector<bool> used(static_cast<std::size_t>(n), false);
    for (const Complex& e : expected) {
        int best = -1;
        for (int i = 0; i < n; ++i) {
            if (!used[i] && (best < 0 || std::abs(got[i] - e) < std::abs(got[best] - e))) {
                best = i;
            }
        }
        ASSERT_GE(best, 0);
        EXPECT_LT(std::abs(got[best] - e), tol) << "expected " << e << ", nearest " << got[best];
        used[best] = true;
    }
}

TEST(Eigenvalues, CompanionMatricesGiveThePolynomialRoots) {
    const std::vector<std::vector<Complex>> cases{
        {{2.5, 0}},
        {{1, 0}, {-3, 0}},
        {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}},
        {{0, 1}, {0, -1}, {2, 0}, {1, 2}, {1, -2}},
        {{0.5, 0.25}, {0.5, -0.25}, {-0.7, 0}, {1.3, 0}, {-2, 1}, {-2, -1}, {0.1, 0}, {3, 0}},
        // clang-format off
        {{-1, 0}, {1, 0}, {0, 1}, {0, -1}, {std::sqrt(0.5), std::sqrt(0.5)}, {std::sqrt(0.5), -std::sqrt(0.5)},
         {-std::sqrt(0.5), std::sqrt(0.5)}, {-std::sqrt(0.5), -std::sqrt(0.5)}},  // t⁸ - 1
        // clang-format on
        {{0, 0}, {0, 0}, {1, 0}},
    };
    for (const auto& roots : cases) {
        const int n = static_cast<int>(roots.size());
        const auto m = companion_of_roots(roots);
        std::array<Complex, kMaxEigenOrder> out{};
        ASSERT_TRUE(eigenvalues(m.data(), n, out)) << "order " << n;
        expect_same_set(roots, out, n, 1e-7);
        for (int i = 0; i < n; ++i) {
            if (out[i].imag() != 0.0) {
                // Complex eigenvalues come in adjacent conjugate pairs of one 2×2 block.
                const int mate = out[i].imag() > 0.0 ? i + 1 : i - 1;
                ASSERT_TRUE(mate >= 0 && mate < n);
                EXPECT_EQ(out[mate], std::conj(out[i]));
            }
        }
    }
}

TEST(Eigenvalues, RepeatedRootIsResolvedToRounding) {
    const auto m = companion_of_roots({{1, 0}, {1, 0}, {-2, 0}});
    std::array<Complex, kMaxEigenOrder> out{};
    ASSERT_TRUE(eigenvalues(m.data(), 3, out));
    expect_same_set({{1, 0}, {1, 0}, {-2, 0}}, out, 3, 1e-6);
}

// The cyclic permutation (companion matrix of t³ - 1) keeps plain double-shift
// QR cycling forever; the exceptional shifts must break the cycle.
TEST(Eigenvalues, CyclicPermutationConverges) {
    const double m[9] = {0, 0, 1, 1, 0, 0, 0, 1, 0};
    std::array<Complex, kMaxEigenOrder> out{};
    ASSERT_TRUE(eigenvalues(m, 3, out));
    expect_same_set({{1, 0}, {-0.5, std::sqrt(0.75)}, {-0.5, -std::sqrt(0.75)}}, out, 3, 1e-12);
}

TEST(Eigenvalues, SimilarityOfATriangularMatrix) {
    // Q·T·Qᵀ with a Householder Q: a full matrix whose eigenvalues are the diagonal of T.
    const int n = 6;
    const double diagonal[n] = {4.0, -1.5, 0.25, 2.0, -3.0, 1.0};
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    double t[n][n] = {};
    for (int i = 0; i < n; ++i) {
        t[i][i] = diagonal[i];
        for (int j = i + 1; j < n; ++j) t[i][j] = dist(rng);
    }
    double v[n];
    double vv = 0.0;
    for (double& x : v) {
        x = dist(rng);
        vv += x * x;
    }
    double q[n][n];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) q[i][j] = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv;
    }
    std::vector<double> a(n * n, 0.0);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) {
                for (int l = 0; l < n; ++l) s += q[i][k] * t[k][l] * q[j][l];
            }
            a[i * n + j] = s;
        }
    }
    std::array<Complex, kMaxEigenOrder> out{};
    ASSERT_TRUE(eigenvalues(a.data(), n, out));
    expect_same_set({{4.0, 0}, {-1.5, 0}, {0.25, 0}, {2.0, 0}, {-3.0, 0}, {1.0, 0}}, out, n, 1e-10);
}

TEST(Eigenvalues, TriangularInputKeepsDiagonalOrder) {
    const double m[9] = {3, 5, -1, 0, -1, 2, 0, 0, 7};
    std::array<Complex, kMaxEigenOrder> out{};
    ASSERT_TRUE(eigenvalues(m, 3, out));
    EXPECT_EQ(out[0], Complex(3, 0));
    EXPECT_EQ(out[1], Complex(-1, 0));
    EXPECT_EQ(out[2], Complex(7, 0));
}

TEST(Eigenvalues, RejectsNonFiniteInputAndBadOrders) {
    std::array<Complex, kMaxEigenOrder> out{};
    for (const double bad : {kNan, kInf}) {
        auto m = companion_of_roots({{1, 0}, {2, 0}, {3, 0}, {4, 0}});
        m[5] = bad;
        EXPECT_FALSE(eigenvalues(m.data(), 4, out));
    }
    const double all_nan[4] = {kNan, kNan, kNan, kNan};
    EXPECT_FALSE(eigenvalues(all_nan, 2, out));
    const double one[1] = {1.0};
    EXPECT_FALSE(eigenvalues(one, 0, out));
    std::vector<double> big(81, 0.0);
    EXPECT_FALSE(eigenvalues(big.data(), 9, out));
    // Entries so large that the iteration overflows must still end with a failure or finite values.
    auto huge = companion_of_roots({{1, 0}, {2, 0}, {3, 0}});
    huge[0] = 1e300;
    huge[1] = -1e300;
    if (eigenvalues(huge.data(), 3, out)) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(std::isfinite(out[i].real()) && std::isfinite(out[i].imag()));
        }
    }
}

}  // namespace
}  // namespace ortholink::solver
