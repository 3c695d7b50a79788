// The path planner: exact against exhaustive search on small graphs, and the
// documented handling of breaks, unreachable waypoints and the start.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "ik/support.hpp"
#include "ortholink/path.hpp"

namespace ortholink {
namespace {

using solver::support::matrix_error;
using solver::support::property_count;
using solver::support::property_seed;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

Arm unit_speed_arm() {
    Arm arm = Arm::from_robot(Crx::new_10ia());
    arm.max_speed = JointVector{10, 10, 10, 10, 10, 10};
    return arm;
}

PathLayers layers_of(const std::vector<std::vector<JointVector>>& per_waypoint) {
    PathLayers layers;
    layers.offsets.push_back(0);
    for (const auto& layer : per_waypoint) {
        layers.nodes.insert(layers.nodes.end(), layer.begin(), layer.end());
        layers.offsets.push_back(static_cast<std::int64_t>(layers.nodes.size()));
    }
    return layers;
}

JointVector along(double j1, double j6 = 0.0) { return JointVector{j1, 0, 0, 0, 0, j6}; }

// Every choice of one node per reached layer, the best (breaks, time) found
// by brute force: a break move takes its time like any move, the move from
// `start` (the approach) none.
std::pair<std::int64_t, double> exhaustive(const Arm& arm, const std::vector<std::vector<JointVector>>& layers,
                                           double max_step) {
    std::pair<std::int64_t, double> best{std::numeric_limits<std::int64_t>::max(), 0.0};
    std::vector<JointVector> chosen;
    std::function<void(std::size_t)> walk = [&](std::size_t i) {
        if (i == layers.size()) {
            std::int64_t breaks = 0;
            double time = 0.0;
            const JointVector* previous = nullptr;
            for (const auto& row : chosen) {
                if (previous != nullptr) {
                    double largest = 0.0;
                    for (std::size_t j = 0; j < 6; ++j) largest = std::max(largest, std::fabs(row[j] - (*previous)[j]));
                    breaks += largest > max_step ? 1 : 0;
                    time += move_time(*previous, row, arm.max_speed);
                }
                previous = &row;
            }
            if (breaks < best.first || (breaks == best.first && time < best.second)) best = {breaks, time};
            return;
        }
        if (layers[i].empty()) {
            walk(i + 1);
            return;
        }
        for (const auto& node : layers[i]) {
            chosen.push_back(node);
            walk(i + 1);
            chosen.pop_back();
        }
    };
    walk(0);
    return best;
}

// Duration, travel and segments as the rows give them.
void expect_consistent(const Arm& arm, const PathPlan& plan, const std::optional<JointVector>& start) {
    double duration = 0.0;
    double segment_times = 0.0;
    const JointVector* previous = nullptr;
    std::size_t segment = 0;
    for (std::size_t row = 0; row < plan.joints.size(); ++row) {
        if (std::isnan(plan.joints[row][0])) continue;
        if (previous == nullptr) {
            ASSERT_FALSE(plan.segments.empty());
            EXPECT_EQ(plan.segments[0].first, static_cast<std::int64_t>(row));
            EXPECT_EQ(plan.approach.has_value(), start.has_value());
            if (start) {
                EXPECT_DOUBLE_EQ(plan.approach->time, move_time(*start, plan.joints[row], arm.max_speed));
            }
        } else {
            duration += move_time(*previous, plan.joints[row], arm.max_speed);
            const bool cut = std::find(plan.breaks.begin(), plan.breaks.end(), static_cast<std::int64_t>(row)) !=
                             plan.breaks.end();
            if (cut) {
                ++segment;
                ASSERT_LT(segment, plan.segments.size());
                EXPECT_EQ(plan.segments[segment].first, static_cast<std::int64_t>(row));
            } else {
                segment_times += move_time(*previous, plan.joints[row], arm.max_speed);
            }
        }
        EXPECT_EQ(plan.segments[segment].last >= static_cast<std::int64_t>(row), true);
        previous = &plan.joints[row];
    }
    EXPECT_EQ(plan.segments.size(), previous == nullptr ? 0 : plan.breaks.size() + 1);
    EXPECT_NEAR(plan.duration, duration, 1e-12);
    double summed = 0.0;
    for (const PathSegment& s : plan.segments) summed += s.time;
    EXPECT_NEAR(summed, segment_times, 1e-12);
    EXPECT_TRUE(std::isfinite(plan.duration));
}

TEST(PathPlan, ExactAgainstExhaustiveSearch) {
    const Arm arm = unit_speed_arm();
    std::mt19937_64 rng(property_seed() + 7);
    std::uniform_real_distribution<double> value(-30.0, 30.0);
    std::uniform_int_distribution<int> size(0, 3);
    const int count = property_count(300);
    for (int n = 0; n < count; ++n) {
        std::vector<std::vector<JointVector>> per_waypoint(6);
        for (auto& layer : per_waypoint) {
            layer.resize(static_cast<std::size_t>(size(rng)));
            for (auto& node : layer) {
                for (double& j : node) j = value(rng);
            }
        }
        const std::optional<JointVector> start =
            n % 2 == 0 ? std::nullopt : std::optional<JointVector>(JointVector{0, 0, 0, 0, 0, 0});
        const PathPlan plan = plan_over_layers(arm, layers_of(per_waypoint), start, 25.0);
        const auto [breaks, time] = exhaustive(arm, per_waypoint, 25.0);
        bool any = false;
        for (const auto& layer : per_waypoint) any = any || !layer.empty();
        if (!any) {
            EXPECT_TRUE(plan.breaks.empty() && plan.segments.empty() && !plan.approach);
            continue;
        }
        ASSERT_EQ(static_cast<std::int64_t>(plan.breaks.size()), breaks);
        EXPECT_NEAR(plan.duration, time, 1e-12);
        expect_consistent(arm, plan, start);
    }
}

// The search looks up whole-turn variants instead of scanning every pair:
// layers full of variants (some duplicated) and steps beyond half a turn
// must still give the exhaustive optimum.
TEST(PathPlan, ExactWithWholeTurnVariants) {
    const Arm arm = unit_speed_arm();
    std::mt19937_64 rng(property_seed() + 11);
    std::uniform_real_distribution<double> value(-40.0, 40.0);
    std::uniform_int_distribution<int> turns(-1, 1);
    std::uniform_int_distribution<int> size(0, 2);
    const int count = property_count(200);
    for (int n = 0; n < count; ++n) {
        const double max_step = n % 3 == 0 ? 400.0 : 30.0;
        std::vector<std::vector<JointVector>> per_waypoint(5);
        for (auto& layer : per_waypoint) {
            const int bases = size(rng);
            for (int b = 0; b < bases; ++b) {
                JointVector base;
                for (double& j : base) j = value(rng);
                for (int v = 0; v < 3; ++v) {
                    JointVector variant = base;
                    for (double& j : variant) j += 360.0 * turns(rng);
                    layer.push_back(variant);
                }
            }
        }
        const std::optional<JointVector> start =
            n % 2 == 0 ? std::nullopt : std::optional<JointVector>(JointVector{0, 0, 0, 0, 0, 0});
        const PathPlan plan = plan_over_layers(arm, layers_of(per_waypoint), start, max_step);
        const auto [breaks, time] = exhaustive(arm, per_waypoint, max_step);
        bool any = false;
        for (const auto& layer : per_waypoint) any = any || !layer.empty();
        if (!any) {
            continue;
        }
        ASSERT_EQ(static_cast<std::int64_t>(plan.breaks.size()), breaks) << n;
        EXPECT_NEAR(plan.duration, time, 1e-12) << n;
        expect_consistent(arm, plan, start);
    }
}

// A step of any size, up to the largest double, bounds the whole turns
// looked up without overflowing them: every move is continuous.
TEST(PathPlan, HugeStepsConnectEverything) {
    const Arm arm = unit_speed_arm();
    std::vector<std::vector<JointVector>> per_waypoint{{along(10), along(370), along(-350, 720)},
                                                       {along(-700, 5), along(20)},
                                                       {along(1000), along(-1000, -1000)}};
    for (const double max_step : {1e6, 1e20, 1e300, std::numeric_limits<double>::max()}) {
        const PathPlan plan = plan_over_layers(arm, layers_of(per_waypoint), JointVector{}, max_step);
        const auto [breaks, time] = exhaustive(arm, per_waypoint, max_step);
        EXPECT_EQ(breaks, 0);
        EXPECT_TRUE(plan.breaks.empty()) << max_step;
        EXPECT_NEAR(plan.duration, time, 1e-9) << max_step;
    }
}

TEST(PathPlan, CancelledSearchThrows) {
    const Arm arm = unit_speed_arm();
    std::vector<std::vector<JointVector>> per_waypoint(2000, std::vector<JointVector>(20));
    for (std::size_t i = 0; i < per_waypoint.size(); ++i) {
        for (std::size_t k = 0; k < 20; ++k) {
            per_waypoint[i][k] = JointVector{0.01 * static_cast<double>(i), static_cast<double>(k), 0, 0, 0, 0};
        }
    }
    const PathLayers layers = layers_of(per_waypoint);
    int asked = 0;
    const auto cancel_on_second = [&] { return ++asked >= 2; };
    const CancelCheck cancel(cancel_on_second);
    // Asked every few milliseconds; a check that says stop ends the search.
    bool thrown = false;
    for (int attempt = 0; attempt < 50 && !thrown; ++attempt) {
        try {
            plan_over_layers(arm, layers, std::nullopt, 10.0, cancel);
        } catch (const BatchCancelled&) {
            thrown = true;
        }
    }
    EXPECT_TRUE(thrown);
}

TEST(PathPlan, PrefersTheBranchThatGoesThrough) {
    const Arm arm = unit_speed_arm();
    // Branch a is nearer at first but ends in a jump; branch b goes through.
    const auto layers = layers_of({
        {along(0), along(50)},
        {along(5), along(55)},
        {along(10), along(60)},
        {along(60)},
    });
    const PathPlan plan = plan_over_layers(arm, layers, JointVector{48, 0, 0, 0, 0, 0}, 10.0);
    EXPECT_TRUE(plan.breaks.empty());
    EXPECT_EQ(plan.joints[0][0], 50);
    EXPECT_EQ(plan.joints[3][0], 60);
    // The move from the start is the approach, apart from the duration and travel.
    EXPECT_DOUBLE_EQ(plan.duration, (5.0 + 5.0 + 0.0) / 10.0);
    EXPECT_DOUBLE_EQ(plan.travel, 10.0);
    EXPECT_EQ(plan.approach, (PathApproach{2.0, 0.2}));
    EXPECT_EQ(plan.segments, (std::vector<PathSegment>{{0, 3, 1.0}}));
    EXPECT_EQ(plan.nodes, 7u);
    EXPECT_EQ(plan.edges, 2u + 2u + 1u);

    // From a start far from both: a long approach, never a break, and the
    // first row is still the one the path needs.
    const PathPlan far = plan_over_layers(arm, layers, JointVector{-100, 0, 0, 0, 0, 0}, 10.0);
    EXPECT_TRUE(far.breaks.empty());
    EXPECT_DOUBLE_EQ(far.duration, 1.0);
    EXPECT_EQ(far.joints[0][0], 50);
    EXPECT_EQ(far.approach, (PathApproach{150.0, 15.0}));
    // Even when the other branch's first row is nearer the start.
    const PathPlan near_a = plan_over_layers(arm, layers, JointVector{0, 0, 0, 0, 0, 0}, 10.0);
    EXPECT_TRUE(near_a.breaks.empty());
    EXPECT_EQ(near_a.joints[0][0], 50);
    // Without a start there is no approach.
    EXPECT_FALSE(plan_over_layers(arm, layers, std::nullopt, 10.0).approach);
}

TEST(PathPlan, BreaksWhereNothingConnects) {
    const Arm arm = unit_speed_arm();
    const auto layers = layers_of({{along(0)}, {along(5)}, {along(100)}, {along(105)}});
    const PathPlan plan = plan_over_layers(arm, layers, std::nullopt, 10.0);
    EXPECT_EQ(plan.breaks, std::vector<std::int64_t>{2});
    // The break move is timed like any other.
    EXPECT_DOUBLE_EQ(plan.duration, 10.5);
    EXPECT_DOUBLE_EQ(plan.travel, 105.0);
    EXPECT_EQ(plan.segments, (std::vector<PathSegment>{{0, 1, 0.5}, {2, 3, 0.5}}));
}

TEST(PathPlan, UnreachableWaypointsAreSkipped) {
    const Arm arm = unit_speed_arm();
    const auto layers = layers_of({{}, {along(0)}, {}, {}, {along(8)}, {along(30)}, {}});
    const PathPlan plan = plan_over_layers(arm, layers, std::nullopt, 10.0);
    EXPECT_EQ(plan.unreachable, (std::vector<std::int64_t>{0, 2, 3, 6}));
    // 0 -> 8 across the gap is continuous; 8 -> 30 is a break.
    EXPECT_EQ(plan.breaks, std::vector<std::int64_t>{5});
    EXPECT_DOUBLE_EQ(plan.duration, 3.0);
    EXPECT_EQ(plan.segments, (std::vector<PathSegment>{{1, 4, 0.8}, {5, 5, 0.0}}));
    ASSERT_EQ(plan.joints.size(), 7u);
    EXPECT_TRUE(std::isnan(plan.joints[0][0]) && std::isnan(plan.joints[2][3]) && std::isnan(plan.joints[6][5]));
    EXPECT_EQ(plan.joints[4][0], 8);

    const PathPlan none = plan_over_layers(arm, layers_of({{}, {}}), JointVector{}, 10.0);
    EXPECT_EQ(none.unreachable, (std::vector<std::int64_t>{0, 1}));
    EXPECT_TRUE(none.breaks.empty() && none.segments.empty() && !none.approach);
    EXPECT_EQ(none.duration, 0.0);
    EXPECT_TRUE(plan_over_layers(arm, layers_of({}), std::nullopt, 10.0).joints.empty());
}

// Equal plans: the shorter approach, then the first row nearest home (arm
// joints first), then the earliest node.
TEST(PathPlan, TiesGoToTheShorterApproachThenNearestHome) {
    const Arm arm = unit_speed_arm();
    // Two mirrored branches, each 5 degrees a waypoint: the same time.
    const JointVector front{-80, 10, 0, 170, 0, 0};
    const JointVector back{100, -10, 180, -10, 0, 0};
    const auto shifted = [](JointVector q, double d) {
        q[5] += d;
        return q;
    };
    const auto layers = layers_of({{back, front}, {shifted(back, 5), shifted(front, 5)}});
    // Without start the arm joints nearest zero win, though the wrist's are farther.
    const PathPlan plan = plan_over_layers(arm, layers, std::nullopt, 10.0);
    EXPECT_EQ(plan.joints[0], front);
    EXPECT_EQ(plan_home(arm), (JointVector{0, 0, 0, 0, 0, 0}));
    // With start the shorter approach (summed degrees) wins.
    const PathPlan from_back = plan_over_layers(arm, layers, JointVector{90, 0, 170, 0, 0, 0}, 10.0);
    EXPECT_EQ(from_back.joints[0], back);
    EXPECT_EQ(from_back.approach, (PathApproach{40.0, 1.0}));
    // Never at the cost of time: a faster branch wins from any start.
    const auto faster = layers_of({{back, front}, {shifted(back, 5), shifted(front, 4)}});
    EXPECT_EQ(plan_over_layers(arm, faster, JointVector{90, 0, 170, 0, 0, 0}, 10.0).joints[0], front);
    // Home comes from the limits when zero is outside them.
    Arm shifted_limits = arm;
    shifted_limits.lower[0] = 10;
    shifted_limits.upper[0] = 200;
    EXPECT_EQ(plan_home(shifted_limits)[0], 10.0);
    // Exactly equal plans: the earliest node.
    const auto same = layers_of({{along(1), along(-1)}, {along(1), along(-1)}});
    EXPECT_EQ(plan_over_layers(arm, same, std::nullopt, 10.0).joints[0][0], 1.0);
}

// Layers with flange targets `spacing` mm apart along x, turning `turn`
// degrees about z per waypoint.
PathLayers with_targets(PathLayers layers, double spacing, double turn) {
    const double pi = 3.14159265358979323846;
    for (std::size_t i = 0; i + 1 < layers.offsets.size(); ++i) {
        const double half = 0.5 * turn * static_cast<double>(i) * pi / 180.0;
        layers.flange_targets.push_back(
            Pose{Quat{0, 0, std::sin(half), std::cos(half)}, Vec3{spacing * static_cast<double>(i), 0, 0}});
    }
    return layers;
}

TEST(PathPlan, LargeStepsForLittleTcpTravelBreak) {
    const Arm arm = unit_speed_arm();
    // A 9-degree step for 0.6 mm of TCP travel.
    const auto layers = layers_of({{along(0)}, {along(9)}, {along(9.2)}});
    // By max_step alone (no targets, or the rule off) it is continuous.
    EXPECT_TRUE(plan_over_layers(arm, layers, std::nullopt, 10.0).breaks.empty());
    const PathLayers close = with_targets(layers, 0.6, 0.0);
    EXPECT_TRUE(plan_over_layers(arm, close, std::nullopt, 10.0, {}, true, kInfinity).breaks.empty());
    // 0.6 mm allows 1 + 5 x 0.6 = 4 degrees: a break, timed as any move.
    const PathPlan ruled = plan_over_layers(arm, close, std::nullopt, 10.0);
    EXPECT_EQ(ruled.breaks, std::vector<std::int64_t>{1});
    EXPECT_DOUBLE_EQ(ruled.duration, 0.92);
    // A follower stepping 0.4 degrees is taken instead, though slower.
    const auto followed =
        with_targets(layers_of({{along(0)}, {along(9), along(0.4)}, {along(9.2), along(0.8)}}), 0.6, 0.0);
    const PathPlan follower = plan_over_layers(arm, followed, std::nullopt, 10.0);
    EXPECT_TRUE(follower.breaks.empty());
    EXPECT_EQ(follower.joints[2][0], 0.8);
    // 2 mm allows 11: max_step decides again.
    EXPECT_TRUE(plan_over_layers(arm, with_targets(layers, 2.0, 0.0), std::nullopt, 10.0).breaks.empty());
    // A degree of rotation counts as a millimetre: 0.6 mm and 1 degree allow 9.
    EXPECT_TRUE(plan_over_layers(arm, with_targets(layers, 0.6, 1.0), std::nullopt, 10.0).breaks.empty());
    EXPECT_EQ(plan_over_layers(arm, with_targets(layers, 0.6, 0.9), std::nullopt, 10.0).breaks,
              std::vector<std::int64_t>{1});
    // A smaller ratio tightens it: 1 + 2 x 2 = 5 degrees.
    EXPECT_EQ(plan_over_layers(arm, with_targets(layers, 2.0, 0.0), std::nullopt, 10.0, {}, true, 2.0).breaks,
              std::vector<std::int64_t>{1});
}

// The break move is the fastest one from the predecessors with the fewest
// breaks, among many whole-turn variants (the search looks up the near ones).
TEST(PathPlan, BreakMoveTakesTheNearestVariant) {
    Arm arm = unit_speed_arm();
    std::vector<JointVector> variants;
    for (int a = -2; a <= 2; ++a) {
        for (int b = -2; b <= 2; ++b) {
            variants.push_back(JointVector{10.0 + 360.0 * a, 0, 0, 20.0 + 360.0 * b, 0, 0});
        }
    }
    const JointVector target{200, 0, 0, -150, 0, 0};
    const PathPlan plan = plan_over_layers(arm, layers_of({variants, {target}}), std::nullopt, 10.0);
    EXPECT_EQ(plan.breaks, std::vector<std::int64_t>{1});
    // J1 from 10 (190 away) or 370 (170); J4 from 20 (170) or -340 (190): 370 and 20.
    EXPECT_EQ(plan.joints[0], (JointVector{370, 0, 0, 20, 0, 0}));
    EXPECT_DOUBLE_EQ(plan.duration, 17.0);
    EXPECT_EQ(plan.segments, (std::vector<PathSegment>{{0, 0, 0.0}, {1, 1, 0.0}}));
}

TEST(PathPlan, SegmentRangesFromRowsAndBreaks) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const JointVector none{nan, nan, nan, nan, nan, nan};
    const std::vector<JointVector> rows{none, along(0), along(1), none, along(2), along(3)};
    const auto ranges = segment_ranges(rows, std::vector<std::int64_t>{4});
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].first, 1);
    EXPECT_EQ(ranges[0].last, 2);
    EXPECT_EQ(ranges[1].first, 4);
    EXPECT_EQ(ranges[1].last, 5);
    EXPECT_TRUE(std::isnan(ranges[0].time));
    // A break at the first reached row (a stored plan's break from its start) cuts nothing.
    EXPECT_EQ(segment_ranges(rows, std::vector<std::int64_t>{1, 4}).size(), 2u);
    EXPECT_TRUE(segment_ranges(std::vector<JointVector>{none}, {}).empty());
}

