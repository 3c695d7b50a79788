// The installed arm: defaults, frames, limits, Jacobian and near-rigid poses.
// ORTHOLINK_PROPERTY_SEED and ORTHOLINK_PROPERTY_COUNT change the random sample.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "ik/support.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/xyzwpr.hpp"

namespace ortholink {
namespace {

using solver::support::matrix_error;
using solver::support::property_count;
using solver::support::property_seed;

Arm installed_arm() {
    Arm arm = Arm::from_model(CrxModel::Crx10iA);
    arm.base = pose_from_xyzwpr({850.0, -420.0, 310.0, 0.5, -1.5, 150.0});
    arm.tool = pose_from_xyzwpr({12.0, -30.0, 145.0, 15.0, -20.0, 75.0});
    return arm;
}

JointVector random_within(std::mt19937_64& rng, const Arm& arm) {
    for (;;) {
        JointVector j;
        for (std::size_t i = 0; i < 6; ++i) {
            j[i] = std::uniform_real_distribution<double>(arm.lower[i], arm.upper[i])(rng);
        }
        if (arm_within_limits(arm, j)) {
            return j;
        }
    }
}

TEST(ArmDefaults, ModelTableAndDerivedJ3Range) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    EXPECT_EQ(arm.lower, (JointVector{-190, -179.9, -71 - 179.9, -190, -179.9, -225}));
    EXPECT_EQ(arm.upper, (JointVector{190, 179.9, 251 + 179.9, 190, 179.9, 225}));
    ASSERT_TRUE(arm.elbow.has_value());
    EXPECT_EQ(*arm.elbow, (ElbowLimit{-71, 251}));
    EXPECT_EQ(arm.max_speed, (JointVector{120, 120, 180, 180, 180, 180}));
    EXPECT_EQ(arm.model, CrxModel::Crx10iA);
    EXPECT_TRUE(arm_problem(arm).empty());
    // Every elbow angle allowed with J2 anywhere in its range has a J3 within J3's range.
    for (double j2 = -179.9; j2 <= 179.9; j2 += 179.9) {
        for (double elbow = -71; elbow <= 251; elbow += 161) {
            EXPECT_TRUE(arm_within_limits(arm, JointVector{0, j2, elbow - j2, 0, 0, 0}));
        }
    }

    const Arm plain = Arm::from_robot(Crx::new_5ia());
    EXPECT_EQ(plain.lower, (JointVector{-180, -180, -180, -180, -180, -180}));
    EXPECT_FALSE(plain.elbow.has_value());
    EXPECT_FALSE(plain.model.has_value());

    EXPECT_EQ(mounting_height(CrxModel::Crx3iA), 161.0);
    EXPECT_EQ(mounting_height(CrxModel::Crx5iA), 185.0);
    EXPECT_EQ(mounting_height(CrxModel::Crx20iAL), 245.0);
    EXPECT_EQ(mounting_height(CrxModel::Crx30iA), 370.0);
}

TEST(ArmDefaults, AModelsJ3RangeFollowsAnElbowLimitSetLater) {
    Arm arm = Arm::from_model(CrxModel::Crx5iA);
    arm.lower[1] = -100;  // J2 narrowed first: J3 is derived from the J2 limits as they are
    arm.upper[1] = 120;
    arm.set_elbow(ElbowLimit{-30, 200});
    EXPECT_EQ(*arm.elbow, (ElbowLimit{-30, 200}));
    EXPECT_EQ(arm.lower[2], -30 - 120);
    EXPECT_EQ(arm.upper[2], 200 + 100);

    // Removing the limit keeps the range it left.
    arm.set_elbow(std::nullopt);
    EXPECT_FALSE(arm.elbow);
    EXPECT_EQ(arm.lower[2], -150);
    EXPECT_EQ(arm.upper[2], 300);

    // A robot without a model has no maker's J3 rule: its J3 limits stay.
    Arm plain = Arm::from_robot(Crx::new_10ia());
    plain.set_elbow(ElbowLimit{-30, 200});
    EXPECT_EQ(*plain.elbow, (ElbowLimit{-30, 200}));
    EXPECT_EQ(plain.lower[2], -180);
    EXPECT_EQ(plain.upper[2], 180);
}

TEST(ArmDefaults, ProblemsAreNamed) {
    Arm arm = Arm::from_model(CrxModel::Crx5iA);
    arm.lower[3] = 200;
    EXPECT_EQ(arm_problem(arm), "the lower limit of J4 is above its upper limit");
    arm = Arm::from_model(CrxModel::Crx5iA);
    arm.upper[0] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(arm_problem(arm), "the limits of J1 must be finite");
    arm = Arm::from_model(CrxModel::Crx5iA);
    arm.lower[1] = -1e9;
    arm.upper[1] = -1e9 + 100;
    EXPECT_EQ(arm_problem(arm), "the limits of J2 must lie within -268435456 .. 268435456 degrees");
    arm = Arm::from_model(CrxModel::Crx5iA);
    arm.max_speed[5] = 0.0;
    EXPECT_EQ(arm_problem(arm), "the speed of J6 must be positive and finite");
    arm = Arm::from_model(CrxModel::Crx5iA);
    arm.lower = JointVector{-7200, -7200, -7200, -7200, -7200, -7200};
    EXPECT_NE(arm_problem(arm).find("whole-turn variants"), std::string::npos);
}

TEST(ArmWithinLimits, ElbowAndJointsInclusive) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    EXPECT_TRUE(arm_within_limits(arm, JointVector{190, 0, 251, 0, 0, -225}));
    EXPECT_FALSE(arm_within_limits(arm, JointVector{0, 10, 241.0001, 0, 0, 0}));  // elbow 251.0001
    EXPECT_FALSE(arm_within_limits(arm, JointVector{0, -10, -61.0001, 0, 0, 0}));
    EXPECT_FALSE(arm_within_limits(arm, JointVector{0, 0, 0, 0, 0, std::nan("")}));
}

