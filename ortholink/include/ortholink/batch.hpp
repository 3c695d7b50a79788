#pragma once
// Whole paths and workspaces: many poses or joint vectors per call, spread
// over a few threads. Results are identical and in input order whatever the
// thread count.

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

namespace ortholink {

// Inputs below this size run on the calling thread.
inline constexpr std::size_t kParallelThreshold = 64;

// The thread count used when the caller passes 0: the hardware's, at most 8.
unsigned default_thread_count() noexcept;

// Asked on the calling thread every few milliseconds while a batch runs (a
// binding checks for Ctrl-C there); returning true stops the batch, which then
// throws BatchCancelled and discards what it computed. The default never
// cancels. The check must outlive the call.
class CancelCheck {
public:
    CancelCheck() noexcept = default;

    template <class Check>
    explicit CancelCheck(const Check& check) noexcept
        : context_(&check), call_([](const void* context) { return static_cast<bool>((*static_cast<const Check*>(context))()); }) {}

    // Only the address of the check is kept: a temporary (a lambda written in
    // place) would be gone before the call asks it. Name it first.
    template <class Check>
    requires(!std::is_lvalue_reference_v<Check> && !std::is_same_v<std::remove_cvref_t<Check>, CancelCheck>) explicit CancelCheck(Check&& check) = delete;

    bool operator()() const { return call_ != nullptr && call_(context_); }

private:
    const void* context_ = nullptr;
    bool (*call_)(const void*) = nullptr;
};

struct BatchCancelled : std::exception {
    const char* what() const noexcept override { return "batch cancelled"; }
};

// out[i] = fk(robot, joints[i]); `out` has the size of `joints`.
void fk_many(const Crx& robot, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads = 0,
             const CancelCheck& cancel = {});

// fk_many writing each pose as its 4x4 matrix, row by row as iso_into writes
// one: `matrices` holds 16 values per joint vector.
void fk_many_matrices(const Crx& robot, std::span<const JointVector> joints, std::span<double> matrices,
                      unsigned threads = 0, const CancelCheck& cancel = {});

// Where a batch puts its solutions as they are found: append() receives the
// solutions of a run of consecutive targets and how many each target has, in
// target order, one call at a time (from whichever thread finished the run).
// What it throws stops the batch and propagates.
class IkBatchSink {
public:
    virtual void append(std::span<const IkSolution> solutions, std::span<const std::int64_t> counts) = 0;

protected:
    IkBatchSink() = default;
    IkBatchSink(const IkBatchSink&) = default;
    IkBatchSink& operator=(const IkBatchSink&) = default;
    ~IkBatchSink() = default;
};

// The solutions of every target, flattened: those of target i are
// solutions[offsets[i] .. offsets[i + 1]).
struct IkBatchResult {
    std::vector<IkSolution> solutions;
    std::vector<std::int64_t> offsets;  // targets.size() + 1 entries, offsets[0] = 0
};

// "IkBatch(targets=3, solutions=17)".
std::string to_string(const IkBatchResult& batch);
std::string ik_batch_text(std::size_t targets, std::size_t solutions);

IkBatchResult ik_many(const Crx& robot, std::span<const Pose> targets, unsigned threads = 0,
                      const CancelCheck& cancel = {});

// ik_many handing the solutions to `out` instead of collecting them.
void ik_many(const Crx& robot, std::span<const Pose> targets, IkBatchSink& out, unsigned threads = 0,
             const CancelCheck& cancel = {});

// A batch rebuilt from its flat fields (as a stored batch keeps them), one
// entry per solution in each of the first four; none when they do not fit
// together: lengths differ, the offsets do not start at 0, fall back or end
// short of the solution count, or a kind code is not a SolutionKind.
std::optional<IkBatchResult> batch_from_fields(std::span<const JointVector> joints, std::span<const double> residual,
                                               std::span<const double> theta, std::span<const std::int64_t> kind,
                                               std::span<const std::int64_t> offsets);

// Follows a path: at each target the solution nearest the previous solution
// (the choice of ik_closest), starting from `start`. Rows are unwrapped: each
// is the whole-turn variant of its solution nearest the previous row (the
// first nearest `start`), so a joint turning past 180 degrees goes on to 190
// instead of jumping to -170. An unreachable target gives nothing and the
// next one is measured from the last reached joints.
std::vector<std::optional<JointVector>> ik_path(const Crx& robot, std::span<const Pose> targets,
                                                const JointVector& start, const CancelCheck& cancel = {});

// The whole-turn variant of `value` (degrees) nearest `reference`; `value`
// itself when either is not finite.
double nearest_turn(double value, double reference) noexcept;

}  // namespace ortholink
