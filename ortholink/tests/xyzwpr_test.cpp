#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ortholink/fk.hpp"
#include "matrix_support.hpp"
#include "ortholink/matrix.hpp"
#include "ortholink/xyzwpr.hpp"

namespace ortholink {
namespace {

using test_support::matrix_of;

TEST(Xyzwpr, SingleAxisRotations) {
    // W about the fixed X axis: Y goes to Z.
    auto m = matrix_of(pose_from_xyzwpr({1, 2, 3, 90, 0, 0}));
    EXPECT_NEAR(m[9], 1.0, 1e-15);
    EXPECT_EQ(m[3], 1.0);
    EXPECT_EQ(m[11], 3.0);
    // P about Y: Z goes to X.
    m = matrix_of(pose_from_xyzwpr({0, 0, 0, 0, 90, 0}));
    EXPECT_NEAR(m[2], 1.0, 1e-15);
    // R about Z: X goes to Y.
    m = matrix_of(pose_from_xyzwpr({0, 0, 0, 0, 0, 90}));
    EXPECT_NEAR(m[4], 1.0, 1e-15);
}

TEST(Xyzwpr, FixedAxesApplyWThenPThenR) {
    // W = 90 then R = 90: the tool Y axis goes to base Z (W) and stays there (R about Z).
    const auto m = matrix_of(pose_from_xyzwpr({0, 0, 0, 90, 0, 90}));
    EXPECT_NEAR(m[9], 1.0, 1e-15);
    // and the tool X axis goes to base Y.
    EXPECT_NEAR(m[4], 1.0, 1e-15);
}

TEST(Xyzwpr, RoundTripsAwayFromGimbalLock) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> angle(-179.9, 179.9);
    std::uniform_real_distribution<double> pitch(-89.9, 89.9);
    for (int n = 0; n < 2000; ++n) {
        const Xyzwpr v{angle(rng) * 5, angle(rng) * 5, angle(rng) * 5, angle(rng), pitch(rng), angle(rng)};
        const Xyzwpr back = xyzwpr_from_pose(pose_from_xyzwpr(v));
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_NEAR(back[i], v[i], 1e-9) << i;
        }
    }
}

TEST(Xyzwpr, GimbalLockGivesTheSameRotation) {
    for (const double p : {90.0, -90.0}) {
        const Pose pose = pose_from_xyzwpr({0, 0, 0, 30, p, 10});
        const Xyzwpr back = xyzwpr_from_pose(pose);
        EXPECT_EQ(back[3], 0.0);
        const auto a = matrix_of(pose);
        const auto b = matrix_of(pose_from_xyzwpr(back));
        for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], 1e-12);
    }
}

TEST(Xyzwpr, AgreesWithTheFlangeOfForwardKinematics) {
    // The zero-pose flange of a CRX-10iA points its z axis along base X: W 180, P -90... any
    // triple that rebuilds the same rotation is fine, so compare matrices.
    const Pose flange = fk(Crx::new_10ia(), JointVector{10, 20, 30, 40, 50, 60});
    const auto a = matrix_of(flange);
    const auto b = matrix_of(pose_from_xyzwpr(xyzwpr_from_pose(flange)));
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], 1e-12);
}

}  // namespace
}  // namespace ortholink
