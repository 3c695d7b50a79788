#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "ik/candidates.hpp"
#include "ik/geometry.hpp"
#include "ik/setup.hpp"
#include "ik/support.hpp"
#include "ik/trig_poly.hpp"

namespace ortholink::solver {
namespace {

using support::key_points;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const Crx kRobot = Crx::new_10ia();
const Crx kRobot30 = Crx::new_30ia();

// The solver's working values are plain fixed-size records: nothing in the
// inner loops can reach the heap.
static_assert(std::is_trivially_copyable_v<Setup>);
static_assert(std::is_trivially_copyable_v<TrigPoly>);
static_assert(std::is_trivially_copyable_v<ThetaRoots>);
static_assert(std::is_trivially_copyable_v<AxisThetas>);
static_assert(std::is_trivially_copyable_v<Candidates>);

// ------------------------------------------------------------ wrap_angle

TEST(WrapAngle, HalfOpenRange) {
    EXPECT_EQ(wrap_angle(kPi), -kPi);
    EXPECT_EQ(wrap_angle(-kPi), -kPi);
    EXPECT_EQ(wrap_angle(0.0), 0.0);
    EXPECT_NEAR(wrap_angle(kTwoPi + 0.25), 0.25, 1e-15);
    EXPECT_NEAR(wrap_angle(-kTwoPi - 0.25), -0.25, 1e-15);
    EXPECT_NEAR(wrap_angle(1001.0 * kPi), -kPi, 1e-12);
    EXPECT_TRUE(std::isnan(wrap_angle(kNan)));
    EXPECT_TRUE(std::isnan(wrap_angle(INFINITY)));
}

TEST(WrapAngle, SameBitsAsTheFmodFormula) {
    // The shortcut for small arguments must not change a single result.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> small(-16.0, 16.0);
    std::uniform_real_distribution<double> large(-1e6, 1e6);
    for (int i = 0; i < 20000; ++i) {
        const double x = i % 2 == 0 ? small(rng) : large(rng);
        double r = std::fmod(x + kPi, kTwoPi);
        if (r < 0.0) {
            r = r + kTwoPi;
        }
        const double reference = r - kPi;
        ASSERT_EQ(wrap_angle(x), reference) << x;
        ASSERT_GE(wrap_angle(x), -kPi);
        ASSERT_LT(wrap_angle(x), kPi);
    }
    std::vector<double> edges{-kPi - 1e-16, kPi - 1e-16, kPi + 1e-16, kTwoPi - kPi, -kTwoPi};
    // Around the places where x + π is one or two whole moduli.
    for (const double m : {kTwoPi, 2.0 * kTwoPi, -kTwoPi, -2.0 * kTwoPi}) {
        double x = m - kPi;
        for (int k = 0; k < 4; ++k) {
            x = std::nextafter(x, -INFINITY);
        }
        for (int k = 0; k < 8; ++k, x = std::nextafter(x, INFINITY)) {
            edges.push_back(x);
        }
    }
    for (const double x : edges) {
        double r = std::fmod(x + kPi, kTwoPi);
        if (r < 0.0) {
            r = r + kTwoPi;
        }
        EXPECT_EQ(wrap_angle(x), r - kPi) << x;
        EXPECT_EQ(std::signbit(wrap_angle(x)), std::signbit(r - kPi)) << x;
    }
}

// ------------------------------------------------------------ Setup

TEST(Setup, ZeroPoseFields) {
    const solver::Setup s(kRobot, fk(kRobot, JointVector{}));
    EXPECT_EQ(s.robot, &kRobot);
    EXPECT_NEAR(s.o5[0], 540.0, 1e-12);
    EXPECT_NEAR(s.o5[1], -150.0, 1e-12);
    EXPECT_NEAR(s.o5[2], 540.0, 1e-12);
    EXPECT_EQ(s.o6, (Vec3{700.0, -150.0, 540.0}));
    // Flange x axis is base +Z, flange y axis base -Y at the zero pose.
    EXPECT_NEAR(s.x_axis[2], 1.0, 1e-15);
    EXPECT_NEAR(s.y_axis[1], -1.0, 1e-15);
    EXPECT_NEAR(std::fabs(s.x_axis[0]) + std::fabs(s.x_axis[1]), 0.0, 1e-15);
}

TEST(Setup, ResidualVanishesAtTheCircleAngleOfASolution) {
    for (const JointVector& joints : {JointVector{10, 20, 30, 40, 50, 60}, JointVector{-100, 35, -20, 150, -70, -120},
                                      JointVector{45, -40, 65, -120, 80, 10}}) {
        const Pose target = fk(kRobot, joints);
        const solver::Setup s(kRobot, target);
        const auto k = key_points(kRobot, joints);
        // f is a difference of squares of values of order one.
        EXPECT_NEAR(s.f(k.theta), 0.0, 1e-12);
        EXPECT_GT(std::fabs(s.f(k.theta + 0.3)), 1e-6);

        // Exactly one elbow branch has the forearm perpendicular to the J5 axis.
        const auto plus = branch_residual(s, k.theta, 1.0);
        const auto minus = branch_residual(s, k.theta, -1.0);
        ASSERT_TRUE(plus && minus);
        const double own = std::fmin(std::fabs(*plus), std::fabs(*minus));
        const double other = std::fmax(std::fabs(*plus), std::fabs(*minus));
        EXPECT_LT(own, 1e-12);
        EXPECT_GT(other, 1e-3);

        // The branch that vanishes puts the elbow where the joints put it.
        const auto point = branch_point(s, k.theta, std::fabs(*plus) < std::fabs(*minus) ? 1.0 : -1.0);
        ASSERT_TRUE(point);
        EXPECT_LT(support::distance3(point->o3, k.o3), 1e-9);
        EXPECT_LT(support::distance3(point->o4, k.o4), 1e-9);
    }
}

TEST(Setup, BranchResidualIsAbsentOnTheAxisAndOutOfReach) {
    // Zero-pose flange turned so that the circle of o4 passes through the J1 axis:
    // o4 on the axis at height 700.
    const Pose on_axis_target = fk(kRobot, JointVector{0, 30, 40, 0, 0, 0});
    solver::Setup s(kRobot, on_axis_target);
    // Move the J5 origin so that o4(θ) = (0, 0, 700) for θ with d = -x_axis.
    const Vec3 d{-s.x_axis[0], -s.x_axis[1], -s.x_axis[2]};
    for (int i = 0; i < 3; ++i) {
        s.o5[i] = Vec3{0.0, 0.0, 700.0}[i] - kRobot.y1 * d[i];
    }
    EXPECT_FALSE(branch_residual(s, kPi, 1.0));
    EXPECT_FALSE(branch_residual(s, -kPi, -1.0));

    // Far beyond reach: the spheres about the origin and o4 do not meet.
    solver::Setup far(kRobot, Pose{Quat{}, Vec3{5000.0, 0.0, 0.0}});
    EXPECT_FALSE(branch_residual(far, 0.3, 1.0));
    EXPECT_FALSE(branch_residual(far, 0.3, -1.0));

    // NaN propagates as a value rather than disappearing.
    solver::Setup broken(kRobot, Pose{Quat{}, Vec3{kNan, 0.0, 0.0}});
    const auto r = branch_residual(broken, 0.3, 1.0);
    EXPECT_TRUE(!r || std::isnan(*r));
    EXPECT_TRUE(std::isnan(broken.f(0.3)));
}

// ------------------------------------------------------------ solve_linear_trig

TEST(SolveLinearTrig, Cases) {
    EXPECT_TRUE(solve_linear_trig(0, 0, 0).any_angle);

    const auto none = solve_linear_trig(0, 0, 1);
    EXPECT_FALSE(none.any_angle);
    EXPECT_TRUE(none.angles.empty());

    const auto tangent = solve_linear_trig(1, 0, 1);
    ASSERT_EQ(tangent.angles.size(), 1u);
    EXPECT_EQ(tangent.angles[0], 0.0);

    const auto two = solve_linear_trig(1, 0, 0);
    ASSERT_EQ(two.angles.size(), 2u);
    EXPECT_NEAR(two.angles[0], kPi / 2, 1e-15);
    EXPECT_NEAR(two.angles[1], -kPi / 2, 1e-15);

    const auto slack = solve_linear_trig(1, 0, 1.0000000000005);
    ASSERT_EQ(slack.angles.size(), 1u);
    EXPECT_EQ(slack.angles[0], 0.0);

    EXPECT_TRUE(solve_linear_trig(1, 0, 2).angles.empty());
    EXPECT_TRUE(solve_linear_trig(1, 0, 1.000000000002).angles.empty());
    EXPECT_FALSE(solve_linear_trig(kNan, 0, 0).any_angle);
}

TEST(SolveLinearTrig, AnglesSolveTheEquationInRange) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int i = 0; i < 2000; ++i) {
        const double a = u(rng);
        const double b = u(rng);
        const double c = u(rng);
        const auto sol = solve_linear_trig(a, b, c);
        ASSERT_FALSE(sol.any_angle);
        EXPECT_EQ(sol.angles.empty(), std::fabs(c) > std::hypot(a, b) * 1.000000000001);
        for (const double phi : sol.angles) {
            EXPECT_GE(phi, -kPi);
            EXPECT_LT(phi, kPi);
            EXPECT_NEAR(a * std::cos(phi) + b * std::sin(phi), c, 1e-6);
        }
    }
}

