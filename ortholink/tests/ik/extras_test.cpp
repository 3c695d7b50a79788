// The extra candidates tried after the ordinary ones, each on a target whose
// generating joints the solver used to lose, and the cases where none may be
// needed (they cost time).

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ik/candidates.hpp"
#include "ik/joints.hpp"
#include "ik/setup.hpp"
#include "ik/support.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

namespace ortholink::solver {
namespace {

using support::distance3;
using support::key_points;

double wrapped(double degrees) {
    return std::fabs(wrap_angle(degrees * kDegToRad));
}

// True when some solution is q, or (J5 at 0 or 180) stands for q: the same
// J1, J2, J3, J5 and J4 + J6 (J5 = 0) or J4 - J6 (J5 = 180).
bool returns(const std::vector<IkSolution>& solutions, const JointVector& q) {
    for (const IkSolution& s : solutions) {
        if (joint_distance(s.joints, q) < 1e-6) {
            return true;
        }
        const bool aligned = wrapped(q[4]) == 0.0;
        const bool opposed = wrapped(q[4] - 180.0) == 0.0;
        if (!aligned && !opposed) {
            continue;
        }
        bool same = true;
        for (const int i : {0, 1, 2, 4}) {
            same = same && wrapped(s.joints[i] - q[i]) < 1e-6;
        }
        const double sign = aligned ? 1.0 : -1.0;
        if (same && wrapped((s.joints[3] + sign * s.joints[5]) - (q[3] + sign * q[5])) < 1e-6) {
            return true;
        }
    }
    return false;
}

std::vector<IkSolution> solve(CrxModel model, const JointVector& q) {
    const Crx robot = Crx::from_model(model);
    return ik(robot, fk(robot, q));
}

TEST(Extras, FlangeStraightDownNeedsNone) {
    // Every such pose has a double root at -π/2 with both branches through
    // it; the refinements find both, so no cluster is scanned.
    const Crx robot = Crx::new_10ia();
    for (const JointVector& q : {JointVector{0, 10, -20, 0, -70, 0}, JointVector{0, 30, -20, 0, -70, 0},
                                 JointVector{20, 10, -40, 0, -70, 0}}) {
        const solver::Setup setup(robot, fk(robot, q));
        Candidates extras;
        candidates(setup, extras);
        EXPECT_EQ(extras.size(), 0u) << q[1];
        EXPECT_TRUE(returns(ik(robot, fk(robot, q)), q)) << q[1];
    }
}

TEST(Extras, RefinementLeavingADoubleZeroKeepsItsRoot) {
    // J5 = 180 with one branch touching zero at θ = π/2: its secant steps
    // converged only linearly and stopped 3e-4 rad short.
    const JointVector q{-90, -135, -180, 90, -180, -180};
    EXPECT_TRUE(returns(solve(CrxModel::Crx10iA, q), q));
    // The branch only touches zero at a folded arm's root (the elbow circle
    // shrinks to a point there), and the refinements went to other roots.
    const JointVector folded{158.42731464043794, -0.67095120468150071, 270.6709512046815,
                             -50.467262403653223, -180, 27.504273468341296};
    EXPECT_TRUE(returns(solve(CrxModel::Crx20iAL, folded), folded));
}

TEST(Extras, CrossingOfTheShellEdgeIsTried) {
    // Folded arm on a robot with z1 != x1: the solution sits where o4 crosses
    // the inner edge of the reachable shell, and the circle residual's roots
    // scatter 3e-3 rad away from it.
    const Crx robot = Crx::from_model(CrxModel::Crx5iA);
    const JointVector q{50.938300946886301, 179.89781079452217, 90.10218820547783,
                        177.86917668062063, -0.73722388039377051, -21.613093045862797};
    const solver::Setup setup(robot, fk(robot, q));
    Candidates extras;
    candidates(setup, extras);
    const auto k = key_points(robot, q);
    bool tried = false;
    for (const Candidate& c : extras) {
        tried = tried || distance3(c.o3, k.o3) < 1e-3;
    }
    EXPECT_TRUE(tried);
    EXPECT_TRUE(returns(ik(robot, fk(robot, q)), q));
    // Stretched straight down along the J1 axis: the circle of o4 only
    // touches the outer edge, and by rounding missed it (nothing came back).
    const JointVector touching{-108.06046531463947, 179.99975153990607, -89.999751539906072,
                               -37.445365827564757, 0, 143.99807218449155};
    EXPECT_TRUE(returns(solve(CrxModel::Crx3iA, touching), touching));
    // Nearly folded, with the elbow just inside the edge among clustered roots.
    const JointVector jittered{-180.00105396492444, -44.99997682956149, -44.999292041964118,
                               -0.00081346134951639025, 89.999183985722468, -135.00035905100123};
    EXPECT_TRUE(returns(solve(CrxModel::Crx5iA, jittered), jittered));
}

TEST(Extras, StretchedOrFoldedWithTheWristAlignedComesBackExact) {
    // Accepted at 2e-10 but 2e-4 rad off: the error grows with the fourth
    // power of the distance there. Taken onto the stretched arm with J5 = 180
    // it lands on the generator, and the two inexact vectors become one.
    const JointVector q{-1.2321242897969, 179.82028804891257, -89.820288048912573,
                        -74.948280701096039, 180, 142.81044036021501};
    const auto solutions = solve(CrxModel::Crx3iA, q);
    EXPECT_TRUE(returns(solutions, q));
    for (const IkSolution& s : solutions) {
        EXPECT_LT(s.residual, 1e-12);
    }
    // J1 and J4 nearly coaxial: exact solutions 1.5e-4 rad either side of
    // the generator were found, the generator itself only by taking them onto
    // the folded arm with J5 = 0.
    const JointVector coaxial{-131.11521453709074, 0.11587430684576816, 269.88412569315426,
                              -63.842153459821802, 0, 80.458775100618311};
    EXPECT_TRUE(returns(solve(CrxModel::Crx10iAL, coaxial), coaxial));
}

TEST(Extras, ScansResolveZerosCloserThanTheirSamples) {
    // Near the fold on the CRX-3iA, two zeros of each branch 3e-8 rad apart
    // where o4 passes 1e-4 mm from the J1 axis.
    const JointVector q{90.377976248163122, 76.52017361317445, 193.48082638682553,
                        157.40381329248839, 75.090001653399412, 66.622003932854994};
    EXPECT_TRUE(returns(solve(CrxModel::Crx3iA, q), q));
    // A cluster of four roots 3e-4 rad from a pair of zeros of one branch.
    const JointVector cluster{-50.454627056014942, -136.89888112678636, 406.79888112678634,
                              155.17156717250344, 37.294399643832861, -134.68156880814092};
    EXPECT_TRUE(returns(solve(CrxModel::Crx10iA, cluster), cluster));
    // Two roots 1.2e-4 rad apart, the generator's zero 3.7e-4 rad beyond them.
    const JointVector beyond{15.555993703033437, -5.5978531363919899, 275.69785313639204,
                             106.72620217075632, 177.72799142423816, 89.839389298658432};
    EXPECT_TRUE(returns(solve(CrxModel::Crx3iA, beyond), beyond));
}

TEST(Extras, SweptElbowsCloseToTheAxisKeepTheirPlane) {
    // o4 1e-5 mm and the elbow 4e-4 mm from the J1 axis, both within the
    // 1e-6·z1 under which the ordinary reconstruction sets J1 = 0.
    const JointVector q{49.133199239466933, -179.99995317950129, 449.99995417950129,
                        -105.82605728836694, -158.60833351381018, -139.38095350377043};
    EXPECT_TRUE(returns(solve(CrxModel::Crx10iA, q), q));

    const Crx robot = Crx::new_10ia();
    const solver::Setup setup(robot, fk(robot, q));
    const double azimuth = 0.7;
    const double c = std::cos(azimuth);
    const double s = std::sin(azimuth);
    const Vec3 o3{-3e-4 * c, -3e-4 * s, -540.0};  // the far side of the axis from o4
    const Vec3 o4{1e-5 * c, 1e-5 * s, 0.0};
    EXPECT_EQ(joints_from_points(setup, o3, o4).first[0], 0.0);
    const auto [primary, mirror] = joints_in_plane_of_o4(setup, o3, o4);
    EXPECT_NEAR(primary[0], azimuth * kRadToDeg, 1e-9);
    EXPECT_NEAR(mirror[0], azimuth * kRadToDeg - 180.0, 1e-9);
    // Farther from the axis than the elbow, o4 gives the azimuth itself.
    const Vec3 far_o4{1e-3 * c, 1e-3 * s, 0.0};
    EXPECT_NEAR(joints_in_plane_of_o4(setup, o3, far_o4).first[0], azimuth * kRadToDeg, 1e-9);
}

}  // namespace
}  // namespace ortholink::solver
