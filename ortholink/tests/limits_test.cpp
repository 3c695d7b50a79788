#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ortholink/limits.hpp"

namespace ortholink {
namespace {

const JointVector kLower{-360, -150, -360, -360, -180, -450};
const JointVector kUpper{360, 150, 360, 360, 180, 450};

TEST(Limits, WithinIsInclusiveAndRejectsNaN) {
    EXPECT_TRUE(within_limits(JointVector{360, -150, 0, 0, 180, 450}, kLower, kUpper));
    EXPECT_FALSE(within_limits(JointVector{360.0000001, 0, 0, 0, 0, 0}, kLower, kUpper));
    EXPECT_FALSE(within_limits(JointVector{0, 0, 0, std::nan(""), 0, 0}, kLower, kUpper));
}

TEST(Limits, ExpandTurnsListsEveryVariantInOrder) {
    std::vector<JointVector> out;
    std::vector<std::size_t> source;
    const std::vector<JointVector> solutions{JointVector{10, 20, 30, 40, 50, 60}, JointVector{0, 190, 0, 0, 0, 0}};
    ASSERT_TRUE(expand_turns(solutions, kLower, kUpper, out, &source));
    // J1, J3, J4: two values each; J2, J5: one; J6: 60 - 360, 60, 60 + 360 (all within ±450).
    ASSERT_EQ(out.size(), 2u * 2u * 2u * 3u);
    EXPECT_EQ(out.front(), (JointVector{-350, 20, -330, -320, 50, -300}));
    EXPECT_EQ(out[1], (JointVector{-350, 20, -330, -320, 50, 60}));
    EXPECT_EQ(out.back(), (JointVector{10, 20, 30, 40, 50, 420}));
    for (const auto& v : out) {
        EXPECT_TRUE(within_limits(v, kLower, kUpper));
    }
    // The second solution's J2 (190, or -170) has no whole-turn variant within ±150.
    EXPECT_TRUE(std::all_of(source.begin(), source.end(), [](std::size_t s) { return s == 0; }));
}

TEST(Limits, ExpandTurnsKeepsValuesOnTheLimits) {
    std::vector<JointVector> out;
    const JointVector v{-360, -150, 360, 0, 180, 90};
    ASSERT_TRUE(expand_turns(std::vector<JointVector>{v}, kLower, kUpper, out));
    // J1 -360/0/360, J2 -150, J3 -360/0/360, J4 -360/0/360, J5 -180/180, J6 -270/90/450.
    EXPECT_EQ(out.size(), 3u * 1u * 3u * 3u * 2u * 3u);
    EXPECT_EQ(out.back(), (JointVector{360, -150, 360, 360, 180, 450}));
}

TEST(Limits, ExpandTurnsRefusesUnboundedRanges) {
    std::vector<JointVector> out;
    const double inf = std::numeric_limits<double>::infinity();
    const JointVector lower{-inf, -180, -360, -360, -180, -450};
    EXPECT_FALSE(expand_turns(std::vector<JointVector>{JointVector{}}, lower, kUpper, out));
    const JointVector nan_joint{std::nan(""), 0, 0, 0, 0, 0};
    EXPECT_TRUE(expand_turns(std::vector<JointVector>{nan_joint}, kLower, kUpper, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace ortholink
