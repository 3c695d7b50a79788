#include "ortholink/limits.hpp"

#include <array>
#include <cmath>

#include "chunks.hpp"

namespace ortholink {
namespace {

constexpr double kTurn = 360.0;
constexpr std::size_t kRowsPerPoll = 4096;
constexpr double kNearTurns = 2.0 * kTurn;

using Fault = TurnsStatus::Fault;

// The whole turns k with lower <= value + 360k <= upper, as [first, last].
struct TurnRange {
    double first;
    double last;
};

// Requires finite |value|, |lower|, |upper| <= kMaxTurnMagnitude; returns
// last < first when no turn fits.
TurnRange turn_range(double value, double lower, double upper) noexcept {
    // Within a few turns of the limits (every solver angle of a real arm),
    // the loops below find the ends from 0 in a step or two, cheaper than
    // the divisions; they give the same ends from any start.
    const bool near = std::fabs(lower - value) < kNearTurns && std::fabs(upper - value) < kNearTurns;
    TurnRange range = near ? TurnRange{0.0, 0.0}
                           : TurnRange{std::ceil((lower - value) / kTurn), std::floor((upper - value) / kTurn)};
    // Rounding of the difference and the division can put an end one turn off
    // the limit; at these magnitudes one step corrects it, so the loops are short.
    while (value + kTurn * range.first < lower) range.first += 1.0;
    while (value + kTurn * (range.first - 1.0) >= lower) range.first -= 1.0;
    while (value + kTurn * range.last > upper) range.last -= 1.0;
    while (value + kTurn * (range.last + 1.0) <= upper) range.last += 1.0;
    return range;
}

TurnsStatus check_limits(const JointVector& lower, const JointVector& upper) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        for (const bool is_upper : {false, true}) {
            const double limit = is_upper ? upper[i] : lower[i];
            TurnsStatus status;
            status.joint = i;
            status.upper = is_upper;
            status.value = limit;
            if (std::isinf(limit)) {
                status.fault = Fault::infinite_limit;
                return status;
            }
            if (std::fabs(limit) > kMaxTurnMagnitude) {
                status.fault = Fault::limit_too_large;
                return status;
            }
        }
    }
    return {};
}

// The turn ranges of one solution and its variant count (0 when it has none).
// A fault is reported through `status`.
double solution_ranges(const JointVector& joints, const JointVector& lower, const JointVector& upper,
                       std::array<TurnRange, 6>& ranges, TurnsStatus& status) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        if (!std::isfinite(joints[i]) || std::isnan(lower[i]) || std::isnan(upper[i])) {
            return 0.0;
        }
    }
    for (std::size_t i = 0; i < 6; ++i) {
        if (std::fabs(joints[i]) > kMaxTurnMagnitude) {
            status.fault = Fault::value_too_large;
            status.joint = i;
            status.value = joints[i];
            return 0.0;
        }
    }
    double variants = 1.0;
    for (std::size_t i = 0; i < 6; ++i) {
        ranges[i] = turn_range(joints[i], lower[i], upper[i]);
        if (ranges[i].last < ranges[i].first) {
            return 0.0;
        }
        variants *= ranges[i].last - ranges[i].first + 1.0;
    }
    return variants;
}

// Calls visit(variant) for each whole-turn variant within `ranges`, in
// odometer order over the turn counts, J6 turning fastest.
template <class Visit>
void for_each_variant(const JointVector& joints, const std::array<TurnRange, 6>& ranges, Visit&& visit) {
    std::array<double, 6> turns{};
    for (std::size_t i = 0; i < 6; ++i) turns[i] = ranges[i].first;
    for (;;) {
        JointVector variant;
        for (std::size_t i = 0; i < 6; ++i) {
            variant[i] = joints[i] + kTurn * turns[i];
        }
        visit(variant);
        std::size_t i = 6;
        while (i > 0 && turns[i - 1] == ranges[i - 1].last) {
            turns[i - 1] = ranges[i - 1].first;
            --i;
        }
        if (i == 0) {
            return;
        }
        turns[i - 1] += 1.0;
    }
}

}  // namespace

bool within_limits(const JointVector& joints, const JointVector& lower, const JointVector& upper) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        if (!(lower[i] <= joints[i] && joints[i] <= upper[i])) {
            return false;
        }
    }
    return true;
}

TurnsStatus expand_turns(std::span<const JointVector> solutions, const JointVector& lower, const JointVector& upper,
                         std::vector<JointVector>& out, std::vector<std::size_t>* source, const CancelCheck& cancel) {
    if (TurnsStatus status = check_limits(lower, upper); !status) {
        return status;
    }
    detail::BatchStop stop(cancel);
    // Asks the check every few thousand rows, counted or built; a clock read
    // per row would cost as much as the row.
    std::size_t steps = 0;
    const auto poll = [&] {
        if (++steps % kRowsPerPoll == 0) {
            stop.poll();
            if (stop.cancelled()) throw BatchCancelled{};
        }
    };
    // Count first, so that a refused call builds nothing.
    std::array<TurnRange, 6> ranges{};
    double total = 0.0;
    for (std::size_t s = 0; s < solutions.size(); ++s) {
        poll();
        TurnsStatus status;
        const double variants = solution_ranges(solutions[s], lower, upper, ranges, status);
        if (!status) {
            status.solution = s;
            return status;
        }
        if (variants > static_cast<double>(kMaxTurnVariants)) {
            status.fault = Fault::too_many_for_one;
            status.solution = s;
            status.count = variants;
            return status;
        }
        total += variants;
    }
    if (total > static_cast<double>(kMaxTurnRows)) {
        TurnsStatus status;
        status.fault = Fault::too_many_in_total;
        status.count = total;
        return status;
    }

    out.reserve(out.size() + static_cast<std::size_t>(total));
    if (source != nullptr) {
        source->reserve(source->size() + static_cast<std::size_t>(total));
    }
    for (std::size_t s = 0; s < solutions.size(); ++s) {
        const JointVector& joints = solutions[s];
        TurnsStatus unused;
        if (solution_ranges(joints, lower, upper, ranges, unused) == 0.0) {
            continue;
        }
        for_each_variant(joints, ranges, [&](const JointVector& variant) {
            poll();
            out.push_back(variant);
            if (source != nullptr) {
                source->push_back(s);
            }
        });
    }
    return {};
}

std::size_t append_turns(const JointVector& joints, const JointVector& lower, const JointVector& upper,
                         std::vector<JointVector>& out) {
    if (!check_limits(lower, upper)) {
        return 0;
    }
    std::array<TurnRange, 6> ranges{};
    TurnsStatus status;
    const double variants = solution_ranges(joints, lower, upper, ranges, status);
    if (!status || variants == 0.0 || variants > static_cast<double>(kMaxTurnVariants) ||
        variants > static_cast<double>(kMaxTurnRows)) {
        return 0;
    }
    const std::size_t before = out.size();
    for_each_variant(joints, ranges, [&](const JointVector& variant) { out.push_back(variant); });
    return out.size() - before;
}

}  // namespace ortholink