TEST(PathPlan, KeepNodesDropsPerWaypoint) {
    PathLayers layers = layers_of({{along(0), along(1)}, {along(2)}, {along(3), along(4), along(5)}});
    const std::uint8_t keep[] = {0, 1, 0, 1, 0, 1};
    keep_nodes(layers, keep);
    EXPECT_EQ(layers.offsets, (std::vector<std::int64_t>{0, 1, 1, 3}));
    EXPECT_EQ(layers.nodes, (std::vector<JointVector>{along(1), along(3), along(5)}));
}

TEST(PathPlan, WaypointIndicesAreWholeAndWithinTheWaypoints) {
    using Indices = std::vector<std::int64_t>;
    EXPECT_EQ(waypoint_indices(std::vector<double>{0.0, 4.0, 2.0, 2.0}, 5), (Indices{0, 4, 2, 2}));
    EXPECT_EQ(waypoint_indices(std::vector<double>{-0.0}, 1), (Indices{0}));
    EXPECT_EQ(waypoint_indices({}, 0), Indices{});

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {5.0, 1.5, -1.0, 4.999999, nan, inf, -inf, 1e300}) {
        EXPECT_FALSE(waypoint_indices(std::vector<double>{0.0, bad}, 5)) << bad;
    }
    EXPECT_FALSE(waypoint_indices(std::vector<double>{0.0}, 0));
}

