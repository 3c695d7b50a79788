// Per-call time of the distance kernels and of the point index, on a table-top
// scan: 2 m × 2 m, a point every 2 mm, capsules of radius 60 mm along
// segments 100-300 mm long passing 0-200 mm above it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "collision/distance.hpp"
#include "ortholink/collision.hpp"

namespace {

using ortholink::Box;
using ortholink::Cylinder;
using ortholink::HalfSpace;
using ortholink::Pose;
using ortholink::Quat;
using ortholink::Vec3;
namespace collision = ortholink::collision;

constexpr std::size_t kCases = 1024;

struct Segment {
    Vec3 a;
    Vec3 b;
};

Vec3 random_point(std::mt19937_64& rng, double s) {
    std::uniform_real_distribution<double> u(-s, s);
    return Vec3{u(rng), u(rng), u(rng)};
}

std::vector<Segment> random_segments(std::uint64_t seed, double s) {
    std::mt19937_64 rng(seed);
    std::vector<Segment> out(kCases);
    for (Segment& seg : out) seg = Segment{random_point(rng, s), random_point(rng, s)};
    return out;
}

Quat random_rotation(std::mt19937_64& rng) {
    std::normal_distribution<double> n(0.0, 1.0);
    const double x = n(rng), y = n(rng), z = n(rng), w = n(rng);
    const double l = std::sqrt(x * x + y * y + z * z + w * w);
    return Quat{x / l, y / l, z / l, w / l};
}

void BM_SegmentSegment(benchmark::State& state) {
    const auto p = random_segments(1, 500.0);
    const auto q = random_segments(2, 500.0);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::segment_segment_distance(p[k].a, p[k].b, q[k].a, q[k].b));
    }
}
BENCHMARK(BM_SegmentSegment);

void BM_PointSegment(benchmark::State& state) {
    const auto p = random_segments(1, 500.0);
    const auto q = random_segments(2, 500.0);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::point_segment_distance(p[k].a, q[k].a, q[k].b));
    }
}
BENCHMARK(BM_PointSegment);

void BM_SegmentHalfSpace(benchmark::State& state) {
    const auto p = random_segments(1, 500.0);
    const HalfSpace floor{{0.0, 0.0, 1.0}, -100.0};
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::segment_half_space_distance(p[k].a, p[k].b, floor));
    }
}
BENCHMARK(BM_SegmentHalfSpace);

template <class Solid, class Make>
std::vector<Solid> random_solids(const Make& make) {
    std::mt19937_64 rng(3);
    std::vector<Solid> out(kCases);
    for (Solid& s : out) s = make(rng);
    return out;
}

void BM_SegmentBox(benchmark::State& state) {
    const auto p = random_segments(1, 500.0);
    const auto boxes = random_solids<Box>([](std::mt19937_64& rng) {
        return Box{Pose{random_rotation(rng), random_point(rng, 300.0)}, Vec3{200.0, 100.0, 300.0}};
    });
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::segment_box_distance(p[k].a, p[k].b, boxes[k]));
    }
}
BENCHMARK(BM_SegmentBox);

void BM_SegmentCylinder(benchmark::State& state) {
    const auto p = random_segments(1, 500.0);
    const auto cylinders = random_solids<Cylinder>([](std::mt19937_64& rng) {
        return Cylinder{Pose{random_rotation(rng), random_point(rng, 300.0)}, 80.0, 300.0};
    });
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::segment_cylinder_distance(p[k].a, p[k].b, cylinders[k]));
    }
}
BENCHMARK(BM_SegmentCylinder);

void BM_BoxBox(benchmark::State& state) {
    const auto make = [](std::mt19937_64& rng) {
        return Box{Pose{random_rotation(rng), random_point(rng, 400.0)}, Vec3{200.0, 100.0, 150.0}};
    };
    const auto a = random_solids<Box>(make);
    std::mt19937_64 rng(4);
    std::vector<Box> b(kCases);
    for (Box& box : b) box = make(rng);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ & (kCases - 1);
        benchmark::DoNotOptimize(collision::box_box_distance(a[k], b[k]));
    }
}
BENCHMARK(BM_BoxBox);

