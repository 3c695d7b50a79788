// Timing a path: the closed-form optimum of a straight joint move, every
// limit on random paths (between grid points too), rest at both ends, samples
// consistent with their derivatives and within the stated deviation of the
// rows, the joint limits kept at corners, what cannot be timed, and Ctrl-C.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "ortholink/trajectory.hpp"

namespace ortholink {
namespace {

constexpr double kRelative = 1e-6;  // the tolerance the limits are kept to

Arm test_arm() { return Arm::from_model(CrxModel::Crx10iA); }

TrajectoryLimits limits_of(double speed, double acceleration) {
    TrajectoryLimits limits;
    limits.max_speed.fill(speed);
    limits.max_acceleration.fill(acceleration);
    return limits;
}

double tcp_speed_of(const Arm& arm, const JointVector& q, const JointVector& qd) {
    const Jacobian jacobian = arm_jacobian(arm, q);
    double sum = 0.0;
    for (std::size_t r = 0; r < 3; ++r) {
        double v = 0.0;
        for (std::size_t j = 0; j < 6; ++j) v += jacobian[r][j] * qd[j] * kDegToRad;
        sum += v * v;
    }
    return std::sqrt(sum);
}

// Rows along a random cubic through four joint vectors, as a plan of a smooth
// Cartesian path gives them, each joint shaken by up to `jitter` degrees;
// within the CRX-10iA's limits, J2 + J3 (-71 .. 251) too.
std::vector<JointVector> random_rows(std::mt19937_64& rng, std::size_t count, double jitter) {
    std::uniform_real_distribution<double> key(-90.0, 90.0);
    std::uniform_real_distribution<double> elbow(-60.0, 170.0);
    std::uniform_real_distribution<double> shake(-jitter, jitter);
    std::array<JointVector, 4> keys{};
    for (auto& k : keys) {
        for (double& v : k) v = key(rng);
        k[2] = elbow(rng) - k[1];
    }
    std::vector<JointVector> rows(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(count - 1);
        const double w[4] = {(1 - t) * (1 - t) * (1 - t), 3 * t * (1 - t) * (1 - t), 3 * t * t * (1 - t), t * t * t};
        for (std::size_t j = 0; j < 6; ++j) {
            rows[i][j] = w[0] * keys[0][j] + w[1] * keys[1][j] + w[2] * keys[2][j] + w[3] * keys[3][j] + shake(rng);
        }
    }
    return rows;
}

// Chebyshev distance from `q` to the segment a-b, minimised over a fine set of fractions.
double distance_to_segment(const JointVector& q, const JointVector& a, const JointVector& b) {
    double best = std::numeric_limits<double>::infinity();
    for (int m = 0; m <= 2000; ++m) {
        const double f = m / 2000.0;
        double d = 0.0;
        for (std::size_t j = 0; j < 6; ++j) d = std::max(d, std::fabs(q[j] - (a[j] + f * (b[j] - a[j]))));
        best = std::min(best, d);
    }
    return best;
}

TEST(Trajectory, StraightJointMoveMatchesClosedForm) {
    const Arm arm = test_arm();
    const double v = 30.0;
    const double a = 50.0;
    // Long enough to cruise (trapezoid) and too short to (triangle).
    for (const double distance : {90.0, 10.0}) {
        const std::vector<JointVector> rows{JointVector{0, 0, 0, 0, 0, 0}, JointVector{distance, 0, 0, 0, 0, 0}};
        const Trajectory t = time_rows(arm, rows, limits_of(v, a), 0.008);
        const double expected = distance >= v * v / a ? distance / v + v / a : 2.0 * std::sqrt(distance / a);
        EXPECT_NEAR(t.duration, expected, expected * 2e-3) << distance;
        EXPECT_GE(t.duration, expected * (1 - 1e-9)) << "faster than the optimum";
        EXPECT_EQ(t.deviation, 0.0);
    }
    // A straight move through intermediate rows is the same line and the same optimum.
    std::vector<JointVector> rows;
    for (const double x : {0.0, 3.0, 40.0, 41.0, 90.0}) rows.push_back(JointVector{0, 0, 0, 0, 0, x});
    const Trajectory t = time_rows(arm, rows, limits_of(v, a), 0.008);
    EXPECT_NEAR(t.duration, 90.0 / v + v / a, 2e-3 * (90.0 / v + v / a));
    EXPECT_NEAR(t.deviation, 0.0, 1e-9);
}

TEST(Trajectory, RandomPathsKeepEveryLimitAndRestAtTheEnds) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> scale(0.5, 2.0);
    const Arm arm = test_arm();
    for (int trial = 0; trial < 24; ++trial) {
        const auto rows = random_rows(rng, 20 + static_cast<std::size_t>(trial) * 20, trial % 2 == 0 ? 0.0 : 0.05);
        TrajectoryLimits limits;
        for (std::size_t j = 0; j < 6; ++j) {
            limits.max_speed[j] = 100.0 * scale(rng);
            limits.max_acceleration[j] = 200.0 * scale(rng);
        }
        if (trial % 3 == 0) limits.tcp_speed = 150.0 * scale(rng);
        const double period = trial % 4 == 0 ? 0.004 : 0.008;
        const Trajectory t = time_rows(arm, rows, limits, period);
        SCOPED_TRACE(trial);
        ASSERT_GE(t.time.size(), 2u);
        EXPECT_EQ(t.time.front(), 0.0);
        EXPECT_EQ(t.time.back(), t.duration);
        for (std::size_t i = 1; i + 1 < t.time.size(); ++i) {
            ASSERT_NEAR(t.time[i], static_cast<double>(i) * period, 1e-12);
        }
        EXPECT_GT(t.duration - t.time[t.time.size() - 2], 0.0);
        EXPECT_LE(t.duration - t.time[t.time.size() - 2], period * (1 + 1e-9));
        // At rest on the first and last rows.
        EXPECT_EQ(t.joints.front(), rows.front());
        EXPECT_EQ(t.joints.back(), rows.back());
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_EQ(t.velocity.front()[j], 0.0);
            EXPECT_EQ(t.velocity.back()[j], 0.0);
        }
        std::size_t slack = 0;  // samples where no limit is nearly reached
        for (std::size_t i = 0; i < t.time.size(); ++i) {
            double fastest = 0.0;  // the largest fraction of a limit reached
            ASSERT_TRUE(arm_within_limits(arm, t.joints[i])) << i;

            for (std::size_t j = 0; j < 6; ++j) {
                ASSERT_LE(std::fabs(t.velocity[i][j]), limits.max_speed[j] * (1 + kRelative)) << i << " J" << j + 1;
                ASSERT_LE(std::fabs(t.acceleration[i][j]), limits.max_acceleration[j] * (1 + kRelative))
                    << i << " J" << j + 1;
                fastest = std::max({fastest, std::fabs(t.velocity[i][j]) / limits.max_speed[j],
                                    std::fabs(t.acceleration[i][j]) / limits.max_acceleration[j]});
            }
            if (limits.tcp_speed) {
                const double tcp = tcp_speed_of(arm, t.joints[i], t.velocity[i]);
                ASSERT_LE(tcp, *limits.tcp_speed * (1 + kRelative)) << i;
                fastest = std::max(fastest, tcp / *limits.tcp_speed);
            }
            slack += fastest < 0.98 ? 1 : 0;
        }
        // Time-optimal: at every instant some limit holds the motion back (on the
        // smooth paths; shaken rows bend the spline within grid intervals).
        if (trial % 2 == 0) {
            EXPECT_LT(static_cast<double>(slack), 0.03 * static_cast<double>(t.time.size()));
        }
        // Rows passed in order; samples within the deviation of the straight moves between them.
        ASSERT_EQ(t.waypoint_times.size(), rows.size());
        EXPECT_EQ(t.waypoint_times.front(), 0.0);
        EXPECT_DOUBLE_EQ(t.waypoint_times.back(), t.duration);
        EXPECT_TRUE(std::is_sorted(t.waypoint_times.begin(), t.waypoint_times.end()));
        std::size_t segment = 0;
        for (std::size_t i = 0; i < t.time.size(); i += 7) {
            while (segment + 2 < rows.size() && t.waypoint_times[segment + 1] < t.time[i]) ++segment;
            const double longest = [&] {
                double d = 0.0;
                for (std::size_t j = 0; j < 6; ++j) d = std::max(d, std::fabs(rows[segment + 1][j] - rows[segment][j]));
                return d;
            }();
            ASSERT_LE(distance_to_segment(t.joints[i], rows[segment], rows[segment + 1]),
                      t.deviation + longest / 4000.0 + 1e-9)
                << i;
        }
    }
}

