#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <cstring>
#include <random>
#include <vector>

#include "ortholink/batch.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

std::vector<JointVector> random_joints(std::size_t count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    std::vector<JointVector> out(count);
    for (auto& j : out) {
        for (double& v : j) v = angle(rng);
    }
    return out;
}

bool same_bits(const IkSolution& a, const IkSolution& b) {
    return std::memcmp(a.joints.data(), b.joints.data(), sizeof a.joints) == 0 &&
           std::memcmp(&a.residual, &b.residual, sizeof(double)) == 0 &&
           std::memcmp(&a.theta, &b.theta, sizeof(double)) == 0 && a.kind == b.kind;
}

TEST(Batch, FkManyMatchesFkForEveryThreadCount) {
    const Crx robot = Crx::new_5ia();
    const auto joints = random_joints(1000, 1);
    for (unsigned threads : {1u, 2u, 3u, 0u}) {
        std::vector<Pose> out(joints.size());
        fk_many(robot, joints, out, threads);
        std::vector<double> matrices(16 * joints.size());
        fk_many_matrices(robot, joints, matrices, threads);
        for (std::size_t i = 0; i < joints.size(); ++i) {
            ASSERT_EQ(out[i], fk(robot, joints[i])) << "threads " << threads << " index " << i;
            double expected[16];
            iso_into(out[i], expected);
            ASSERT_EQ(std::memcmp(expected, &matrices[16 * i], sizeof expected), 0) << "index " << i;
        }
    }
}

TEST(Batch, IkManyMatchesIkInOrderWhateverTheThreadCount) {
    const Crx robot = Crx::new_10ia();
    // Many blocks of targets, so that some finish before the ones ahead of them.
    const auto joints = random_joints(3000, 2);
    std::vector<Pose> targets;
    for (const auto& j : joints) targets.push_back(fk(robot, j));
    Pose far{};
    far.t = Vec3{5000.0, 0.0, 0.0};
    targets.insert(targets.begin() + 100, far);  // unreachable in the middle

    std::vector<std::vector<IkSolution>> expected;
    for (const auto& t : targets) expected.push_back(ik(robot, t));

    for (unsigned threads : {1u, 2u, 5u}) {
        const IkBatchResult batch = ik_many(robot, targets, threads);
        ASSERT_EQ(batch.offsets.size(), targets.size() + 1);
        EXPECT_EQ(batch.offsets.front(), 0);
        EXPECT_EQ(batch.offsets[101], batch.offsets[100]);
        ASSERT_EQ(static_cast<std::size_t>(batch.offsets.back()), batch.solutions.size());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const auto begin = static_cast<std::size_t>(batch.offsets[i]);
            ASSERT_EQ(static_cast<std::size_t>(batch.offsets[i + 1]) - begin, expected[i].size());
            for (std::size_t k = 0; k < expected[i].size(); ++k) {
                EXPECT_TRUE(same_bits(batch.solutions[begin + k], expected[i][k]));
            }
        }
    }
}

TEST(Batch, IkManyOfNothing) {
    const IkBatchResult batch = ik_many(Crx::new_10ia(), std::span<const Pose>{}, 2);
    EXPECT_TRUE(batch.solutions.empty());
    ASSERT_EQ(batch.offsets.size(), 1u);
    EXPECT_EQ(batch.offsets[0], 0);
}

TEST(Batch, IkPathFollowsTheNearestSolutionAndSkipsGaps) {
    const Crx robot = Crx::new_10ia();
    std::vector<Pose> targets;
    JointVector j{10, 20, 30, 40, 50, 60};
    for (int k = 0; k < 20; ++k) {
        j[0] += 1.0;
        j[4] -= 0.5;
        targets.push_back(fk(robot, j));
    }
    Pose far{};
    far.t = Vec3{5000.0, 0.0, 0.0};
    targets.insert(targets.begin() + 7, far);

    const auto path = ik_path(robot, targets, JointVector{10, 20, 30, 40, 50, 60});
    ASSERT_EQ(path.size(), targets.size());
    EXPECT_FALSE(path[7].has_value());
    JointVector expected{10, 20, 30, 40, 50, 60};
    for (std::size_t k = 0; k < path.size(); ++k) {
        if (k == 7) continue;
        expected[0] += 1.0;
        expected[4] -= 0.5;
        ASSERT_TRUE(path[k].has_value());
        EXPECT_LT(joint_distance(*path[k], expected), 1e-6) << k;
    }
}

