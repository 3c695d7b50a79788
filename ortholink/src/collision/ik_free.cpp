// Inverse kinematics without the solutions that put the arm through itself,
// its tool or its cell.

#include <vector>

#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {

std::vector<IkSolution> arm_ik_free(const Arm& arm, const CollisionChecker& checker, const Pose& world_tcp,
                                    double padding) {
    std::vector<IkSolution> flange = ik(arm.robot, arm_flange_target(arm, world_tcp));
    std::erase_if(flange, [&](const IkSolution& s) { return checker.collides(s.joints, padding); });
    std::vector<IkSolution> out;
    out.reserve(flange.size() * 2);
    arm_expand(arm, flange, out);
    return out;
}

IkBatchResult arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                               double padding, unsigned threads, const CancelCheck& cancel) {
    std::vector<Pose> flange(world_tcps.size());
    for (std::size_t i = 0; i < world_tcps.size(); ++i) {
        flange[i] = arm_flange_target(arm, world_tcps[i]);
    }
    const IkBatchResult raw = ik_many(arm.robot, flange, threads, cancel);
    std::vector<JointVector> joints(raw.solutions.size());
    for (std::size_t k = 0; k < joints.size(); ++k) {
        joints[k] = raw.solutions[k].joints;
    }
    std::vector<std::uint8_t> hit(joints.size());
    collides_many(checker, joints, hit, padding, threads, cancel);

    IkBatchResult result;
    result.offsets.reserve(raw.offsets.size());
    result.offsets.push_back(0);
    result.solutions.reserve(raw.solutions.size() * 2);
    std::vector<IkSolution> kept;
    for (std::size_t i = 0; i < world_tcps.size(); ++i) {
        if ((i & 1023) == 0 && cancel()) {
            throw BatchCancelled{};
        }
        kept.clear();
        for (auto k = static_cast<std::size_t>(raw.offsets[i]); k < static_cast<std::size_t>(raw.offsets[i + 1]);
             ++k) {
            if (hit[k] == 0) {
                kept.push_back(raw.solutions[k]);
            }
        }
        // On the calling thread: the expansion may ask the check.
        arm_expand(arm, kept, result.solutions, cancel);
        result.offsets.push_back(static_cast<std::int64_t>(result.solutions.size()));
    }
    return result;
}

}  // namespace ortholink
