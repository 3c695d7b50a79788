#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

#include "matrix_support.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/urdf.hpp"

namespace ortholink {
namespace {

using Matrix = std::array<double, 16>;

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            for (int k = 0; k < 4; ++k) m[4 * r + c] += a[4 * r + k] * b[4 * k + c];
        }
    }
    return m;
}

// Rodrigues' formula: a rotation matrix built without our quaternion code.
Matrix axis_rotation(const Vec3& u, double angle, const Vec3& offset = {0, 0, 0}) {
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double t = 1.0 - c;
    const auto [x, y, z] = u;
    // clang-format off
    return Matrix{t * x * x + c,     t * x * y - s * z, t * x * z + s * y, offset[0],
                  t * x * y + s * z, t * y * y + c,     t * y * z - s * x, offset[1],
                  t * x * z - s * y, t * y * z + s * x, t * z * z + c,     offset[2],
                  0,                 0,                 0,                 1};
    // clang-format on
}

Matrix from_rpy(const Vec3& rpy) {
    return multiply(axis_rotation({0, 0, 1}, rpy[2]),
                    multiply(axis_rotation({0, 1, 0}, rpy[1]), axis_rotation({1, 0, 0}, rpy[0])));
}

double largest_difference(const Matrix& a, const Matrix& b) {
    double worst = 0.0;
    for (int i = 0; i < 16; ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

// What a URDF library does with our chain: origin, then a rotation about the
// joint axis by the URDF joint position, link after link.
Matrix urdf_chain(const Crx& robot, const UrdfJoints& q) {
    const std::array<Vec3, 6> origins{Vec3{0, 0, 0}, Vec3{0, 0, 0}, Vec3{0, 0, robot.z1},
                                      Vec3{0, 0, 0}, Vec3{robot.x1, -robot.y1, 0}, Vec3{robot.x2, 0, 0}};
    Matrix m = axis_rotation({0, 0, 1}, 0.0);
    for (std::size_t i = 0; i < 6; ++i) {
        m = multiply(m, axis_rotation(robot.axes[i], q[i], origins[i]));
    }
    return multiply(m, from_rpy(rpy_from_quat(kFlangeRotation)));
}

TEST(UrdfJoints, ThirdJointIsTheElbowAngleInRadians) {
    const UrdfJoints q = joints_to_urdf(JointVector{10, 20, 30, 40, 50, 60});
    EXPECT_DOUBLE_EQ(q[0], 10 * kDegToRad);
    EXPECT_DOUBLE_EQ(q[1], 20 * kDegToRad);
    EXPECT_DOUBLE_EQ(q[2], 50 * kDegToRad);
    EXPECT_DOUBLE_EQ(q[5], 60 * kDegToRad);
    // Moving J2 alone in the controller moves two URDF joints.
    const UrdfJoints moved = joints_to_urdf(JointVector{0, 30, 0, 0, 0, 0});
    EXPECT_EQ(moved[1], moved[2]);
}

TEST(UrdfJoints, ConversionsAreInverseAndAgreeWithAnIndependentChain) {
    std::mt19937_64 random(14);
    std::uniform_real_distribution<double> angle(-270.0, 270.0);
    for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx10iA, CrxModel::Crx30iA}) {
        const Crx robot = Crx::from_model(model);
        for (int n = 0; n < 200; ++n) {
            JointVector joints;
            for (double& j : joints) j = angle(random);
            const UrdfJoints q = joints_to_urdf(joints);
            const JointVector back = joints_from_urdf(q);
            for (std::size_t i = 0; i < 6; ++i) {
                EXPECT_NEAR(back[i], joints[i], 1e-12);
            }
            EXPECT_LT(largest_difference(urdf_chain(robot, q), test_support::matrix_of(fk(robot, joints))), 1e-9);
        }
    }
}

TEST(UrdfOrigins, RollPitchYawRebuildsTheRotationEverywhere) {
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal;
    std::vector<Quat> rotations{Quat{}, kFlangeRotation, Quat{0, 0, 0, -1}, Quat{1, 0, 0, 0}, Quat{0, 1, 0, 0},
                                Quat{0, 0, 1, 0}};
    // Pitch of exactly and nearly ±90 degrees, where roll and yaw share one angle.
    for (const double pitch : {M_PI / 2, -M_PI / 2, M_PI / 2 - 1e-9, -M_PI / 2 + 3e-12}) {
        for (const double other : {0.0, 0.7, -2.9}) {
            const Quat y = rotation_from_scaled_axis({0, 0, 1}, other);
            const Quat p = rotation_from_scaled_axis({0, 1, 0}, pitch);
            const Quat r = rotation_from_scaled_axis({1, 0, 0}, 1.3 - other);
            rotations.push_back(quat_mul(y, quat_mul(p, r)));
        }
    }
    for (int n = 0; n < 1000; ++n) {
        Quat q{normal(random), normal(random), normal(random), normal(random)};
        const double norm = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
        rotations.push_back(Quat{q.x / norm, q.y / norm, q.z / norm, q.w / norm});
    }
    for (const Quat& q : rotations) {
        const Vec3 rpy = rpy_from_quat(q);
        EXPECT_LT(largest_difference(from_rpy(rpy), test_support::matrix_of(Pose{q, {0, 0, 0}})), 1e-15)
            << q.x << ' ' << q.y << ' ' << q.z << ' ' << q.w;
    }
}

float float_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

TEST(BinaryStl, LayoutUnitsAndNormals) {
    LinkMesh mesh;
    mesh.vertices = {Vec3{0, 0, 0}, Vec3{1000, 0, 0}, Vec3{0, 500, 0}, Vec3{2000, 0, 0}};
    mesh.faces = {Triangle{0, 1, 2}, Triangle{0, 1, 3}};  // the second one is degenerate
    const auto bytes = binary_stl(mesh, "ortholink link_1");
    ASSERT_EQ(bytes.size(), 80u + 4u + 2u * 50u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), 16), "ortholink link_1");
    EXPECT_EQ(bytes[16], 0);
    EXPECT_EQ(bytes[79], 0);
    EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[80], bytes[81], bytes[82], bytes[83]}),
              (std::array<std::uint8_t, 4>{2, 0, 0, 0}));
    const std::size_t first = 84;
    const float expected[12] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0.5f, 0};
    for (std::size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(float_at(bytes, first + 4 * k), expected[k]) << k;
    }
    EXPECT_EQ(bytes[first + 48], 0);
    EXPECT_EQ(bytes[first + 49], 0);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(float_at(bytes, first + 50 + 4 * k), 0.0f);  // no NaN from the degenerate triangle
    }
}

TEST(BinaryStl, RejectsFacesOutsideTheVertexList) {
    LinkMesh mesh;
    mesh.vertices = {Vec3{0, 0, 0}, Vec3{1, 0, 0}};
    mesh.faces = {Triangle{0, 1, 2}};
    EXPECT_THROW(binary_stl(mesh, ""), std::out_of_range);
    const LinkMesh empty;
    EXPECT_EQ(binary_stl(empty, "").size(), 84u);
}

}  // namespace
}  // namespace ortholink
