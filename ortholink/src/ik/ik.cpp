#include "ik/ik.hpp"

#include <algorithm>
#include <cmath>

#include "ik/candidates.hpp"
#include "ik/joints.hpp"
#include "ik/polish.hpp"
#include "ik/setup.hpp"

namespace ortholink {
namespace {

// Room for the usual largest count of solutions.
constexpr std::size_t kSolutionReserve = 16;

// joint_distance(a, b) < limit, without the terms after the first that
// reaches the limit.
bool closer_than(const JointVector& a, const JointVector& b, double limit) noexcept {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::fabs(solver::wrap_angle((a[i] - b[i]) * kDegToRad)) >= limit) {
            return false;
        }
    }
    return true;
}

// True when an earlier candidate has exactly the same elbow and wrist point.
bool repeats_earlier(const solver::Candidates& candidates, std::size_t i) noexcept {
    for (std::size_t k = 0; k < i; ++k) {
        if (candidates[k].o3 == candidates[i].o3 && candidates[k].o4 == candidates[i].o4) {
            return true;
        }
    }
    return false;
}

}  // namespace

double joint_distance(const JointVector& a, const JointVector& b) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = std::fabs(solver::wrap_angle((a[i] - b[i]) * kDegToRad));
        if (d > largest) {
            largest = d;
        }
    }
    return largest;
}

bool solver::offer_solution(std::vector<IkSolution>& solutions, const JointVector& q, double error, double theta,
                        SolutionKind kind) {
    // The pose error skips NaN entries, so a vector with a NaN or infinite
    // joint can score 0 against a target it does not reach.
    if (error > kAcceptResidual || !std::all_of(q.begin(), q.end(), [](double v) { return std::isfinite(v); })) {
        return false;
    }
    for (const IkSolution& kept : solutions) {
        if (closer_than(q, kept.joints, kDuplicateDistance)) {
            return false;  // the one found first stays
        }
    }
    solutions.push_back(IkSolution{q, error, theta, kind});
    return true;
}

std::vector<IkSolution> ik(const Crx& robot, const Pose& target) {
    std::vector<IkSolution> solutions;
    solutions.reserve(kSolutionReserve);
    const solver::Setup setup(robot, target);
    const solver::Candidates candidates = solver::candidates(setup);
    const solver::PreparedTarget prepared = solver::prepare_target(target);
    solver::JointRotations rotations;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const solver::Candidate& c = candidates[i];
        if (repeats_earlier(candidates, i)) {
            continue;  // same points, same joints: both would be dropped as duplicates
        }
        const auto [primary, mirror] = solver::joints_from_points(setup, c.o3, c.o4);
        for (const JointVector* start : {&primary, &mirror}) {
            // The trace's final error is the pose error of the returned
            // vector by the same residual, so forward kinematics is not rerun.
            solver::PolishTrace trace;
            const JointVector q = solver::polish_joints(robot, *start, prepared, rotations, &trace);
            solver::offer_solution(solutions, q, trace.final_error, c.theta, c.kind);
        }
    }
    return solutions;
}

std::optional<IkSolution> ik_closest(const Crx& robot, const Pose& target, const JointVector& reference) {
    const std::vector<IkSolution> solutions = ik(robot, target);
    if (solutions.empty()) {
        return std::nullopt;
    }
    std::size_t best = 0;
    double best_distance = joint_distance(solutions[0].joints, reference);
    for (std::size_t i = 1; i < solutions.size(); ++i) {
        const double d = joint_distance(solutions[i].joints, reference);
        if (best_distance > d) {  // ties keep the earlier solution
            best = i;
            best_distance = d;
        }
    }
    return solutions[best];
}

}  // namespace ortholink
