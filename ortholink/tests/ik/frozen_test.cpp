// The solver's output on fixed target sets against the fingerprint recorded
// by tools/ik_freeze.cpp: same counts, kinds and order, circle angles and
// joints within 1e-9. Guards changes meant to leave the results alone.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "ik/frozen.hpp"
#include "ortholink/ik.hpp"

namespace ortholink::solver::frozen {
namespace {

constexpr const char* kRecorded[] = {
#include "data/ik_frozen.inc"
};

struct RecordedBlock {
    std::string kinds;
    long double theta = 0.0L;
    long double joints = 0.0L;
};

struct RecordedSet {
    int model = -1;
    int count = 0;
    int grid = 0;
    std::vector<RecordedBlock> blocks;
};

std::vector<RecordedSet> parse() {
    std::vector<RecordedSet> sets;
    for (const char* text : kRecorded) {
        const std::string line(text);
        std::istringstream fields(line);
        if (line.rfind("set ", 0) == 0) {
            std::string word;
            RecordedSet set;
            fields >> word >> set.model >> set.count >> set.grid;
            sets.push_back(set);
            continue;
        }
        RecordedBlock block;
        std::string theta;
        std::string joints;
        fields >> block.kinds >> theta >> joints;
        block.theta = std::strtold(theta.c_str(), nullptr);
        block.joints = std::strtold(joints.c_str(), nullptr);
        if (!sets.empty()) {
            sets.back().blocks.push_back(block);
        }
    }
    return sets;
}

TEST(IkFrozen, OutputMatchesTheRecording) {
    const std::vector<RecordedSet> recorded = parse();
    ASSERT_EQ(recorded.size(), kSets.size()) << "regenerate with ik_freeze";
    for (std::size_t s = 0; s < kSets.size(); ++s) {
        const TargetSet& set = kSets[s];
        const RecordedSet& want = recorded[s];
        ASSERT_EQ(want.model, static_cast<int>(set.model));
        ASSERT_EQ(want.count, set.count);
        ASSERT_EQ(want.grid, set.grid);
        ASSERT_EQ(want.blocks.size(), static_cast<std::size_t>((set.count + kBlock - 1) / kBlock));

        const Crx robot = Crx::from_model(set.model);
        const std::vector<Pose> poses = targets(set);
        int failures = 0;
        for (std::size_t b = 0; b < want.blocks.size() && failures < 10; ++b) {
            BlockSums sums;
            std::string kinds;
            for (int k = 0; k < kBlock && b * kBlock + static_cast<std::size_t>(k) < poses.size(); ++k) {
                const auto solutions = ik(robot, poses[b * kBlock + static_cast<std::size_t>(k)]);
                kinds += (k == 0 ? "" : ",") + kinds_token(solutions);
                accumulate(sums, k, solutions);
            }
            const RecordedBlock& w = want.blocks[b];
            const bool same = kinds == w.kinds && std::fabs(static_cast<double>(sums.theta - w.theta)) <= kThetaTolerance &&
                              std::fabs(static_cast<double>(sums.joints - w.joints)) <= kJointTolerance;
            if (!same) {
                ++failures;
                ADD_FAILURE() << "set " << s << " (model " << want.model << ", grid " << want.grid << "), targets "
                              << b * kBlock << ".." << b * kBlock + kBlock - 1 << ": kinds " << kinds << " vs "
                              << w.kinds << ", angle sum off by " << static_cast<double>(sums.theta - w.theta)
                              << ", joint sum off by " << static_cast<double>(sums.joints - w.joints);
            }
        }
    }
}

}  // namespace
}  // namespace ortholink::solver::frozen
