#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>

#include "ik/candidates.hpp"
#include "ik/joints.hpp"
#include "ik/polish.hpp"
#include "ik/roots.hpp"
#include "ik/trig_poly.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/matrix.hpp"

// Counts global allocations so the tests can show that the kinematics never
// reach the heap. Weak, so another test file may bring its own counter.
namespace {
thread_local long g_allocations = 0;
}  // namespace

__attribute__((weak)) void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((weak)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((weak)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace ortholink::solver {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

const Crx kRobot = Crx::new_10ia();
const JointVector kStart{10, 20, 30, 40, 50, 60};

void expect_joints_near(const JointVector& got, const JointVector& want, double tol) {
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(got[i], want[i], tol) << "J" << i + 1;
    }
}

// ------------------------------------------------------------ residuals

TEST(Residuals, MatchTheMatrixDifference) {
    const JointVector joints{-30, 10, -20, 90, -45, 180};
    const Pose target = fk(kRobot, JointVector{-29, 11, -21, 88, -44, 179});
    const Residual r = residuals(kRobot, joints, target);
    double actual[16];
    double wanted[16];
    iso_into(fk(kRobot, joints), actual);
    iso_into(target, wanted);
    const int rows[12] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 3, 7, 11};
    for (int i = 0; i < 12; ++i) {
        EXPECT_NEAR(r[i], actual[rows[i]] - wanted[rows[i]], 1e-12) << "entry " << i;
    }
    // The translation part is a plain difference of the same numbers.
    EXPECT_EQ(r[9], actual[3] - wanted[3]);
    EXPECT_EQ(r[11], actual[11] - wanted[11]);
}

TEST(Residuals, VanishExactlyAtTheGeneratingJoints) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> dist(-180.0, 180.0);
    for (int trial = 0; trial < 20; ++trial) {
        JointVector q;
        for (double& v : q) v = dist(rng);
        const Residual r = residuals(kRobot, q, fk(kRobot, q));
        for (const double v : r) {
            EXPECT_EQ(v, 0.0);
        }
    }
}

TEST(PoseError, RunningMaximumSkipsNan) {
    Residual r;
    r.fill(kNan);
    EXPECT_EQ(pose_error(r), 0.0);
    r[4] = -3.0;
    r[7] = 2.0;
    EXPECT_EQ(pose_error(r), 3.0);
    r.fill(0.0);
    r[0] = kNan;
    r[11] = -1e-13;
    EXPECT_EQ(pose_error(r), 1e-13);
    r[5] = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(pose_error(r), std::numeric_limits<double>::infinity());
}

// -------------------------------------------------------------- jacobian

TEST(Jacobian, MatchesCentralDifferencesOfTheResiduals) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> dist(-170.0, 170.0);
    const Crx robots[] = {Crx::new_3ia(), Crx::new_10ia(), Crx::new_30ia(), Crx::from_params(300, 450, 90, -60)};
    const double h = 1e-3;  // degrees
    for (const Crx& robot : robots) {
        for (int trial = 0; trial < 10; ++trial) {
            JointVector q;
            for (double& v : q) v = dist(rng);
            const Pose target = fk(robot, JointVector{1, 2, 3, 4, 5, 6});
            const auto jac = jacobian(robot, q);
            for (int k = 0; k < 6; ++k) {
                JointVector plus = q;
                JointVector minus = q;
                plus[k] += h;
                minus[k] -= h;
                const Residual rp = residuals(robot, plus, target);
                const Residual rm = residuals(robot, minus, target);
                for (int i = 0; i < 12; ++i) {
                    const double numeric = (rp[i] - rm[i]) / (2 * h);
                    const double tol = i < 9 ? 1e-8 : 1e-6;
                    EXPECT_NEAR(jac[i * 6 + k], numeric, tol) << "row " << i << " joint " << k + 1;
                }
            }
        }
    }
}

// ------------------------------------------------------------- polishing