TEST(Trajectory, SamplesAgreeWithTheirDerivatives) {
    std::mt19937_64 rng(99);
    const Arm arm = test_arm();
    const auto rows = random_rows(rng, 60, 0.0);
    const double period = 0.001;
    const Trajectory t = time_rows(arm, rows, limits_of(90.0, 180.0), period);
    // Central differences of positions against the velocity; of velocity against the mean acceleration.
    double worst_velocity = 0.0;
    double worst_acceleration = 0.0;
    for (std::size_t i = 1; i + 2 < t.time.size(); ++i) {
        for (std::size_t j = 0; j < 6; ++j) {
            const double v = (t.joints[i + 1][j] - t.joints[i - 1][j]) / (2 * period);
            worst_velocity = std::max(worst_velocity, std::fabs(v - t.velocity[i][j]));
            const double a = (t.velocity[i + 1][j] - t.velocity[i][j]) / period;
            const double mean = 0.5 * (t.acceleration[i + 1][j] + t.acceleration[i][j]);
            // The acceleration jumps at grid points; compare only where it is smooth.
            if (std::fabs(t.acceleration[i + 1][j] - t.acceleration[i][j]) < 1.0) {
                worst_acceleration = std::max(worst_acceleration, std::fabs(a - mean));
            }
        }
    }
    EXPECT_LT(worst_velocity, 0.09);     // 0.1% of the limit of 90 degrees/s
    EXPECT_LT(worst_acceleration, 1.8);  // 1% of the limit of 180 degrees/s²
}

