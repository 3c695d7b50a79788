#pragma once
// A recorded fingerprint of the solver's output on fixed random targets, so
// that work on its speed can show the results did not move.
//
// Targets are fk of joint vectors drawn from std::mt19937_64 (whose sequence
// the standard fixes) with an explicit conversion to degrees. Per target the
// record keeps the solution count and kinds exactly; per block of targets it
// keeps two weighted sums, of the circle angles and of the joints, where the
// weights depend on the target and the solution's place in the list, so a
// reordering changes the sums. Sums are accumulated in long double: changes
// in the last bits of the values stay far below the comparison tolerance,
// while any value that moves by more than about 1e-9 shows.

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::solver::frozen {

struct TargetSet {
    CrxModel model;
    int count;
    std::uint64_t seed;
    int grid;  // joints on multiples of this many degrees; 0 for uniform
};

// The CRX-20iA/L has the dimensions of the CRX-10iA/L and is left out. The
// sets on a 15-degree grid reach the special places (wrist point on the J1
// axis or at the origin, J5 at 0, the arm stretched out) often.
inline constexpr std::array<TargetSet, 7> kSets{{
    {CrxModel::Crx10iA, 10000, 20240611ULL, 0},
    {CrxModel::Crx3iA, 400, 20240612ULL, 0},
    {CrxModel::Crx5iA, 400, 20240613ULL, 0},
    {CrxModel::Crx10iAL, 400, 20240614ULL, 0},
    {CrxModel::Crx30iA, 400, 20240615ULL, 0},
    {CrxModel::Crx10iA, 400, 20240616ULL, 15},
    {CrxModel::Crx5iA, 400, 20240617ULL, 15},
}};

inline constexpr int kBlock = 10;  // targets per pair of sums

// Absolute tolerances of the block sums (radians, degrees).
inline constexpr double kThetaTolerance = 1e-9;
inline constexpr double kJointTolerance = 1e-9;

inline std::vector<Pose> targets(const TargetSet& set) {
    const Crx robot = Crx::from_model(set.model);
    std::mt19937_64 rng(set.seed);
    std::vector<Pose> out(static_cast<std::size_t>(set.count));
    for (Pose& target : out) {
        JointVector joints;
        for (double& j : joints) {
            if (set.grid > 0) {
                j = static_cast<double>(static_cast<int>(rng() % static_cast<std::uint64_t>(360 / set.grid)) * set.grid - 180);
            } else {
                // 53 random bits to [-180, 180).
                j = static_cast<double>(rng() >> 11) * 0x1p-53 * 360.0 - 180.0;
            }
        }
        target = fk(robot, joints);
    }
    return out;
}

// The solution kinds of one target as digits ("00110000"), or just the count
// when every solution is Regular.
inline std::string kinds_token(const std::vector<IkSolution>& solutions) {
    std::string kinds;
    bool all_regular = true;
    for (const IkSolution& s : solutions) {
        kinds.push_back(static_cast<char>('0' + static_cast<int>(s.kind)));
        all_regular = all_regular && s.kind == SolutionKind::Regular;
    }
    return all_regular ? std::to_string(solutions.size()) : "k" + kinds;
}

struct BlockSums {
    long double theta = 0.0L;
    long double joints = 0.0L;
};

// Adds the solutions of the target at position `k` in its block.
inline void accumulate(BlockSums& sums, int k, const std::vector<IkSolution>& solutions) {
    for (std::size_t i = 0; i < solutions.size(); ++i) {
        const int place = static_cast<int>(i);
        sums.theta += (1.0L + static_cast<long double>((k * 5 + place) % 17) / 16.0L) * solutions[i].theta;
        for (int j = 0; j < 6; ++j) {
            const long double w = 1.0L + static_cast<long double>((k * 97 + place * 6 + j) % 17) / 16.0L;
            sums.joints += w * solutions[i].joints[static_cast<std::size_t>(j)];
        }
    }
}

}  // namespace ortholink::solver::frozen