// A smooth joint path within the limits, sampled densely: no break, every
// waypoint reached, no larger step than allowed, and no slower than the
// generator (whose rows are among the candidates).
TEST(PathPlan, FollowsSmoothGeneratorPaths) {
    Arm arm = Arm::from_model(CrxModel::Crx10iA);
    arm.base = Pose{Quat{}, Vec3{100, -50, 200}};
    arm.tool = Pose{Quat{}, Vec3{0, 0, 120}};
    std::mt19937_64 rng(property_seed() + 8);
    const int count = std::max(1, property_count(300) / 30);
    int done = 0;
    while (done < count) {
        JointVector a;
        JointVector b;
        for (std::size_t j = 0; j < 6; ++j) {
            std::uniform_real_distribution<double> within(arm.lower[j] * 0.9, arm.upper[j] * 0.9);
            a[j] = within(rng);
            b[j] = within(rng);
        }
        if (!arm_within_limits(arm, a) || !arm_within_limits(arm, b)) {
            continue;
        }
        ++done;
        const std::size_t steps = 200;
        std::vector<JointVector> generator(steps);
        std::vector<Pose> waypoints(steps);
        for (std::size_t s = 0; s < steps; ++s) {
            const double t = static_cast<double>(s) / static_cast<double>(steps - 1);
            for (std::size_t j = 0; j < 6; ++j) generator[s][j] = a[j] + (b[j] - a[j]) * t;
            waypoints[s] = arm_fk(arm, generator[s]);
        }
        const PathPlan plan = plan_path(arm, waypoints, std::nullopt, 10.0);
        ASSERT_TRUE(plan.unreachable.empty());
        ASSERT_TRUE(plan.breaks.empty());
        double generator_time = 0.0;
        for (std::size_t s = 0; s < steps; ++s) {
            EXPECT_LE(matrix_error(arm_fk(arm, plan.joints[s]), waypoints[s]), 1e-8);
            EXPECT_TRUE(arm_within_limits(arm, plan.joints[s]));
            if (s > 0) {
                for (std::size_t j = 0; j < 6; ++j) {
                    EXPECT_LE(std::fabs(plan.joints[s][j] - plan.joints[s - 1][j]), 10.0);
                }
                generator_time += move_time(generator[s - 1], generator[s], arm.max_speed);
            }
        }
        EXPECT_LE(plan.duration, generator_time * (1 + 1e-9) + 1e-9);
    }
}

