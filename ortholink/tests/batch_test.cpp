#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "ortholink/batch.hpp"

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
        for (std::size_t i = 0; i < joints.size(); ++i) {
            ASSERT_EQ(out[i], fk(robot, joints[i])) << "threads " << threads << " index " << i;
        }
    }
}

TEST(Batch, IkManyMatchesIkInOrderWhateverTheThreadCount) {
    const Crx robot = Crx::new_10ia();
    const auto joints = random_joints(300, 2);
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

}  // namespace
}  // namespace ortholink