TEST(Polish, SmallOffsetConvergesInFourCholeskySteps) {
    const JointVector goal{11, 21, 31, 41, 51, 61};
    PolishTrace trace;
    const JointVector q = polish_joints(kRobot, kStart, fk(kRobot, goal), &trace);
    EXPECT_NEAR(trace.initial_error, 15.1, 0.05);
    EXPECT_EQ(trace.accepted, 4);
    EXPECT_EQ(trace.cholesky_steps, 4);
    EXPECT_EQ(trace.svd_steps, 0);
    EXPECT_EQ(trace.stop, PolishStop::Converged);
    EXPECT_LT(trace.final_error, 1e-12);
    EXPECT_EQ(trace.final_error, pose_error(residuals(kRobot, q, fk(kRobot, goal))));
    expect_joints_near(q, goal, 1e-10);
}

TEST(Polish, LargerOffsetConvergesInFiveCholeskySteps) {
    const JointVector goal{15, 25, 35, 45, 55, 65};
    PolishTrace trace;
    const JointVector q = polish_joints(kRobot, kStart, fk(kRobot, goal), &trace);
    EXPECT_EQ(trace.accepted, 5);
    EXPECT_EQ(trace.cholesky_steps, 5);
    EXPECT_EQ(trace.svd_steps, 0);
    EXPECT_EQ(trace.stop, PolishStop::Converged);
    expect_joints_near(q, goal, 1e-10);
}

TEST(Polish, TooLargeFirstStepReturnsTheStart) {
    PolishTrace trace;
    const JointVector q = polish_joints(kRobot, kStart, fk(kRobot, JointVector{40, 50, 10, 80, 20, 10}), &trace);
    EXPECT_EQ(q, kStart);
    EXPECT_EQ(trace.accepted, 0);
    EXPECT_EQ(trace.stop, PolishStop::StepTooLarge);
    EXPECT_NEAR(trace.initial_error, 630, 1.0);
    EXPECT_EQ(trace.final_error, trace.initial_error);
}

TEST(Polish, ExactStartIsReturnedWithoutAnyStep) {
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> dist(-180.0, 180.0);
    for (int trial = 0; trial < 10; ++trial) {
        JointVector start;
        for (double& v : start) v = dist(rng);
        PolishTrace trace;
        const JointVector q = polish_joints(kRobot, start, fk(kRobot, start), &trace);
        EXPECT_EQ(q, start);
        EXPECT_EQ(trace.initial_error, 0.0);
        EXPECT_EQ(trace.cholesky_steps + trace.svd_steps, 0) << "no Jacobian needed";
        EXPECT_EQ(trace.stop, PolishStop::Converged);
    }
}

TEST(Polish, ElbowSingularityStepsThroughTheDecomposition) {
    const JointVector start{0, 0, 90, 0, 30, 0};
    const JointVector goal{0, 0, 90, 0, 30, 0.001};
    PolishTrace trace;
    const JointVector q = polish_joints(kRobot, start, fk(kRobot, goal), &trace);
    EXPECT_TRUE(trace.cholesky_failed);
    EXPECT_EQ(trace.cholesky_steps, 0);
    EXPECT_EQ(trace.svd_steps, 1);
    EXPECT_EQ(trace.accepted, 1);
    EXPECT_LT(trace.final_error, 1e-15);
    expect_joints_near(q, goal, 1e-9);
}