// The best (breaks, time) over layers by dynamic programming over every pair
// of nodes of consecutive reached layers: the reference for layers too large
// to enumerate.
std::pair<std::int64_t, double> all_pairs(const Arm& arm, const std::vector<std::vector<JointVector>>& layers,
                                          double max_step) {
    std::vector<std::pair<std::int64_t, double>> previous;
    const std::vector<JointVector>* previous_layer = nullptr;
    const auto better = [](const std::pair<std::int64_t, double>& a, const std::pair<std::int64_t, double>& b) {
        return a.first < b.first || (a.first == b.first && a.second < b.second);
    };
    for (const auto& layer : layers) {
        if (layer.empty()) continue;
        std::vector<std::pair<std::int64_t, double>> cost(layer.size(), {0, 0.0});
        if (previous_layer != nullptr) {
            for (std::size_t v = 0; v < layer.size(); ++v) {
                std::pair<std::int64_t, double> best{std::numeric_limits<std::int64_t>::max(), 0.0};
                for (std::size_t u = 0; u < previous_layer->size(); ++u) {
                    double largest = 0.0;
                    for (std::size_t j = 0; j < 6; ++j) {
                        largest = std::max(largest, std::fabs(layer[v][j] - (*previous_layer)[u][j]));
                    }
                    // A break is a timed point-to-point move like any other.
                    const std::pair<std::int64_t, double> offer{
                        previous[u].first + (largest > max_step ? 1 : 0),
                        previous[u].second + move_time((*previous_layer)[u], layer[v], arm.max_speed)};
                    if (better(offer, best)) best = offer;
                }
                cost[v] = best;
            }
        }
        previous = cost;
        previous_layer = &layer;
    }
    std::pair<std::int64_t, double> best{0, 0.0};
    if (!previous.empty()) {
        best = previous[0];
        for (const auto& c : previous) best = better(c, best) ? c : best;
    }
    return best;
}

