#pragma once
// Running a batch over a few threads: contiguous chunks, the calling thread
// working too, every started thread joined on every path, and cancellation
// asked from the calling thread while the others work.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ortholink/batch.hpp"

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
    std::atomic<bool> stopped_{false};
};

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

}  // namespace ortholink::detail
