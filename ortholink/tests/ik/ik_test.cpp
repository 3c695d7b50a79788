#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "ik/ik.hpp"
#include "ik/support.hpp"
#include "ortholink/ik.hpp"

namespace ortholink {
namespace {

using solver::kPi;
using solver::support::expect_joints_deg;
using solver::support::matrix_error;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const Crx kRobot = Crx::new_10ia();

void expect_all_good(const std::vector<IkSolution>& solutions, const Pose& target, double residual_bound) {
    for (std::size_t i = 0; i < solutions.size(); ++i) {
        EXPECT_LE(solutions[i].residual, residual_bound) << "solution " << i;
        EXPECT_LE(matrix_error(fk(kRobot, solutions[i].joints), target), residual_bound + 1e-12) << "solution " << i;
        EXPECT_EQ(solutions[i].kind, SolutionKind::Regular) << "solution " << i;
    }
}

// ------------------------------------------------------------ joint distance

TEST(JointDistance, WrapsWholeTurnsAndSkipsNaN) {
    EXPECT_NEAR(joint_distance(JointVector{179, 0, 0, 0, 0, 0}, JointVector{-179, 0, 0, 0, 0, 0}), 2 * kDegToRad,
                1e-14);
    EXPECT_NEAR(joint_distance(JointVector{0, 0, 0, 0, 0, 170}, JointVector{0, 0, 0, 0, 0, -190}), 0.0, 1e-14);
    EXPECT_NEAR(joint_distance(JointVector{0, 0, 0, 0, 0, 0}, JointVector{0, 0, 0, 0, 0, 180}), kPi, 1e-15);
    EXPECT_NEAR(joint_distance(JointVector{kNan, 5, 0, 0, 0, 0}, JointVector{90, 0, 0, 0, 0, 0}), 5 * kDegToRad,
                1e-15);
    const JointVector nan{kNan, kNan, kNan, kNan, kNan, kNan};
    EXPECT_EQ(joint_distance(nan, JointVector{1, 2, 3, 4, 5, 6}), 0.0);
    EXPECT_EQ(joint_distance(JointVector{1, 2, 3, 4, 5, 6}, JointVector{1, 2, 3, 4, 5, 6}), 0.0);
}

// ------------------------------------------------------------ acceptance and duplicates

TEST(OfferSolution, AcceptanceThresholdIsInclusive) {
    std::vector<IkSolution> kept;
    EXPECT_TRUE(solver::offer_solution(kept, JointVector{1, 2, 3, 4, 5, 6}, kAcceptResidual, 0.5,
                                       SolutionKind::Regular));
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{10, 2, 3, 4, 5, 6},
                                        std::nextafter(kAcceptResidual, 1.0), 0.5, SolutionKind::Regular));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].residual, kAcceptResidual);
    EXPECT_EQ(kept[0].theta, 0.5);
}

TEST(OfferSolution, DuplicatesKeepTheFirst) {
    std::vector<IkSolution> kept;
    const JointVector first{10, 20, 30, 40, 50, 170};
    ASSERT_TRUE(solver::offer_solution(kept, first, 1e-12, 0.1, SolutionKind::AxisDegenerate));
    // A whole turn in J6 is the same configuration.
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{10, 20, 30, 40, 50, -190}, 1e-13, 0.2,
                                        SolutionKind::Regular));
    // Just inside and just outside the duplicate distance (radians).
    const double inside = 0.9 * kDuplicateDistance * kRadToDeg;
    const double outside = 1.1 * kDuplicateDistance * kRadToDeg;
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{10, 20, 30 + inside, 40, 50, 170}, 1e-13, 0.3,
                                        SolutionKind::Regular));
    EXPECT_TRUE(solver::offer_solution(kept, JointVector{10, 20, 30 + outside, 40, 50, 170}, 1e-13, 0.4,
                                       SolutionKind::Regular));
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].kind, SolutionKind::AxisDegenerate);
    EXPECT_EQ(kept[0].theta, 0.1);
    EXPECT_EQ(kept[1].theta, 0.4);
}

