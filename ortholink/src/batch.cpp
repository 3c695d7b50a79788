#include "ortholink/batch.hpp"

#include <algorithm>
#include <cmath>

#include "chunks.hpp"

namespace ortholink {
namespace {

constexpr unsigned kMaxDefaultThreads = 8;
constexpr double kTurn = 360.0;

using detail::effective_threads;

}  // namespace

unsigned default_thread_count() noexcept {
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::clamp(hardware, 1u, kMaxDefaultThreads);
}

std::optional<IkBatchResult> batch_from_fields(std::span<const JointVector> joints, std::span<const double> residual,
                                               std::span<const double> theta, std::span<const std::int64_t> kind,
                                               std::span<const std::int64_t> offsets) {
    const std::size_t n = joints.size();
    if (residual.size() != n || theta.size() != n || kind.size() != n || offsets.empty() || offsets.front() != 0 ||
        offsets.back() != static_cast<std::int64_t>(n) || !std::is_sorted(offsets.begin(), offsets.end())) {
        return std::nullopt;
    }
    IkBatchResult batch;
    batch.offsets.assign(offsets.begin(), offsets.end());
    batch.solutions.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t code = kind[k];
        if (code < 0 || code > static_cast<std::int64_t>(SolutionKind::SingularFamily)) {
            return std::nullopt;
        }
        batch.solutions.push_back(IkSolution{joints[k], residual[k], theta[k], static_cast<SolutionKind>(code)});
    }
    return batch;
}

double nearest_turn(double value, double reference) noexcept {
    const double turns = std::nearbyint((reference - value) / kTurn);
    return std::isfinite(turns) ? value + kTurn * turns : value;
}

void fk_many(const Crx& robot, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads,
             const CancelCheck& cancel) {
    const std::size_t count = std::min(joints.size(), out.size());
    detail::BatchStop stop(cancel);
    detail::run_chunks(count, effective_threads(count, threads), stop,
                       [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                           for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                               out[i] = fk(robot, joints[i]);
                           }
                       });
}

void fk_many_matrices(const Crx& robot, std::span<const JointVector> joints, std::span<double> matrices,
                      unsigned threads, const CancelCheck& cancel) {
    detail::poses_into(std::min(joints.size(), matrices.size() / 16), threads, cancel, matrices.data(),
                       [&](std::size_t i) { return fk(robot, joints[i]); });
}

void ik_many(const Crx& robot, std::span<const Pose> targets, IkBatchSink& out, unsigned threads,
             const CancelCheck& cancel) {
    detail::solve_in_order(targets.size(), threads, cancel, out,
                           [&](std::size_t i, std::vector<IkSolution>& solutions) {
                               const auto found = ik(robot, targets[i]);
                               solutions.insert(solutions.end(), found.begin(), found.end());
                           });
}

IkBatchResult ik_many(const Crx& robot, std::span<const Pose> targets, unsigned threads, const CancelCheck& cancel) {
    detail::ResultSink sink(targets.size());
    ik_many(robot, targets, sink, threads, cancel);
    return std::move(sink.result);
}

std::vector<std::optional<JointVector>> ik_path(const Crx& robot, std::span<const Pose> targets,
                                                const JointVector& start, const CancelCheck& cancel) {
    std::vector<std::optional<JointVector>> path;
    path.reserve(targets.size());
    detail::BatchStop stop(cancel);
    // The choice is made against the previous solution as solved, so it is
    // exactly that of ik_closest; the rows are then unwrapped against the
    // previous row.
    JointVector previous = start;
    JointVector previous_row = start;
    for (const Pose& target : targets) {
        if (!stop.keep_going(true)) {
            break;
        }
        const auto best = ik_closest(robot, target, previous);
        if (best) {
            previous = best->joints;
            JointVector row;
            for (std::size_t i = 0; i < 6; ++i) {
                row[i] = nearest_turn(best->joints[i], previous_row[i]);
            }
            previous_row = row;
            path.emplace_back(row);
        } else {
            path.emplace_back(std::nullopt);
        }
    }
    if (stop.cancelled()) {
        throw BatchCancelled{};
    }
    return path;
}

}  // namespace ortholink