// A free tool axis puts many postures in one layer, which then finds its
// classes and near predecessors through bins: layers of a few hundred nodes,
// whole-turn variants among them, must still give the optimum, for steps
// below a bin, across several bins and beyond half a turn.
TEST(PathPlan, ExactOverLargeLayers) {
    const Arm arm = unit_speed_arm();
    std::mt19937_64 rng(property_seed() + 13);
    std::uniform_real_distribution<double> value(-200.0, 200.0);
    std::uniform_real_distribution<double> near(-6.0, 6.0);
    std::uniform_int_distribution<int> turns(-1, 1);
    std::uniform_int_distribution<int> size(40, 160);
    const int count = std::max(1, property_count(300) / 20);
    for (int n = 0; n < count; ++n) {
        const double max_step = std::array<double, 4>{4.0, 10.0, 35.0, 400.0}[static_cast<std::size_t>(n % 4)];
        // Postures drift from layer to layer, so that continuous moves exist.
        std::vector<JointVector> postures(static_cast<std::size_t>(size(rng)));
        for (auto& posture : postures) {
            for (double& j : posture) j = value(rng);
        }
        std::vector<std::vector<JointVector>> per_waypoint(6);
        for (auto& layer : per_waypoint) {
            for (auto& posture : postures) {
                for (double& j : posture) j += near(rng);
                JointVector node = posture;
                layer.push_back(node);
                if (turns(rng) != 0) {
                    node[static_cast<std::size_t>(n % 6)] += 360.0 * turns(rng);
                    layer.push_back(node);
                }
            }
        }
        const PathPlan plan = plan_over_layers(arm, layers_of(per_waypoint), std::nullopt, max_step);
        const auto [breaks, time] = all_pairs(arm, per_waypoint, max_step);
        ASSERT_EQ(static_cast<std::int64_t>(plan.breaks.size()), breaks) << n;
        EXPECT_NEAR(plan.duration, time, 1e-9) << n;
        double sum = 0.0;
        for (std::size_t i = 1; i < plan.joints.size(); ++i) {
            sum += move_time(plan.joints[i - 1], plan.joints[i], arm.max_speed);
        }
        EXPECT_NEAR(sum, time, 1e-9) << n;
    }
}

