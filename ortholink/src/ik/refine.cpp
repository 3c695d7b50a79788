#include "ik/refine.hpp"

#include "ik/polish.hpp"

namespace ortholink::solver {

double polish_and_score(const Crx& robot, const JointVector& start, const Pose& target, JointVector& out) noexcept {
    out = ik::polish_joints(robot, start, target);
    return ik::pose_error(ik::residuals(robot, out, target));
}

}  // namespace ortholink::solver
