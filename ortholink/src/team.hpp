#pragma once
// A few threads kept for the length of one computation that runs many short
// parallel steps in a row (a path search, layer by layer). Each step is cut
// into blocks that the calling thread and the team's threads take as they
// come, so a thread the system has put aside holds up no step: the others
// take its blocks. Between steps the team's threads wait, spinning a little,
// then asleep. Starting threads per step would cost more than the steps.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace ortholink::detail {

// Spins of a waiting thread before it sleeps: a few microseconds, about the
// sequential work between two steps.
inline constexpr unsigned kTeamSpins = 1u << 11;
// Blocks of one step, at most.
inline constexpr std::size_t kMostBlocks = 64;
static_assert(kMostBlocks < (std::size_t{1} << 16));

inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

class Team {
public:
    // A team of up to `threads` threads, the caller included; fewer when a
    // thread cannot be started.
    explicit Team(unsigned threads) {
        const unsigned helpers = threads > 1 ? threads - 1 : 0;
        workers_.reserve(helpers);
        for (unsigned helper = 0; helper < helpers; ++helper) {
            try {
                workers_.emplace_back([this] { serve(); });
            } catch (const std::system_error&) {
                break;
            } catch (const std::bad_alloc&) {
                break;
            }
        }
    }

    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    ~Team() {
        quit_.store(true, std::memory_order_release);
        ticket_.fetch_add(kGeneration, std::memory_order_acq_rel);
        wake(next_step_);
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }

    unsigned size() const noexcept { return static_cast<unsigned>(workers_.size()) + 1; }

    // Runs body(first, last, on_caller) over blocks of [begin, end) of at
    // least `least` items each (one block when the range is smaller), on the
    // calling thread (on_caller true) and the team's, and returns when every
    // block is done. The first exception of a block is rethrown then.
    // While the calling thread waits for the team's last blocks it calls
    // idle() every few milliseconds (to answer Ctrl-C; the blocks' own
    // checks stop them).
    template <class Body, class Idle>
    void run(std::size_t begin, std::size_t end, std::size_t least, Body&& body, Idle&& idle) {
        run_with(begin, end, least, body, &idle);
    }

    template <class Body>
    void run(std::size_t begin, std::size_t end, std::size_t least, Body&& body) {
        run_with(begin, end, least, body, static_cast<void (*)()>(nullptr));
    }

private:
    // The waits of the caller, with idle() in between when it is given.
    static constexpr auto kIdleInterval = std::chrono::milliseconds(2);

    template <class Body, class Idle>
    void run_with(std::size_t begin, std::size_t end, std::size_t least, Body& body, Idle* idle) {
        const std::size_t count = end - begin;
        const std::size_t blocks = workers_.empty() ? 1 : std::clamp<std::size_t>(count / std::max<std::size_t>(least, 1), 1, kMostBlocks);
        if (blocks == 1) {
            body(begin, end, true);
            return;
        }
        context_.store(&body, std::memory_order_relaxed);
        call_.store(
            [](void* context, std::size_t first, std::size_t last) {
                (*static_cast<std::remove_reference_t<Body>*>(context))(first, last, false);
            },
            std::memory_order_relaxed);
        begin_.store(begin, std::memory_order_relaxed);
        count_.store(count, std::memory_order_relaxed);
        done_.store(0, std::memory_order_relaxed);
        const std::uint64_t generation =
            (ticket_.load(std::memory_order_relaxed) & ~kStepMask) + kGeneration + (std::uint64_t{blocks} << kBlockBits);
        ticket_.store(generation, std::memory_order_release);
        wake(next_step_);
        for (std::uint64_t ticket = generation; block_of(ticket) < blocks;) {
            if (ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel)) {
                const std::size_t block = block_of(ticket);
                run_block([&](std::size_t first, std::size_t last) { body(first, last, true); }, begin, count, blocks,
                          block);
                ticket = ticket_.load(std::memory_order_acquire);
            }
        }
        for (unsigned spin = 0;; ++spin) {
            const std::size_t done = done_.load(std::memory_order_acquire);
            if (done == blocks) {
                break;
            }
            if (idle == nullptr || spin < kTeamSpins) {
                pause_or_sleep(spin, done_, done, steps_done_);
                continue;
            }
            {
                std::unique_lock lock(sleep_mutex_);
                steps_done_.wait_for(lock, kIdleInterval, [&] { return done_.load(std::memory_order_acquire) != done; });
            }
            (*idle)();
        }
        if (error_) {
            std::exception_ptr first = std::move(error_);
            error_ = nullptr;
            std::rethrow_exception(first);
        }
    }

