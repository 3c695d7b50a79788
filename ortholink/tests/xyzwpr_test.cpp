#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

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

TEST(Xyzwpr, RoundTripsExactlyCloseToGimbalLock) {
    // Between 1e-12 and 1e-3 degrees from P = ±90 the small entries that fix
    // R carry few correct digits; W must be taken consistently with that R
    // (this triple once came back with a matrix error of 7.9e-5).
    const Xyzwpr reported{0, 0, 0, 167.9905146874712, -89.99999999991495, 85.79198725914216};
    std::vector<Xyzwpr> cases{reported};
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    for (double offset = 1e-13; offset < 1.0; offset *= 1.7) {
        for (const double sign : {1.0, -1.0}) {
            cases.push_back(Xyzwpr{10, -20, 30, angle(rng), sign * (90.0 - offset), angle(rng)});
        }
    }
    for (const Xyzwpr& v : cases) {
        const auto a = matrix_of(pose_from_xyzwpr(v));
        const auto b = matrix_of(pose_from_xyzwpr(xyzwpr_from_pose(pose_from_xyzwpr(v))));
        for (int i = 0; i < 16; ++i) ASSERT_NEAR(a[i], b[i], 1e-11) << v[3] << " " << v[4] << " " << v[5];
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
