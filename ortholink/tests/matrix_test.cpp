#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ortholink/fk.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

std::array<double, 16> identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

std::string_view reject(const std::array<double, 16>& m) {
    std::string_view error;
    EXPECT_FALSE(row_slice_to_iso(m.data(), 16, error).has_value());
    return error;
}

TEST(Matrix, IdentityGivesIdentityQuaternion) {
    std::string_view error;
    const auto m = identity();
    const auto p = row_slice_to_iso(m.data(), 16, error);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->q, Quat{});
    EXPECT_EQ(p->t, (Vec3{0, 0, 0}));
}

TEST(Matrix, WrongLength) {
    std::string_view error;
    const auto m = identity();
    EXPECT_FALSE(row_slice_to_iso(m.data(), 12, error).has_value());
    EXPECT_EQ(error, "Slice length must be 16");
}

TEST(Matrix, RejectsNonRigidMatrices) {
    auto last = identity();
    last[15] = 1.0 + 1e-15;
    EXPECT_EQ(reject(last), "Failed to convert matrix to isometry");

    auto reflection = identity();
    reflection[10] = -1.0;
    EXPECT_EQ(reject(reflection), "Failed to convert matrix to isometry");

    auto scaled = identity();
    for (int i : {0, 5, 10}) scaled[i] = 1.001;
    EXPECT_EQ(reject(scaled), "Failed to convert matrix to isometry");

    auto bottom = identity();
    bottom[12] = 1e-300;
    EXPECT_EQ(reject(bottom), "Failed to convert matrix to isometry");

    // Four decimals are not enough for a rotation block.
    const double c = 0.7071;
    EXPECT_EQ(reject({c, -c, 0, 0, c, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}), "Failed to convert matrix to isometry");
}

TEST(Matrix, RejectsNonFiniteEntriesIncludingTranslation) {
    for (int i : {0, 3, 7, 11}) {
        for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
            auto m = identity();
            m[i] = bad;
            EXPECT_EQ(reject(m), "Failed to convert matrix to isometry") << "entry " << i;
        }
    }
}

TEST(Matrix, FkRoundTripsThroughTheMatrix) {
    // The zero pose has entries 1.0000000000000002 and must still be accepted.
    for (const JointVector& j : {JointVector{}, JointVector{10, 20, 30, 40, 50, 60},
                                 JointVector{-100, 35, -20, 150, -70, -120}, JointVector{180, 0, 0, 180, 0, 180}}) {
        const Pose p = fk(Crx::new_10ia(), j);
        std::array<double, 16> m{};
        iso_into(p, m.data());
        std::string_view error;
        const auto back = row_slice_to_iso(m.data(), 16, error);
        ASSERT_TRUE(back.has_value());
        std::array<double, 16> again{};
        iso_into(*back, again.data());
        for (int i = 0; i < 16; ++i) EXPECT_NEAR(again[i], m[i], 1e-15);
    }
}

TEST(Matrix, EveryTraceBranchRebuildsTheRotation) {
    // Half turns about x, y and z exercise the three non-positive-trace branches.
    const std::array<std::array<double, 16>, 3> half_turns{{
        {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1},
        {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1},
        {-1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
    }};
    for (const auto& m : half_turns) {
        std::string_view error;
        const auto p = row_slice_to_iso(m.data(), 16, error);
        ASSERT_TRUE(p.has_value());
        std::array<double, 16> again{};
        iso_into(*p, again.data());
        for (int i = 0; i < 16; ++i) EXPECT_NEAR(again[i], m[i], 1e-15);
    }
}

}  // namespace
}  // namespace ortholink
