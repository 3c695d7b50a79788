// Per-configuration time of the collision checker in C++: the self check, the
// self check with a cell of ten solids, and a million-point cloud; random
// joint vectors within the CRX-10iA's published limits.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/path.hpp"

namespace {

using namespace ortholink;

std::vector<JointVector> random_joints(const Arm& arm, std::size_t count) {
    std::mt19937_64 rng(42);
    std::vector<JointVector> out;
    while (out.size() < count) {
        JointVector q;
        for (std::size_t j = 0; j < 6; ++j) {
            q[j] = std::uniform_real_distribution<double>(arm.lower[j], arm.upper[j])(rng);
        }
        if (arm_within_limits(arm, q)) {
            out.push_back(q);
        }
    }
    return out;
}

Pose at(double x, double y, double z) {
    return Pose{Quat{}, Vec3{x, y, z}};
}

// A floor, two walls, a table, fixtures, a post, a lamp and a cable duct.
Scene cell() {
    Scene scene;
    scene.half_spaces = {HalfSpace{{0, 0, 1}, -246}, HalfSpace{{1, 0, 0}, -900}, HalfSpace{{0, -1, 0}, -1100}};
    scene.boxes = {Box{at(800, 0, -100), {600, 1200, 50}}, Box{at(700, 400, 0), {120, 120, 200}},
                   Box{at(700, -400, 0), {120, 120, 200}}};
    scene.cylinders = {Cylinder{at(-600, 600, 300), 80, 1200}};
    scene.spheres = {Sphere{{600, 0, 1400}, 80}};
    scene.capsules = {Capsule{{-400, -700, 0}, {400, -700, 0}, 40}};
    return scene;
}

// A scanned floor under the arm with some clutter on it.
std::vector<Vec3> floor_points() {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> xy(-1000, 1000);
    std::uniform_real_distribution<double> z(-250, -240);
    std::uniform_real_distribution<double> up(0, 800);
    std::vector<Vec3> points(1'000'000);
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i] = Vec3{xy(rng), xy(rng), z(rng) + (i % 10 == 0 ? up(rng) : 0.0)};
    }
    return points;
}

Scene cloud() {
    Scene scene;
    scene.clouds.push_back(make_point_cloud(floor_points(), 2.0));
    return scene;
}

void run(benchmark::State& state, const CollisionChecker& checker, const std::vector<JointVector>& rows) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(checker.collides(rows[i++ % rows.size()]));
    }
}

void BM_SelfCheck(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    run(state, CollisionChecker(arm), random_joints(arm, 4096));
}
BENCHMARK(BM_SelfCheck);

void BM_SelfCheckFreeOnly(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const CollisionChecker checker(arm);
    std::vector<JointVector> free;
    for (const JointVector& q : random_joints(arm, 8192)) {
        if (!checker.collides(q)) free.push_back(q);
    }
    run(state, checker, free);
}
BENCHMARK(BM_SelfCheckFreeOnly);

void BM_SelfAndCell(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    run(state, CollisionChecker(arm, cell()), random_joints(arm, 4096));
}
BENCHMARK(BM_SelfAndCell);

// What Arm.ik(..., collision_free=True) pays per call before any check.
void BM_CheckerBuild(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CollisionChecker(arm));
    }
}
BENCHMARK(BM_CheckerBuild);

void BM_Clearance(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const CollisionChecker checker(arm, cell());
    const auto rows = random_joints(arm, 4096);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(checker.clearance(rows[i++ % rows.size()]));
    }
}
BENCHMARK(BM_Clearance);

void BM_PointCloudBuild(benchmark::State& state) {
    const std::vector<Vec3> points = floor_points();
    for (auto _ : state) {
        benchmark::DoNotOptimize(make_point_cloud(points, 2.0));
    }
}
BENCHMARK(BM_PointCloudBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SelfAndPointCloud(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    run(state, CollisionChecker(arm, cloud()), random_joints(arm, 4096));
}
BENCHMARK(BM_SelfAndPointCloud);

// A 400 mm line of 1,000 TCP poses, as bench/collision_bench.py plans.
std::vector<Pose> line_waypoints(const Arm& arm) {
    const Pose middle = arm_fk(arm, JointVector{0.0, 10.0, -20.0, 0.0, -70.0, 0.0});
    std::vector<Pose> out(1000, middle);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i].t[1] += -200.0 + 400.0 * static_cast<double>(i) / 999.0;
    }
    return out;
}

// The parts of a collision-free plan_path, one thread: the layers without
// the colliding solutions, then the search with every move it uses checked.
void BM_PlanLayersFree(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const CollisionChecker checker(arm, cell());
    const auto waypoints = line_waypoints(arm);
    for (auto _ : state) {
        benchmark::DoNotOptimize(path_layers_free(arm, checker, waypoints, 0.0, 1));
    }
}
BENCHMARK(BM_PlanLayersFree)->Unit(benchmark::kMillisecond);

void BM_PlanSearchFree(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const CollisionChecker checker(arm, cell());
    const auto waypoints = line_waypoints(arm);
    const PathLayers layers = path_layers_free(arm, checker, waypoints, 0.0, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(plan_over_layers_free(arm, layers, std::nullopt, 10.0, checker));
    }
}
BENCHMARK(BM_PlanSearchFree)->Unit(benchmark::kMillisecond);

void BM_PlanSearchUnchecked(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const auto waypoints = line_waypoints(arm);
    const PathLayers layers = path_layers(arm, waypoints, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(plan_over_layers(arm, layers, std::nullopt, 10.0));
    }
}
BENCHMARK(BM_PlanSearchUnchecked)->Unit(benchmark::kMillisecond);

void BM_PlanLayersUnchecked(benchmark::State& state) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const auto waypoints = line_waypoints(arm);
    for (auto _ : state) {
        benchmark::DoNotOptimize(path_layers(arm, waypoints, 1));
    }
}
BENCHMARK(BM_PlanLayersUnchecked)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
