// Inverse kinematics without the solutions that put the arm through itself,
// its tool or its cell.

#include <vector>

#include "chunks.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {

namespace {

// The solutions of one target that keep the arm clear, appended to `out`:
// flange solutions are checked before their whole-turn expansion (the
// variants share their geometry).
void append_free(const Arm& arm, const CollisionChecker& checker, const Pose& world_tcp, double padding,
                 std::vector<IkSolution>& out) {
    std::vector<IkSolution> flange = ik(arm.robot, arm_flange_target(arm, world_tcp));
    std::erase_if(flange, [&](const IkSolution& s) { return checker.collides(s.joints, padding); });
    arm_expand(arm, flange, out);
}

}  // namespace

std::vector<IkSolution> arm_ik_free(const Arm& arm, const CollisionChecker& checker, const Pose& world_tcp,
                                    double padding) {
    std::vector<IkSolution> out;
    out.reserve(32);
    append_free(arm, checker, world_tcp, padding, out);
    return out;
}

void arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                      IkBatchSink& out, double padding, unsigned threads, const CancelCheck& cancel) {
    // Checked on the thread that solved them: nothing of the batch is held twice.
    detail::solve_in_order(world_tcps.size(), threads, cancel, out,
                           [&](std::size_t i, std::vector<IkSolution>& solutions) {
                               append_free(arm, checker, world_tcps[i], padding, solutions);
                           });
}

IkBatchResult arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                               double padding, unsigned threads, const CancelCheck& cancel) {
    detail::ResultSink sink(world_tcps.size());
    arm_ik_many_free(arm, checker, world_tcps, sink, padding, threads, cancel);
    return std::move(sink.result);
}

}  // namespace ortholink
