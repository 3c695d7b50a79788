#pragma once
// Joint limits and whole turns. Limits are the caller's (controllers are
// configured differently); degrees, inclusive at both ends.

#include <span>
#include <vector>

#include "ortholink/fk.hpp"

namespace ortholink {

// Largest number of variants expand_turns produces from one solution; a
// range wider than this many turns is an input error.
inline constexpr std::size_t kMaxTurnVariants = 1u << 16;

// True when lower[i] <= joints[i] <= upper[i] for every joint (NaN is outside).
bool within_limits(const JointVector& joints, const JointVector& lower, const JointVector& upper) noexcept;

// Every variant of each solution that differs by whole turns per joint and lies
// within the limits. Order: solution by solution; within one, J1 varies
// slowest and each joint's turns ascend. `source`, when given, receives the
// index of the solution each variant came from. Returns false when a single
// solution would expand to more than kMaxTurnVariants variants.
bool expand_turns(std::span<const JointVector> solutions, const JointVector& lower, const JointVector& upper,
                  std::vector<JointVector>& out, std::vector<std::size_t>* source = nullptr);

}  // namespace ortholink
