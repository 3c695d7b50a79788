// Seeded property tests of the whole solver. ORTHOLINK_PROPERTY_SEED and
// ORTHOLINK_PROPERTY_COUNT (targets per model) change the sample.
//
// The random suite checks that the generating joints come back. The targeted
// suite samples the places where the circle formulation degenerates; there only
// the contract of every returned solution is asserted, and how many targets
// recover their generating joints is printed, e.g. with
//   ortholink_tests --gtest_filter='IkProperty.*'

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ik/support.hpp"
#include "ortholink/ik.hpp"

namespace ortholink::solver {
namespace {

using support::key_points;
using support::matrix_error;
using support::nearest;

// Generating joints count as recovered within this joint distance (radians).
constexpr double kRecovered = 1e-6;

std::string describe(const JointVector& j) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g, %.17g, %.17g, %.17g)", j[0], j[1], j[2], j[3], j[4], j[5]);
    return buf;
}

// What every answer must satisfy, whatever the target.
void check_contract(const Crx& robot, const Pose& target, const std::vector<IkSolution>& solutions,
                    const JointVector& source) {
    for (std::size_t i = 0; i < solutions.size(); ++i) {
        const IkSolution& s = solutions[i];
        ASSERT_LE(s.residual, kAcceptResidual) << describe(source);
        // Checked again apart from the solver's residual.
        ASSERT_LE(matrix_error(fk(robot, s.joints), target), kAcceptResidual + 1e-12) << describe(source);
        for (const double j : s.joints) {
            ASSERT_TRUE(std::isfinite(j)) << describe(source);
        }
        for (std::size_t k = 0; k < i; ++k) {
            ASSERT_GE(joint_distance(s.joints, solutions[k].joints), kDuplicateDistance) << describe(source);
        }
    }
}

double uniform_angle(std::mt19937_64& rng) {
    return std::uniform_real_distribution<double>(-180.0, 180.0)(rng);
}

JointVector random_joints(std::mt19937_64& rng) {
    JointVector j;
    for (double& v : j) {
        v = uniform_angle(rng);
    }
    return j;
}

// True near the fold J2 + J3 = 270 (mod 360) of a robot with z1 = x1, where
// the wrist point approaches the base origin: the targeted suite covers it.
bool near_fold(const Crx& robot, const JointVector& j) {
    constexpr double kFoldBandDeg = 1.0;
    return robot.z1 == robot.x1 &&
           std::fabs(support::angle_diff_deg(j[1] + j[2], 270.0)) < kFoldBandDeg;
}

TEST(IkProperty, RandomTargetsRecoverTheirJoints) {
    const int count = support::property_count(4000);
    int skipped = 0;
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        std::mt19937_64 rng(support::property_seed() + static_cast<unsigned>(model));
        int histogram[17] = {};
        for (int n = 0; n < count; ++n) {
            const JointVector joints = random_joints(rng);
            if (near_fold(robot, joints)) {
                ++skipped;
                continue;
            }
            const Pose target = fk(robot, joints);
            const auto solutions = ik(robot, target);
            check_contract(robot, target, solutions, joints);
            if (HasFatalFailure()) {
                return;
            }
            ASSERT_LT(nearest(solutions, joints), kRecovered)
                << model_name(model) << " lost " << describe(joints) << " among " << solutions.size();
            ++histogram[std::min<std::size_t>(solutions.size(), 16)];
        }
        std::printf("[ property ] %-8s %d targets, solution counts:", model_name(model).data(), count);
        for (int k = 0; k <= 16; ++k) {
            if (histogram[k] != 0) {
                std::printf(" %d:%d", k, histogram[k]);
            }
        }
        std::printf("\n");
    }
    std::printf("[ property ] %d samples within 1 deg of the fold J2 + J3 = 270 skipped\n", skipped);
}

// ------------------------------------------------------------ targeted sets

struct Tally {
    int targets = 0;
    int recovered = 0;       // generating joints among the solutions
    int with_solutions = 0;  // at least one solution
    int near = 0;            // a solution within 0.1 degree of the generating joints
    int kinds[3] = {};
};

// Draws generating joints for one target (nothing to reject the draw) and the
// target to solve for them.
using Generator = std::function<std::optional<JointVector>(const Crx&, std::mt19937_64&)>;
using Placement = std::function<Pose(const Crx&, const JointVector&)>;

Pose at_fk(const Crx& robot, const JointVector& joints) {
    return fk(robot, joints);
}