TEST(ArmFrames, InverseComposesToIdentity) {
    const Pose p = pose_from_xyzwpr({10.0, 20.0, 30.0, 40.0, 50.0, 60.0});
    EXPECT_LE(matrix_error(compose(p, inverse(p)), Pose{}), 1e-13);
    EXPECT_LE(matrix_error(compose(inverse(p), p), Pose{}), 1e-13);
}

// The batch gives each row's arm_fk bit for bit, whatever the thread count
// (enough rows that several threads really share them).
TEST(ArmFrames, BatchFkIsRowByRowFk) {
    const Arm arm = installed_arm();
    std::mt19937_64 rng(property_seed());
    std::vector<JointVector> joints(5000);
    for (JointVector& j : joints) {
        j = random_within(rng, arm);
    }
    for (const unsigned threads : {1u, 3u}) {
        std::vector<Pose> poses(joints.size());
        arm_fk_many(arm, joints, poses, threads);
        for (std::size_t i = 0; i < joints.size(); ++i) {
            ASSERT_EQ(poses[i], arm_fk(arm, joints[i])) << "row " << i << ", " << threads << " threads";
        }
    }
}

// ik equals the flange solver's solutions, turn-expanded and limit-filtered,
// and every one puts the TCP back on the target.
TEST(ArmIk, ExpandedFilteredFlangeSolutionsRoundTrip) {
    const Arm arm = installed_arm();
    std::mt19937_64 rng(property_seed());
    const int count = property_count(300);
    for (int n = 0; n < count; ++n) {
        const JointVector source = random_within(rng, arm);
        const Pose target = arm_fk(arm, source);
        const auto solutions = arm_ik(arm, target);

        const auto flange = ik(arm.robot, arm_flange_target(arm, target));
        std::vector<JointVector> flange_joints;
        for (const auto& s : flange) flange_joints.push_back(s.joints);
        std::vector<JointVector> expanded;
        ASSERT_TRUE(expand_turns(flange_joints, arm.lower, arm.upper, expanded));
        std::vector<JointVector> expected;
        for (const auto& v : expanded) {
            if (arm_within_limits(arm, v)) expected.push_back(v);
        }
        ASSERT_EQ(solutions, expected);

        bool found = false;
        for (const auto& s : solutions) {
            ASSERT_TRUE(arm_within_limits(arm, s));
            ASSERT_LE(matrix_error(arm_fk(arm, s), target), 1e-8);
            double worst = 0.0;
            for (std::size_t i = 0; i < 6; ++i) worst = std::max(worst, std::fabs(s[i] - source[i]));
            found = found || worst < 1e-4;
        }
        EXPECT_TRUE(found) << "the generating joints come back unwrapped";
    }
}