TEST(OfferSolution, NonFiniteJointsAreNeverKept) {
    // The pose error skips NaN entries: a NaN J6 leaves the translation
    // finite, and all-NaN joints give an all-NaN residual, both scoring 0.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<IkSolution> kept;
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{kNan, kNan, kNan, kNan, kNan, kNan}, 0.0, 0.0,
                                        SolutionKind::Regular));
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{1, 2, 3, 4, 5, kNan}, 0.0, 0.0, SolutionKind::Regular));
    EXPECT_FALSE(solver::offer_solution(kept, JointVector{1, 2, kInf, 4, 5, 6}, 0.0, 0.0, SolutionKind::Regular));
    EXPECT_TRUE(kept.empty());
}

// ------------------------------------------------------------ published targets

TEST(Ik, ZeroPoseSixSolutionsInOrder) {
    const Pose target = fk(kRobot, JointVector{});
    const auto s = ik(kRobot, target);
    ASSERT_EQ(s.size(), 6u);
    expect_all_good(s, target, 1e-12);

    // The first two come from a zero that the branch residual only touches:
    // they settle anywhere within about 1e-4 rad of -π/2.
    expect_joints_deg(s[0].joints, JointVector{0, 0, 0, 0, 0, 0}, 1e-4, "solution 0");
    expect_joints_deg(s[1].joints, JointVector{-180, 0, -180, -180, 0, 0}, 1e-4, "solution 1");
    EXPECT_NEAR(s[0].theta, -kPi / 2, 1e-5);
    EXPECT_NEAR(s[1].theta, -kPi / 2, 1e-5);

    expect_joints_deg(s[2].joints, JointVector{0, 90, -270, 0, -90, 0}, 1e-7, "solution 2");
    expect_joints_deg(s[3].joints, JointVector{-180, -90, 90, -180, -90, 0}, 1e-7, "solution 3");
    EXPECT_NEAR(s[2].theta, -kPi / 2, 1e-9);
    EXPECT_NEAR(s[3].theta, -kPi / 2, 1e-9);

    expect_joints_deg(s[4].joints, JointVector{-29.02, 90.52, 81.74, 150.72, 82.78, -175.97}, 0.006, "solution 4");
    expect_joints_deg(s[5].joints, JointVector{150.98, -90.52, 98.26, -29.28, 82.78, -175.97}, 0.006, "solution 5");
    EXPECT_NEAR(s[4].theta, 1.64, 0.005);
    EXPECT_EQ(s[4].theta, s[5].theta);
}

TEST(Ik, TenTwentyThirtyEightSolutions) {
    const JointVector joints{10, 20, 30, 40, 50, 60};
    const Pose target = fk(kRobot, joints);
    const auto s = ik(kRobot, target);
    ASSERT_EQ(s.size(), 8u);
    expect_all_good(s, target, 1e-11);

    expect_joints_deg(s[0].joints, JointVector{-9.60, 19.75, 51.86, -129.01, -45.28, -155.19}, 0.006, "solution 0");
    expect_joints_deg(s[1].joints, JointVector{170.40, -19.75, 128.14, 50.99, -45.28, -155.19}, 0.006, "solution 1");
    expect_joints_deg(s[2].joints, joints, 1e-9, "generator");
    expect_joints_deg(s[3].joints, JointVector{-170, -20, 150, -140, 50, 60}, 1e-9, "mirror");
    EXPECT_NEAR(s[2].theta, -kPi / 6, 1e-9);
    // Each candidate gives a primary and its mirror at the same angle.
    for (std::size_t i = 0; i < s.size(); i += 2) {
        EXPECT_EQ(s[i].theta, s[i + 1].theta) << i;
        EXPECT_NEAR(std::fabs(solver::support::angle_diff_deg(s[i].joints[0], s[i + 1].joints[0])), 180.0, 1e-6);
    }
}

TEST(Ik, GeneratorFirstAndMirrorOutsideTheHalfTurn) {
    const JointVector joints{-100, 35, -20, 150, -70, -120};
    const Pose target = fk(kRobot, joints);
    const auto s = ik(kRobot, target);
    ASSERT_EQ(s.size(), 8u);
    expect_all_good(s, target, 1e-11);
    expect_joints_deg(s[0].joints, joints, 1e-9, "generator");
    EXPECT_NEAR(s[0].theta, 5 * kPi / 6, 1e-9);
    const JointVector mirror{80, -35, 200, -30, -70, -120};
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(s[1].joints[i], mirror[i], 1e-9) << "J" << i + 1;  // J3 stays at 200
    }
}

