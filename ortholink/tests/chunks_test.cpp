#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "chunks.hpp"
#include "ortholink/batch.hpp"

namespace ortholink {
namespace {

// Starts real threads until `allowed` have started, then fails as
// std::thread does when the process is out of threads or memory.
template <class Failure>
struct FailingStart {
    unsigned allowed;
    unsigned* attempts;

    template <class Function>
    std::thread operator()(Function&& function) const {
        if ((*attempts)++ >= allowed) {
            throw Failure();
        }
        return std::thread(std::forward<Function>(function));
    }
};

struct OutOfThreads : std::system_error {
    OutOfThreads() : std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)) {}
};

template <class Failure>
void expect_every_item_once(unsigned threads, unsigned allowed) {
    constexpr std::size_t kCount = 1000;
    std::vector<std::atomic<int>> seen(kCount);
    std::vector<std::thread::id> chunk_thread(threads);
    unsigned attempts = 0;
    const CancelCheck never;
    detail::BatchStop stop(never);
    detail::run_chunks(
        kCount, threads, stop,
        [&](unsigned chunk, std::size_t begin, std::size_t end, bool on_caller) {
            chunk_thread[chunk] = std::this_thread::get_id();
            for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                seen[i].fetch_add(1);
            }
        },
        FailingStart<Failure>{allowed, &attempts});
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(seen[i].load(), 1) << "item " << i << ", threads " << threads << ", allowed " << allowed;
    }
    // The chunks no thread took ran on the calling thread.
    for (unsigned chunk = 0; chunk < threads; ++chunk) {
        const bool on_caller = chunk == 0 || chunk > allowed;
        EXPECT_EQ(chunk_thread[chunk] == std::this_thread::get_id(), on_caller) << chunk;
    }
}

TEST(Chunks, ThreadsThatCannotStartLeaveTheirChunksToTheCaller) {
    for (const unsigned allowed : {0u, 1u, 2u, 5u}) {
        expect_every_item_once<OutOfThreads>(6, allowed);
        expect_every_item_once<std::bad_alloc>(6, allowed);
    }
}

TEST(Chunks, AFailingChunkIsRethrownAfterTheOthersStop) {
    const CancelCheck never;
    detail::BatchStop stop(never);
    std::atomic<std::size_t> done{0};
    EXPECT_THROW(detail::run_chunks(100000, 4, stop,
                                    [&](unsigned chunk, std::size_t begin, std::size_t end, bool on_caller) {
                                        if (chunk == 2) throw std::runtime_error("chunk 2");
                                        for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                                            done.fetch_add(1);
                                        }
                                    }),
                 std::runtime_error);
    EXPECT_LT(done.load(), 100000u);
}

TEST(Chunks, CancellationStopsEveryThreadAndThrows) {
    for (const unsigned threads : {1u, 2u, 4u}) {
        int asked = 0;
        const auto cancel_at_third = [&] { return ++asked >= 3; };
        const CancelCheck cancel(cancel_at_third);
        detail::BatchStop stop(cancel);
        std::atomic<std::size_t> done{0};
        // Far more items than run in the few polls before the cancellation.
        EXPECT_THROW(detail::run_chunks(std::size_t{1} << 40, threads, stop,
                                        [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                                            for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                                                done.fetch_add(1, std::memory_order_relaxed);
                                            }
                                        }),
                     BatchCancelled)
            << threads;
        EXPECT_EQ(asked, 3);
    }
}

TEST(Chunks, TheCallerKeepsAskingWhileWorkersRun) {
    // The calling thread's own chunk is empty; it must still poll while the
    // worker runs, and the cancellation must reach the worker.
    int asked = 0;
    const auto cancel_at_second = [&] { return ++asked >= 2; };
    const CancelCheck cancel(cancel_at_second);
    detail::BatchStop stop(cancel);
    EXPECT_THROW(detail::run_chunks(std::size_t{1} << 40, 2, stop,
                                    [&](unsigned chunk, std::size_t begin, std::size_t end, bool on_caller) {
                                        if (chunk == 0) return;
                                        for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                                        }
                                    }),
                 BatchCancelled);
    EXPECT_EQ(asked, 2);
}

TEST(Chunks, LargeFillsAnswerBetweenSlices) {
    const auto always = [] { return true; };
    const CancelCheck cancel(always);
    detail::BatchStop stop(cancel);
    std::this_thread::sleep_for(detail::kPollInterval * 2);  // past the first poll's time
    std::vector<double> out;
    EXPECT_THROW(detail::fill_polled(out, std::size_t{1} << 26, 1.0, stop), BatchCancelled);
    EXPECT_LT(out.size(), std::size_t{1} << 26);
    const auto never = [] { return false; };
    const CancelCheck calm(never);
    detail::BatchStop go_on(calm);
    detail::fill_polled(out, 1000003, 2.0, go_on);
    ASSERT_EQ(out.size(), 1000003U);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](double v) { return v == 2.0; }));
    std::vector<double> copy;
    detail::copy_polled(out, copy, go_on);
    EXPECT_EQ(copy, out);
}

TEST(Batch, CancelledBatchesThrow) {
    const Crx robot = Crx::new_10ia();
    const auto always = [] { return true; };
    const CancelCheck cancel(always);
    // Enough work that each batch outlasts the first poll (2 ms) on two
    // threads of a fast machine: 20,000 rows of fk took 1.7 ms and sometimes
    // finished first, 1,000 of ik about 2.5 ms.
    std::vector<JointVector> joints(400000, JointVector{10, 20, 30, 40, 50, 60});
    std::vector<Pose> poses(joints.size());
    for (const unsigned threads : {1u, 2u}) {
        EXPECT_THROW(fk_many(robot, joints, poses, threads, cancel), BatchCancelled);
    }
    fk_many(robot, std::span<const JointVector>(joints).first(10000), poses, 1);
    const std::vector<Pose> targets(poses.begin(), poses.begin() + 10000);
    for (const unsigned threads : {1u, 2u}) {
        EXPECT_THROW(ik_many(robot, targets, threads, cancel), BatchCancelled);
    }
    EXPECT_THROW(ik_path(robot, targets, JointVector{}, cancel), BatchCancelled);
}

TEST(Batch, NearestTurn) {
    EXPECT_EQ(nearest_turn(-170.0, 170.0), 190.0);
    EXPECT_EQ(nearest_turn(170.0, -170.0), -190.0);
    EXPECT_EQ(nearest_turn(10.0, 725.0), 730.0);
    EXPECT_EQ(nearest_turn(10.0, -900.0), -1070.0);
    EXPECT_EQ(nearest_turn(10.0, std::nan("")), 10.0);
    EXPECT_EQ(nearest_turn(10.0, INFINITY), 10.0);
}

TEST(Batch, IkPathRowsAreUnwrapped) {
    // J6 turns from 150 to 210 degrees: the rows follow it past 180 instead of
    // jumping to -180, and every row still reaches its target.
    const Crx robot = Crx::new_10ia();
    std::vector<Pose> targets;
    for (int a = 150; a <= 210; a += 5) {
        targets.push_back(fk(robot, JointVector{10, 20, 30, 40, 50, static_cast<double>(a)}));
    }
    const auto path = ik_path(robot, targets, JointVector{10, 20, 30, 40, 50, 150});
    ASSERT_EQ(path.size(), targets.size());
    for (std::size_t k = 0; k < path.size(); ++k) {
        ASSERT_TRUE(path[k].has_value());
        EXPECT_NEAR((*path[k])[5], 150.0 + 5.0 * static_cast<double>(k), 1e-6) << k;
    }
}

}  // namespace
}  // namespace ortholink
