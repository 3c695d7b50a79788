// Poses rebuilt from stored fields.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

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

}  // namespace
}  // namespace ortholink
