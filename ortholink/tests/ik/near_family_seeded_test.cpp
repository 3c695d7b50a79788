// Targets next to a continuous family of solutions, and the wrist point next
// to the J1 axis: the arm upright with J2 a few 1e-5 degrees off 0 (next to
// the coaxial J1/J4 family), the equal-arm models near their elbow fold, the
// wrist point o4 within 1e-4 to 1e-6 mm of the J1 axis, and the J5 origin on
// the axis. The joints a target was made from must come back.
//
// ORTHOLINK_NEAR_FAMILY_COUNT sets the targets per model and set (default
// 2,000). A generator not returned counts as missed unless a solution 1e-4
// rad or less from it is ("near": the same solution polished less far), a
// member of its numerical family is ("numerical": joined to it by points that
// all reach the target to rounding), or a family member stands in for it
// where the target really has a family ("family instead").

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ik/polish.hpp"
#include "ik/support.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/xyzwpr.hpp"

namespace ortholink::solver {
namespace {

constexpr double kFound = 1e-6;  // radians, joint distance
constexpr double kNear = 1e-4;   // nearer is the same solution polished less far, not a loss
// Farthest (radians) a member of a generator's numerical family is looked for,
// and the points of the segment to it that are checked.
constexpr double kNumericalFamily = 1e-3;
constexpr int kSegmentPoints = 20;

struct Tally {
    long targets = 0;
    long found = 0;
    long near = 0;
    long numerical = 0;       // a member of its numerical family returned instead
    long family_instead = 0;  // not found, but a family member is returned for it
    long missed = 0;
    std::vector<std::string> examples;
};

std::string describe(const JointVector& j) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g, %.17g, %.17g, %.17g)", j[0], j[1], j[2], j[3], j[4], j[5]);
    return buf;
}

// True when a solution within 1e-3 rad of q is joined to it by a segment of
// joint space every point of which refines to a pose error of at most 1e-12
// while moving at most 1e-8 rad: in double precision the target does not
// tell the two apart (a numerical family, next to a real one).
bool numerical_family(const Crx& robot, const Pose& target, const JointVector& q,
                      const std::vector<IkSolution>& solutions) {
    for (const IkSolution& s : solutions) {
        if (!(joint_distance(s.joints, q) < kNumericalFamily)) {
            continue;
        }
        bool joined = true;
        for (int k = 0; k <= kSegmentPoints && joined; ++k) {
            JointVector p;
            for (int i = 0; i < 6; ++i) {
                // The nearer way round, as joint_distance measures.
                const double step = std::remainder(s.joints[i] - q[i], 360.0);
                p[i] = q[i] + step * k / kSegmentPoints;
            }
            PolishTrace trace;
            const JointVector refined = polish_joints(robot, p, target, &trace);
            joined = trace.final_error <= 1e-12 && joint_distance(refined, p) <= 1e-8;
        }
        if (joined) {
            return true;
        }
    }
    return false;
}

void judge(const Crx& robot, const JointVector& q, Tally& t) {
    ++t.targets;
    const std::vector<IkSolution> solutions = ik(robot, fk(robot, q));
    const double nearest = support::nearest(solutions, q);
    if (nearest < kFound) {
        ++t.found;
        return;
    }
    if (nearest < kNear) {
        ++t.near;
        return;
    }
    if (numerical_family(robot, fk(robot, q), q, solutions)) {
        ++t.numerical;
        return;
    }
    bool family = false;
    for (const IkSolution& s : solutions) {
        family = family || s.kind != SolutionKind::Regular;
    }
    ++(family ? t.family_instead : t.missed);
    if (t.examples.size() < 4) {
        t.examples.push_back(describe(q) + " -> " + std::to_string(solutions.size()) + " solutions");
    }
}

void report(const char* set, CrxModel model, const Tally& t) {
    std::printf(
        "[ near-family ] %-12s %-8s targets %7ld found %7ld near %4ld numerical %3ld family instead %4ld missed %ld\n",
        set, std::string(model_name(model)).c_str(), t.targets, t.found, t.near, t.numerical, t.family_instead,
        t.missed);
    for (const auto& e : t.examples) {
        std::printf("                %s\n", e.c_str());
    }
}

JointVector random_joints(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    JointVector q;
    for (double& v : q) {
        v = angle(rng);
    }
    return q;
}

