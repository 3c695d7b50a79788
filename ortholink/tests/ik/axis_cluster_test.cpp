// Axis angles that crowd where the circle of o4 only touches the J1 axis (the
// flange z axis horizontal), merged for the arm-level solver: one angle per
// place, the ordinary solutions next to it still found, and nothing changed
// where the angles do not crowd. ORTHOLINK_PROPERTY_SEED and
// ORTHOLINK_PROPERTY_COUNT change the seeded sets.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string_view>
#include <vector>

#include "ik/axis_cluster.hpp"
#include "ik/ik.hpp"
#include "ik/plane_sweep.hpp"
#include "ik/support.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink::solver {
namespace {

// The flange `short_mm` below where it is with the arm stretched straight up
// ([0, 0, 90, 0, -90, 0]), moved along the J1 axis: o4 touches the axis for
// one circle angle and the elbow circle is a few millimetres wide.
Pose up_the_axis(const Crx& robot, double short_mm) {
    Pose target = fk(robot, JointVector{0.0, 0.0, 90.0, 0.0, -90.0, 0.0});
    target.t[2] -= short_mm;
    return target;
}

Pose from_matrix(const std::array<double, 16>& m) {
    std::string_view error;
    const auto pose = row_slice_to_iso(m.data(), m.size(), error);
    EXPECT_TRUE(pose.has_value()) << error;
    return pose.value_or(Pose{});
}

// A target whose circle of o4 touches the J1 axis at the end of its
// horizontal projection: the flange z axis horizontal at azimuth a, the
// flange turned by b about it, the J5 origin y1 (plus `along`) from the axis
// at height z.
Pose touching(const Crx& robot, double a, double b, double z, double along) {
    const Vec3 fz{std::cos(a), std::sin(a), 0.0};
    const Vec3 h{-std::sin(a), std::cos(a), 0.0};
    const Vec3 v = cross(fz, h);
    Vec3 fx;
    Vec3 fy;
    for (int k = 0; k < 3; ++k) {
        fx[k] = std::cos(b) * h[k] + std::sin(b) * v[k];
        fy[k] = -std::sin(b) * h[k] + std::cos(b) * v[k];
    }
    const double r = robot.y1 + along;
    const Vec3 o5{r * h[0], r * h[1], z};
    return from_matrix({fx[0], fy[0], fz[0], o5[0] + robot.x2 * fz[0], fx[1], fy[1], fz[1], o5[1] + robot.x2 * fz[1],
                        fx[2], fy[2], fz[2], z, 0.0, 0.0, 0.0, 1.0});
}

double horizontal_gap(const solver::Setup& setup, double theta) {
    const Vec3 p = setup.wrist_point(setup.direction(std::sin(theta), std::cos(theta)));
    return std::hypot(p[0], p[1]);
}

bool same_joints(const std::vector<IkSolution>& a, const std::vector<IkSolution>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].joints != b[i].joints || a[i].kind != b[i].kind) {
            return false;
        }
    }
    return true;
}

// J1 and J4 within a hundredth of a degree of coaxial: J2 at 0 or 180, the
// forearm vertical.
bool nearly_coaxial(const JointVector& q) {
    const double j2 = std::fabs(std::remainder(q[1], 180.0));
    const double j3 = std::fabs(std::fabs(std::remainder(q[2], 180.0)) - 90.0);
    return j2 < 0.01 && j3 < 0.01;
}

// Each converged solution of ik (pose error at most 1e-12) has one of
// `merged` within 2e-3 rad, or, next to the coaxial J1/J4 family, one on the
// same line J1 + t, J4 ± t (a near-family's members solve it along that line
// to rounding, and which of them comes out depends on rounding).
int unmatched(const std::vector<IkSolution>& ik_solutions, const std::vector<IkSolution>& merged) {
    int missing = 0;
    for (const IkSolution& s : ik_solutions) {
        if (s.residual > 1e-12) {
            continue;
        }
        bool found = false;
        for (const IkSolution& t : merged) {
            found = found || joint_distance(s.joints, t.joints) < 2e-3;
            for (const double sign : {1.0, -1.0}) {
                JointVector moved = t.joints;
                moved[0] = s.joints[0];
                moved[3] += sign * (s.joints[0] - t.joints[0]);
                found = found || (nearly_coaxial(s.joints) && joint_distance(s.joints, moved) < 2e-3);
            }
        }
        if (!found) {
            ADD_FAILURE() << "unmatched [" << s.joints[0] << ", " << s.joints[1] << ", " << s.joints[2] << ", " << s.joints[3]
                          << ", " << s.joints[4] << ", " << s.joints[5] << "] kind " << static_cast<int>(s.kind)
                          << " residual " << s.residual;
        }
        missing += found ? 0 : 1;
    }
    return missing;
}