Tally run_set(const Crx& robot, int count, std::mt19937_64& rng, const Generator& draw,
              const Placement& place = at_fk) {
    Tally t;
    int attempts = 0;
    while (t.targets < count && attempts < 50 * count) {
        ++attempts;
        const auto joints = draw(robot, rng);
        if (!joints) {
            continue;
        }
        const Pose target = place(robot, *joints);
        const auto solutions = ik(robot, target);
        check_contract(robot, target, solutions, *joints);
        ++t.targets;
        const double d = nearest(solutions, *joints);
        t.recovered += d < kRecovered ? 1 : 0;
        t.near += d < 0.1 * kDegToRad ? 1 : 0;
        t.with_solutions += solutions.empty() ? 0 : 1;
        for (const IkSolution& s : solutions) {
            ++t.kinds[static_cast<int>(s.kind)];
        }
    }
    return t;
}

int targeted_count() {
    return std::max(1, support::property_count(4000) / 20);
}

double random_sign(std::mt19937_64& rng) {
    return std::uniform_int_distribution<int>(0, 1)(rng) == 0 ? -1.0 : 1.0;
}

TEST(IkProperty, WristPointOnTheJ1Axis) {
    const int count = targeted_count();
    for (const double offset : {0.0, 1e-6, 1e-4, 1e-2, 1.0, 10.0}) {  // mm from the axis
        for (const CrxModel model : support::kAllModels) {
            const Crx robot = Crx::from_model(model);
            std::mt19937_64 rng(support::property_seed() + 101);
            // z1·sin J2 + x1·cos J3 = offset: the radial distance of o4.
            const Tally t = run_set(robot, count, rng, [offset](const Crx& r, std::mt19937_64& g) {
                std::optional<JointVector> out;
                JointVector j = random_joints(g);
                const double s = (offset - r.x1 * std::cos(j[2] * kDegToRad)) / r.z1;
                if (std::fabs(s) > 1.0) {
                    return out;
                }
                const double j2 = std::asin(s) * kRadToDeg;
                j[1] = random_sign(g) > 0 ? j2 : wrap_angle((180.0 - j2) * kDegToRad) * kRadToDeg;
                // Keep away from the base origin (the other set): with z1 = x1
                // one of the two J2 branches always folds the arm onto it.
                const double height = r.z1 * std::cos(j[1] * kDegToRad) + r.x1 * std::sin(j[2] * kDegToRad);
                if (std::fabs(height) > 0.05 * r.z1) {
                    out = j;
                }
                return out;
            });
            if (HasFatalFailure()) {
                return;
            }
            char parameter[32];
            std::snprintf(parameter, sizeof parameter, "%g mm", offset);
            std::printf("[ targeted ] axis       %-10s %-8s recovered %4d/%-4d near %4d solved %4d kinds R/A/S %d/%d/%d\n",
                        parameter, model_name(model).data(), t.recovered, t.targets, t.near, t.with_solutions,
                        t.kinds[0], t.kinds[1], t.kinds[2]);
            if (offset == 0.0) {
                // The wrist point is exactly on the axis for the generating joints.
                EXPECT_GT(t.kinds[static_cast<int>(SolutionKind::AxisDegenerate)], 0) << model_name(model);
            }
        }
    }
}

TEST(IkProperty, WristPointAtTheOrigin) {
    const int count = targeted_count();
    for (const double fold : {0.0, 1e-6, 1e-4, 1e-2, 0.1, 1.0}) {  // degrees off J2 + J3 = 270
        for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx10iA}) {
            const Crx robot = Crx::from_model(model);
            std::mt19937_64 rng(support::property_seed() + 202);
            const Tally t = run_set(robot, count, rng, [fold](const Crx&, std::mt19937_64& g) {
                JointVector j = random_joints(g);
                j[2] = 270.0 + random_sign(g) * fold - j[1];
                return std::optional<JointVector>(j);
            });
            if (HasFatalFailure()) {
                return;
            }
            char parameter[32];
            std::snprintf(parameter, sizeof parameter, "%g deg", fold);
            std::printf("[ targeted ] origin     %-10s %-8s recovered %4d/%-4d near %4d solved %4d kinds R/A/S %d/%d/%d\n",
                        parameter, model_name(model).data(), t.recovered, t.targets, t.near, t.with_solutions,
                        t.kinds[0], t.kinds[1], t.kinds[2]);
            if (fold == 0.0) {
                // A family of solutions, represented at least once.
                EXPECT_EQ(t.with_solutions, t.targets) << model_name(model);
                EXPECT_GE(t.kinds[static_cast<int>(SolutionKind::SingularFamily)], t.targets) << model_name(model);
            }
        }
    }
}

