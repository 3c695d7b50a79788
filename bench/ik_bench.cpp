// Time per target of the core inverse kinematics on the CRX-10iA.
//
//   ik_bench [targets] [seed] [--once]
//
// Targets are the flange poses of uniformly random joint vectors, so every one
// is reachable. Each target is solved once untimed to warm the caches, then
// timed several times in a row. Two distributions are printed: the first timed
// run of every target, and the fastest of its runs, which filters out
// interruptions by other processes on a shared machine. With --once every
// target is solved exactly once and nothing is timed: the run to give to
// valgrind --tool=callgrind, whose instruction counts do not depend on load.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

namespace {

constexpr int kRepetitions = 5;

double percentile(const std::vector<double>& sorted, double p) {
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20240611ULL;
    const bool once = argc > 3 && std::strcmp(argv[3], "--once") == 0;
    if (count == 0 || (argc > 3 && !once)) {
        std::fprintf(stderr, "usage: ik_bench [targets > 0] [seed] [--once]\n");
        return 2;
    }

    const ortholink::Crx robot = ortholink::Crx::new_10ia();
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    std::vector<ortholink::Pose> targets(count);
    for (auto& target : targets) {
        ortholink::JointVector joints;
        for (double& j : joints) {
            j = angle(rng);
        }
        target = ortholink::fk(robot, joints);
    }

    std::map<std::size_t, std::size_t> histogram;
    std::size_t sink = 0;
    for (const auto& target : targets) {
        const std::size_t n = ortholink::ik(robot, target).size();
        ++histogram[n];
        sink += n;
    }
    if (once) {
        std::printf("ik on CRX-10iA, %zu targets solved once (seed %llu), %zu solutions\n", count, seed, sink);
        return sink == 0 ? 1 : 0;
    }

    std::vector<double> first(count);
    std::vector<double> best(count);
    for (std::size_t i = 0; i < count; ++i) {
        for (int r = 0; r < kRepetitions; ++r) {
            const auto start = std::chrono::steady_clock::now();
            const auto solutions = ortholink::ik(robot, targets[i]);
            const auto stop = std::chrono::steady_clock::now();
            sink += solutions.size();
            const double us = std::chrono::duration<double, std::micro>(stop - start).count();
            first[i] = r == 0 ? us : first[i];
            best[i] = r == 0 ? us : std::min(best[i], us);
        }
    }

    std::printf("ik on CRX-10iA, %zu random reachable targets (seed %llu)\n", count, seed);
    for (auto* times : {&first, &best}) {
        std::sort(times->begin(), times->end());
        double total = 0.0;
        for (const double m : *times) {
            total += m;
        }
        std::printf("  %-16s median %.2f us   p99 %.2f us   mean %.2f us   max %.2f us\n",
                    times == &first ? "single run" : "best of 5 runs", percentile(*times, 0.5),
                    percentile(*times, 0.99), total / static_cast<double>(count), times->back());
    }
    std::printf("  solutions per target:");
    for (const auto& [n, times] : histogram) {
        std::printf("  %zu: %zu", n, times);
    }
    std::printf("\n");
    return sink == 0 ? 1 : 0;
}
