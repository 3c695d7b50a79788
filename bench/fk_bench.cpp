// Per-call time of the core forward kinematics.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ortholink/fk.hpp"

namespace {

std::vector<ortholink::JointVector> random_joints(std::size_t count) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    std::vector<ortholink::JointVector> out(count);
    for (auto& j : out) {
        for (double& v : j) v = angle(rng);
    }
    return out;
}

void BM_FkAll(benchmark::State& state) {
    const auto robot = ortholink::Crx::new_10ia();
    const auto joints = random_joints(1024);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ortholink::fk_all(robot, joints[i++ & 1023]));
    }
}
BENCHMARK(BM_FkAll);

void BM_Fk(benchmark::State& state) {
    const auto robot = ortholink::Crx::new_10ia();
    const auto joints = random_joints(1024);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ortholink::fk(robot, joints[i++ & 1023]));
    }
}
BENCHMARK(BM_Fk);

}  // namespace

BENCHMARK_MAIN();