private:
    // The wait of a thread for `value` to leave `seen`: a pause for the
    // first spins, then asleep on `condition` until it has.
    template <class Value>
    void pause_or_sleep(unsigned spin, const std::atomic<Value>& value, Value seen, std::condition_variable& condition) {
        if (spin < kTeamSpins) {
            relax();
            return;
        }
        std::unique_lock lock(sleep_mutex_);
        condition.wait(lock, [&] { return value.load(std::memory_order_acquire) != seen; });
    }

    // Wakes the threads asleep on `condition`. A sleeper tests its condition
    // under the mutex, so taking it here means none is between its test and
    // its sleep.
    void wake(std::condition_variable& condition) {
        { std::lock_guard lock(sleep_mutex_); }
        condition.notify_all();
    }

    // The ticket: the step's generation in the high half, then its block
    // count, then the next block to take. A thread decides from the ticket
    // alone whether a block is left, and reads the step's fields only once
    // it holds one (the fields of a step about to begin may be half written).
    static constexpr unsigned kBlockBits = 16;
    static constexpr std::uint64_t kGeneration = std::uint64_t{1} << 32;
    static constexpr std::uint64_t kStepMask = kGeneration - 1;
    static constexpr std::size_t block_of(std::uint64_t ticket) noexcept {
        return static_cast<std::size_t>(ticket & ((std::uint64_t{1} << kBlockBits) - 1));
    }
    static constexpr std::size_t blocks_of(std::uint64_t ticket) noexcept {
        return static_cast<std::size_t>((ticket & kStepMask) >> kBlockBits);
    }

    template <class Block>
    void run_block(Block&& block_body, std::size_t begin, std::size_t count, std::size_t blocks, std::size_t block) {
        try {
            block_body(begin + count * block / blocks, begin + count * (block + 1) / blocks);
        } catch (...) {
            std::lock_guard lock(error_mutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
        }
        if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == blocks) {
            wake(steps_done_);
        }
    }

    void serve() {
        for (unsigned spin = 0;; ++spin) {
            std::uint64_t ticket = ticket_.load(std::memory_order_acquire);
            if (quit_.load(std::memory_order_acquire)) {
                return;
            }
            if (block_of(ticket) < blocks_of(ticket)) {
                // A claimed block holds its step open, so the step's fields
                // read after the claim are its own.
                if (ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel)) {
                    void* const context = context_.load(std::memory_order_relaxed);
                    const auto call = call_.load(std::memory_order_relaxed);
                    run_block([&](std::size_t first, std::size_t last) { call(context, first, last); },
                              begin_.load(std::memory_order_relaxed), count_.load(std::memory_order_relaxed),
                              blocks_of(ticket), block_of(ticket));
                }
                spin = 0;
                continue;
            }
            pause_or_sleep(spin, ticket_, ticket, next_step_);
        }
    }

    std::atomic<std::uint64_t> ticket_{0};
    std::atomic<void*> context_{nullptr};
    std::atomic<void (*)(void*, std::size_t, std::size_t)> call_{nullptr};
    std::atomic<std::size_t> begin_{0};
    std::atomic<std::size_t> count_{0};
    alignas(64) std::atomic<std::size_t> done_{0};
    std::atomic<bool> quit_{false};
    std::mutex sleep_mutex_;
    std::condition_variable next_step_;
    std::condition_variable steps_done_;
    std::mutex error_mutex_;
    std::exception_ptr error_;
    std::vector<std::thread> workers_;
};

}  // namespace ortholink::detail