TEST(FreeAxis, SamplesTheRangeWithBothEnds) {
    const auto sorted = [](double lower, double upper, double step) {
        auto rotations = free_axis_rotations(lower, upper, step).value();
        std::sort(rotations.begin(), rotations.end());
        return rotations;
    };
    EXPECT_EQ(sorted(-20, 20, 10), (std::vector<double>{-20, -10, 0, 10, 20}));
    // A step that does not divide the range ends on upper, with a shorter last gap.
    EXPECT_EQ(sorted(-20, 25, 10), (std::vector<double>{-20, -10, 0, 10, 20, 25}));
    EXPECT_EQ(sorted(5, 5, 1), (std::vector<double>{5}));
    EXPECT_EQ(sorted(0, 1, 5), (std::vector<double>{0, 1}));
    // Rounding of the steps does not add a sliver of a last gap.
    EXPECT_EQ(free_axis_rotations(0, 0.3, 0.1)->size(), 4u);
    // A whole turn from an earlier sample is the same pose: sampled once.
    EXPECT_EQ(sorted(-180, 180, 90), (std::vector<double>{-180, -90, 0, 90}));
    EXPECT_EQ(free_axis_rotations(0, 720, 10)->size(), 36u);
    EXPECT_EQ(free_axis_rotations(-180, 180, 10)->size(), 36u);
    // Of the turns that repeat each other the smallest stays, so a wide range still has 0 (which
    // once lost to -360, so that a plan with no reason to turn the tool turned it).
    std::vector<double> wide;
    for (double t = -180; t < 180; t += 30) wide.push_back(t);
    EXPECT_EQ(sorted(-360, 360, 30), wide);
    EXPECT_EQ(sorted(-720, 720, 30), wide);
    EXPECT_EQ(free_axis_rotations(-400, 400, 10)->front(), 0.0);
    // Smallest turns first, the negative one of two equal sizes first.
    EXPECT_EQ(*free_axis_rotations(-20, 25, 10), (std::vector<double>{0, -10, 10, -20, 20, 25}));
    EXPECT_EQ(*free_axis_rotations(30, 50, 10), (std::vector<double>{30, 40, 50}));
    // The cap, and the arguments refused.
    EXPECT_EQ(free_axis_rotations(-180, 180, 0.1)->size(), 3600u);
    EXPECT_EQ(free_axis_sample_count(-180, 180, 0.1), 3600.0);
    EXPECT_EQ(free_axis_sample_count(0, 360, 0.09), 4000.0);
    EXPECT_EQ(free_axis_sample_count(-3600, 3600, 10), 36.0);
    EXPECT_EQ(free_axis_rotations(0, 370, 7)->size(), 54u);
    EXPECT_EQ(sorted(0, 370, 10).back(), 350.0);
    EXPECT_FALSE(free_axis_rotations(0, 360, 0.09));
    EXPECT_FALSE(free_axis_rotations(-1e300, 1e300, 1e-300));
    EXPECT_FALSE(free_axis_rotations(10, -10, 1));
    EXPECT_FALSE(free_axis_rotations(-10, 10, 0));
    EXPECT_FALSE(free_axis_rotations(-10, 10, -1));
    EXPECT_FALSE(free_axis_rotations(-10, std::numeric_limits<double>::infinity(), 1));
    EXPECT_FALSE(free_axis_rotations(std::nan(""), 10, 1));
    EXPECT_FALSE(free_axis_rotations(-10, 10, std::nan("")));
}