TEST(ArmIk, DetailedCarriesTheFlangeSolutionsDiagnostics) {
    const Arm arm = installed_arm();
    const Pose target = arm_fk(arm, JointVector{10, 20, 30, 40, 50, 60});
    const auto detailed = arm_ik_detailed(arm, target);
    const auto flange = ik(arm.robot, arm_flange_target(arm, target));
    ASSERT_FALSE(detailed.empty());
    for (const auto& s : detailed) {
        bool matched = false;
        for (const auto& f : flange) {
            matched = matched || (s.theta == f.theta && s.residual == f.residual && s.kind == f.kind &&
                                  joint_distance(s.joints, f.joints) < 1e-12);
        }
        EXPECT_TRUE(matched);
    }
    const Pose targets[] = {target, Pose{Quat{}, Vec3{1e5, 0, 0}}, target};
    const IkBatchResult batch = arm_ik_many(arm, targets, 2);
    ASSERT_EQ(batch.offsets.size(), 4u);
    EXPECT_EQ(batch.offsets[1], static_cast<std::int64_t>(detailed.size()));
    EXPECT_EQ(batch.offsets[2], batch.offsets[1]);
    EXPECT_EQ(batch.offsets[3], 2 * batch.offsets[1]);
    for (std::size_t k = 0; k < detailed.size(); ++k) {
        EXPECT_EQ(batch.solutions[k].joints, detailed[k].joints);
    }
}

TEST(ArmIk, ClosestMeasuresRealMotion) {
    Arm arm = Arm::from_robot(Crx::new_10ia());
    arm.lower[5] = -360;
    arm.upper[5] = 360;
    const JointVector source{10, 20, 30, 40, 50, 170};
    const Pose target = arm_fk(arm, source);
    // From J6 = -170 the variant at -190 is 20 degrees away; 170 is 340 away.
    const auto best = arm_ik_closest(arm, target, JointVector{10, 20, 30, 40, 50, -170});
    ASSERT_TRUE(best.has_value());
    EXPECT_NEAR(best->joints[5], -190.0, 1e-6);
    // A NaN joint of the reference is left out: the other five choose.
    const auto left_out = arm_ik_closest(arm, target, JointVector{10, 20, 30, 40, 50, std::nan("")});
    ASSERT_TRUE(left_out.has_value());
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(left_out->joints[i], source[i], 1e-6);
    }
    EXPECT_FALSE(arm_ik_closest(arm, Pose{Quat{}, Vec3{1e5, 0, 0}}, source).has_value());
}

// Configurations exactly on a limit: the solver returns them rounded to
// either side, and the arm must keep them, on the limit.
TEST(ArmIk, SolutionsOnALimitAreKeptOnIt) {
    std::mt19937_64 rng(property_seed());
    constexpr CrxModel kModels[] = {CrxModel::Crx3iA, CrxModel::Crx5iA, CrxModel::Crx10iA,
                                    CrxModel::Crx10iAL, CrxModel::Crx20iAL, CrxModel::Crx30iA};
    for (const CrxModel model : kModels) {
        const Arm arm = Arm::from_model(model);
        // Joints 0..5 but J3 (whose range follows the elbow), then the elbow as 6.
        for (const std::size_t joint : {0u, 1u, 3u, 4u, 5u, 6u}) {
            for (const bool upper : {false, true}) {
                int tried = 0;
                int lost = 0;
                for (int attempt = 0; attempt < 400 && tried < 60; ++attempt) {
                    JointVector q = random_within(rng, arm);
                    if (joint == 6) {
                        q[2] = (upper ? arm.elbow->upper : arm.elbow->lower) - q[1];
                    } else {
                        q[joint] = upper ? arm.upper[joint] : arm.lower[joint];
                    }
                    if (!arm_within_limits(arm, q)) {
                        continue;
                    }
                    ++tried;
                    bool found = false;
                    for (const JointVector& s : arm_ik(arm, arm_fk(arm, q))) {
                        EXPECT_TRUE(arm_within_limits(arm, s));
                        double largest = 0.0;
                        for (std::size_t i = 0; i < 6; ++i) {
                            largest = std::max(largest, std::fabs(s[i] - q[i]));
                        }
                        found = found || largest < 1e-6;
                    }
                    lost += found ? 0 : 1;
                }
                // The solver is least well conditioned at J5 near ±180 and J1
                // near the axis, where it may miss a limit by more than the slack.
                EXPECT_LE(lost, 1) << model_name(model) << " joint " << joint << (upper ? " upper" : " lower");
                EXPECT_GT(tried, 20);
            }
        }
    }
}