long count() {
    return static_cast<long>(support::env_u64("ORTHOLINK_NEAR_FAMILY_COUNT", 2000));
}

std::uint64_t seed() {
    return support::env_u64("ORTHOLINK_COMPLETENESS_SEED", 20261208ULL);
}

// The arm upright, J2 = 1e-5: o4 is 9.4e-5 mm off the J1 axis, inside the
// on-axis tolerance, and the axis angle's representative (J1 = 0) misses the
// target by 5e-5; the generator used to be lost (the nearest solution 15.8
// degrees away). With J2 = 1e-3 the regular roots find it.
TEST(NearFamilySeeded, UprightArmReturnsItsGenerator) {
    const Crx robot = Crx::new_10ia();
    for (const double j2 : {1e-5, -1e-5, 3e-5, 1e-3}) {
        const JointVector q{30.0, j2, 90.0, -90.0, 90.0, 70.0};
        const auto solutions = ik(robot, fk(robot, q));
        EXPECT_LT(support::nearest(solutions, q), kFound) << describe(q);
    }
}

// J2 within 1e-6 .. 3e-5 degrees of 0 with the forearm vertical, on the
// models with unequal and equal arms.
TEST(NearFamilySeeded, UprightArmSeeded) {
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA, CrxModel::Crx30iA}) {
        const Crx robot = Crx::from_model(model);
        std::mt19937_64 rng(seed() + 101 + static_cast<unsigned>(model));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        Tally t;
        for (long i = 0; i < count(); ++i) {
            JointVector q = random_joints(rng);
            q[1] = (unit(rng) < 0.5 ? -1.0 : 1.0) * std::pow(10.0, -6.0 + 1.5 * unit(rng));
            q[2] = unit(rng) < 0.5 ? 90.0 : -90.0;
            judge(robot, q, t);
        }
        report("upright", model, t);
        EXPECT_EQ(t.missed, 0) << model_name(model);
    }
}

// Generators near the elbow fold of the equal-arm models (J2 + J3 = -90 +
// 0.02 .. 1 degrees) and one at 0.01 degrees on the CRX-5iA that were lost;
// they depend on their last bits.
TEST(NearFamilySeeded, NearFoldReproducers) {
    struct Case {
        CrxModel model;
        JointVector q;
    };
    const Case cases[] = {
        {CrxModel::Crx3iA,
         {40.85981665104811, -162.69354796141573, 72.65646634672265, -110.6623017996722, 157.00848839885907,
          -22.63986499120884}},
        {CrxModel::Crx10iA,
         {-160.18809359648088, -162.8790982496877, 72.92180833150542, -88.49006616343551, -46.07973809933526,
          -100.60139145571455}},
        {CrxModel::Crx5iA,
         {-73.58165425912658, 0.09039172865365686, -90.09805812523955, 75.38239050244698, -0.003047328879745237,
          -45.407145100945684}},
    };
    for (const Case& c : cases) {
        const Crx robot = Crx::from_model(c.model);
        EXPECT_LT(support::nearest(ik(robot, fk(robot, c.q)), c.q), kFound) << describe(c.q);
    }
}

TEST(NearFamilySeeded, NearFoldSeeded) {
    for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx10iA}) {
        const Crx robot = Crx::from_model(model);
        std::mt19937_64 rng(seed() + 211 + static_cast<unsigned>(model));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        Tally t;
        for (long i = 0; i < count(); ++i) {
            JointVector q = random_joints(rng);
            const double off = (unit(rng) < 0.5 ? -1.0 : 1.0) * (0.02 + 0.98 * unit(rng));
            q[2] = -90.0 + off - q[1];
            judge(robot, q, t);
        }
        report("near fold", model, t);
        EXPECT_EQ(t.missed + t.family_instead, 0) << model_name(model);
    }
}

// Near-fold generators of the CRX-3iA that were lost (3 in the 100,000 of the
// seeded set run with ORTHOLINK_NEAR_FAMILY_COUNT=100000), kept at full
// precision: the scans where roots crowd next to the base origin find them.
TEST(NearFamilySeeded, NearFoldOnceLostComeBack) {
    const Crx robot = Crx::new_3ia();
    const JointVector cases[] = {
        {6.5349479303029625, -145.72534361622712, 55.745460091677444, 179.29214773616536, 29.170321566704871,
         87.488690702558586},
        {101.2856284736435, 149.35055686132796, -239.3205378914414, 132.14390726043104, -177.80613231474763,
         17.880046529765536},
        {12.016797927232346, -162.22067836781008, 72.253609356749962, 134.40313722272373, 22.961563827351029,
         -101.20965235550689},
    };
    for (const JointVector& q : cases) {
        EXPECT_LT(support::nearest(ik(robot, fk(robot, q)), q), kFound) << describe(q);
    }
}