TEST(IkProperty, J5NearZero) {
    const int count = targeted_count();
    for (const double j5 : {0.0, 1e-6, 1e-3, 0.1, 1.0}) {
        for (const CrxModel model : support::kAllModels) {
            const Crx robot = Crx::from_model(model);
            std::mt19937_64 rng(support::property_seed() + 303);
            const Tally t = run_set(robot, count, rng, [j5](const Crx& r, std::mt19937_64& g) {
                std::optional<JointVector> out;
                JointVector j = random_joints(g);
                j[4] = random_sign(g) * j5;
                if (!near_fold(r, j)) {
                    out = j;
                }
                return out;
            });
            if (HasFatalFailure()) {
                return;
            }
            char parameter[32];
            std::snprintf(parameter, sizeof parameter, "J5 %g", j5);
            std::printf("[ targeted ] wrist      %-10s %-8s recovered %4d/%-4d near %4d solved %4d kinds R/A/S %d/%d/%d\n",
                        parameter, model_name(model).data(), t.recovered, t.targets, t.near, t.with_solutions,
                        t.kinds[0], t.kinds[1], t.kinds[2]);
            EXPECT_EQ(t.with_solutions, t.targets) << model_name(model);
        }
    }
}

TEST(IkProperty, ArmStretchedOut) {
    const int count = targeted_count();
    for (const double bend : {0.0, 1e-6, 1e-3, 0.1, 1.0}) {  // degrees off J2 + J3 = 90
        for (const CrxModel model : support::kAllModels) {
            const Crx robot = Crx::from_model(model);
            std::mt19937_64 rng(support::property_seed() + 404);
            const Tally t = run_set(robot, count, rng, [bend](const Crx&, std::mt19937_64& g) {
                JointVector j = random_joints(g);
                j[2] = 90.0 + random_sign(g) * bend - j[1];
                return std::optional<JointVector>(j);
            });
            if (HasFatalFailure()) {
                return;
            }
            char parameter[32];
            std::snprintf(parameter, sizeof parameter, "%g deg", bend);
            std::printf("[ targeted ] stretched  %-10s %-8s recovered %4d/%-4d near %4d solved %4d kinds R/A/S %d/%d/%d\n",
                        parameter, model_name(model).data(), t.recovered, t.targets, t.near, t.with_solutions,
                        t.kinds[0], t.kinds[1], t.kinds[2]);
            EXPECT_EQ(t.with_solutions, t.targets) << model_name(model);
        }
    }
}

TEST(IkProperty, WorkspaceBoundary) {
    // The arm stretched out puts o4 at its largest distance z1 + x1 from the
    // origin; the flange is then moved along o4 by `push` millimetres, inwards
    // (negative) or outwards. Only the exact case has the generating joints
    // as a solution; "near" counts targets with a solution within 0.1 degree.
    const int count = targeted_count();
    for (const double push : {-1.0, -1e-3, -1e-6, 0.0, 1e-6, 1e-3, 1.0}) {
        for (const CrxModel model : support::kAllModels) {
            const Crx robot = Crx::from_model(model);
            std::mt19937_64 rng(support::property_seed() + 505);
            const Tally t = run_set(
                robot, count, rng,
                [](const Crx&, std::mt19937_64& g) {
                    JointVector j = random_joints(g);
                    j[2] = 90.0 - j[1];
                    return std::optional<JointVector>(j);
                },
                [push](const Crx& r, const JointVector& j) {
                    Pose target = fk(r, j);
                    const auto k = key_points(r, j);
                    const double n = std::sqrt(dot(k.o4, k.o4));
                    for (int i = 0; i < 3; ++i) {
                        target.t[i] += push * k.o4[i] / n;
                    }
                    return target;
                });
            if (HasFatalFailure()) {
                return;
            }
            char parameter[32];
            std::snprintf(parameter, sizeof parameter, "%+g mm", push);
            std::printf("[ targeted ] boundary   %-10s %-8s recovered %4d/%-4d near %4d solved %4d kinds R/A/S %d/%d/%d\n",
                        parameter, model_name(model).data(), t.recovered, t.targets, t.near, t.with_solutions,
                        t.kinds[0], t.kinds[1], t.kinds[2]);
        }
    }
}

}  // namespace
}  // namespace ortholink::solver
