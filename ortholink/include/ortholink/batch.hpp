#pragma once
// Whole paths and workspaces: many poses or joint vectors per call, spread
// over a few threads. Results are identical and in input order whatever the
// thread count.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

namespace ortholink {

// Inputs below this size run on the calling thread.
inline constexpr std::size_t kParallelThreshold = 64;

// The thread count used when the caller passes 0: the hardware's, at most 8.
unsigned default_thread_count() noexcept;

// out[i] = fk(robot, joints[i]); `out` has the size of `joints`.
void fk_many(const Crx& robot, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads = 0);

// The solutions of every target, flattened: those of target i are
// solutions[offsets[i] .. offsets[i + 1]).
struct IkBatchResult {
    std::vector<IkSolution> solutions;
    std::vector<std::int64_t> offsets;  // targets.size() + 1 entries, offsets[0] = 0
};

IkBatchResult ik_many(const Crx& robot, std::span<const Pose> targets, unsigned threads = 0);

// Follows a path: at each target the solution nearest the previous joints
// (the choice of ik_closest), starting from `start`. An unreachable target
// gives nothing and the next one is measured from the last reached joints.
std::vector<std::optional<JointVector>> ik_path(const Crx& robot, std::span<const Pose> targets,
                                                const JointVector& start);

}  // namespace ortholink