TEST(AxisCluster, TouchingCircleMergesIntoOneAngleOnTheAxis) {
    const Crx robot = Crx::new_10ia();
    for (const double short_mm : {100.0, 1.0, 0.05}) {
        const solver::Setup setup(robot, up_the_axis(robot, short_mm));
        const AxisThetas found = axis_thetas(setup);
        ASSERT_GE(found.size(), 3u) << "no crowd to merge at " << short_mm;
        AxisThetas axis = found;
        AxisClusters clusters;
        merge_axis_clusters(setup, axis, clusters);
        ASSERT_EQ(axis.size(), 1u);
        ASSERT_EQ(clusters.size(), 1u);
        EXPECT_EQ(clusters[0].theta, axis[0]);
        // Newton on the squared distance stops 1e-4 rad short; the merged
        // angle is on the axis to rounding.
        EXPECT_LE(horizontal_gap(setup, axis[0]), 1e-10 * robot.z1);
        for (const double theta : found) {
            EXPECT_GT(horizontal_gap(setup, theta), horizontal_gap(setup, axis[0]));
            const double offset = wrap_angle(theta - axis[0]);
            EXPECT_GE(axis[0] + offset, clusters[0].lo);
            EXPECT_LE(axis[0] + offset, clusters[0].hi);
        }
        EXPECT_GT(clusters[0].outer, clusters[0].inner);
    }
}

TEST(AxisCluster, NothingChangesWhereTheAnglesDoNotCrowd) {
    const Crx robot = Crx::new_10ia();
    std::mt19937_64 rng(support::property_seed());
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    std::vector<Pose> targets;
    // The J5 origin on the J1 axis with the flange z axis horizontal: o4
    // crosses the axis twice, at angles half a turn apart.
    for (const double z : {500.0, 800.0, 1100.0}) {
        targets.push_back(from_matrix({0.0, 0.0, 1.0, robot.x2, 0.0, 1.0, 0.0, 0.0, -1.0, 0.0, 0.0, z, 0.0, 0.0, 0.0, 1.0}));
    }
    for (int i = 0; i < support::property_count(400); ++i) {
        JointVector q;
        for (double& v : q) {
            v = angle(rng);
        }
        if (i % 2 == 1) {
            q[4] = 90.0;  // flange z perpendicular to the forearm
        }
        targets.push_back(fk(robot, q));
    }
    int crowded = 0;
    for (const Pose& target : targets) {
        const solver::Setup setup(robot, target);
        AxisThetas axis = axis_thetas(setup);
        const AxisThetas before = axis;
        AxisClusters clusters;
        merge_axis_clusters(setup, axis, clusters);
        if (!clusters.empty()) {
            ++crowded;
            continue;
        }
        ASSERT_EQ(axis.size(), before.size());
        for (std::size_t k = 0; k < axis.size(); ++k) {
            EXPECT_EQ(axis[k], before[k]);
        }
        EXPECT_TRUE(same_joints(ik(robot, target), ik_merged(robot, target)));
    }
    EXPECT_LE(crowded, 2);
}

TEST(IkMerged, UpTheAxisToStretchKeepsEverySolution) {
    const Crx robot = Crx::new_10ia();
    // From 200 mm to 0.05 mm short of full stretch: ik loses two of the four
    // axis solutions near 1 mm, and the two ordinary ones with o4 a few
    // 1e-4 mm off the axis come from its crowded angles only by chance.
    int axis_total = 0;
    for (int i = 0; i <= 40; ++i) {
        const double short_mm = 0.05 + 199.95 * std::pow(1.0 - i / 40.0, 3.0);
        const Pose target = up_the_axis(robot, short_mm);
        const auto from_ik = ik(robot, target);
        const auto merged = ik_merged(robot, target);
        EXPECT_EQ(unmatched(from_ik, merged), 0) << short_mm << " mm short";
        int axis_count = 0;
        for (const IkSolution& s : merged) {
            EXPECT_LE(s.residual, 1e-11) << short_mm << " mm short";
            axis_count += s.kind == SolutionKind::AxisDegenerate ? 1 : 0;
        }
        EXPECT_EQ(axis_count, 4) << short_mm << " mm short";
        axis_total += axis_count;
        EXPECT_GE(merged.size(), 10u) << short_mm << " mm short";
    }
    EXPECT_EQ(axis_total, 4 * 41);
    // Closest to the stretch the ordinary pair next to the axis (J1 = ±90,
    // the elbow bent a tenth of a degree).
    for (const double short_mm : {0.25, 0.05}) {
        const auto merged = ik_merged(robot, up_the_axis(robot, short_mm));
        int near_axis = 0;
        for (const IkSolution& s : merged) {
            near_axis += s.kind == SolutionKind::Regular && std::fabs(std::fabs(s.joints[0]) - 90.0) < 1e-3 &&
                                 std::fabs(s.joints[1]) < 0.2 && std::fabs(s.joints[4] + 90.0) < 1e-3
                             ? 1
                             : 0;
        }
        EXPECT_EQ(near_axis, 2) << short_mm << " mm short";
    }
}

