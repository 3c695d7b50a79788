// Numbers as text and the printed forms of solutions, plans and arms.

#include "ortholink/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "ortholink/arm.hpp"
#include "ortholink/batch.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/path.hpp"
#include "ortholink/xyzwpr.hpp"

namespace ortholink {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(TextFormat, FixedFourDecimalsRoundHalfToEven) {
    EXPECT_EQ(format_fixed4(12.5), "12.5000");
    EXPECT_EQ(format_fixed4(-0.0), "-0.0000");
    EXPECT_EQ(format_fixed4(10.0), "10.0000");
    // Exact binary ties: 0.5 units of the fourth decimal.
    EXPECT_EQ(format_fixed4(0.00005), "0.0001");  // 0.00005 is slightly above the tie in binary
    EXPECT_EQ(format_fixed4(1.03125), "1.0312");  // exact tie, rounds to even
    EXPECT_EQ(format_fixed4(1.09375), "1.0938");  // exact tie, rounds to even
    EXPECT_EQ(format_fixed4(-179.99999999999997), "-180.0000");
    EXPECT_EQ(format_fixed4(1e300).size(), 301u + 5u);
    // The largest double still fits: 309 digits, the point and four decimals.
    EXPECT_EQ(format_fixed4(-std::numeric_limits<double>::max()).size(), 1u + 309u + 5u);
}

TEST(TextFormat, ScientificHasBareExponent) {
    EXPECT_EQ(format_scientific3(1.137e-13), "1.137e-13");
    EXPECT_EQ(format_scientific3(4.0), "4.000e0");
    EXPECT_EQ(format_scientific3(0.0), "0.000e0");
    EXPECT_EQ(format_scientific3(12345.0), "1.234e4");  // 1.2345 rounds to even
    EXPECT_EQ(format_scientific3(1.5e-300), "1.500e-300");
    EXPECT_EQ(format_scientific3(-2.5e7), "-2.500e7");
    // Rounding up carries into the exponent.
    EXPECT_EQ(format_scientific3(9.9996e5), "1.000e6");
    EXPECT_EQ(format_scientific3(9.9996e-10), "1.000e-9");
    EXPECT_EQ(format_scientific3(std::numeric_limits<double>::denorm_min()), "4.941e-324");
}

TEST(TextFormat, ShortestReadsBackExactly) {
    EXPECT_EQ(format_shortest(245.0), "245");
    EXPECT_EQ(format_shortest(0.1), "0.1");
    EXPECT_EQ(format_shortest(-179.9), "-179.9");
    EXPECT_EQ(format_shortest(1e300), "1e+300");
    EXPECT_EQ(format_shortest(-0.0), "-0");
    EXPECT_EQ(format_shortest(0.1 + 0.2), "0.30000000000000004");
    // The longest shortest form.
    EXPECT_EQ(format_shortest(-2.2250738585072014e-308), "-2.2250738585072014e-308");
}

TEST(TextFormat, NonFiniteSpellings) {
    for (auto* format : {&format_fixed4, &format_scientific3}) {
        EXPECT_EQ(format(std::nan("")), "NaN");
        EXPECT_EQ(format(kInf), "inf");
        EXPECT_EQ(format(-kInf), "-inf");
    }
    EXPECT_EQ(format_shortest(kInf), "inf");
    EXPECT_EQ(format_shortest(-kInf), "-inf");
}

TEST(SolutionText, JointsResidualAndKind) {
    const IkSolution solution{{10.0, -20.123456, 30.00005, 0.0, -0.0, 179.99999}, 1.137e-13, 0.5, SolutionKind::AxisDegenerate};
    EXPECT_EQ(to_string(solution),
              "IkSolution(joints=[10.0000, -20.1235, 30.0001, 0.0000, -0.0000, 180.0000], residual=1.137e-13, "
              "kind=AxisDegenerate)");
    EXPECT_EQ(kind_name(SolutionKind::Regular), "Regular");
    EXPECT_EQ(kind_name(SolutionKind::SingularFamily), "SingularFamily");
    EXPECT_EQ(kind_name(static_cast<SolutionKind>(3)), "");
}

TEST(SolutionText, UnknownKindIsRefused) {
    const IkSolution solution{{}, 0.0, 0.0, static_cast<SolutionKind>(7)};
    EXPECT_THROW(static_cast<void>(to_string(solution)), std::invalid_argument);
}

TEST(BatchText, TargetsAndSolutions) {
    const Crx robot = Crx::new_10ia();
    const std::vector<Pose> targets{fk(robot, {10, 20, 30, 40, 50, 60}), fk(robot, {-5, 10, -20, 30, -40, 50})};
    const IkBatchResult batch = ik_many(robot, targets, 1);
    EXPECT_EQ(to_string(batch), "IkBatch(targets=2, solutions=" + std::to_string(batch.solutions.size()) + ")");
    EXPECT_EQ(to_string(ik_many(robot, std::span<const Pose>{}, 1)), "IkBatch(targets=0, solutions=0)");
    // Built empty, without the leading offset.
    EXPECT_EQ(to_string(IkBatchResult{}), "IkBatch(targets=0, solutions=0)");
}

TEST(PlanText, CountsAndTotals) {
    PathPlan plan;
    EXPECT_EQ(to_string(plan), "PathPlan(waypoints=0, breaks=0, unreachable=0, duration=0.0000, travel=0.0000)");
    plan.joints.resize(5);
    plan.breaks = {2};
    plan.unreachable = {3, 4};
    plan.duration = kInf;
    plan.travel = 140.123456;
    EXPECT_EQ(to_string(plan), "PathPlan(waypoints=5, breaks=1, unreachable=2, duration=inf, travel=140.1235)");
}

TEST(ArmText, ModelWithPublishedLimits) {
    EXPECT_EQ(to_string(Arm::from_model(CrxModel::Crx10iA)),
              "Arm(CrxModel.Crx10iA, base=identity, tool=identity, lower=[-190, -179.9, -250.9, -190, -179.9, -225], "
              "upper=[190, 179.9, 430.9, 190, 179.9, 225], elbow=(-71, 251), max_speed=[120, 120, 180, 180, 180, 180])");
}

TEST(ArmText, RobotFramesAndSignedZeros) {
    Arm arm = Arm::from_robot(Crx::from_params(540.0, 540.0, 150.0, 0.5));
    arm.tool = pose_from_xyzwpr({0.0, 0.0, 100.0, 0.0, 0.0, 0.0});
    arm.base.t = {-0.0, 0.0, -0.0};  // still the identity
    arm.lower[0] = -0.0;             // printed without its sign
    EXPECT_EQ(to_string(arm),
              "Arm(Crx(z1=540, x1=540, x2=150, y1=0.5), base=identity, tool=xyzwpr[0, 0, 100, 0, 0, 0], "
              "lower=[0, -180, -180, -180, -180, -180], upper=[180, 180, 180, 180, 180, 180], "
              "elbow=None, max_speed=[180, 180, 180, 180, 180, 180])");
}

}  // namespace
}  // namespace ortholink