TEST(Trajectory, TcpSpeedBoundsALongCartesianMove) {
    const Arm arm = test_arm();
    // A line of the TCP, solved row by row near the first solution.
    const JointVector start{0, 10, -10, 0, -80, 0};
    const Pose from = arm_fk(arm, start);
    std::vector<JointVector> rows{start};
    double length = 0.0;
    for (int i = 1; i <= 200; ++i) {
        Pose target = from;
        target.t[1] += 2.0 * i;  // 400 mm along y
        const auto next = arm_ik_closest(arm, target, rows.back());
        ASSERT_TRUE(next.has_value());
        rows.push_back(next->joints);
        length += 2.0;
    }
    TrajectoryLimits limits = limits_of(120.0, 1000.0);
    limits.tcp_speed = 50.0;
    const Trajectory t = time_rows(arm, rows, limits, 0.008);
    // Mostly at the TCP limit: about 8 s, a little more to speed up and slow down.
    EXPECT_GT(t.duration, length / 50.0);
    EXPECT_LT(t.duration, length / 50.0 * 1.05);
    for (std::size_t i = 0; i < t.time.size(); ++i) {
        ASSERT_LE(tcp_speed_of(arm, t.joints[i], t.velocity[i]), 50.0 * (1 + kRelative));
    }
}

