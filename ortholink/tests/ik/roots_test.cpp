#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "ik/roots.hpp"
#include "ik/setup.hpp"
#include "ik/trig_poly.hpp"

namespace ortholink::solver {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TrigPoly fit(const std::function<double(double)>& f) {
    std::array<double, kTrigSamples> samples;
    for (int i = 0; i < kTrigSamples; ++i) {
        samples[i] = f(i * kPi / 8);
    }
    return TrigPoly::from_samples(samples);
}

TrigPoly with(std::array<double, 5> a, std::array<double, 5> b) {
    TrigPoly p;
    p.a = a;
    p.b = b;
    p.b[0] = 0.0;
    return p;
}

double circle_gap(double a, double b) {
    return std::fabs(wrap_angle(a - b));
}

void expect_valid_list(const ThetaRoots& roots) {
    for (std::size_t i = 0; i < roots.size(); ++i) {
        EXPECT_GE(roots[i], -kPi);
        EXPECT_LT(roots[i], kPi);
        for (std::size_t j = i + 1; j < roots.size(); ++j) {
            EXPECT_GE(circle_gap(roots[i], roots[j]), 1e-9);
        }
    }
}

// ------------------------------------------------------------ fit and conversion

TEST(TrigPoly, FitReproducesCoefficients) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int n = 0; n < 100; ++n) {
        TrigPoly p;
        for (int k = 0; k <= kTrigDegree; ++k) {
            p.a[k] = u(rng);
            p.b[k] = k == 0 ? 0.0 : u(rng);
        }
        const TrigPoly q = fit([&](double t) { return p.value(t); });
        EXPECT_EQ(q.b[0], 0.0);
        for (int k = 0; k <= kTrigDegree; ++k) {
            EXPECT_NEAR(q.a[k], p.a[k], 1e-14) << "a" << k;
            EXPECT_NEAR(q.b[k], p.b[k], 1e-14) << "b" << k;
        }
    }
}

TEST(TrigPoly, EvaluationAndDerivative) {
    const TrigPoly p = with({0.5, -1.0, 0.25, 2.0, -0.75}, {0.0, 0.3, -1.5, 0.125, 1.0});
    for (double t = -3.0; t < 3.2; t += 0.37) {
        double want = 0.5;
        double slope = 0.0;
        for (int k = 1; k <= 4; ++k) {
            want += p.a[k] * std::cos(k * t) + p.b[k] * std::sin(k * t);
            slope += k * (p.b[k] * std::cos(k * t) - p.a[k] * std::sin(k * t));
        }
        EXPECT_NEAR(p.value(t), want, 1e-13);
        EXPECT_NEAR(p.derivative(t), slope, 1e-13);
    }
}

TEST(TrigPoly, HalfAnglePolynomialIdentity) {
    const TrigPoly p = with({0.5, -1.0, 0.25, 2.0, -0.75}, {0.0, 0.3, -1.5, 0.125, 1.0});
    const HalfAnglePoly c = half_angle_polynomial(p);
    for (double phi = -3.0; phi < 3.0; phi += 0.29) {
        const double t = std::tan(phi / 2);
        double sum = 0.0;
        for (int j = kHalfAngleDegree; j >= 0; --j) {
            sum = sum * t + c[j];
        }
        const double w = std::pow(1 + t * t, 4);
        EXPECT_NEAR(sum / w, p.value(phi), 1e-12) << phi;
    }
    // The t^8 coefficient is q(π): a0 - a1 + a2 - a3 + a4.
    EXPECT_NEAR(c[8], 0.5 + 1.0 + 0.25 - 2.0 - 0.75, 1e-14);
}

// ------------------------------------------------------------ theta_roots

