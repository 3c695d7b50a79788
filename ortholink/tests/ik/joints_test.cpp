#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ik/joints.hpp"
#include "ik/setup.hpp"
#include "ik/support.hpp"

namespace ortholink::solver {
namespace {

using support::key_points;

const Crx kRobot = Crx::new_10ia();

TEST(JointsFromPoints, ZeroPose) {
    const solver::Setup s(kRobot, fk(kRobot, JointVector{}));
    const auto [primary, mirror] = joints_from_points(s, Vec3{0, 0, 540}, Vec3{540, 0, 540});
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(primary[i], 0.0, 1e-12) << "J" << i + 1;
    }
    // A wrapped half turn is -180, never +180.
    EXPECT_EQ(mirror[0], -180.0);
    EXPECT_NEAR(mirror[1], 0.0, 1e-12);
    EXPECT_NEAR(mirror[2], -180.0, 1e-12);
    EXPECT_EQ(mirror[3], -180.0);
    EXPECT_NEAR(mirror[4], 0.0, 1e-12);
    EXPECT_NEAR(mirror[5], 0.0, 1e-12);
}

TEST(JointsFromPoints, PublishedTargets) {
    struct Case {
        JointVector joints;
        JointVector mirror;
    };
    for (const Case& c : {Case{{10, 20, 30, 40, 50, 60}, {-170, -20, 150, -140, 50, 60}},
                          Case{{-100, 35, -20, 150, -70, -120}, {80, -35, 200, -30, -70, -120}}}) {
        const solver::Setup s(kRobot, fk(kRobot, c.joints));
        const auto k = key_points(kRobot, c.joints);
        const auto [primary, mirror] = joints_from_points(s, k.o3, k.o4);
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(primary[i], c.joints[i], 1e-12) << "J" << i + 1;
            // Not wrapped: the mirror's J3 may leave [-180, 180).
            EXPECT_NEAR(mirror[i], c.mirror[i], 1e-11) << "mirror J" << i + 1;
        }
    }
}

TEST(JointsFromPoints, WristPointOnTheAxisTakesJ1FromTheElbow) {
    const solver::Setup s(kRobot, fk(kRobot, JointVector{10, 20, 30, 40, 50, 60}));
    const auto [primary, mirror] = joints_from_points(s, Vec3{100, 200, 300}, Vec3{0, 0, 700});
    EXPECT_DOUBLE_EQ(primary[0], std::atan2(200.0, 100.0) * kRadToDeg);
    EXPECT_NEAR(mirror[0], primary[0] - 180.0, 1e-12);

    const auto [both_p, both_m] = joints_from_points(s, Vec3{0, 0, 540}, Vec3{0, 0, 1080});
    EXPECT_EQ(both_p[0], 0.0);
    EXPECT_EQ(both_m[0], -180.0);
}

TEST(JointsFromPoints, AxisDistanceEqualToTheToleranceTakesTheFallback) {
    // The comparison with 1e-6·z1 is strict, also at the last bit and for a
    // distance split over x and y.
    const solver::Setup s(kRobot, fk(kRobot, JointVector{10, 20, 30, 40, 50, 60}));
    const double tol = 1e-6 * kRobot.z1;
    const Vec3 elbow{0, 300, 300};  // J1 from the elbow: 90 degrees
    EXPECT_EQ(joints_from_points(s, elbow, Vec3{tol, 0, 700}).first[0], 90.0);
    EXPECT_EQ(joints_from_points(s, elbow, Vec3{std::nextafter(tol, 1.0), 0, 700}).first[0], 0.0);
    EXPECT_EQ(joints_from_points(s, elbow, Vec3{std::nextafter(tol, 0.0), 0, 700}).first[0], 90.0);
    const double diagonal = tol * std::sqrt(0.5);
    for (double x = std::nextafter(diagonal, 0.0), k = 0; k < 3; ++k, x = std::nextafter(x, 1.0)) {
        const bool beyond = std::hypot(x, x) > tol;
        EXPECT_EQ(joints_from_points(s, elbow, Vec3{x, -x, 700}).first[0], beyond ? -45.0 : 90.0) << x;
    }
    // Both points on the axis: J1 is 0.
    EXPECT_EQ(joints_from_points(s, Vec3{tol, 0, 540}, Vec3{0, tol, 1080}).first[0], 0.0);
}

TEST(JointsFromPoints, InconsistentPointsStillGiveFiniteAngles) {
    const solver::Setup s(kRobot, fk(kRobot, JointVector{10, 20, 30, 40, 50, 60}));
    const auto [primary, mirror] = joints_from_points(s, Vec3{1, 2, 3}, Vec3{-400, 900, 12});
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(std::isfinite(primary[i]));
        EXPECT_TRUE(std::isfinite(mirror[i]));
        if (i != 2) {
            EXPECT_GE(primary[i], -180.0);
            EXPECT_LT(primary[i], 180.0);
        }
    }
}

TEST(JointsFromPoints, PrimaryAndMirrorReachTheTarget) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        for (int n = 0; n < 300; ++n) {
            JointVector joints;
            for (double& j : joints) {
                j = angle(rng);
            }
            const Pose target = fk(robot, joints);
            const solver::Setup s(robot, target);
            const auto k = key_points(robot, joints);
            const auto [primary, mirror] = joints_from_points(s, k.o3, k.o4);
            // J1 puts o4 on the positive side of the arm plane, so the
            // generating joints are either the primary or the mirror.
            const double to_primary = joint_distance(primary, joints);
            const double to_mirror = joint_distance(mirror, joints);
            EXPECT_LT(std::fmin(to_primary, to_mirror), 1e-10) << model_name(model);
            EXPECT_GT(std::fmax(to_primary, to_mirror), 1.0) << model_name(model);
            EXPECT_LT(support::matrix_error(fk(robot, primary), target), 1e-9) << model_name(model);
            EXPECT_LT(support::matrix_error(fk(robot, mirror), target), 1e-9) << model_name(model);
            // The mirror shares J5 and J6 and turns J1 by half a turn.
            EXPECT_EQ(mirror[4], primary[4]);
            EXPECT_EQ(mirror[5], primary[5]);
            EXPECT_NEAR(std::fabs(support::angle_diff_deg(mirror[0], primary[0])), 180.0, 1e-9);
        }
    }
}

}  // namespace
}  // namespace ortholink::solver
