#include "ortholink/batch.hpp"

#include <algorithm>
#include <exception>
#include <thread>

namespace ortholink {
namespace {

constexpr unsigned kMaxDefaultThreads = 8;

unsigned effective_threads(std::size_t count, unsigned requested) noexcept {
    if (count < kParallelThreshold) {
        return 1;
    }
    const unsigned threads = requested == 0 ? default_thread_count() : requested;
    return static_cast<unsigned>(std::min<std::size_t>(threads, count));
}

// Runs body(chunk, begin, end) over `threads` contiguous chunks of [0, count);
// chunk 0 runs on the calling thread. The first exception is rethrown after
// every thread has finished.
template <class Body>
void run_chunks(std::size_t count, unsigned threads, Body&& body) {
    if (threads <= 1) {
        body(0u, std::size_t{0}, count);
        return;
    }
    std::vector<std::exception_ptr> errors(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    const auto bounds = [&](unsigned chunk) { return count * chunk / threads; };
    for (unsigned chunk = 1; chunk < threads; ++chunk) {
        workers.emplace_back([&, chunk] {
            try {
                body(chunk, bounds(chunk), bounds(chunk + 1));
            } catch (...) {
                errors[chunk] = std::current_exception();
            }
        });
    }
    try {
        body(0u, bounds(0), bounds(1));
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (const auto& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

}  // namespace

unsigned default_thread_count() noexcept {
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::clamp(hardware, 1u, kMaxDefaultThreads);
}

void fk_many(const Crx& robot, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads) {
    const std::size_t count = std::min(joints.size(), out.size());
    run_chunks(count, effective_threads(count, threads), [&](unsigned, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = fk(robot, joints[i]);
        }
    });
}

IkBatchResult ik_many(const Crx& robot, std::span<const Pose> targets, unsigned threads) {
    const std::size_t count = targets.size();
    const unsigned used = effective_threads(count, threads);
    std::vector<std::vector<IkSolution>> parts(used);
    std::vector<std::int64_t> counts(count, 0);
    run_chunks(count, used, [&](unsigned chunk, std::size_t begin, std::size_t end) {
        auto& part = parts[chunk];
        for (std::size_t i = begin; i < end; ++i) {
            const auto solutions = ik(robot, targets[i]);
            counts[i] = static_cast<std::int64_t>(solutions.size());
            part.insert(part.end(), solutions.begin(), solutions.end());
        }
    });

    IkBatchResult result;
    result.offsets.resize(count + 1);
    result.offsets[0] = 0;
    for (std::size_t i = 0; i < count; ++i) {
        result.offsets[i + 1] = result.offsets[i] + counts[i];
    }
    if (used == 1) {
        result.solutions = std::move(parts[0]);
        return result;
    }
    // Each thread copies its own part into place; the parts are contiguous in target order.
    result.solutions.resize(static_cast<std::size_t>(result.offsets[count]));
    run_chunks(used, used, [&](unsigned, std::size_t begin, std::size_t end) {
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            const std::size_t first_target = count * chunk / used;
            const auto at = static_cast<std::ptrdiff_t>(result.offsets[first_target]);
            std::copy(parts[chunk].begin(), parts[chunk].end(), result.solutions.begin() + at);
            std::vector<IkSolution>().swap(parts[chunk]);
        }
    });
    return result;
}

std::vector<std::optional<JointVector>> ik_path(const Crx& robot, std::span<const Pose> targets,
                                                const JointVector& start) {
    std::vector<std::optional<JointVector>> path;
    path.reserve(targets.size());
    JointVector previous = start;
    for (const Pose& target : targets) {
        const auto best = ik_closest(robot, target, previous);
        if (best) {
            previous = best->joints;
            path.emplace_back(best->joints);
        } else {
            path.emplace_back(std::nullopt);
        }
    }
    return path;
}

}  // namespace ortholink