// With the tool along the flange z, a waypoint's layer is its flange
// solutions with J6 moved by each sample, expanded into whole-turn variants
// within the limits and put on them: node for node, in that order, whatever
// the limits (narrow ones take a shorter way there, wide ones the full
// expansion), waypoints on a limit included.
TEST(FreeAxis, FlangeAxisLayersAreTheMovedSolutionsExpanded) {
    const std::vector<double> rotations = *free_axis_rotations(-180, 180, 15);
    for (const double range : {0.0, 400.0, 700.0}) {
        Arm arm = Arm::from_model(CrxModel::Crx10iA);
        arm.tool = Pose{Quat{0, 0, std::sin(0.2), std::cos(0.2)}, Vec3{0, 0, 120}};
        if (range > 0.0) {
            for (const std::size_t j : {0u, 3u, 5u}) {
                arm.lower[j] = -range;
                arm.upper[j] = range;
            }
        }
        std::vector<Pose> waypoints;
        for (int i = 0; i < 6; ++i) {
            waypoints.push_back(arm_fk(arm, JointVector{arm.upper[0] - 20.0 * i, 20, -10, 30, -60, 40.0 + 50 * i}));
        }
        waypoints.push_back(arm_fk(arm, JointVector{arm.lower[0], 10, -20, arm.upper[3], -50, arm.lower[5]}));
        const PathLayers layers = path_layers(arm, waypoints, rotations);
        std::size_t node = 0;
        for (std::size_t i = 0; i < waypoints.size(); ++i) {
            ASSERT_EQ(layers.offsets[i], static_cast<std::int64_t>(node));
            const std::vector<IkSolution> flange = ik(arm.robot, arm_flange_target(arm, waypoints[i]));
            for (std::size_t r = 0; r < rotations.size(); ++r) {
                std::vector<IkSolution> moved = flange;
                for (IkSolution& s : moved) {
                    const double j6 = s.joints[5] - rotations[r];
                    s.joints[5] = j6 - 360.0 * std::nearbyint(j6 / 360.0);
                }
                std::vector<IkSolution> expected;
                arm_expand(arm, moved, expected);
                for (const IkSolution& e : expected) {
                    ASSERT_LT(node, layers.nodes.size());
                    EXPECT_EQ(layers.nodes[node], e.joints) << range << " " << i << " " << r;
                    EXPECT_EQ(layers.rotation_of[node], r);
                    EXPECT_EQ(layers.family[node], arm_in_family(arm, e.joints) ? 1 : 0);
                    ++node;
                }
            }
        }
        EXPECT_EQ(node, layers.nodes.size()) << range;
    }
}