// ------------------------------------------------------------ axis angles

// Joint vectors whose wrist point o4 lies on the J1 axis:
// z1·sin J2 + x1·cos J3 = 0 (J3 measured as in the controller).
JointVector on_axis_joints(const Crx& robot, double j1, double j3, double j4, double j5, double j6) {
    const double s = -robot.x1 * std::cos(j3 * kDegToRad) / robot.z1;
    return JointVector{j1, std::asin(s) * kRadToDeg, j3, j4, j5, j6};
}

TEST(AxisThetas, EmptyWhenTheCircleCannotReachTheAxis) {
    EXPECT_TRUE(axis_thetas(solver::Setup(kRobot, fk(kRobot, JointVector{}))).empty());
    EXPECT_TRUE(axis_thetas(solver::Setup(kRobot, fk(kRobot, JointVector{10, 20, 30, 40, 50, 60}))).empty());
}

TEST(AxisThetas, FindsTheAngleOfAWristPointOnTheAxisOnce) {
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        for (const JointVector& joints : {on_axis_joints(robot, 20, 50, 30, 40, 50),
                                          on_axis_joints(robot, -70, 120, -60, -35, 170),
                                          on_axis_joints(robot, 135, 75, 100, 60, -20)}) {
            const auto k = key_points(robot, joints);
            ASSERT_LT(std::hypot(k.o4[0], k.o4[1]), 1e-9);
            const solver::Setup s(robot, fk(robot, joints));
            const auto thetas = axis_thetas(s);
            // Several of the sixteen starts reach this angle; it is listed once.
            ASSERT_EQ(thetas.size(), 1u) << model_name(model);
            EXPECT_NEAR(wrap_angle(thetas[0] - k.theta), 0.0, 1e-8);
            EXPECT_GE(thetas[0], -kPi);
            EXPECT_LT(thetas[0], kPi);

            // The elbow of the joints is one of the two points of the elbow circle.
            const auto elbows = o3_on_axis(s, thetas[0]);
            ASSERT_GE(elbows.size(), 1u);
            double best = 1e300;
            for (const Vec3& e : elbows) {
                best = std::fmin(best, support::distance3(e, k.o3));
                EXPECT_NEAR(std::sqrt(dot(e, e)), robot.z1, 1e-6);
            }
            EXPECT_LT(best, 1e-5) << model_name(model);
        }
    }
}

