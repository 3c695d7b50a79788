#pragma once
// Running a batch over a few threads: contiguous chunks, the calling thread
// working too, every started thread joined on every path, and cancellation
// asked from the calling thread while the others work.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ortholink/batch.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink::detail {

using Clock = std::chrono::steady_clock;

// How often the calling thread asks the cancellation check.
inline constexpr auto kPollInterval = std::chrono::milliseconds(2);

// Items between two clock reads on the calling thread: a few microseconds of
// forward kinematics, well under the interval for inverse kinematics.
inline constexpr unsigned kItemsPerClockRead = 16;

// The stop state of one batch. Workers only read the flag; the calling
// thread also asks the caller's check when the interval has passed.
class BatchStop {
public:
    explicit BatchStop(const CancelCheck& cancel) noexcept : cancel_(cancel), next_poll_(Clock::now() + kPollInterval) {}

    // Called once per item; false once the batch should stop.
    bool keep_going(bool on_caller) {
        if (on_caller && ++items_ % kItemsPerClockRead == 0) {
            poll();
        }
        return !stopped_.load(std::memory_order_relaxed);
    }

    // Calling thread only: asks the check if the interval has passed.
    void poll() {
        const auto now = Clock::now();
        if (now < next_poll_ || cancelled_) {
            return;
        }
        if (cancel_()) {
            cancelled_ = true;
            stop();
        }
        next_poll_ = Clock::now() + kPollInterval;
    }

    void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept { return cancelled_; }

private:
    const CancelCheck& cancel_;
    Clock::time_point next_poll_;
    unsigned items_ = 0;
    bool cancelled_ = false;
    // On a cache line of its own: the other threads read it for every item
    // while the calling thread counts its items.
    alignas(64) std::atomic<bool> stopped_{false};
};

// `count` items written into `out` by append(at, n) (n items after the
// first `at`) a slice at a time, with the calling thread's `stop` asked in
// between (throws BatchCancelled): a vector of hundreds of megabytes takes
// seconds to fault in.
template <class T, class Append>
void write_polled(std::vector<T>& out, std::size_t count, BatchStop& stop, Append&& append) {
    constexpr std::size_t kSlice = std::size_t{1} << 18;
    out.clear();
    out.reserve(count);
    while (out.size() < count) {
        append(out.size(), std::min(kSlice, count - out.size()));
        stop.poll();
        if (stop.cancelled()) throw BatchCancelled{};
    }
}

// `count` copies of `value` in `out`, as write_polled writes.
template <class T>
void fill_polled(std::vector<T>& out, std::size_t count, const T& value, BatchStop& stop) {
    write_polled(out, count, stop, [&](std::size_t, std::size_t n) { out.insert(out.end(), n, value); });
}

// A copy of `from` in `out`, as write_polled writes.
template <class T>
void copy_polled(const std::vector<T>& from, std::vector<T>& out, BatchStop& stop) {
    write_polled(out, from.size(), stop, [&](std::size_t at, std::size_t n) {
        const auto first = from.begin() + static_cast<std::ptrdiff_t>(at);
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(n));
    });
}

// The threads a batch of `count` items runs on: one below the parallel
// threshold, else the request (0: the default), at most one per item.
inline unsigned effective_threads(std::size_t count, unsigned requested) noexcept {
    if (count < kParallelThreshold) {
        return 1;
    }
    const unsigned threads = requested == 0 ? default_thread_count() : requested;
    return static_cast<unsigned>(count < threads ? count : threads);
}

struct StartThread {
    template <class Function>
    std::thread operator()(Function&& function) const {
        return std::thread(std::forward<Function>(function));
    }
};

