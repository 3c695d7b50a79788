// Poses rebuilt from stored fields, and poses interpolated.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "ortholink/pose.hpp"

namespace ortholink {
namespace {

bool same_bits(const Pose& a, const Pose& b) { return std::memcmp(&a, &b, sizeof(Pose)) == 0; }

TEST(PoseFromFields, UnitQuaternionsAreKeptBitForBit) {
    const Pose turned{rotation_from_scaled_axis(Vec3{0.6, 0.0, 0.8}, 2.9), Vec3{-1e4, 0.25, 3e-300}};
    const auto rebuilt = pose_from_fields(turned.q, turned.t);
    ASSERT_TRUE(rebuilt);
    EXPECT_TRUE(same_bits(*rebuilt, turned));

    EXPECT_EQ(pose_from_fields(Quat{}, Vec3{}), Pose{});
    // -q is the same rotation and stays as given.
    const auto negated = pose_from_fields(Quat{0.0, 0.0, 0.0, -1.0}, Vec3{});
    ASSERT_TRUE(negated);
    EXPECT_EQ(negated->q.w, -1.0);
}

TEST(PoseFromFields, TheNormMayDriftOnlyByTheTolerance) {
    // w = sqrt(1 + e) has squared norm about 1 + e.
    EXPECT_TRUE(pose_from_fields(Quat{0, 0, 0, std::sqrt(1.0 + 0.9e-12)}, Vec3{}));
    EXPECT_TRUE(pose_from_fields(Quat{0, 0, 0, std::sqrt(1.0 - 0.9e-12)}, Vec3{}));
    EXPECT_FALSE(pose_from_fields(Quat{0, 0, 0, std::sqrt(1.0 + 1.1e-12)}, Vec3{}));
    EXPECT_FALSE(pose_from_fields(Quat{0, 0, 0, std::sqrt(1.0 - 1.1e-12)}, Vec3{}));
    EXPECT_FALSE(pose_from_fields(Quat{0, 0, 0, 0}, Vec3{}));
    EXPECT_FALSE(pose_from_fields(Quat{0, 0, 0, 2}, Vec3{}));
    EXPECT_FALSE(pose_from_fields(Quat{1, 1, 1, 1}, Vec3{}));
}

TEST(PoseFromFields, NonFiniteValuesAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {nan, inf, -inf}) {
        EXPECT_FALSE(pose_from_fields(Quat{bad, 0, 0, 1}, Vec3{})) << bad;
        EXPECT_FALSE(pose_from_fields(Quat{0, 0, 0, bad}, Vec3{})) << bad;
        for (std::size_t i = 0; i < 3; ++i) {
            Vec3 t{1, 2, 3};
            t[i] = bad;
            EXPECT_FALSE(pose_from_fields(Quat{}, t)) << bad << " at " << i;
        }
    }
}

// Rotation angle between two unit quaternions, radians.
double angle_between(const Quat& a, const Quat& b) {
    const double d = std::fabs(a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w);
    return 2.0 * std::acos(std::min(d, 1.0));
}

TEST(InterpolatePoses, EqualStepsOfTranslationAndRotationBetweenExactEnds) {
    const Pose a{rotation_from_scaled_axis(Vec3{0.0, 0.6, 0.8}, 0.4), Vec3{100.0, -20.0, 300.0}};
    const Pose b{rotation_from_scaled_axis(Vec3{1.0, 0.0, 0.0}, 2.5), Vec3{-50.0, 80.0, 310.0}};
    const std::vector<Pose> poses = interpolate_poses(a, b, 11);
    ASSERT_EQ(poses.size(), 11u);
    EXPECT_TRUE(same_bits(poses.front(), a));
    EXPECT_TRUE(same_bits(poses.back(), b));
    const double whole = angle_between(a.q, b.q);
    for (std::size_t k = 1; k < poses.size(); ++k) {
        EXPECT_NEAR(angle_between(poses[k - 1].q, poses[k].q), whole / 10.0, 1e-12);
        EXPECT_NEAR(poses[k].t[0] - poses[k - 1].t[0], -15.0, 1e-12);
        const Quat& q = poses[k].q;
        EXPECT_NEAR(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w, 1.0, 1e-15);
    }
    EXPECT_EQ(interpolate_poses(a, b, 1).size(), 1u);
}

TEST(InterpolatePoses, TheShorterArcWhateverTheQuaternionSign) {
    const Pose a{rotation_from_scaled_axis(Vec3{0.0, 0.0, 1.0}, 0.0), Vec3{}};
    Quat turned = rotation_from_scaled_axis(Vec3{0.0, 0.0, 1.0}, 0.5);
    const Quat negated{-turned.x, -turned.y, -turned.z, -turned.w};
    for (const Quat& q : {turned, negated}) {
        const auto poses = interpolate_poses(a, Pose{q, Vec3{}}, 3);
        EXPECT_NEAR(angle_between(a.q, poses[1].q), 0.25, 1e-14);
    }
    // Equal rotations: nothing turns, nothing is NaN.
    const auto same = interpolate_poses(a, Pose{a.q, Vec3{10.0, 0.0, 0.0}}, 4);
    EXPECT_NEAR(same[1].t[0], 10.0 / 3.0, 1e-14);
    EXPECT_EQ(same[1].q.w, 1.0);
}

TEST(InterpolatePoses, CountKeepsBothSteps) {
    const Pose a{};
    const Pose b{rotation_from_scaled_axis(Vec3{0.0, 1.0, 0.0}, 90.0 * 0.017453292519943295), Vec3{100.0, 0.0, 0.0}};
    EXPECT_EQ(interpolation_count(a, b, 10.0, 45.0), 11.0);   // translation decides
    EXPECT_EQ(interpolation_count(a, b, 1000.0, 1.0), 91.0);  // rotation decides
    EXPECT_EQ(interpolation_count(a, a, 1.0, 1.0), 2.0);
}

}  // namespace
}  // namespace ortholink