TEST(O3OnAxis, ElbowBelowTheShoulderWithALongerForearm) {
    // CRX-5iA (x1 > z1) with o4 low on the axis: the elbow circle lies below
    // the base origin although o4 is above it.
    const Crx robot = Crx::new_5ia();
    const JointVector joints{72.4946350715, 147.8816499397, 120.4602871346, 163.6863667983, -138.509276245,
                             -27.8486361387};
    const auto k = key_points(robot, joints);
    ASSERT_LT(std::hypot(k.o4[0], k.o4[1]), 1e-6);
    ASSERT_GT(k.o4[2], 0.0);
    const solver::Setup s(robot, fk(robot, joints));
    const auto thetas = axis_thetas(s);
    ASSERT_EQ(thetas.size(), 1u);
    const auto elbows = o3_on_axis(s, thetas[0]);
    ASSERT_EQ(elbows.size(), 2u);
    double best = 1e300;
    for (const Vec3& e : elbows) {
        EXPECT_LT(e[2], 0.0);
        best = std::fmin(best, support::distance3(e, k.o3));
    }
    EXPECT_LT(best, 1e-5);
}

TEST(O3OnAxis, EmptyWhenEveryOrNoElbowIsPerpendicular) {
    // d vertical (flange x axis up) and o4 on the axis at the elbow circle's
    // height: the perpendicularity condition holds for every angle.
    solver::Setup s(kRobot, Pose{});
    s.x_axis = Vec3{0.0, 0.0, 1.0};
    s.y_axis = Vec3{0.0, 1.0, 0.0};
    // o4 = o5 + y1·x_axis at θ = 0; place it at the origin height so μ = 0.
    s.o5 = Vec3{0.0, 0.0, -kRobot.y1};
    EXPECT_TRUE(o3_on_axis(s, 0.0).empty());

    // The same d with o4 higher up: the elbow circle has a radius but no
    // point of it keeps the forearm perpendicular to a vertical d.
    s.o5 = Vec3{0.0, 0.0, 700.0 - kRobot.y1};
    EXPECT_TRUE(o3_on_axis(s, 0.0).empty());
}