// Runs body(chunk, begin, end, on_caller) over `threads` contiguous chunks of
// [0, count); body calls stop.keep_going(on_caller) before each item and
// returns when it is false. Chunk 0 runs on the calling thread. A thread that
// cannot be started (no memory, a process limit) leaves its chunk, and every
// later one, to the calling thread, so the results do not depend on it. The
// first exception of any chunk is rethrown after every started thread has
// been joined; a cancellation throws BatchCancelled.
template <class Body, class Start = StartThread>
void run_chunks(std::size_t count, unsigned threads, BatchStop& stop, Body&& body, Start&& start = Start{}) {
    if (threads <= 1) {
        body(0u, std::size_t{0}, count, true);
        if (stop.cancelled()) throw BatchCancelled{};
        return;
    }
    const auto bounds = [&](unsigned chunk) { return count * chunk / threads; };
    std::vector<std::exception_ptr> errors(threads);
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);

    // Joins whatever was started, whichever way this function is left.
    struct JoinAll {
        std::vector<std::thread>& workers;
        BatchStop& stop;
        ~JoinAll() {
            for (auto& worker : workers) {
                if (worker.joinable()) {
                    stop.stop();
                    worker.join();
                }
            }
        }
    } join_all{workers, stop};

    unsigned started = 1;
    for (; started < threads; ++started) {
        const unsigned chunk = started;
        {
            std::lock_guard lock(mutex);
            ++running;
        }
        try {
            workers.push_back(start([&, chunk] {
                try {
                    body(chunk, bounds(chunk), bounds(chunk + 1), false);
                } catch (...) {
                    errors[chunk] = std::current_exception();
                    stop.stop();
                }
                std::lock_guard lock(mutex);
                --running;
                finished.notify_one();
            }));
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex);
            --running;
            break;
        } catch (const std::bad_alloc&) {
            std::lock_guard lock(mutex);
            --running;
            break;
        }
    }
    // Chunk 0, then the chunks no thread took.
    for (unsigned chunk = 0; chunk < threads; chunk = chunk == 0 ? started : chunk + 1) {
        try {
            body(chunk, bounds(chunk), bounds(chunk + 1), true);
        } catch (...) {
            errors[chunk] = std::current_exception();
            stop.stop();
        }
    }
    std::unique_lock lock(mutex);
    while (running > 0) {
        finished.wait_for(lock, kPollInterval);
        lock.unlock();
        stop.poll();
        lock.lock();
    }
    lock.unlock();
    for (auto& worker : workers) {
        worker.join();
    }
    if (stop.cancelled()) {
        throw BatchCancelled{};
    }
    for (const auto& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

// Writes make(i) for i in [0, count) as 4x4 matrices, 16 values each, into
// `out` (count * 16 values), over `threads` threads (0: the default).
template <class Make>
void poses_into(std::size_t count, unsigned threads, const CancelCheck& cancel, double* out, Make&& make) {
    BatchStop stop(cancel);
    run_chunks(count, effective_threads(count, threads), stop,
               [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                   for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                       iso_into(make(i), out + 16 * i);
                   }
               });
}

// Targets per block of an ordered batch: a millisecond or two of inverse
// kinematics, so the few blocks waiting for their turn stay small.
inline constexpr std::size_t kTargetsPerBlock = 256;

// Runs solve(i, solutions), which appends the solutions of target i, for
// every target in [0, count). Threads take blocks of targets in order as they
// become free, and each finished block goes to out.append in target order,
// one call at a time: the sink receives every solution once, as the results
// of one thread would arrive.
template <class Solve>
void solve_in_order(std::size_t count, unsigned threads, const CancelCheck& cancel, IkBatchSink& out, Solve&& solve) {
    struct Block {
        std::vector<IkSolution> solutions;
        std::vector<std::int64_t> counts;
    };
    const std::size_t blocks = (count + kTargetsPerBlock - 1) / kTargetsPerBlock;
    std::atomic<std::size_t> next_block{0};
    std::mutex mutex;
    std::size_t next_append = 0;
    std::map<std::size_t, Block> waiting;  // finished before the blocks ahead of them
    BatchStop stop(cancel);
    const unsigned used = effective_threads(count, threads);
    run_chunks(used, used, stop, [&](unsigned, std::size_t, std::size_t, bool on_caller) {
        Block block;
        for (std::size_t b = next_block++; b < blocks; b = next_block++) {
            block.solutions.clear();
            block.counts.clear();
            const std::size_t end = std::min(count, (b + 1) * kTargetsPerBlock);
            for (std::size_t i = b * kTargetsPerBlock; i < end; ++i) {
                if (!stop.keep_going(on_caller)) {
                    return;
                }
                const std::size_t before = block.solutions.size();
                solve(i, block.solutions);
                block.counts.push_back(static_cast<std::int64_t>(block.solutions.size() - before));
            }
            std::lock_guard lock(mutex);
            if (b != next_append) {
                waiting.emplace(b, std::move(block));
                block = Block{};
                continue;
            }
            out.append(block.solutions, block.counts);
            ++next_append;
            for (auto it = waiting.find(next_append); it != waiting.end(); it = waiting.find(next_append)) {
                out.append(it->second.solutions, it->second.counts);
                waiting.erase(it);
                ++next_append;
            }
        }
    });
}

// A sink that collects a batch into an IkBatchResult.
class ResultSink final : public IkBatchSink {
public:
    explicit ResultSink(std::size_t targets) {
        result.offsets.reserve(targets + 1);
        result.offsets.push_back(0);
    }
    void append(std::span<const IkSolution> solutions, std::span<const std::int64_t> counts) override {
        result.solutions.insert(result.solutions.end(), solutions.begin(), solutions.end());
        for (const std::int64_t count : counts) {
            result.offsets.push_back(result.offsets.back() + count);
        }
    }

    IkBatchResult result;
};

}  // namespace ortholink::detail
