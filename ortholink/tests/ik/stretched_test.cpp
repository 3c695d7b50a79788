// Targets with the arm fully stretched (J2 + J3 = 90) and J5 = 0, where the
// circle residual has a multiple zero and the refined candidates used to stop
// just above the acceptance threshold, so the solver returned fewer solutions
// than other solvers (or none). Each case: the generating joints and the two
// solutions another solver found for fk(generator) (data/peer_gaps.json).

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "ik/polish.hpp"
#include "ik/support.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

namespace ortholink {
namespace {

using solver::support::matrix_error;
using solver::support::nearest;

struct GapCase {
    CrxModel model;
    JointVector generator;
    std::array<JointVector, 2> missing;
};

// clang-format off
const GapCase kGapCases[] = {
    {CrxModel::Crx3iA,
     {-30.0, -90.0, -180.0, 0.0, 0.0, -30.0},
     {{JointVector{-29.999999999999982, -90.0000010317478, 180.00000226723392, -8.321755603603738e-06, -2.2672339174168086e-06, -29.999991678244392},
       JointVector{149.99999999999991, 90.00000592598374, 3.1566632602536486e-08, -180.00001486879972, 3.156665356773918e-08, -29.999985131200276}}}},
    {CrxModel::Crx3iA,
     {90.0, 90.0, 0.0, -180.0, 0.0, 60.0},
     {{JointVector{90.0, 90.00000976831194, 3.5814881381104754e-06, -180.0000156064023, 3.5814881870631353e-06, 60.00001560640227},
       JointVector{-90.0000000000002, -89.99999921976911, 180.00000193001006, -2.900343744872628e-06, -1.930010044737988e-06, 60.000002900343745}}}},
    {CrxModel::Crx3iA,
     {-63.5964, 179.9467, -89.9467, 171.0292, 0.0, 121.6411},
     {{JointVector{-63.596509235144396, 179.94669935628394, -89.94669935628372, 171.02931252289025, 6.516876854948895e-07, 121.64109671220689},
       JointVector{116.40369311905452, -179.9467005487312, 269.94670054873353, -8.970895921676409, -5.555288394371257e-07, 121.64110280266218}}}},
    {CrxModel::Crx5iA,
     {-30.0, -90.0, -180.0, 0.0, 0.0, -30.0},
     {{JointVector{-30.000000000000096, -90.00000204883561, 180.00000002033465, -6.528972899712159e-06, -2.0334650475217728e-08, -29.999993471027096},
       JointVector{150.0, 90.00000018105737, 3.98904264998586e-07, 180.0000007484255, 3.9890426259506077e-07, -30.000000748425485}}}},
    {CrxModel::Crx5iA,
     {90.0, 90.0, 0.0, -180.0, 0.0, 60.0},
     {{JointVector{-89.99999999999999, -90.00000042577972, 179.9999998460643, -8.336717442330487e-07, 1.5393569708292105e-07, 60.000000833671734},
       JointVector{90.00000000000003, 89.99999852400704, -1.2565548533354991e-06, -179.99999950124194, -1.2565548479804442e-06, 59.99999950124192}}}},
    {CrxModel::Crx5iA,
     {-63.5964, 179.9467, -89.9467, 171.0292, 0.0, 121.6411},
     {{JointVector{-63.59670093120375, 179.94669822659228, -89.9466982265901, 171.02951253192046, 1.795370205943523e-06, 121.64108839915309},
       JointVector{116.40374239467185, -179.9467008391246, 269.94670083912126, -8.970947883778182, -8.49512552359637e-07, 121.64110548916798}}}},
    {CrxModel::Crx10iA,
     {-30.0, -90.0, -180.0, 0.0, 0.0, -30.0},
     {{JointVector{150.0000000000002, 90.00000540511584, 1.3764256668587086e-05, 180.00003009290717, 1.3764256657774271e-05, -30.00003009290719},
       JointVector{-30.000000000000153, -89.99999739278891, 179.99999929963124, 1.1907287709563682e-05, 7.003687631020494e-07, -30.000011907287707}}}},
    {CrxModel::Crx10iA,
     {90.0, 90.0, 0.0, -180.0, 0.0, 60.0},
     {{JointVector{-89.99999999999099, -89.99997344829616, 179.99999991664168, 9.588622395175948e-05, 8.335832348797444e-08, 59.999904113776026},
       JointVector{90.00000000000004, 89.9999995555453, 4.6438975166552494e-07, 180.00000327184011, 4.643897573659237e-07, 59.999996728159886}}}},
    {CrxModel::Crx10iA,
     {-63.5964, 179.9467, -89.9467, 171.0292, 0.0, 121.6411},
     {{JointVector{-63.59597799413117, 179.94670248670866, -89.94670248670346, 171.0287598683007, -2.517499211724245e-06, 121.641118126013},
       JointVector{116.40359971360945, -179.94669999831282, 269.9466999983126, -8.97079970131074, 1.7082632163320085e-09, 121.64109998770112}}}},
    {CrxModel::Crx10iAL,
     {-30.0, -90.0, -180.0, 0.0, 0.0, -30.0},
     {{JointVector{150.00000000000463, 89.9999712272726, -7.136406611044237e-06, -179.9998895001542, -7.136406532083778e-06, -30.000110499845814},
       JointVector{-29.99999999999994, -90.00000094491426, 180.00000072773398, -7.0924365292707404e-06, -7.277339713486719e-07, -29.999992907563463}}}},
    {CrxModel::Crx10iAL,
     {90.0, 90.0, 0.0, -180.0, 0.0, 60.0},
     {{JointVector{90.00000000000003, 90.00000077354967, 3.926696371936012e-07, -180.00000224785768, 3.92669629641372e-07, 60.00000224785766},
       JointVector{-89.99999999999842, -89.99999336167703, 179.99999795360029, 3.878843436560611e-05, 2.046399703628001e-06, 59.999961211565626}}}},
    {CrxModel::Crx10iAL,
     {-63.5964, 179.9467, -89.9467, 171.0292, 0.0, 121.6411},
     {{JointVector{116.40376241152805, -179.9467009570539, 269.9467009570535, -8.97097048567156, -9.68905427315956e-07, 121.6411080742139},
       JointVector{-63.5967215611969, 179.9466981050214, -89.94669810501804, 171.02953754810585, 1.918447546149085e-06, 121.64108401295192}}}},
    {CrxModel::Crx30iA,
     {-30.0, -90.0, -180.0, 0.0, 0.0, -30.0},
     {{JointVector{150.00000000000006, 89.99999980388706, -2.4765609123672695e-06, -180.0000090330452, -2.4765609142509035e-06, -29.999990966954822},
       JointVector{-29.999999999999897, -90.0000018985465, 180.0000003605932, -1.1211157010026608e-05, -3.605931771952916e-07, -29.999988788842995}}}},
    {CrxModel::Crx30iA,
     {90.0, 90.0, 0.0, -180.0, 0.0, 60.0},
     {{JointVector{-89.99999999999979, -89.9999960448512, 180.00000069732116, 1.7483245948625705e-05, -6.973211799001715e-07, 59.999982516754045},
       JointVector{90.00000000000004, 90.0000000655087, -1.2006825636188276e-06, 179.999994795972, -1.2006825561550757e-06, 60.000005204028035}}}},
};
// clang-format on

// The error of a vector here grows only with the square of its distance
// from the exact solution along the singular direction, so vectors a few
// 1e-6 rad apart all meet the acceptance threshold: the other solver's own
// vectors sit up to 7.7e-6 rad from the generator with pose errors near
// 1e-10. A returned solution may sit on either side of such a vector, and
// one accepted directly can keep the place of the exact one (duplicate
// rule), hence 1e-5 rad against those vectors and the generator.
constexpr double kValleyDistance = 1e-5;

std::string describe(const GapCase& c) {
    std::string s(model_name(c.model));
    for (const double v : c.generator) {
        s += " " + std::to_string(v);
    }
    return s;
}

TEST(StretchedWristAligned, MissingSolutionsAreReturned) {
    int exact = 0;
    for (const GapCase& c : kGapCases) {
        const Crx robot = Crx::from_model(c.model);
        const Pose target = fk(robot, c.generator);
        const std::vector<IkSolution> solutions = ik(robot, target);
        ASSERT_FALSE(solutions.empty()) << describe(c);
        for (const IkSolution& s : solutions) {
            EXPECT_LE(s.residual, kAcceptResidual) << describe(c);
            EXPECT_LE(matrix_error(fk(robot, s.joints), target), kAcceptResidual + 1e-12) << describe(c);
        }
        for (const JointVector& m : c.missing) {
            EXPECT_LT(nearest(solutions, m), kValleyDistance) << describe(c);
        }
        const double to_generator = nearest(solutions, c.generator);
        EXPECT_LT(to_generator, kValleyDistance) << describe(c);
        exact += to_generator < 1e-6 ? 1 : 0;
    }
    // Accepted members near the generator are sharpened onto it, and where
    // none was accepted the stretched refinement lands on it.
    EXPECT_EQ(exact, static_cast<int>(std::size(kGapCases)));
}

TEST(StretchedWristAligned, RescueLandsOnTheExactSolution) {
    // Starts a few thousandths of a degree off, as the unrefined roots are.
    const Crx robot = Crx::new_10ia();
    const JointVector generator{-30, -90, -180, 0, 0, -30};
    const Pose target = fk(robot, generator);
    const solver::PreparedTarget prepared = solver::prepare_target(target);
    solver::JointRotations rotations;
    const JointVector starts[] = {
        {-30.0, -90.001, 180.001, 0.003, 0.001, -30.004},
        {-30.01, -89.998, 179.997, -0.004, -0.002, -29.995},
    };
    for (const JointVector& start : starts) {
        const double start_error = solver::pose_error(solver::residuals(robot, start, target));
        ASSERT_GT(start_error, kAcceptResidual);
        double error = 1.0;
        const JointVector q = solver::rescue_joints(robot, start, prepared, rotations, error);
        EXPECT_LT(error, 1e-11);
        EXPECT_EQ(error, solver::pose_error(solver::residuals(robot, q, target)));
        EXPECT_LT(joint_distance(q, generator), 1e-9);
    }
}

TEST(StretchedWristAligned, RescueNeverWorsensAStart) {
    // Far from any solution, off the stretched configurations and on them:
    // the vector handed back is never worse than the start.
    const Crx robot = Crx::new_10ia();
    const Pose target = fk(robot, JointVector{10, 20, 30, 40, 50, 60});
    const solver::PreparedTarget prepared = solver::prepare_target(target);
    solver::JointRotations rotations;
    const JointVector starts[] = {
        {100, -50, 20, 140, -70, 10},
        {10, 20, 70.05, 40, 0.05, 60},
        {10, 20, 30.001, 40, 50, 60},
    };
    for (const JointVector& start : starts) {
        const double start_error = solver::pose_error(solver::residuals(robot, start, target));
        double error = 0.0;
        const JointVector q = solver::rescue_joints(robot, start, prepared, rotations, error);
        EXPECT_LE(error, start_error);
        EXPECT_EQ(error, solver::pose_error(solver::residuals(robot, q, target)));
    }
    // Not near the stretched configurations, but near a solution: refined onto it.
    double error = 0.0;
    const JointVector q = solver::rescue_joints(robot, starts[2], prepared, rotations, error);
    EXPECT_LT(joint_distance(q, JointVector{10, 20, 30, 40, 50, 60}), 1e-9);
}

}  // namespace
}  // namespace ortholink