TEST(O3OnOrigin, OnlyRobotsWithEqualArmLengths) {
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        const solver::Setup s(robot, fk(robot, JointVector{10, 20, 30, 40, 50, 60}));
        const auto o3 = o3_on_origin(s, 0.7);
        if (robot.z1 == robot.x1) {
            ASSERT_TRUE(o3) << model_name(model);
            EXPECT_NEAR(std::sqrt(dot(*o3, *o3)), robot.z1, 1e-9);
            double sn = 0.0;
            double cs = 0.0;
            ::sincos(0.7, &sn, &cs);
            EXPECT_NEAR(dot(*o3, s.direction(sn, cs)), 0.0, 1e-9);
        } else {
            EXPECT_FALSE(o3) << model_name(model);
        }
    }
}

// ------------------------------------------------------------ fit of the residual

TEST(TrigPolyFit, ReproducesTheResidualAtOtherAngles) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    for (int n = 0; n < 50; ++n) {
        JointVector joints;
        for (double& j : joints) {
            j = angle(rng);
        }
        const solver::Setup s(kRobot, fk(kRobot, joints));
        const TrigPoly p = TrigPoly::from_setup(s);
        EXPECT_EQ(p.b[0], 0.0);
        double scale = 0.0;
        for (int k = 0; k <= kTrigDegree; ++k) {
            scale = std::fmax(scale, std::fmax(std::fabs(p.a[k]), std::fabs(p.b[k])));
        }
        for (int i = 0; i < 32; ++i) {
            const double theta = -kPi + (i + 0.37) * kTwoPi / 32.0;
            EXPECT_NEAR(p.value(theta), s.f(theta), 1e-12 * scale) << theta;
        }
    }
}

}  // namespace
}  // namespace ortholink::solver
