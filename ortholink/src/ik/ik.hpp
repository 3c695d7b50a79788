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

}  // namespace ortholink::solver
