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

TEST(Limits, ExpandTurnsRefusesOpenRangesOnEveryJoint) {
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t joint = 0; joint < 6; ++joint) {
        for (const bool upper : {false, true}) {
            JointVector lower = kLower;
            JointVector high = kUpper;
            (upper ? high : lower)[joint] = upper ? inf : -inf;
            std::vector<JointVector> out;
            // Whether or not the other joints have variants, and even with no solutions.
            for (const auto& solutions : {std::vector<JointVector>{JointVector{}},
                                          std::vector<JointVector>{JointVector{0, 170, 0, 0, 0, 0}},
                                          std::vector<JointVector>{}}) {
                const TurnsStatus status = expand_turns(solutions, lower, high, out);
                EXPECT_EQ(status.fault, TurnsStatus::Fault::infinite_limit);
                EXPECT_EQ(status.joint, joint);
                EXPECT_EQ(status.upper, upper);
                EXPECT_TRUE(out.empty());
            }
        }
    }
}

TEST(Limits, ExpandTurnsSkipsWhatHasNoVariants) {
    std::vector<JointVector> out;
    const JointVector nan_joint{std::nan(""), 0, 0, 0, 0, 0};
    EXPECT_TRUE(expand_turns(std::vector<JointVector>{nan_joint}, kLower, kUpper, out));
    JointVector nan_limit = kUpper;
    nan_limit[4] = std::nan("");
    EXPECT_TRUE(expand_turns(std::vector<JointVector>{JointVector{}}, kLower, nan_limit, out));
    JointVector empty_range = kUpper;
    empty_range[2] = kLower[2] - 1.0;
    EXPECT_TRUE(expand_turns(std::vector<JointVector>{JointVector{}}, kLower, empty_range, out));
    EXPECT_TRUE(out.empty());
}

TEST(Limits, ExpandTurnsIsExactUpToItsBoundAndRefusesBeyond) {
    // Just below the bound a whole turn is still exact: the variants are the
    // value and the value plus one turn, both within the limits.
    const double base = kMaxTurnMagnitude - 1000.0;
    JointVector lower{base, -1, -1, -1, -1, -1};
    JointVector upper{base + 720.0, 1, 1, 1, 1, 1};
    std::vector<JointVector> out;
    ASSERT_TRUE(expand_turns(std::vector<JointVector>{JointVector{base + 10.25, 0, 0, 0, 0, 0}}, lower, upper, out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0][0], base + 10.25);
    EXPECT_EQ(out[1][0], base + 370.25);

    // Values that large once hung or lost the turn (3e18 gave J1 = 0).
    for (const double value : {3e18, -1e300, kMaxTurnMagnitude * 2.0}) {
        out.clear();
        const TurnsStatus status =
            expand_turns(std::vector<JointVector>{JointVector{}, JointVector{0, 0, 0, value, 0, 0}}, kLower, kUpper, out);
        EXPECT_EQ(status.fault, TurnsStatus::Fault::value_too_large) << value;
        EXPECT_EQ(status.joint, 3u);
        EXPECT_EQ(status.solution, 1u);
        EXPECT_EQ(status.value, value);
        EXPECT_TRUE(out.empty());
    }
    lower[0] = -1e19;
    upper[0] = 1e19;
    const TurnsStatus status = expand_turns(std::vector<JointVector>{JointVector{}}, lower, upper, out);
    EXPECT_EQ(status.fault, TurnsStatus::Fault::limit_too_large);
    EXPECT_EQ(status.joint, 0u);
    EXPECT_FALSE(status.upper);
}

TEST(Limits, ExpandTurnsCapsOneSolutionAndTheWholeCall) {
    std::vector<JointVector> out;
    // 2 x 55,555 variants of one solution: over the per-solution cap.
    const JointVector wide_lower{-1e7, -360, 0, 0, 0, 0};
    const JointVector wide_upper{1e7, 0, 0, 0, 0, 0};
    TurnsStatus status = expand_turns(std::vector<JointVector>{JointVector{}}, wide_lower, wide_upper, out);
    EXPECT_EQ(status.fault, TurnsStatus::Fault::too_many_for_one);
    // 300 solutions of 55,555 variants each: each allowed, the total is not.
    const JointVector one_lower{-1e7, 0, 0, 0, 0, 0};
    const JointVector one_upper{1e7, 0, 0, 0, 0, 0};
    ASSERT_TRUE(expand_turns(std::vector<JointVector>{JointVector{}}, one_lower, one_upper, out));
    EXPECT_EQ(out.size(), 55555u);
    out.clear();
    status = expand_turns(std::vector<JointVector>(300, JointVector{}), one_lower, one_upper, out);
    EXPECT_EQ(status.fault, TurnsStatus::Fault::too_many_in_total);
    EXPECT_EQ(status.count, 300.0 * 55555.0);
    EXPECT_TRUE(out.empty());
}

TEST(Limits, ExpandTurnsStopsWhenCancelled) {
    // Four turns per joint: 4096 variants per solution, asked every few thousand.
    const JointVector lower{-720, -720, -720, -720, -720, -720};
    const JointVector upper{720, 720, 720, 720, 720, 720};
    const std::vector<JointVector> solutions(200, JointVector{10, 20, 30, 40, 50, 60});
    int asked = 0;
    const auto cancel_at_once = [&] { return ++asked > 0; };
    std::vector<JointVector> out;
    EXPECT_THROW(expand_turns(solutions, lower, upper, out, nullptr, CancelCheck(cancel_at_once)), BatchCancelled);
    EXPECT_GT(asked, 0);
    EXPECT_LT(out.size(), 200u * 4096u);
    const auto never = [] { return false; };
    out.clear();
    ASSERT_TRUE(expand_turns(solutions, lower, upper, out, nullptr, CancelCheck(never)));
    EXPECT_EQ(out.size(), 200u * 4096u);
}

}  // namespace
}  // namespace ortholink
