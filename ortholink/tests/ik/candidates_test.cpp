#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ik/candidates.hpp"
#include "ik/geometry.hpp"
#include "ik/setup.hpp"
#include "ik/support.hpp"

namespace ortholink::solver {
namespace {

using support::distance3;
using support::key_points;

const Crx kRobot = Crx::new_10ia();

int count_kind(const Candidates& c, SolutionKind kind) {
    int n = 0;
    for (const Candidate& x : c) {
        n += x.kind == kind ? 1 : 0;
    }
    return n;
}

TEST(Candidates, GeneralPositionGivesTheElbowOfEverySolution) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    for (int n = 0; n < 300; ++n) {
        JointVector joints;
        for (double& j : joints) {
            j = angle(rng);
        }
        const solver::Setup s(kRobot, fk(kRobot, joints));
        const Candidates c = candidates(s);
        const auto k = key_points(kRobot, joints);
        if (std::hypot(k.o4[0], k.o4[1]) < 0.02 * kRobot.z1) {
            continue;  // near the axis: covered below
        }
        EXPECT_EQ(count_kind(c, SolutionKind::Regular), static_cast<int>(c.size()));
        const Candidate* best = nullptr;
        for (const Candidate& x : c) {
            if (best == nullptr || distance3(x.o3, k.o3) < distance3(best->o3, k.o3)) {
                best = &x;
            }
            EXPECT_NEAR(std::sqrt(dot(x.o3, x.o3)), kRobot.z1, 1e-6);
            EXPECT_NEAR(distance3(x.o3, x.o4), kRobot.x1, 1e-6);
        }
        ASSERT_NE(best, nullptr);
        EXPECT_LT(distance3(best->o3, k.o3), 1e-8);
        EXPECT_LT(distance3(best->o4, k.o4), 1e-8);
        EXPECT_NEAR(wrap_angle(best->theta - k.theta), 0.0, 1e-9);
    }
}

TEST(Candidates, ZeroPoseHasBothElbowsAtMinusHalfPi) {
    const Candidates c = candidates(solver::Setup(kRobot, fk(kRobot, JointVector{})));
    bool up = false;
    bool forward = false;
    for (const Candidate& x : c) {
        EXPECT_EQ(x.kind, SolutionKind::Regular);
        if (std::fabs(wrap_angle(x.theta + kPi / 2)) > 1e-3) {
            continue;
        }
        up = up || distance3(x.o3, Vec3{0, 0, 540}) < 1e-3;
        forward = forward || distance3(x.o3, Vec3{540, 0, 0}) < 1e-3;
    }
    EXPECT_TRUE(up);
    EXPECT_TRUE(forward);
}

TEST(Candidates, WristPointOnTheAxisIsAxisDegenerate) {
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        // z1·sin J2 + x1·cos J3 = 0 puts o4 on the J1 axis.
        const double j3 = 70.0;
        const double j2 = std::asin(-robot.x1 * std::cos(j3 * kDegToRad) / robot.z1) * kRadToDeg;
        const JointVector joints{25, j2, j3, -50, 35, 80};
        const solver::Setup s(robot, fk(robot, joints));
        const auto axis = axis_thetas(s);
        ASSERT_EQ(axis.size(), 1u);
        const Candidates c = candidates(s);
        const auto k = key_points(robot, joints);
        ASSERT_GE(count_kind(c, SolutionKind::AxisDegenerate), 1) << model_name(model);
        bool elbow = false;
        for (const Candidate& x : c) {
            if (x.kind == SolutionKind::AxisDegenerate) {
                EXPECT_EQ(x.theta, axis[0]);
                elbow = elbow || distance3(x.o3, k.o3) < 1e-5;
            } else {
                // Roots next to the axis angle are left to it.
                EXPECT_GE(std::fabs(wrap_angle(x.theta - axis[0])), 1e-5 - 1e-12);
            }
        }
        EXPECT_TRUE(elbow) << model_name(model);
        // The axis candidates come first.
        EXPECT_EQ(c[0].kind, SolutionKind::AxisDegenerate);
    }
}

TEST(Candidates, ElbowOnTheAxisIsASingularFamily) {
    // Arm straight up: o4 = (0, 0, z1 + x1), the elbow circle shrinks to (0, 0, z1).
    const JointVector joints{0, 0, 90, 30, 40, 50};
    const solver::Setup s(kRobot, fk(kRobot, joints));
    const Candidates c = candidates(s);
    ASSERT_GE(c.size(), 1u);
    EXPECT_EQ(c[0].kind, SolutionKind::SingularFamily);
    EXPECT_LT(distance3(c[0].o3, Vec3{0, 0, 540}), 1e-3);
}

TEST(Candidates, WristPointAtTheOriginOnlyForEqualArms) {
    // J2 + J3 = 270 folds the forearm back onto the upper arm.
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        const JointVector joints{30, 100, 170, 40, 60, -20};
        const solver::Setup s(robot, fk(robot, joints));
        const Candidates c = candidates(s);
        if (robot.z1 == robot.x1) {
            ASSERT_GE(c.size(), 1u) << model_name(model);
            EXPECT_EQ(c[0].kind, SolutionKind::SingularFamily);
            EXPECT_NEAR(std::sqrt(dot(c[0].o3, c[0].o3)), robot.z1, 1e-9);
        } else {
            EXPECT_EQ(count_kind(c, SolutionKind::SingularFamily), 0) << model_name(model);
        }
    }

    // A target whose circle of o4 runs through the origin on a robot that
    // cannot fold onto it: the axis angle is found but gives no candidate.
    const Crx robot = Crx::new_5ia();
    Pose target = fk(robot, JointVector{10, 20, 30, 40, 50, 60});
    solver::Setup s(robot, target);
    // Shift the target so that o4(0) = o5 + y1·x_axis is the origin.
    for (int i = 0; i < 3; ++i) {
        target.t[i] -= s.o5[i] + robot.y1 * s.x_axis[i];
    }
    s = solver::Setup(robot, target);
    ASSERT_FALSE(axis_thetas(s).empty());
    EXPECT_EQ(count_kind(candidates(s), SolutionKind::SingularFamily), 0);
}

TEST(Candidates, OutOfReachGivesNone) {
    EXPECT_TRUE(candidates(solver::Setup(kRobot, Pose{Quat{}, Vec3{5000, 0, 0}})).empty());
    EXPECT_TRUE(candidates(solver::Setup(kRobot, Pose{Quat{}, Vec3{0, 0, 3000}})).empty());
}

}  // namespace
}  // namespace ortholink::solver