// The table top: (1001)² points 2 mm apart at z in [-0.5, 0.5] (scan noise).
std::vector<Vec3> table_scan() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> noise(-0.5, 0.5);
    std::vector<Vec3> points;
    points.reserve(1001 * 1001);
    for (int i = 0; i <= 1000; ++i) {
        for (int j = 0; j <= 1000; ++j) {
            points.push_back(Vec3{2.0 * i - 1000.0, 2.0 * j - 1000.0, noise(rng)});
        }
    }
    return points;
}

const ortholink::PointIndex& table_index() {
    static const ortholink::PointIndex index(table_scan());
    return index;
}

// Segments over the table whose lowest end is `lo`-`hi` mm above it.
std::vector<Segment> segments_over_table(double lo, double hi, bool level) {
    std::mt19937_64 rng(6);
    std::uniform_real_distribution<double> xy(-800.0, 800.0);
    std::uniform_real_distribution<double> length(100.0, 300.0);
    std::uniform_real_distribution<double> height(lo, hi);
    std::normal_distribution<double> n(0.0, 1.0);
    std::vector<Segment> out(kCases);
    for (Segment& s : out) {
        Vec3 u{n(rng), n(rng), level ? 0.0 : n(rng)};
        const double l = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
        const double len = length(rng);
        const Vec3 a{xy(rng), xy(rng), 0.0};
        Vec3 b{a[0] + u[0] / l * len, a[1] + u[1] / l * len, u[2] / l * len};
        const double shift = height(rng) - std::fmin(a[2], b[2]);
        s = Segment{Vec3{a[0], a[1], a[2] + shift}, Vec3{b[0], b[1], b[2] + shift}};
    }
    return out;
}

void BM_PointIndexBuild(benchmark::State& state) {
    const auto points = table_scan();
    for (auto _ : state) {
        const ortholink::PointIndex index(points);
        benchmark::DoNotOptimize(index.size());
    }
    state.counters["points"] = static_cast<double>(points.size());
}
BENCHMARK(BM_PointIndexBuild)->Unit(benchmark::kMillisecond);

constexpr double kRadius = 60.0;

void query_over_table(benchmark::State& state, double lo, double hi, bool level) {
    const auto& index = table_index();
    const auto segments = segments_over_table(lo, hi, level);
    std::size_t i = 0;
    for (auto _ : state) {
        const Segment& s = segments[i++ & (kCases - 1)];
        benchmark::DoNotOptimize(index.segment_distance(s.a, s.b, kRadius));
    }
}

// Clear of the capsule's reach: 60-200 mm above.
void BM_PointIndexCapsuleFar(benchmark::State& state) {
    query_over_table(state, kRadius, 200.0, false);
}
BENCHMARK(BM_PointIndexCapsuleFar);

// Within reach: 0-60 mm above, the nearest point found.
void BM_PointIndexCapsuleClose(benchmark::State& state) {
    query_over_table(state, 0.0, kRadius, false);
}
BENCHMARK(BM_PointIndexCapsuleClose);

// Within reach and level with the table, the worst case: ties all along.
void BM_PointIndexCapsuleCloseLevel(benchmark::State& state) {
    query_over_table(state, 0.0, kRadius, true);
}
BENCHMARK(BM_PointIndexCapsuleCloseLevel);

// The whole band, 0-200 mm above.
void BM_PointIndexCapsuleMixed(benchmark::State& state) {
    query_over_table(state, 0.0, 200.0, false);
}
BENCHMARK(BM_PointIndexCapsuleMixed);

void BM_PointIndexBoxClose(benchmark::State& state) {
    const auto& index = table_index();
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> xy(-800.0, 800.0);
    std::uniform_real_distribution<double> z(60.0, 120.0);
    std::vector<Box> boxes(kCases);
    for (Box& b : boxes) b = Box{Pose{random_rotation(rng), Vec3{xy(rng), xy(rng), z(rng)}}, Vec3{100.0, 80.0, 60.0}};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(index.box_distance(boxes[i++ & (kCases - 1)], kRadius));
    }
}
BENCHMARK(BM_PointIndexBoxClose);

}  // namespace

BENCHMARK_MAIN();