// Where the Jacobian loses rank (J5 at 0 or 180) the solver can return a
// configuration on a limit a few 1e-6 degrees beyond it, farther than the
// rounding slack; the arm then finds it on the limit by refining the other
// joints. A configuration really beyond a limit stays out.
TEST(ArmIk, SingularSolutionsOnALimitAreFoundOnIt) {
    std::mt19937_64 rng(property_seed() + 7);
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA, CrxModel::Crx30iA}) {
        const Arm arm = Arm::from_model(model);
        const auto nearest = [&](const JointVector& q) {
            double best = std::numeric_limits<double>::infinity();
            for (const JointVector& s : arm_ik(arm, arm_fk(arm, q))) {
                EXPECT_TRUE(arm_within_limits(arm, s)) << model_name(model);
                double largest = 0.0;
                for (std::size_t i = 0; i < 6; ++i) {
                    largest = std::max(largest, std::fabs(s[i] - q[i]));
                }
                best = std::min(best, largest);
            }
            return best;
        };
        // The home posture with J6 on either limit (found as precisely as the
        // solver places it there, not 90 degrees away).
        EXPECT_LT(nearest(JointVector{0, 0, 0, 0, 0, arm.upper[5]}), 1e-5) << model_name(model);
        EXPECT_LT(nearest(JointVector{0, 0, 0, 0, 0, arm.lower[5]}), 1e-5) << model_name(model);
        for (int n = 0; n < 40; ++n) {
            JointVector q = random_within(rng, arm);
            q[4] = n % 2 == 0 ? 0.0 : 180.0 * (n % 4 == 1 ? 1.0 : -1.0);
            const std::size_t joint = n % 3 == 0 ? 0 : (n % 3 == 1 ? 3 : 5);
            q[joint] = n % 5 < 2 ? arm.lower[joint] : arm.upper[joint];
            if (!arm_within_limits(arm, q)) {
                continue;
            }
            EXPECT_LT(nearest(q), 1e-5) << model_name(model) << " n " << n;
        }
        // Beyond the limit by 1e-4 degrees, away from any loss of rank: not pulled onto it.
        JointVector beyond{10, 20, -10, 30, 45, arm.upper[5] + 1e-4};
        EXPECT_GT(nearest(beyond), 1e-5) << model_name(model);
    }
}

TEST(ArmIk, SnappingReachesOnlyTheSlack) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    JointVector q{190.00000000000003, 0, 0, 0, 45, 0};
    ASSERT_TRUE(arm_snap_to_limits(arm, q));
    EXPECT_EQ(q[0], 190.0);  // exactly on it
    JointVector beyond{190.0 + 1e-6, 0, 0, 0, 45, 0};
    EXPECT_FALSE(arm_snap_to_limits(arm, beyond));
    // The elbow: J3 moves so that J2 + J3 is within the limit.
    JointVector elbow{0, 30, arm.elbow->upper - 30 + 2e-13, 0, 45, 0};
    ASSERT_TRUE(arm_snap_to_limits(arm, elbow));
    EXPECT_LE(elbow[1] + elbow[2], arm.elbow->upper);
    EXPECT_NEAR(elbow[1] + elbow[2], arm.elbow->upper, 1e-12);
    JointVector far_elbow{0, 30, arm.elbow->upper - 30 + 1e-6, 0, 45, 0};
    EXPECT_FALSE(arm_snap_to_limits(arm, far_elbow));
    // The report's case: J1 on its upper limit comes back as -170 + 360.
    const JointVector on_limit{190, 0, 0, 0, 45, 0};
    const auto solutions = arm_ik(arm, arm_fk(arm, on_limit));
    EXPECT_TRUE(std::any_of(solutions.begin(), solutions.end(), [&](const JointVector& s) {
        return s[0] == 190.0 && std::fabs(s[4] - 45.0) < 1e-9 && std::fabs(s[1]) < 1e-9;
    }));
}