TEST(ThetaRoots, CosineFollowsTheInitialPointOrder) {
    const TrigPoly p = with({0, 1, 0, 0, 0}, {0, 0, 0, 0, 0});
    RootPath path;
    const ThetaRoots roots = theta_roots(p, &path);
    EXPECT_EQ(path, RootPath::Aberth);
    ASSERT_EQ(roots.size(), 2u);
    // |cos| is largest first at θ = 0 (ties keep the first), so the shift is
    // -π and the rotated polynomial is -cos φ with zeros t = ±1. The first
    // initial point, at angle 0.4, lies nearest t = +1, which comes first.
    const double shift = 0.0 - kPi;
    EXPECT_NEAR(roots[0], wrap_angle(2 * std::atan(1.0) + shift), 1e-15);
    EXPECT_NEAR(roots[1], wrap_angle(2 * std::atan(-1.0) + shift), 1e-15);
    EXPECT_NEAR(roots[0], -kPi / 2, 1e-15);
    EXPECT_NEAR(roots[1], kPi / 2, 1e-15);
}

TEST(ThetaRoots, CosFourThetaGivesEightEvenlySpacedZeros) {
    const TrigPoly p = with({0, 0, 0, 0, 1}, {0, 0, 0, 0, 0});
    const ThetaRoots roots = theta_roots(p);
    ASSERT_EQ(roots.size(), 8u);
    expect_valid_list(roots);
    for (int k = 0; k < 8; ++k) {
        const double want = wrap_angle(kPi / 8 + k * kPi / 4);
        const bool found =
            std::any_of(roots.begin(), roots.end(), [&](double r) { return circle_gap(r, want) < 1e-12; });
        EXPECT_TRUE(found) << want;
    }
}

TEST(ThetaRoots, ZeroAtPiIsFound) {
    // A double zero at π, the one point the half-angle substitution cannot reach
    // without the rotation.
    const ThetaRoots roots = theta_roots(with({1, 1, 0, 0, 0}, {0, 0, 0, 0, 0}));
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_NEAR(roots[0], -kPi, 1e-7);
    EXPECT_GE(roots[0], -kPi);
}

TEST(ThetaRoots, DoubleZeroIsFound) {
    // 1 - cos(θ - 0.7): a tangency at 0.7. Its two nearly real roots polish to
    // angles that may stay a little over 1e-9 apart.
    const ThetaRoots roots = theta_roots(fit([](double t) { return 1 - std::cos(t - 0.7); }));
    ASSERT_GE(roots.size(), 1u);
    for (const double r : roots) {
        EXPECT_NEAR(r, 0.7, 1e-7);
    }
}

TEST(ThetaRoots, HigherMultiplicityStaysNearTheZero) {
    // (1 - cos θ)² has a zero of multiplicity four at 0, resolved only coarsely.
    const ThetaRoots roots = theta_roots(fit([](double t) { return (1 - std::cos(t)) * (1 - std::cos(t)); }));
    ASSERT_FALSE(roots.empty());
    expect_valid_list(roots);
    for (const double r : roots) {
        EXPECT_LT(std::fabs(r), 1e-2);
    }
}

TEST(ThetaRoots, NothingToFind) {
    EXPECT_TRUE(theta_roots(with({0, 0, 0, 0, 0}, {0, 0, 0, 0, 0})).empty());
    // In t = tan(φ/2) a constant is c·(1 + t²)^4: roots ±i only.
    EXPECT_TRUE(theta_roots(with({2.5, 0, 0, 0, 0}, {0, 0, 0, 0, 0})).empty());
    // Positive everywhere: 3 + cos θ + sin 2θ has complex roots only.
    EXPECT_TRUE(theta_roots(with({3, 1, 0, 0, 0}, {0, 0, 1, 0, 0})).empty());
}

TEST(ThetaRoots, NonFiniteCoefficientsGiveNothing) {
    EXPECT_TRUE(theta_roots(with({kNan, 1, 0, 0, 0}, {0, 0, 0, 0, 0})).empty());
    EXPECT_TRUE(theta_roots(with({0, 1, kNan, 0, 0}, {0, 0, 0, 0, 0})).empty());
    const ThetaRoots inf = theta_roots(with({INFINITY, 1, 0, 0, 0}, {0, 0, 0, 0, 0}));
    expect_valid_list(inf);
}