TEST(Ik, NonFiniteTargetsGiveNothing) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const Pose reachable = fk(kRobot, JointVector{10, 20, 30, 40, 50, 60});
    for (int i = 0; i < 3; ++i) {
        for (const double bad : {kNan, kInf, -kInf}) {
            Pose target = reachable;
            target.t[i] = bad;
            EXPECT_TRUE(ik(kRobot, target).empty()) << "translation " << i << " = " << bad;
        }
    }
    for (int i = 0; i < 4; ++i) {
        Pose target = reachable;
        double* q[4] = {&target.q.x, &target.q.y, &target.q.z, &target.q.w};
        *q[i] = kNan;
        EXPECT_TRUE(ik(kRobot, target).empty()) << "quaternion " << i;
    }
    // Only the height is NaN: the search for the wrist point on the J1 axis
    // reads horizontal components, finds the circle through the axis, and its
    // candidate rebuilds to NaN joints whose residual is NaN throughout.
    const Pose nan_height{Quat{}, Vec3{kRobot.y1, 0.0, kNan}};
    EXPECT_TRUE(ik(kRobot, nan_height).empty());
    EXPECT_FALSE(ik_closest(kRobot, nan_height, JointVector{}).has_value());
}

TEST(Ik, UnreachableTargetGivesNothing) {
    const Pose far{Quat{}, Vec3{5000, 0, 0}};
    EXPECT_TRUE(ik(kRobot, far).empty());
    EXPECT_FALSE(ik_closest(kRobot, far, JointVector{}).has_value());
    EXPECT_TRUE(ik(kRobot, Pose{Quat{}, Vec3{kNan, 0, 0}}).empty());
}

// ------------------------------------------------------------ closest solution

TEST(IkClosest, PicksTheNearestSolution) {
    const Pose target = fk(kRobot, JointVector{10, 20, 30, 40, 50, 60});
    const auto all = ik(kRobot, target);
    ASSERT_EQ(all.size(), 8u);

    const auto near_generator = ik_closest(kRobot, target, JointVector{9, 19, 29, 39, 49, 59});
    ASSERT_TRUE(near_generator);
    expect_joints_deg(near_generator->joints, JointVector{10, 20, 30, 40, 50, 60}, 1e-9, "generator");

    const auto near_mirror = ik_closest(kRobot, target, JointVector{-171, -21, 151, -141, 51, 61});
    ASSERT_TRUE(near_mirror);
    expect_joints_deg(near_mirror->joints, JointVector{-170, -20, 150, -140, 50, 60}, 1e-9, "mirror");

    // Equal to a solution: distance 0; every field is copied.
    for (const IkSolution& s : all) {
        const auto same = ik_closest(kRobot, target, s.joints);
        ASSERT_TRUE(same);
        EXPECT_EQ(same->joints, s.joints);
        EXPECT_EQ(same->residual, s.residual);
        EXPECT_EQ(same->theta, s.theta);
        EXPECT_EQ(same->kind, s.kind);
    }
}

TEST(IkClosest, NaNTermsAreSkippedAndTiesKeepTheFirst) {
    const Pose target = fk(kRobot, JointVector{10, 20, 30, 40, 50, 60});
    const auto all = ik(kRobot, target);
    ASSERT_EQ(all.size(), 8u);

    // Every distance is 0: the first solution wins the tie.
    const auto first = ik_closest(kRobot, target, JointVector{kNan, kNan, kNan, kNan, kNan, kNan});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->joints, all[0].joints);
    expect_joints_deg(first->joints, JointVector{-9.60, 19.75, 51.86, -129.01, -45.28, -155.19}, 0.006, "first");

    // Only J4..J6 count: the generator is the one with J4 = 40.
    const auto partial = ik_closest(kRobot, target, JointVector{kNan, kNan, kNan, 40, 50, 60});
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->joints, all[2].joints);
}

}  // namespace
}  // namespace ortholink