// Column j against central differences of fk in joint j (radians).
TEST(ArmJacobian, MatchesCentralDifferences) {
    const Arm arm = installed_arm();
    std::mt19937_64 rng(property_seed() + 1);
    const int count = property_count(300);
    constexpr double h = 1e-6;  // radians
    for (int n = 0; n < count; ++n) {
        const JointVector q = random_within(rng, arm);
        const Jacobian jac = arm_jacobian(arm, q);
        const Pose p0 = arm_fk(arm, q);
        double m0[16];
        iso_into(p0, m0);
        double scale = 0.0;
        for (const auto& row : jac)
            for (const double v : row) scale = std::max(scale, std::fabs(v));
        for (std::size_t j = 0; j < 6; ++j) {
            JointVector plus = q;
            JointVector minus = q;
            plus[j] += h * kRadToDeg;
            minus[j] -= h * kRadToDeg;
            double mp[16];
            double mm[16];
            iso_into(arm_fk(arm, plus), mp);
            iso_into(arm_fk(arm, minus), mm);
            double d[16];
            for (int k = 0; k < 16; ++k) d[k] = (mp[k] - mm[k]) / (2 * h);
            // Angular velocity from dR·Rᵀ (skew-symmetric).
            double w[3] = {0, 0, 0};
            for (int k = 0; k < 3; ++k) {
                w[0] += d[8 + k] * m0[4 + k];  // (dR Rᵀ)[2][1]
                w[1] += d[0 + k] * m0[8 + k];  // (dR Rᵀ)[0][2]
                w[2] += d[4 + k] * m0[0 + k];  // (dR Rᵀ)[1][0]
            }
            const double numeric[6] = {d[3], d[7], d[11], w[0], w[1], w[2]};
            for (std::size_t r = 0; r < 6; ++r) {
                ASSERT_NEAR(jac[r][j], numeric[r], 1e-6 * std::max(scale, 1.0)) << "row " << r << " column " << j;
            }
        }
    }
}

TEST(ArmJacobian, ManipulabilityVanishesAtTheElbowSingularity) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const double regular = arm_manipulability(arm, JointVector{10, 20, 30, 40, 50, 60});
    EXPECT_GT(regular, 1e-3);
    // Forearm along the upper arm's normal with the wrist stretched: J2 + J3 = 90.
    EXPECT_LT(arm_manipulability(arm, JointVector{0, 0, 90, 0, 30, 0}), 1e-9 * 1e3);
    // A tool and a base do not change the measure's zeros, and a base rotation not its value.
    Arm moved = arm;
    moved.base = pose_from_xyzwpr({100, 200, 300, 10, 20, 30});
    EXPECT_NEAR(arm_manipulability(moved, JointVector{10, 20, 30, 40, 50, 60}), regular, 1e-12);
}

TEST(NearRigid, RoundedAndSinglePrecisionPosesAreAccepted) {
    std::mt19937_64 rng(property_seed() + 2);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    for (int n = 0; n < 2000; ++n) {
        const Pose pose = pose_from_xyzwpr({angle(rng) * 3, angle(rng) * 3, angle(rng) * 3, angle(rng),
                                            angle(rng) / 2, angle(rng)});
        double m[16];
        iso_into(pose, m);
        double rounded[16];
        double single[16];
        for (int k = 0; k < 16; ++k) {
            rounded[k] = std::round(m[k] * 1e6) / 1e6;
            single[k] = static_cast<double>(static_cast<float>(m[k]));
        }
        for (const double* values : {static_cast<const double*>(rounded), static_cast<const double*>(single)}) {
            NearRigidFailure failure{};
            const auto got = pose_from_near_rigid(values, failure);
            ASSERT_TRUE(got.has_value()) << "distance " << failure.distance;
            EXPECT_LE(matrix_error(*got, pose), 2e-6 * 3e3);
            double back[16];
            iso_into(*got, back);
            for (int k = 0; k < 12; ++k) {
                if (k % 4 != 3) {
                    EXPECT_NEAR(back[k], m[k], 2e-6);
                }
            }
        }
    }
}

TEST(NearRigid, ExactPosesAreReadExactly) {
    const Pose pose = fk(Crx::new_10ia(), JointVector{10, 20, 30, 40, 50, 60});
    double m[16];
    iso_into(pose, m);
    NearRigidFailure failure{};
    std::string_view error;
    EXPECT_EQ(pose_from_near_rigid(m, failure), row_slice_to_iso(m, 16, error));
}

