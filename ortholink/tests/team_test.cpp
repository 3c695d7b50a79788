#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>

#include "team.hpp"

namespace ortholink::detail {
namespace {

// Many short steps in a row, of sizes that change from step to step (so that
// a thread late for one step meets the next one's fields): every item of
// every step is done exactly once, and the step is over when run returns.
TEST(Team, EveryItemOfEveryStepOnce) {
    for (const unsigned threads : {1u, 2u, 4u}) {
        Team team(threads);
        std::vector<std::atomic<int>> seen(5000);
        for (int step = 0; step < 3000; ++step) {
            const std::size_t begin = static_cast<std::size_t>(step * 7) % 300;
            const std::size_t end = begin + 1 + static_cast<std::size_t>(step * 131) % 4000;
            team.run(begin, end, 16, [&](std::size_t first, std::size_t last, bool) {
                for (std::size_t i = first; i < last; ++i) {
                    seen[i].fetch_add(1, std::memory_order_relaxed);
                }
            });
            for (std::size_t i = 0; i < seen.size(); ++i) {
                const int expected = i >= begin && i < end ? 1 : 0;
                ASSERT_EQ(seen[i].exchange(0), expected) << "threads " << threads << " step " << step << " item " << i;
            }
        }
    }
}

// While the caller waits for a long block of the team's it keeps calling
// idle(); a caller that has work of its own does not wait.
TEST(Team, TheWaitingCallerIsIdleNotAsleep) {
    Team team(2);
    if (team.size() < 2) {
        GTEST_SKIP() << "no second thread";
    }
    std::atomic<int> idles{0};
    std::atomic<bool> release{false};
    std::atomic<bool> worker_in{false};
    team.run(
        0, 2, 1,
        [&](std::size_t, std::size_t, bool on_caller) {
            if (on_caller) {
                // Held until the worker has the other block.
                while (!worker_in.load()) {
                    std::this_thread::yield();
                }
                return;
            }
            worker_in.store(true);
            // The worker's block lasts until the caller has been idle a few times.
            while (!release.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        },
        [&] {
            if (idles.fetch_add(1) + 1 >= 5) {
                release.store(true);
            }
        });
    EXPECT_GE(idles.load(), 5);
}

// The calling thread takes part in every step, and the only one told so.
TEST(Team, OnlyTheCallerIsOnCaller) {
    Team team(2);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> wrong{0};
    for (int step = 0; step < 200; ++step) {
        team.run(0, 4096, 64, [&](std::size_t, std::size_t, bool on_caller) {
            if (on_caller != (std::this_thread::get_id() == caller)) {
                ++wrong;
            }
        });
    }
    EXPECT_EQ(wrong.load(), 0);
}

// A block that throws ends its step with the exception, after every other
// block is done; the team goes on with the next step.
TEST(Team, ExceptionOfABlockAfterTheStep) {
    Team team(2);
    std::atomic<int> done{0};
    EXPECT_THROW(team.run(0, 6400, 100,
                          [&](std::size_t first, std::size_t, bool) {
                              if (first == 0) {
                                  throw std::runtime_error("block");
                              }
                              std::this_thread::sleep_for(std::chrono::microseconds(50));
                              ++done;
                          }),
                 std::runtime_error);
    EXPECT_EQ(done.load(), 63);
    std::atomic<std::size_t> items{0};
    team.run(0, 1000, 10, [&](std::size_t first, std::size_t last, bool) { items += last - first; });
    EXPECT_EQ(items.load(), 1000u);
}

// Steps long apart: the team's threads have gone to sleep and wake for the next.
TEST(Team, WakesAfterSleeping) {
    Team team(3);
    for (int step = 0; step < 5; ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::atomic<std::size_t> items{0};
        team.run(0, 10000, 100, [&](std::size_t first, std::size_t last, bool) { items += last - first; });
        EXPECT_EQ(items.load(), 10000u);
    }
}

}  // namespace
}  // namespace ortholink::detail