TEST(Trajectory, RowsWithoutJointsRepeatedRowsAndBreaks) {
    const Arm arm = test_arm();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<JointVector> rows{JointVector{nan, nan, nan, nan, nan, nan}, JointVector{0, 0, 0, 0, 0, 0},
                                        JointVector{5, 0, 0, 0, 0, 0}, JointVector{5, 0, 0, 0, 0, 0},
                                        JointVector{nan, nan, nan, nan, nan, nan}, JointVector{10, 0, 0, 0, 0, 0}};
    const Trajectory t = time_rows(arm, rows, limits_of(30.0, 50.0), 0.008);
    EXPECT_TRUE(std::isnan(t.waypoint_times[0]));
    EXPECT_TRUE(std::isnan(t.waypoint_times[4]));
    EXPECT_EQ(t.waypoint_times[1], 0.0);
    EXPECT_EQ(t.waypoint_times[2], t.waypoint_times[3]);
    EXPECT_NEAR(t.duration, 2.0 * std::sqrt(10.0 / 50.0), 2e-3);
    EXPECT_EQ(t.joints.front(), rows[1]);

    // One row: at rest; none: nothing to time.
    const Trajectory still = time_rows(arm, std::vector<JointVector>{rows[1], rows[1]}, limits_of(30, 50), 0.008);
    EXPECT_EQ(still.time, std::vector<double>{0.0});
    EXPECT_EQ(still.duration, 0.0);
    EXPECT_THROW(time_rows(arm, std::vector<JointVector>{rows[0]}, limits_of(30, 50), 0.008), TrajectoryError);

    // Checked for contact where nothing is near: the same motion, bit for bit.
    const CollisionChecker checker(arm);
    const Trajectory checked = time_rows(arm, rows, limits_of(30.0, 50.0), 0.008, {}, &checker);
    EXPECT_EQ(checked.joints, t.joints);
    EXPECT_EQ(checked.waypoint_times.size(), t.waypoint_times.size());

    // Breaks after the first reached row are refused, by index; one at the first reached row is the
    // move from `start`, which the trajectory does not contain.
    PathPlan plan;
    plan.joints = rows;
    plan.breaks = {1};
    EXPECT_EQ(trajectory_problem(plan), "");
    plan.breaks = {1, 3, 5};
    EXPECT_EQ(trajectory_problem(plan).rfind("the plan breaks at waypoints 3, 5: ", 0), 0u) << trajectory_problem(plan);
    plan.breaks = {5};
    EXPECT_EQ(trajectory_problem(plan).rfind("the plan breaks at waypoint 5: ", 0), 0u);

    // A period that would give too many samples.
    EXPECT_THROW(time_rows(arm, rows, limits_of(30, 50), 1e-9), std::invalid_argument);
}

TEST(Trajectory, TheSplineIsKeptWithinThePositionLimits) {
    const Arm arm = test_arm();
    // J1 up to its limit, then J2 moving (the spline through the rows alone
    // overshoots J1 at the corner by 0.4 degrees); J2 + J3 onto the elbow's
    // lower limit, then along it.
    std::vector<std::vector<JointVector>> paths(2);
    for (int i = 0; i <= 4; ++i) paths[0].push_back(JointVector{170.0 + 5.0 * i, 20, 30, 40, 50, 60});
    for (int i = 1; i <= 7; ++i) paths[0].push_back(JointVector{190, 20.0 + 5.0 * i, 30, 40, 50, 60});
    for (int i = 0; i <= 4; ++i) paths[1].push_back(JointVector{0, 0, -30.0 - 10.25 * i, 0, 0, 0});
    for (int i = 1; i <= 5; ++i) paths[1].push_back(JointVector{0, 8.0 * i, -71.0 - 8.0 * i, 0, 0, 0});
    for (const auto& rows : paths) {
        const Trajectory t = time_rows(arm, rows, limits_of(60.0, 120.0), 0.001);
        for (const JointVector& q : t.joints) {
            ASSERT_TRUE(arm_within_limits(arm, q)) << q[0] << " " << q[1] + q[2];
        }
        // Still through every row, at rest on the ends; the rows' times in order.
        EXPECT_EQ(t.joints.front(), rows.front());
        EXPECT_EQ(t.joints.back(), rows.back());
        ASSERT_EQ(t.waypoint_times.size(), rows.size());
        EXPECT_TRUE(std::is_sorted(t.waypoint_times.begin(), t.waypoint_times.end()));
        EXPECT_EQ(t.waypoint_times.back(), t.duration);
        std::size_t segment = 0;
        for (std::size_t i = 0; i < t.time.size(); ++i) {
            while (segment + 2 < rows.size() && t.waypoint_times[segment + 1] < t.time[i]) ++segment;
            ASSERT_LE(distance_to_segment(t.joints[i], rows[segment], rows[segment + 1]), t.deviation + 11.0 / 4000)
                << i;
        }
    }
    // Rows outside the limits are refused by index; within kLimitSnap of one, they are on it.
    std::vector<JointVector> rows = paths[0];
    rows[3][0] = 195.0;
    try {
        time_rows(arm, rows, limits_of(60.0, 120.0), 0.008);
        ADD_FAILURE() << "no error";
    } catch (const TrajectoryError& error) {
        EXPECT_STREQ(error.what(),
                     "row 3 is outside the arm's joint limits: J1 is 195.0000, its limits -190.0000 .. 190.0000");
    }
    rows = paths[0];
    rows.back()[0] = 190.0 + 0.5 * kLimitSnap;
    EXPECT_EQ(time_rows(arm, rows, limits_of(60.0, 120.0), 0.008).joints.back()[0], 190.0);
}