TEST(NearRigid, FailuresSayHowFar) {
    double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    NearRigidFailure failure{};
    m[10] = 1.001;
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    EXPECT_EQ(failure.reason, NearRigidFailure::Reason::Rotation);
    EXPECT_NEAR(failure.distance, 1e-3, 1e-9);
    m[10] = 1.0 + 1.5e-6;
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    m[10] = 1.0 + 0.9e-6;
    EXPECT_TRUE(pose_from_near_rigid(m, failure).has_value());
    m[10] = -1.0;
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    EXPECT_EQ(failure.reason, NearRigidFailure::Reason::Reflection);
    m[10] = 1.0;
    m[15] = 1.0 + 2e-9;
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    EXPECT_EQ(failure.reason, NearRigidFailure::Reason::LastRow);
    EXPECT_NEAR(failure.distance, 2e-9, 1e-15);
    m[15] = 1.0 + 0.5e-9;
    EXPECT_TRUE(pose_from_near_rigid(m, failure).has_value());
    m[15] = 1.0;
    m[7] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    EXPECT_EQ(failure.reason, NearRigidFailure::Reason::NonFinite);
    m[7] = 0.0;
    m[1] = std::nan("");
    EXPECT_FALSE(pose_from_near_rigid(m, failure).has_value());
    EXPECT_EQ(failure.reason, NearRigidFailure::Reason::NonFinite);
}

TEST(NearRigid, MessagesNameTheDistanceAndTolerance) {
    using Reason = NearRigidFailure::Reason;
    EXPECT_EQ(near_rigid_message({Reason::NonFinite, std::nan("")}),
              "expected finite entries, got a matrix with NaN or infinity");
    EXPECT_EQ(near_rigid_message({Reason::LastRow, 2e-9}), "the last row is 2e-09 from 0 0 0 1 (tolerance 1e-09)");
    EXPECT_EQ(near_rigid_message({Reason::Reflection, -1.0}),
              "the rotation part has determinant -1, expected a rotation (determinant 1)");
    EXPECT_EQ(near_rigid_message({Reason::Rotation, 0.0012345}),
              "the rotation part is 0.00123 from the nearest rotation (tolerance 1e-06)");
    // Three digits whatever the size, infinity included.
    EXPECT_EQ(near_rigid_message({Reason::Rotation, 123456.0}),
              "the rotation part is 1.23e+05 from the nearest rotation (tolerance 1e-06)");
    EXPECT_EQ(near_rigid_message({Reason::LastRow, std::numeric_limits<double>::infinity()}),
              "the last row is inf from 0 0 0 1 (tolerance 1e-09)");
    EXPECT_EQ(near_rigid_message({static_cast<Reason>(9), 0.0}), "not a rigid transform");
}

TEST(ArmHash, EqualArmsHashEqual) {
    const Arm arm = installed_arm();
    EXPECT_EQ(hash_value(arm), hash_value(installed_arm()));
    // Signed zeros compare equal, so they must hash equal.
    Arm zeros = Arm::from_robot(Crx::new_5ia());
    Arm signed_zeros = zeros;
    signed_zeros.base.t = {-0.0, -0.0, -0.0};
    signed_zeros.tool.q.x = -0.0;
    signed_zeros.lower[0] = 0.0;
    zeros.lower[0] = -0.0;
    ASSERT_EQ(zeros, signed_zeros);
    EXPECT_EQ(hash_value(zeros), hash_value(signed_zeros));
}

TEST(ArmHash, EveryFieldCounts) {
    const Arm arm = installed_arm();
    const std::size_t hash = hash_value(arm);
    std::vector<Arm> changed(9, arm);
    changed[0].robot.y1 += 1.0;
    changed[1].base.t[2] += 1.0;
    changed[2].tool.q.w = -changed[2].tool.q.w;
    changed[3].lower[5] -= 1.0;
    changed[4].upper[0] -= 1.0;
    changed[5].max_speed[3] = 1.0;
    changed[6].elbow.reset();
    changed[7].elbow->upper = 250.0;
    changed[8].model = CrxModel::Crx10iAL;  // the same dimensions
    for (std::size_t i = 0; i < changed.size(); ++i) {
        EXPECT_NE(hash_value(changed[i]), hash) << "change " << i;
    }
    // A robot without a model is not the model that has its dimensions.
    Arm anonymous = Arm::from_model(CrxModel::Crx5iA);
    anonymous.model.reset();
    EXPECT_NE(hash_value(anonymous), hash_value(Arm::from_model(CrxModel::Crx5iA)));
}

}  // namespace
}  // namespace ortholink
