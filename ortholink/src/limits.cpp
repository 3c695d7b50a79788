#include "ortholink/limits.hpp"

#include <array>
#include <cmath>

namespace ortholink {
namespace {

constexpr double kTurn = 360.0;

}  // namespace

bool within_limits(const JointVector& joints, const JointVector& lower, const JointVector& upper) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        if (!(lower[i] <= joints[i] && joints[i] <= upper[i])) {
            return false;
        }
    }
    return true;
}

bool expand_turns(std::span<const JointVector> solutions, const JointVector& lower, const JointVector& upper,
                  std::vector<JointVector>& out, std::vector<std::size_t>* source) {
    for (std::size_t s = 0; s < solutions.size(); ++s) {
        const JointVector& joints = solutions[s];
        // For each joint, the whole turns k with lower <= v + 360k <= upper.
        std::array<double, 6> first{};
        std::array<double, 6> last{};
        double variants = 1.0;
        for (std::size_t i = 0; i < 6; ++i) {
            if (!std::isfinite(joints[i]) || std::isnan(lower[i]) || std::isnan(upper[i])) {
                variants = 0.0;
                break;
            }
            if (std::isinf(lower[i]) || std::isinf(upper[i])) {
                if (lower[i] <= joints[i] && joints[i] <= upper[i]) {
                    return false;  // an open range has infinitely many whole turns
                }
                variants = 0.0;
                break;
            }
            first[i] = std::ceil((lower[i] - joints[i]) / kTurn);
            last[i] = std::floor((upper[i] - joints[i]) / kTurn);
            // Division rounding can put the end values one turn off the limit.
            while (joints[i] + kTurn * first[i] < lower[i]) first[i] += 1.0;
            while (joints[i] + kTurn * (first[i] - 1.0) >= lower[i]) first[i] -= 1.0;
            while (joints[i] + kTurn * last[i] > upper[i]) last[i] -= 1.0;
            while (joints[i] + kTurn * (last[i] + 1.0) <= upper[i]) last[i] += 1.0;
            if (last[i] < first[i]) {
                variants = 0.0;
                break;
            }
            variants *= last[i] - first[i] + 1.0;
        }
        if (variants == 0.0) {
            continue;
        }
        if (variants > static_cast<double>(kMaxTurnVariants)) {
            return false;
        }
        // Odometer over the turn counts, J6 turning fastest.
        std::array<double, 6> turns = first;
        for (;;) {
            JointVector variant;
            for (std::size_t i = 0; i < 6; ++i) {
                variant[i] = joints[i] + kTurn * turns[i];
            }
            out.push_back(variant);
            if (source != nullptr) {
                source->push_back(s);
            }
            int i = 5;
            while (i >= 0 && turns[static_cast<std::size_t>(i)] == last[static_cast<std::size_t>(i)]) {
                turns[static_cast<std::size_t>(i)] = first[static_cast<std::size_t>(i)];
                --i;
            }
            if (i < 0) {
                break;
            }
            turns[static_cast<std::size_t>(i)] += 1.0;
        }
    }
    return true;
}

}  // namespace ortholink