// Every node of a free-axis layer reaches its waypoint turned by its sample,
// and the layers hold exactly the solutions of the turned waypoints: those of
// an arm whose tool lies along the flange z (solved once per waypoint, J6
// moved) as well as those of any other tool (every turn solved).
TEST(FreeAxis, LayersHoldEveryTurnsSolutions) {
    const std::vector<double> rotations = *free_axis_rotations(-180, 180, 30);
    for (const bool along_z : {true, false}) {
        Arm arm = Arm::from_model(CrxModel::Crx10iA);
        arm.base = Pose{Quat{}, Vec3{100, -50, 200}};
        arm.tool = along_z ? Pose{Quat{0, 0, std::sin(0.3), std::cos(0.3)}, Vec3{0, 0, 150}}
                           : Pose{Quat{0, std::sin(0.1), 0, std::cos(0.1)}, Vec3{20, 0, 150}};
        std::vector<Pose> waypoints;
        for (int i = 0; i < 8; ++i) {
            waypoints.push_back(arm_fk(arm, JointVector{10.0 + 3 * i, 20, -10, 30, -60, 40.0 + 50 * i}));
        }
        const PathLayers layers = path_layers(arm, waypoints, rotations);
        ASSERT_EQ(layers.rotations, rotations);
        ASSERT_EQ(layers.rotation_of.size(), layers.nodes.size());
        ASSERT_EQ(layers.flange_targets.size(), waypoints.size() * rotations.size());
        for (std::size_t i = 0; i < waypoints.size(); ++i) {
            for (std::size_t r = 0; r < rotations.size(); ++r) {
                const Pose turned = turned_about_z(waypoints[i], rotations[r]);
                EXPECT_LE(matrix_error(layers.flange_targets[i * rotations.size() + r], arm_flange_target(arm, turned)),
                          1e-12);
                std::vector<JointVector> expected = arm_ik(arm, turned);
                std::size_t found = 0;
                for (auto k = layers.offsets[i]; k < layers.offsets[i + 1]; ++k) {
                    const auto node = static_cast<std::size_t>(k);
                    if (layers.rotation_of[node] != r) continue;
                    ++found;
                    EXPECT_LE(matrix_error(arm_fk(arm, layers.nodes[node]), turned), 1e-8);
                    const bool listed = std::any_of(expected.begin(), expected.end(), [&](const JointVector& e) {
                        double largest = 0.0;
                        for (std::size_t j = 0; j < 6; ++j) largest = std::max(largest, std::fabs(e[j] - layers.nodes[node][j]));
                        return largest < 1e-7;
                    });
                    EXPECT_TRUE(listed) << i << " " << r;
                }
                EXPECT_EQ(found, expected.size()) << i << " " << r;
            }
        }
        // A plan over them: each row reaches its waypoint turned by the row's tool_rotation.
        const PathPlan plan = plan_path(arm, waypoints, rotations, std::nullopt, 400.0);
        ASSERT_EQ(plan.tool_rotation.size(), waypoints.size());
        for (std::size_t i = 0; i < waypoints.size(); ++i) {
            EXPECT_NE(std::find(rotations.begin(), rotations.end(), plan.tool_rotation[i]), rotations.end());
            EXPECT_LE(matrix_error(arm_fk(arm, plan.joints[i]), turned_about_z(waypoints[i], plan.tool_rotation[i])),
                      1e-8);
        }
        // Without rotations the rows are not turned; an unreachable one has NaN.
        std::vector<Pose> with_far = waypoints;
        with_far[3].t[0] = 1e5;
        const PathPlan fixed = plan_path(arm, with_far, std::nullopt, 10.0);
        const PathPlan turned = plan_path(arm, with_far, rotations, std::nullopt, 10.0);
        for (std::size_t i = 0; i < waypoints.size(); ++i) {
            EXPECT_EQ(std::isnan(fixed.tool_rotation[i]), i == 3);
            EXPECT_EQ(std::isnan(turned.tool_rotation[i]), i == 3);
            if (i != 3) {
                EXPECT_EQ(fixed.tool_rotation[i], 0.0);
            }
        }
    }
}

}  // namespace
}  // namespace ortholink
