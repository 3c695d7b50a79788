// Inverse kinematics without the solutions that put the arm through itself,
// its tool or its cell.

#include <vector>

#include "chunks.hpp"
#include "ik/ik.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {

namespace {

// The flange solutions of one target that keep the arm clear. They are
// checked before their whole-turn expansion: the variants share their geometry.
std::vector<IkSolution> clear_flange_solutions(const Arm& arm, const CollisionChecker& checker,
                                               const Pose& world_tcp, double padding) {
    std::vector<IkSolution> flange = solver::ik_merged(arm.robot, arm_flange_target(arm, world_tcp));
    std::erase_if(flange, [&](const IkSolution& s) { return checker.collides(s.joints, padding); });
    return flange;
}

}  // namespace

std::vector<IkSolution> arm_ik_free(const Arm& arm, const CollisionChecker& checker, const Pose& world_tcp,
                                    double padding) {
    const std::vector<IkSolution> flange = clear_flange_solutions(arm, checker, world_tcp, padding);
    std::vector<IkSolution> out;
    out.reserve(flange.size() * 2);
    arm_expand(arm, flange, out);
    return out;
}

void arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                      IkBatchSink& out, double padding, unsigned threads, const CancelCheck& cancel) {
    // A block of targets at a time: solved and checked on the batch's
    // threads, then expanded into whole turns on the calling thread, where
    // Ctrl-C is asked (wide limits give tens of thousands of variants per
    // solution). Nothing of the batch is held twice.
    constexpr std::size_t kBlock = 4096;
    std::vector<IkSolution> expanded;
    std::vector<std::int64_t> counts;
    for (std::size_t first = 0; first < world_tcps.size(); first += kBlock) {
        const auto block = world_tcps.subspan(first, std::min(kBlock, world_tcps.size() - first));
        detail::ResultSink clear(block.size());
        detail::solve_in_order(block.size(), threads, cancel, clear,
                               [&](std::size_t i, std::vector<IkSolution>& solutions) {
                                   const std::vector<IkSolution> flange =
                                       clear_flange_solutions(arm, checker, block[i], padding);
                                   solutions.insert(solutions.end(), flange.begin(), flange.end());
                               });
        expanded.clear();
        counts.clear();
        const std::vector<IkSolution>& solved = clear.result.solutions;
        for (std::size_t i = 0; i < block.size(); ++i) {
            const std::size_t before = expanded.size();
            const auto begin = static_cast<std::size_t>(clear.result.offsets[i]);
            const auto end = static_cast<std::size_t>(clear.result.offsets[i + 1]);
            arm_expand(arm, std::span<const IkSolution>(solved).subspan(begin, end - begin), expanded, cancel);
            counts.push_back(static_cast<std::int64_t>(expanded.size() - before));
        }
        out.append(expanded, counts);
    }
}

IkBatchResult arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                               double padding, unsigned threads, const CancelCheck& cancel) {
    detail::ResultSink sink(world_tcps.size());
    arm_ik_many_free(arm, checker, world_tcps, sink, padding, threads, cancel);
    return std::move(sink.result);
}

}  // namespace ortholink