// The wrist point 9.2e-6 mm from the base origin of the CRX-3iA (6.4e-6 mm
// from the J1 axis), from the seeded set below at 100,000 per model: the
// generator was lost, the nearest solution 0.82 rad away, and no point
// between them near the target. The elbow turns over a whole circle where
// o4 passes the origin, 5e-7 rad of the circle angle from where it passes
// the axis; the scan about the origin passage finds it, with a member of its
// numerical family 1.4e-4 rad away and seven more solutions.
TEST(NearFamilySeeded, WristPointAtTheFoldOnceLostComesBack) {
    const Crx robot = Crx::new_3ia();
    const JointVector q{-89.203254182585937, 46.058696728418717, -136.05869484208998,
                        4.1870627546191486, 134.0453313955386, 153.23747332482543};
    const Pose target = fk(robot, q);
    const std::vector<IkSolution> solutions = ik(robot, target);
    EXPECT_GE(solutions.size(), 16u);
    EXPECT_TRUE(numerical_family(robot, target, q, solutions)) << support::nearest(solutions, q);
}

// o4 of the generator 1e-6 .. 1e-4 mm from the J1 axis (J3 solved for that
// distance), a fifth of them with J5 at +-90.
TEST(NearFamilySeeded, WristPointNearTheAxisSeeded) {
    for (const CrxModel model : support::kAllModels) {
        const Crx robot = Crx::from_model(model);
        std::mt19937_64 rng(seed() + 307 + static_cast<unsigned>(model));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        Tally t;
        for (long i = 0; i < count(); ++i) {
            JointVector q = random_joints(rng);
            q[1] /= 3.0;
            const double distance = (unit(rng) < 0.5 ? -1.0 : 1.0) * std::pow(10.0, -4.0 - 2.0 * unit(rng));
            const double c = (distance - robot.z1 * std::sin(q[1] * kDegToRad)) / robot.x1;
            if (std::fabs(c) > 1.0) {
                continue;
            }
            q[2] = (unit(rng) < 0.5 ? 1.0 : -1.0) * std::acos(c) / kDegToRad;
            if (i % 5 == 0) {
                q[4] = unit(rng) < 0.5 ? 90.0 : -90.0;
            }
            judge(robot, q, t);
        }
        report("o4 near axis", model, t);
        // Where J5 is at +-90 the circle of o4 often really reaches the axis
        // at another angle, and that angle's AxisDegenerate or SingularFamily
        // solutions stand in for a generator 1e-6 .. 1e-4 mm off it ("family
        // instead"); on the equal-arm models the generator's o4 is then also
        // that close to the base origin. A stand-in whose family does not
        // hold at this target is labelled Regular and counts as missed. With
        // 100,000 per model the CRX-3iA and CRX-10iA return a member of the
        // generator's numerical family for a few (folded, o4 that close to the
        // base origin too).
        EXPECT_EQ(t.missed, 0) << model_name(model);
    }
}

// The J5 origin on the J1 axis with the flange z axis horizontal: o4 crosses
// the axis twice on its circle, every plane through the axis meets the circle
// at those points and the arm-plane sweep sees a constant residual. Along a
// vertical line every pose keeps its eight solutions.
TEST(NearFamilySeeded, J5OriginOnTheAxisKeepsEverySolution) {
    const Crx robot = Crx::new_10ia();
    for (const double z : {650.0, 720.0, 800.0, 880.0, 950.0}) {
        const Pose target = pose_from_xyzwpr(Xyzwpr{160.0, 0.0, z, 0.0, 90.0, 0.0});
        const auto solutions = ik(robot, target);
        EXPECT_EQ(solutions.size(), 8u) << z;
        for (const IkSolution& s : solutions) {
            EXPECT_LE(support::matrix_error(fk(robot, s.joints), target), 1e-8) << z;
            const JointVector& q = s.joints;
            EXPECT_LT(support::nearest(ik(robot, fk(robot, q)), q), kFound) << describe(q);
        }
    }
}

}  // namespace
}  // namespace ortholink::solver