// Steps stop at the first non-decrease or the step budget; whatever the exit,
// the returned vector is never worse than the start.
TEST(Polish, NeverWorsensAndKeepsTheStepBudget) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> joint(-180.0, 180.0);
    std::uniform_real_distribution<double> offset(-3.0, 3.0);
    const Crx robots[] = {Crx::new_3ia(), Crx::new_5ia(), Crx::new_10ia(), Crx::new_10ia_l(), Crx::new_30ia()};
    int converged = 0;
    int total = 0;
    for (const Crx& robot : robots) {
        for (int trial = 0; trial < 100; ++trial) {
            JointVector goal;
            JointVector start;
            for (int i = 0; i < 6; ++i) {
                goal[i] = joint(rng);
                start[i] = goal[i] + offset(rng);
            }
            const Pose target = fk(robot, goal);
            PolishTrace trace;
            const JointVector q = polish_joints(robot, start, target, &trace);
            const double e = pose_error(residuals(robot, q, target));
            EXPECT_EQ(e, trace.final_error);
            EXPECT_LE(e, trace.initial_error);
            EXPECT_LE(trace.accepted, 25);
            EXPECT_NE(trace.stop, PolishStop::SolveFailed);
            ++total;
            converged += e <= 1e-10 ? 1 : 0;
        }
    }
    // Starts within 3 degrees converge except very close to a singularity.
    EXPECT_GE(converged, total * 95 / 100);
}

TEST(Polish, NonFiniteInputEndsWithoutMoving) {
    // All-NaN residuals have pose error 0, so a NaN start is "already converged".
    const JointVector nan_start{kNan, kNan, kNan, kNan, kNan, kNan};
    const JointVector q = polish_joints(kRobot, nan_start, fk(kRobot, kStart));
    for (const double v : q) {
        EXPECT_TRUE(std::isnan(v));
    }

    // One NaN joint: the pose error of the finite entries drives the loop, but
    // no NaN step may ever be taken for an improvement.
    JointVector partial = kStart;
    partial[5] = kNan;
    PolishTrace trace;
    const JointVector p = polish_joints(kRobot, partial, fk(kRobot, JointVector{11, 21, 31, 41, 51, 61}), &trace);
    EXPECT_EQ(trace.accepted, 0);
    EXPECT_EQ(p[0], partial[0]);

    // A NaN target coordinate makes the step NaN; taken, it would give an
    // all-NaN residual whose pose error 0 looks like a perfect solution.
    Pose target = fk(kRobot, kStart);
    target.t[1] = kNan;
    const JointVector r = polish_joints(kRobot, JointVector{11, 21, 31, 41, 51, 61}, target, &trace);
    EXPECT_EQ(trace.accepted, 0);
    EXPECT_EQ(trace.stop, PolishStop::StepTooLarge);
    for (const double v : r) {
        EXPECT_TRUE(std::isfinite(v));
    }
}

TEST(Polish, PairAndPreparedFormsMatchTheSingleCall) {
    // The side-by-side evaluation, the prepared target and the reused joint
    // rotations must not change a bit: exact starts (converged at once),
    // nearby starts (a few steps), NaN and far starts.
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> joint(-180.0, 180.0);
    std::uniform_real_distribution<double> offset(-2.0, 2.0);
    const Crx robots[] = {Crx::new_3ia(), Crx::new_10ia(), Crx::new_30ia()};
    for (const Crx& robot : robots) {
        for (int trial = 0; trial < 60; ++trial) {
            JointVector goal;
            for (double& v : goal) v = joint(rng);
            const Pose target = fk(robot, goal);
            std::array<JointVector, 2> starts{goal, goal};
            if (trial % 3 != 0) {
                for (double& v : starts[1]) v += offset(rng);
            }
            if (trial % 3 == 2) {
                starts[0][4] += 30.0;
            }
            if (trial == 5) {
                starts[1][2] = kNan;
            }
            std::array<PolishTrace, 2> pair_traces;
            JointRotations rotations;
            const std::array<std::array<Quat, 6>, 2> start_rotations{joint_rotations(robot, starts[0], rotations),
                                                                     joint_rotations(robot, starts[1], rotations)};
            const auto paired = polish_pair(robot, starts, start_rotations, prepare_target(target), rotations, pair_traces);
            for (int lane = 0; lane < 2; ++lane) {
                PolishTrace trace;
                const JointVector single = polish_joints(robot, starts[lane], target, &trace);
                for (int i = 0; i < 6; ++i) {
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(paired[lane][i]), std::bit_cast<std::uint64_t>(single[i]))
                        << "trial " << trial << " lane " << lane << " J" << i + 1;
                }
                EXPECT_EQ(pair_traces[lane].final_error, trace.final_error);
                EXPECT_EQ(pair_traces[lane].accepted, trace.accepted);
                EXPECT_EQ(pair_traces[lane].final_error, pose_error(residuals(robot, single, target)));
            }
        }
    }
}

