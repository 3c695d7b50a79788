#include "ik/refine.hpp"

#include "ik/polish.hpp"

namespace ortholink::solver {

double polish_and_score(const Crx& robot, const JointVector& start, const Pose& target, JointVector& out) noexcept {
    // The trace's final error is the pose error of the returned vector,
    // computed by the same residual, so forward kinematics is not run again.
    ik::PolishTrace trace;
    out = ik::polish_joints(robot, start, target, &trace);
    return trace.final_error;
}

}  // namespace ortholink::solver
