#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "chain.hpp"
#include "ortholink/fk.hpp"
#include "matrix_support.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

using test_support::matrix_of;

TEST(Fk, ZeroPoseOnCrx10iaIsExact) {
    const auto frames = fk_all(Crx::new_10ia(), JointVector{});
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(frames[k].q, Quat{}) << "frame " << k + 1;
    }
    EXPECT_EQ(frames[0].t, (Vec3{0, 0, 0}));
    EXPECT_EQ(frames[1].t, (Vec3{0, 0, 0}));
    EXPECT_EQ(frames[2].t, (Vec3{0, 0, 540}));
    EXPECT_EQ(frames[3].t, (Vec3{0, 0, 540}));
    EXPECT_EQ(frames[4].t, (Vec3{540, -150, 540}));
    EXPECT_EQ(frames[5].t, (Vec3{700, -150, 540}));
    EXPECT_EQ(frames[5].q, kFlangeRotation);

    const auto m = matrix_of(frames[5]);
    // clang-format off
    const std::array<double, 16> expected{
        0, -8.659560562354934e-17, 1.0000000000000002, 700,
        8.659560562354934e-17, -1.0000000000000002, -8.659560562354934e-17, -150,
        1.0000000000000002, 8.659560562354934e-17, 0, 540,
        0, 0, 0, 1,
    };
    // clang-format on
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(m[i], expected[i]) << "entry " << i;
    }
}

TEST(Fk, J2AloneTranslatesWithoutTilting) {
    const Pose p = fk(Crx::new_10ia(), JointVector{0, 30, 0, 0, 0, 0});
    EXPECT_EQ(p.t[0], 970.0);
    EXPECT_EQ(p.t[1], -150.0);
    EXPECT_EQ(p.t[2], 467.6537180435969);
    const auto m = matrix_of(p);
    const auto zero = matrix_of(fk(Crx::new_10ia(), JointVector{}));
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(m[4 * r + c], zero[4 * r + c], 1e-15);
        }
    }
}

TEST(Fk, J3RaisesTheForearm) {
    const auto m = matrix_of(fk(Crx::new_10ia(), JointVector{0, 0, 90, 0, 0, 0}));
    EXPECT_NEAR(m[3], 0.0, 1e-12);
    EXPECT_EQ(m[7], -150.0);
    EXPECT_NEAR(m[11], 1240.0, 1e-12);
    EXPECT_NEAR(m[2], 0.0, 1e-15);
    EXPECT_NEAR(m[6], 0.0, 1e-15);
    EXPECT_NEAR(m[10], 1.0, 1e-15);
}

void expect_matrix(const Pose& p, const std::array<double, 12>& rows) {
    const auto m = matrix_of(p);
    for (int i = 0; i < 12; ++i) {
        const double tol = (i % 4 == 3) ? 1e-6 : 1e-9;
        EXPECT_NEAR(m[i], rows[i], tol) << "entry " << i;
    }
    EXPECT_EQ(m[12], 0.0);
    EXPECT_EQ(m[15], 1.0);
}

TEST(Fk, PublishedPoses) {
    expect_matrix(fk(Crx::new_10ia(), JointVector{10, 20, 30, 40, 50, 60}),
                  {-0.324865971, -0.929662146, 0.173753833, 642.711295, 0.82614045, -0.189514678, 0.530637489,
                   76.6480551, -0.460384685, 0.315931133, 0.829598373, 993.670315});
    expect_matrix(fk(Crx::new_5ia(), JointVector{-30, 10, -20, 90, -45, 180}),
                  {-0.92899525, -0.296198133, 0.221888468, 482.269919, -0.280140924, 0.171010072, -0.944603948,
                   -396.830672, 0.241844763, -0.939692621, -0.241844763, 343.795067});
}

TEST(Fk, NonFiniteJointsPropagate) {
    const double nan = std::nan("");
    const Pose p = fk(Crx::new_10ia(), JointVector{0, 0, 0, nan, 0, 0});
    EXPECT_TRUE(std::isnan(p.t[0]));
    const Pose q = fk(Crx::new_10ia(), JointVector{INFINITY, 0, 0, 0, 0, 0});
    EXPECT_TRUE(std::isnan(q.q.w));
}

// A plain rotation-matrix chain, written independently of the quaternion code.
using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 mul(const Mat3& a, const Mat3& b) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}
Vec3 apply(const Mat3& a, const Vec3& v) {
    return {a[0][0] * v[0] + a[0][1] * v[1] + a[0][2] * v[2], a[1][0] * v[0] + a[1][1] * v[1] + a[1][2] * v[2],
            a[2][0] * v[0] + a[2][1] * v[1] + a[2][2] * v[2]};
}
Mat3 rot_z(double a) { return {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}}; }
Mat3 rot_y(double a) { return {{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}}; }
Mat3 rot_x(double a) { return {{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}}; }

TEST(Fk, AgreesWithPlainMatrixChainOnRandomJoints) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> angle(-360.0, 360.0);
    const Mat3 flange{{{0, 0, 1}, {0, -1, 0}, {1, 0, 0}}};
    for (int model = 0; model < kModelCount; ++model) {
        const Crx robot = Crx::from_model(static_cast<CrxModel>(model));
        for (int n = 0; n < 500; ++n) {
            JointVector j;
            for (double& v : j) v = angle(rng);
            const double r = kDegToRad;
            const Mat3 r2 = mul(rot_z(j[0] * r), rot_y(j[1] * r));
            const Mat3 r3 = mul(r2, rot_y(-(j[1] + j[2]) * r));
            const Mat3 r4 = mul(r3, rot_x(-j[3] * r));
            const Mat3 r5 = mul(r4, rot_y(-j[4] * r));
            const Mat3 r6 = mul(mul(r5, rot_x(-j[5] * r)), flange);
            const Vec3 o3 = apply(r2, {0, 0, robot.z1});
            const Vec3 a = apply(r4, {robot.x1, -robot.y1, 0});
            const Vec3 o5{o3[0] + a[0], o3[1] + a[1], o3[2] + a[2]};
            const Vec3 b = apply(r5, {robot.x2, 0, 0});
            const auto m = matrix_of(fk(robot, j));
            for (int i = 0; i < 3; ++i) {
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(m[4 * i + c], r6[i][c], 1e-12);
                EXPECT_NEAR(m[4 * i + 3], o5[i] + b[i], 1e-9);
            }
        }
    }
}

// fk is the last frame of fk_all, and the collision checker's turn of J6 on
// frames it has already posed is the chain's flange frame.
TEST(Fk, FkIsLastFrameBitForBit) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> angle(-400.0, 400.0);
    for (int n = 0; n < 1000; ++n) {
        const Crx robot = Crx::from_model(static_cast<CrxModel>(n % kModelCount));
        JointVector j;
        for (double& v : j) v = angle(rng);
        const auto frames = fk_all(robot, j);
        const Pose a = fk(robot, j);
        EXPECT_EQ(std::memcmp(&a, &frames[5], sizeof(Pose)), 0);
        JointVector turned = j;
        turned[5] = angle(rng);
        const Pose t = generic::turned_flange(robot, frames[4], frames[5], turned[5]);
        const Pose c = fk_all(robot, turned)[5];
        EXPECT_EQ(std::memcmp(&t, &c, sizeof(Pose)), 0);
    }
}

}  // namespace
}  // namespace ortholink