TEST(Polish, JointRotationLanesStayApart) {
    // Two starts are rotated lane by lane; a lane at the identity (a zero or
    // tiny angle) or with a NaN angle must not leak into the other lane.
    const auto bits = [](const Quat& q) {
        return std::array<std::uint64_t, 4>{std::bit_cast<std::uint64_t>(q.x), std::bit_cast<std::uint64_t>(q.y),
                                            std::bit_cast<std::uint64_t>(q.z), std::bit_cast<std::uint64_t>(q.w)};
    };
    const JointVector turned{10, 20, 30, 40, 50, 60};
    for (const double still : {0.0, -0.0, 1e-300, kNan}) {
        const JointVector a{still, still, -still, still, still, still};
        const auto pair = joint_rotation_pair(kRobot, a, turned);
        JointRotations fresh;
        const auto alone = joint_rotations(kRobot, turned, fresh);
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(bits(pair[1][k]), bits(alone[k])) << still << " J" << k + 1;
            if (std::isnan(still)) {
                EXPECT_TRUE(std::isnan(pair[0][k].w)) << "J" << k + 1;
            } else {
                EXPECT_EQ(bits(pair[0][k]), bits(Quat{})) << still << " J" << k + 1;  // +0 vector part
            }
        }
    }
}

TEST(Polish, KinematicsNeverAllocate) {
    long before = g_allocations;
    ::operator delete(::operator new(16));  // an explicit call cannot be elided
    if (g_allocations == before) {
        GTEST_SKIP() << "another allocation counter is in use";
    }
    const Pose target = fk(kRobot, JointVector{15, 25, 35, 45, 55, 65});
    before = g_allocations;
    const auto frames = fk_all(kRobot, kStart);
    const Residual r = residuals(kRobot, kStart, target);
    const auto jac = jacobian(kRobot, kStart);
    const JointVector q = polish_joints(kRobot, kStart, target);
    const JointVector s = polish_joints(kRobot, JointVector{0, 0, 90, 0, 30, 0}, fk(kRobot, JointVector{0, 0, 90, 0, 30, 0.001}));
    JointRotations rotations;
    std::array<PolishTrace, 2> traces;
    const auto pair = polish_pair(kRobot, {kStart, kStart}, {joint_rotations(kRobot, kStart, rotations), joint_rotations(kRobot, kStart, rotations)},
                                  prepare_target(target), rotations, traces);
    EXPECT_EQ(g_allocations, before);
    EXPECT_NE(pair[0][0], 12345.0);

    // The steps before polishing: only the driver's result list may allocate.
    before = g_allocations;
    const solver::Setup setup(kRobot, target);
    const double f = setup.f(0.3);
    const auto branch = branch_residual_pair(setup, 0.3, 0.3 + 1e-7, 1.0);
    const ThetaRoots roots = theta_roots(TrigPoly::from_setup(setup));
    const Candidates found = candidates(setup);
    const auto joints = joints_from_points(setup, found[0].o3, found[0].o4);
    EXPECT_EQ(g_allocations, before);
    EXPECT_NE(f + (branch[0] ? *branch[0] : 0.0) + static_cast<double>(roots.size()) + joints.first[0], 12345.0);
    EXPECT_NE(frames[5].t[0] + r[0] + jac[0] + q[0] + s[0], 12345.0);  // keep the results alive
}

}  // namespace
}  // namespace ortholink::solver