// A degree-4 trigonometric polynomial with the eight given zeros: a product of
// four factors cos((α-β)/2) - cos(θ - (α+β)/2), each vanishing at α and β.
TrigPoly with_zeros(const std::array<double, 8>& z) {
    return fit([&](double t) {
        double v = 1.0;
        for (int f = 0; f < 4; ++f) {
            const double a = z[2 * f];
            const double b = z[2 * f + 1];
            v *= std::cos((a - b) / 2) - std::cos(t - (a + b) / 2);
        }
        return v;
    });
}

TEST(ThetaRoots, RandomZerosAreAllRecovered) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> u(-kPi, kPi);
    int tested = 0;
    while (tested < 300) {
        std::array<double, 8> z;
        for (double& v : z) {
            v = u(rng);
        }
        bool separated = true;
        for (int i = 0; i < 8; ++i) {
            for (int j = i + 1; j < 8; ++j) {
                separated = separated && circle_gap(z[i], z[j]) > 0.15;
            }
        }
        if (!separated) {
            continue;
        }
        ++tested;
        const ThetaRoots roots = theta_roots(with_zeros(z));
        ASSERT_EQ(roots.size(), 8u);
        expect_valid_list(roots);
        for (const double want : z) {
            const bool found =
                std::any_of(roots.begin(), roots.end(), [&](double r) { return circle_gap(r, want) < 1e-9; });
            EXPECT_TRUE(found) << want;
        }
    }
}

TEST(ThetaRoots, FallbacksFindTheSameZeros) {
    // The companion-matrix eigenvalues and the sign-change scan give the same
    // zeros as the normal path (the scan only those where p changes sign).
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> u(-kPi, kPi);
    for (int n = 0; n < 40; ++n) {
        std::array<double, 8> z;
        for (int i = 0; i < 8; ++i) {
            z[i] = wrap_angle(-kPi + (i + 0.5) * kTwoPi / 8 + 0.2 * u(rng) / kPi);
        }
        const TrigPoly p = with_zeros(z);
        for (const RootPath first : {RootPath::Companion, RootPath::Scan}) {
            RootPath used;
            const ThetaRoots roots = theta_roots_from(p, first, &used);
            EXPECT_EQ(used, first);
            ASSERT_EQ(roots.size(), 8u) << static_cast<int>(first);
            expect_valid_list(roots);
            for (const double want : z) {
                const bool found =
                    std::any_of(roots.begin(), roots.end(), [&](double r) { return circle_gap(r, want) < 1e-9; });
                EXPECT_TRUE(found) << want << " path " << static_cast<int>(first);
            }
        }
    }
    // The scan reports its zeros in ascending order from -π.
    RootPath used;
    const ThetaRoots scanned = theta_roots_from(with({0, 0, 0, 0, 1}, {0, 0, 0, 0, 0}), RootPath::Scan, &used);
    ASSERT_EQ(scanned.size(), 8u);
    for (std::size_t i = 1; i < scanned.size(); ++i) {
        EXPECT_LT(scanned[i - 1], scanned[i]);
    }
    EXPECT_NEAR(scanned[0], -7 * kPi / 8, 1e-12);
    // A double zero does not change sign: the scan cannot see it.
    EXPECT_TRUE(theta_roots_from(fit([](double t) { return 1 - std::cos(t - 0.7); }), RootPath::Scan).empty());
}

TEST(ThetaRoots, FewerRealZerosThanTheDegree) {
    // Two real zeros and a positive factor: (cos θ - cos 1)·(2 + cos 3θ).
    const ThetaRoots roots = theta_roots(fit([](double t) { return (std::cos(t) - std::cos(1.0)) * (2 + std::cos(3 * t)); }));
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_NEAR(std::fabs(roots[0]), 1.0, 1e-12);
    EXPECT_NEAR(std::fabs(roots[1]), 1.0, 1e-12);
    EXPECT_NEAR(roots[0] + roots[1], 0.0, 1e-12);
}

}  // namespace
}  // namespace ortholink::solver
