// The sampled zero search shared by the solver's scans, on residuals whose
// zeros are known.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

struct Scan {
    std::vector<double> zeros;
    int evaluations = 0;
};

// Scans f on [0, 1] with `samples` intervals, plain bisection on sign changes.
template <class F>
Scan scan(F f, int samples) {
    Scan out;
    const auto at = [&](double x) -> std::optional<double> {
        ++out.evaluations;
        return f(x);
    };
    const auto bisect = [&](double a, double b, double ga, double /*gb*/) {
        for (int k = 0; k < 200; ++k) {
            const double m = 0.5 * (a + b);
            if (m == a || m == b) {
                break;
            }
            const std::optional<double> gm = at(m);
            if (*gm != 0.0 && (*gm > 0.0) == (ga > 0.0)) {
                a = m;
                ga = *gm;
            } else {
                b = m;
            }
        }
        return 0.5 * (a + b);
    };
    scan_zeros(
        at, [&](double i) { return i / samples; }, samples, bisect, [&](double x) {
        // What the solver's callers do: keep what is close enough to zero.
        if (const auto g = f(x); g && std::fabs(*g) <= 1e-9) {
            out.zeros.push_back(x);
        } });
    return out;
}

TEST(ZeroScan, SignChangesAreBisected) {
    const Scan s = scan([](double x) -> std::optional<double> { return std::sin(10.0 * (x - 0.03)); }, 16);
    ASSERT_EQ(s.zeros.size(), 4u);  // 0.03 + k·π/10
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(s.zeros[k], 0.03 + static_cast<double>(k) * 0.3141592653589793, 1e-15);
    }
}

TEST(ZeroScan, PairsCloserThanTheSamplesAreFound) {
    // Round: a parabola dipping 1e-6 below zero between samples 1/8 apart.
    const Scan round = scan([](double x) -> std::optional<double> { return (x - 0.53) * (x - 0.53) - 1e-6; }, 8);
    ASSERT_EQ(round.zeros.size(), 2u);
    EXPECT_NEAR(round.zeros[0], 0.529, 1e-12);
    EXPECT_NEAR(round.zeros[1], 0.531, 1e-12);
    // V-shaped, as a branch residual is where o4 swings past the J1 axis.
    const Scan sharp = scan([](double x) -> std::optional<double> { return std::fabs(x - 0.53) - 1e-4; }, 8);
    ASSERT_EQ(sharp.zeros.size(), 2u);
    EXPECT_NEAR(sharp.zeros[0], 0.5299, 1e-12);
    EXPECT_NEAR(sharp.zeros[1], 0.5301, 1e-12);
}

TEST(ZeroScan, ATouchingZeroIsPassedOn) {
    const Scan s = scan([](double x) -> std::optional<double> { return (x - 0.53) * (x - 0.53); }, 8);
    ASSERT_GE(s.zeros.size(), 1u);
    for (const double z : s.zeros) {
        EXPECT_NEAR(z, 0.53, 1e-5);
    }
}

TEST(ZeroScan, BroadExtremaCostNothing) {
    // Never near zero: only the samples are evaluated.
    const Scan s = scan([](double x) -> std::optional<double> { return 2.0 + std::sin(12.0 * x); }, 32);
    EXPECT_TRUE(s.zeros.empty());
    EXPECT_EQ(s.evaluations, 33);
}

TEST(ZeroScan, ZerosAtTheEdgeOfTheDefinedRange) {
    // Defined up to 0.53 only; the zero lies between the last defined sample
    // and the edge.
    const Scan inside = scan(
        [](double x) -> std::optional<double> {
            if (x > 0.53) {
                return std::nullopt;
            }
            return x - 0.5299;
        },
        8);
    ASSERT_EQ(inside.zeros.size(), 1u);
    EXPECT_NEAR(inside.zeros[0], 0.5299, 1e-12);
    // The residual reaches zero exactly at the edge, from either side.
    const auto at_edge = [](double x) -> std::optional<double> {
        if (x < 0.47) {
            return std::nullopt;
        }
        return 10.0 * (x - 0.47);
    };
    const Scan edge = scan(at_edge, 8);
    ASSERT_EQ(edge.zeros.size(), 1u);
    EXPECT_NEAR(edge.zeros[0], 0.47, 1e-15);
    // Nothing defined, or nothing near zero at the edge: nothing found.
    EXPECT_TRUE(scan([](double) -> std::optional<double> { return std::nullopt; }, 8).zeros.empty());
    EXPECT_TRUE(scan(
                    [](double x) -> std::optional<double> {
                        if (x > 0.53) {
                            return std::nullopt;
                        }
                        return 1.0 + x;
                    },
                    8)
                    .zeros.empty());
}

}  // namespace
}  // namespace ortholink::solver