// The flat fields of a batch, as a stored batch keeps them.
struct BatchFields {
    std::vector<JointVector> joints;
    std::vector<double> residual;
    std::vector<double> theta;
    std::vector<std::int64_t> kind;
    std::vector<std::int64_t> offsets;

    explicit BatchFields(const IkBatchResult& batch) : offsets(batch.offsets) {
        for (const IkSolution& s : batch.solutions) {
            joints.push_back(s.joints);
            residual.push_back(s.residual);
            theta.push_back(s.theta);
            kind.push_back(static_cast<std::int64_t>(s.kind));
        }
    }

    std::optional<IkBatchResult> rebuilt() const { return batch_from_fields(joints, residual, theta, kind, offsets); }
};

TEST(BatchFromFields, RebuildsABatchBitForBit) {
    const Crx robot = Crx::new_10ia();
    std::vector<Pose> targets;
    for (const auto& j : random_joints(20, 3)) targets.push_back(fk(robot, j));
    Pose far{};
    far.t = Vec3{5000.0, 0.0, 0.0};
    targets.insert(targets.begin() + 5, far);  // a target without solutions: two equal offsets
    const IkBatchResult batch = ik_many(robot, targets, 1);
    const auto rebuilt = BatchFields(batch).rebuilt();
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->offsets, batch.offsets);
    ASSERT_EQ(rebuilt->solutions.size(), batch.solutions.size());
    for (std::size_t k = 0; k < batch.solutions.size(); ++k) {
        EXPECT_TRUE(same_bits(rebuilt->solutions[k], batch.solutions[k])) << k;
    }

    const auto empty = BatchFields(IkBatchResult{{}, {0}}).rebuilt();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->solutions.empty());
    EXPECT_EQ(empty->offsets, std::vector<std::int64_t>{0});
}

TEST(BatchFromFields, RefusesFieldsThatDoNotFitTogether) {
    const Crx robot = Crx::new_10ia();
    std::vector<Pose> targets;
    for (const auto& j : random_joints(3, 4)) targets.push_back(fk(robot, j));
    const BatchFields good(ik_many(robot, targets, 1));
    ASSERT_TRUE(good.rebuilt());
    ASSERT_EQ(good.offsets.size(), 4u);
    ASSERT_GE(good.joints.size(), 3u);

    const auto refused = [&](const char* what, auto&& damage) {
        BatchFields fields = good;
        damage(fields);
        EXPECT_FALSE(fields.rebuilt()) << what;
    };
    refused("a residual short", [](BatchFields& f) { f.residual.pop_back(); });
    refused("a theta too many", [](BatchFields& f) { f.theta.push_back(0.0); });
    refused("a kind short", [](BatchFields& f) { f.kind.pop_back(); });
    refused("a joint row short", [](BatchFields& f) { f.joints.pop_back(); });
    refused("no offsets", [](BatchFields& f) { f.offsets.clear(); });
    refused("offsets from 1", [](BatchFields& f) { f.offsets.front() = 1; });
    refused("offsets from -1", [](BatchFields& f) { f.offsets.front() = -1; });
    refused("offsets short of the end", [](BatchFields& f) { f.offsets.back() -= 1; });
    refused("offsets past the end", [](BatchFields& f) { f.offsets.back() += 1; });
    refused("offsets reversed", [](BatchFields& f) { std::reverse(f.offsets.begin(), f.offsets.end()); });
    // Right ends, but one target's rows run backwards (and the next beyond the end).
    refused("an offset falling back", [](BatchFields& f) {
        f.offsets[1] = f.offsets[3];
        f.offsets[2] = 0;
    });
    refused("kind 3", [](BatchFields& f) { f.kind.back() = 3; });
    refused("kind -1", [](BatchFields& f) { f.kind.front() = -1; });
    refused("kind 256 (a uint8 would wrap it to 0)", [](BatchFields& f) { f.kind.front() = 256; });

    BatchFields singular = good;
    singular.kind.assign(singular.kind.size(), 2);
    const auto rebuilt = singular.rebuilt();
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->solutions.back().kind, SolutionKind::SingularFamily);
}

}  // namespace
}  // namespace ortholink
