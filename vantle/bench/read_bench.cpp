// Reading speed of a 50,000-triangle mesh stream written with the default
// options (0.01 mm, high-water indices, vertices in order of first use).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>

#include "vantle/vantle.hpp"

namespace {

// A torus of 250 x 100 quads (radii 120 and 45 mm) with a little surface
// relief: 25,000 vertices, 50,000 triangles.
vantle::Mesh torus() {
    constexpr int kU = 250;
    constexpr int kV = 100;
    constexpr double kTwoPi = 6.283185307179586;
    vantle::Mesh mesh;
    for (int i = 0; i < kU; ++i) {
        for (int j = 0; j < kV; ++j) {
            const double u = kTwoPi * i / kU;
            const double v = kTwoPi * j / kV;
            const double r = 45.0 + 0.8 * std::sin(7 * u) * std::cos(5 * v);
            mesh.vertices.push_back({(120.0 + r * std::cos(v)) * std::cos(u), (120.0 + r * std::cos(v)) * std::sin(u),
                                     r * std::sin(v)});
        }
    }
    const auto at = [](int i, int j) { return static_cast<std::uint32_t>((i % kU) * kV + (j % kV)); };
    for (int i = 0; i < kU; ++i) {
        for (int j = 0; j < kV; ++j) {
            mesh.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            mesh.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    return vantle::renumber_by_first_use(mesh);
}

const std::vector<std::uint8_t>& stream() {
    static const std::vector<std::uint8_t> bytes = vantle::write_mesh(torus());
    return bytes;
}

void BM_ReadOneFrom50kTriangles(benchmark::State& state) {
    const auto& bytes = stream();
    for (auto _ : state) {
        vantle::Mesh mesh = vantle::read_one_from(std::span<const std::uint8_t>(bytes));
        benchmark::DoNotOptimize(mesh.vertices.data());
        benchmark::DoNotOptimize(mesh.triangles.data());
    }
    state.counters["stream_bytes"] = static_cast<double>(bytes.size());
    state.counters["triangles"] = 50000;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReadOneFrom50kTriangles)->Unit(benchmark::kMicrosecond);

void BM_WriteMesh50kTriangles(benchmark::State& state) {
    const vantle::Mesh mesh = torus();
    for (auto _ : state) {
        auto bytes = vantle::write_mesh(mesh);
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_WriteMesh50kTriangles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