TEST(Trajectory, LimitsTooLowToTimeAndPeriodsLongerThanTheMotion) {
    const Arm arm = test_arm();
    const std::vector<JointVector> rows{JointVector{0, 0, 0, 0, 0, 0}, JointVector{10, 5, 0, 0, 0, 0},
                                        JointVector{20, 5, 5, 0, 0, 0}};
    // Squared path speeds below what a double holds.
    TrajectoryLimits slow = limits_of(1e-200, 100.0);
    EXPECT_THROW(time_rows(arm, rows, slow, 0.008), TrajectoryError);
    slow = limits_of(100.0, 100.0);
    slow.tcp_speed = 1e-200;
    EXPECT_THROW(time_rows(arm, rows, slow, 0.008), TrajectoryError);
    // Slow but representable: too many samples at this period, two at a long one.
    slow.tcp_speed = 1e-100;
    EXPECT_THROW(time_rows(arm, rows, slow, 0.008), std::invalid_argument);
    EXPECT_EQ(time_rows(arm, rows, slow, 1e300).time.size(), 2u);
    // The motion starts at 0 on the first row and ends on the last, whatever the period.
    for (const double period : {0.5, 10.0, 1e9, 1e300}) {
        const Trajectory t = time_rows(arm, rows, limits_of(30.0, 60.0), period);
        ASSERT_GE(t.time.size(), 2u) << period;
        EXPECT_EQ(t.time.front(), 0.0) << period;
        EXPECT_EQ(t.time.back(), t.duration) << period;
        EXPECT_EQ(t.joints.front(), rows.front()) << period;
        EXPECT_EQ(t.joints.back(), rows.back()) << period;
        EXPECT_TRUE(std::is_sorted(t.time.begin(), t.time.end()) &&
                    std::adjacent_find(t.time.begin(), t.time.end()) == t.time.end())
            << period;
    }
}

TEST(Trajectory, AsksTheCancelCheckAndStops) {
    const Arm arm = test_arm();
    const auto rows = [] {
        std::mt19937_64 rng(3);
        return random_rows(rng, 200, 0.0);
    }();
    int asked = 0;
    const auto never = [&] { return ++asked < 0; };
    const Trajectory whole = time_rows(arm, rows, limits_of(90.0, 180.0), 1e-5, CancelCheck(never));
    EXPECT_GT(asked, 0) << "a long call is never asked";
    const Trajectory plain = time_rows(arm, rows, limits_of(90.0, 180.0), 1e-5);
    EXPECT_EQ(whole.joints, plain.joints);
    const auto now = [] { return true; };
    EXPECT_THROW(time_rows(arm, rows, limits_of(90.0, 180.0), 1e-5, CancelCheck(now)), BatchCancelled);
}

TEST(Trajectory, ArmAccelerationDefaultsToTwiceTheSpeedPerSecond) {
    Arm arm = test_arm();
    const JointVector speed = arm.max_speed;
    for (std::size_t j = 0; j < 6; ++j) EXPECT_EQ(arm_max_acceleration(arm)[j], 2.0 * speed[j]);
    arm.max_acceleration = JointVector{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(arm_max_acceleration(arm), (JointVector{1, 2, 3, 4, 5, 6}));
    EXPECT_NE(arm, test_arm());
    EXPECT_NE(to_string(arm).find("max_acceleration=[1, 2, 3, 4, 5, 6]"), std::string::npos) << to_string(arm);
    EXPECT_EQ(to_string(test_arm()).find("max_acceleration"), std::string::npos);
    (*arm.max_acceleration)[3] = 0.0;
    EXPECT_EQ(arm_problem(arm), "the acceleration of J4 must be positive and finite");
}

}  // namespace
}  // namespace ortholink