TEST(IkMerged, TouchingTargetsKeepEveryConvergedSolution) {
    std::mt19937_64 rng(support::property_seed() + 11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int count = support::property_count(150);
    for (const CrxModel model : {CrxModel::Crx10iA, CrxModel::Crx5iA, CrxModel::Crx20iAL}) {
        const Crx robot = Crx::from_model(model);
        const double reach = robot.z1 + robot.x1;
        int crowded = 0;
        for (int i = 0; i < count; ++i) {
            const double a = 2.0 * 3.141592653589793 * unit(rng);
            const double b = 2.0 * 3.141592653589793 * unit(rng);
            const double sign = unit(rng) < 0.5 ? -1.0 : 1.0;
            double z = -0.6 * reach + 1.6 * reach * unit(rng);
            double along = 0.0;
            if (i % 3 == 1) {
                along = std::pow(10.0, -9.0 + 6.0 * unit(rng)) * (unit(rng) < 0.5 ? -1.0 : 1.0);
            } else if (i % 3 == 2) {
                z = sign * (reach - std::pow(10.0, -3.0 + 4.0 * unit(rng)));  // next to full stretch
            }
            const Pose target = touching(robot, a, b, z, along);
            AxisThetas axis = axis_thetas(solver::Setup(robot, target));
            AxisClusters clusters;
            merge_axis_clusters(solver::Setup(robot, target), axis, clusters);
            crowded += clusters.empty() ? 0 : 1;
            const auto merged = ik_merged(robot, target);
            EXPECT_EQ(unmatched(ik(robot, target), merged), 0) << "model " << static_cast<int>(model) << " #" << i;
            for (const IkSolution& s : merged) {
                EXPECT_LE(s.residual, kAcceptResidual);
            }
        }
        EXPECT_GT(crowded, count / 2) << "the set should mostly crowd";
    }
}

// The J5 origin on the J1 axis with the flange z axis horizontal: the plane
// of the circle of o4 holds the axis, every plane through the axis meets the
// circle where o4 crosses it, and the arm leaves out the sweep over those
// planes: the same solutions bit for bit.
TEST(IkMerged, CirclePlaneHoldingTheAxisGivesTheSameSolutions) {
    std::mt19937_64 rng(support::property_seed() + 5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx10iA, CrxModel::Crx30iA}) {
        const Crx robot = Crx::from_model(model);
        const double reach = robot.z1 + robot.x1;
        for (int i = 0; i < support::property_count(200); ++i) {
            double a = 2.0 * 3.141592653589793 * unit(rng);
            double b = 2.0 * 3.141592653589793 * unit(rng);
            if (i % 3 == 0) {  // whole multiples of 45 and 90 degrees, as taught poses have
                a = std::round(a / (3.141592653589793 / 4.0)) * (3.141592653589793 / 4.0);
                b = std::round(b / (3.141592653589793 / 2.0)) * (3.141592653589793 / 2.0);
            }
            const Pose target = touching(robot, a, b, -0.8 * reach + 1.8 * reach * unit(rng), -robot.y1);
            ASSERT_TRUE(circle_plane_holds_axis(solver::Setup(robot, target)));
            EXPECT_TRUE(same_joints(ik(robot, target), ik_merged(robot, target)))
                << "model " << static_cast<int>(model) << " #" << i;
        }
    }
    // The circle's plane a micrometre off the axis: the planes are swept again.
    const Crx robot = Crx::new_10ia();
    Pose shifted = touching(robot, 0.3, 0.2, 700.0, -robot.y1);
    shifted.t[0] += 1e-3 * std::cos(0.3);
    shifted.t[1] += 1e-3 * std::sin(0.3);
    EXPECT_TRUE(circle_plane_holds_axis(solver::Setup(robot, touching(robot, 0.3, 0.2, 700.0, -robot.y1))));
    EXPECT_FALSE(circle_plane_holds_axis(solver::Setup(robot, shifted)));
}

}  // namespace
}  // namespace ortholink::solver
