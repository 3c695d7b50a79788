#pragma once
// Joint limits and whole turns. Limits are the caller's (controllers are
// configured differently); degrees, inclusive at both ends.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ortholink/batch.hpp"
#include "ortholink/fk.hpp"

namespace ortholink {

// Largest number of variants expand_turns produces from one solution; a
// range wider than this many turns is an input error.
inline constexpr std::size_t kMaxTurnVariants = 1u << 16;

// Largest number of rows one expand_turns call adds in total (192 MiB of
// joint vectors); more is refused before anything is built.
inline constexpr std::size_t kMaxTurnRows = 1u << 22;

// Largest magnitude, in degrees, of a value or limit that expand_turns
// accepts. Below 2^28 the spacing of doubles is at most 2^-24 degrees
// (about 1e-9 rad), so a value plus whole turns is that value's own angle to
// far better than the solver's 1e-8 acceptance, and the turn counts are
// exact integers. Above it a turn is no longer exact, and from about 3e18 it
// is lost to rounding altogether.
inline constexpr double kMaxTurnMagnitude = 268435456.0;  // 2^28

// True when lower[i] <= joints[i] <= upper[i] for every joint (NaN is outside).
bool within_limits(const JointVector& joints, const JointVector& lower, const JointVector& upper) noexcept;

// Why expand_turns refused its input. `joint` is 0-based, `solution` the row
// of the offending value, `value` the offending value or limit, and `count`
// the number of variants that was too many.
struct TurnsStatus {
    enum class Fault : std::uint8_t {
        none,
        infinite_limit,     // an open range has infinitely many whole turns
        limit_too_large,    // |limit| > kMaxTurnMagnitude
        value_too_large,    // |value| > kMaxTurnMagnitude
        too_many_for_one,   // one solution would give more than kMaxTurnVariants
        too_many_in_total,  // the call would add more than kMaxTurnRows
    };
    Fault fault = Fault::none;
    std::size_t joint = 0;
    std::size_t solution = 0;
    bool upper = false;  // for the limit faults: the upper limit (else the lower)
    double value = 0.0;
    double count = 0.0;

    explicit operator bool() const noexcept { return fault == Fault::none; }
};

// Every variant of each solution that differs by whole turns per joint and lies
// within the limits. Order: solution by solution; within one, J1 varies
// slowest and each joint's turns ascend. `source`, when given, receives the
// index of the solution each variant came from. A solution with a NaN or
// infinite joint, or a NaN limit, has no variants (nothing lies within a NaN
// limit). On a fault nothing is added to `out`. `cancel` is asked as a batch
// asks it; a cancellation throws BatchCancelled.
TurnsStatus expand_turns(std::span<const JointVector> solutions, const JointVector& lower, const JointVector& upper,
                         std::vector<JointVector>& out, std::vector<std::size_t>* source = nullptr,
                         const CancelCheck& cancel = {});

// expand_turns of one solution, for callers that solve many: the same
// variants in the same order appended to `out`, without a cancellation check;
// nothing where expand_turns would refuse the solution. Returns how many.
std::size_t append_turns(const JointVector& joints, const JointVector& lower, const JointVector& upper,
                         std::vector<JointVector>& out);

}  // namespace ortholink
