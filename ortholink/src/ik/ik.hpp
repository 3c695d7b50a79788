#pragma once
// The last step of the driver, on its own so that the acceptance rules can be
// exercised directly.

#include <vector>

#include "ortholink/ik.hpp"

namespace ortholink::solver {

// Appends the polished joints `q` with pose error `error` unless the error is
// above the acceptance threshold, a joint is not finite, or an earlier
// solution is within the duplicate distance. Returns whether it was appended.
bool offer_solution(std::vector<IkSolution>& solutions, const JointVector& q, double error, double theta,
                    SolutionKind kind);

// ik, with the clusters of axis angles merged when `merge_axis` is set (see
// ik/axis_cluster.hpp).
std::vector<IkSolution> solve(const Crx& robot, const Pose& target, bool merge_axis);

// ik with the clusters of axis angles merged: what the arm-level calls use.
// Where the axis angles do not crowd, the results are ik's bit for bit;
// where they do (the flange z axis horizontal with o4 touching the J1 axis),
// the solutions are found several tens of times faster, converged where ik
// leaves some near 1e-8, and include ordinary ones next to the axis that ik
// can miss.
std::vector<IkSolution> ik_merged(const Crx& robot, const Pose& target);

}  // namespace ortholink::solver
