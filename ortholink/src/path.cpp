#include "ortholink/path.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <numeric>
#include <thread>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "chunks.hpp"
#include "team.hpp"

namespace ortholink {
namespace {

constexpr std::int64_t kNone = -1;
// The break count of a node the search leaves out: more than any plan has.
constexpr std::int64_t kHopeless = std::numeric_limits<std::int64_t>::max() / 4;
// Nodes of a layer per thread of the search, at least: fewer cost less
// than sharing them out.
constexpr std::size_t kNodesPerPart = 128;
constexpr unsigned kMostSearchThreads = 4;

// Cost of the best plan ending at a node: breaks first, then (for plans kept
// clear) an approach known to collide, then time; ties go to the path's
// first row (`origin`, an index into the first rows' FirstRow entries).
struct Cost {
    std::int64_t breaks = 0;
    double time = 0.0;
    std::int64_t origin = 0;
};

// What decides between plans of equal time, from their first row: an
// approach known to collide last, then the approach (travel, then time), the
// turn about the tool axis, and the distance from home (the arm joints',
// then the wrist joints').
struct FirstRow {
    bool approach_collides = false;
    double approach_travel = 0.0;
    double approach_time = 0.0;
    double turn = 0.0;
    double home_arm = 0.0;
    double home_wrist = 0.0;
};

// Amounts this close are ties: mirrored paths take the same time up to the
// rounding of their sums.
constexpr double kTieRelative = 1e-9;
constexpr double kTieAbsolute = 1e-12;

double tie_tolerance(double a, double b) noexcept {
    return kTieRelative * std::max(std::fabs(a), std::fabs(b)) + kTieAbsolute;
}

// -1, 0 or 1 as a is less than, tied with or more than b.
int compare(double a, double b) noexcept {
    const double tolerance = tie_tolerance(a, b);
    return a < b - tolerance ? -1 : (a > b + tolerance ? 1 : 0);
}

// The order of plans by cost, their first rows breaking ties.
class Better {
public:
    explicit Better(const std::vector<FirstRow>& first_rows) noexcept : first_rows_(first_rows) {}

    bool operator()(const Cost& a, const Cost& b) const noexcept {
        if (a.breaks != b.breaks) {
            return a.breaks < b.breaks;
        }
        const FirstRow& p = first_rows_[static_cast<std::size_t>(a.origin)];
        const FirstRow& q = first_rows_[static_cast<std::size_t>(b.origin)];
        if (p.approach_collides != q.approach_collides) {
            return q.approach_collides;
        }
        if (const int order = compare(a.time, b.time); order != 0) {
            return order < 0;
        }
        for (const auto& [x, y] : {std::pair{p.approach_travel, q.approach_travel},
                                   std::pair{p.approach_time, q.approach_time}, std::pair{p.turn, q.turn},
                                   std::pair{p.home_arm, q.home_arm}, std::pair{p.home_wrist, q.home_wrist}}) {
            if (const int order = compare(x, y); order != 0) {
                return order < 0;
            }
        }
        return false;
    }

private:
    const std::vector<FirstRow>& first_rows_;
};

double largest_motion(const JointVector& a, const JointVector& b) noexcept {
    double largest = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        largest = std::max(largest, std::fabs(b[j] - a[j]));
    }
    return largest;
}

double summed_motion(const JointVector& a, const JointVector& b) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        sum += std::fabs(b[j] - a[j]);
    }
    return sum;
}

// A node belongs to a class when it differs from the base by whole turns to this (degrees).
constexpr double kSameAngle = 1e-6;
// Largest table of one class; beyond it nodes are scanned one by one.
constexpr std::size_t kMaxTable = std::size_t{1} << 22;

bool turns_from(const JointVector& base, const JointVector& node, std::array<std::int64_t, 6>& k) noexcept {
    for (std::size_t j = 0; j < 6; ++j) {
        // Most joints of a variant, and of the nodes tried against it, are its own.
        if (std::fabs(node[j] - base[j]) <= kSameAngle) {
            k[j] = 0;
            continue;
        }
        const double turns = std::nearbyint((node[j] - base[j]) / 360.0);
        if (!(std::fabs(node[j] - base[j] - 360.0 * turns) <= kSameAngle)) {
            return false;
        }
        k[j] = static_cast<std::int64_t>(turns);
    }
    return true;
}

}  // namespace

double move_time(const JointVector& a, const JointVector& b, const JointVector& max_speed) noexcept {
    double longest = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        longest = std::max(longest, std::fabs(b[j] - a[j]) / max_speed[j]);
    }
    return longest;
}

namespace {

// The layers of a batch of solutions of the waypoints (of each waypoint's
// turns, turn by turn, with `rotations`), family members marked (on up to
// `threads` threads).
// The flange targets, turns and family flags of layers whose nodes and
// offsets are set; `known_family` (one flag per node) where already known.
void finish_layers(const Arm& arm, PathLayers& layers, std::span<const Pose> waypoints,
                   std::span<const double> rotations, unsigned threads, const CancelCheck& cancel,
                   std::vector<std::uint8_t> known_family = {}) {
    detail::BatchStop stop(cancel);
    const std::size_t turns_per_waypoint = rotations.empty() ? 1 : rotations.size();
    layers.flange_targets.resize(waypoints.size() * turns_per_waypoint);
    for (std::size_t i = 0; i < waypoints.size(); ++i) {
        for (std::size_t r = 0; r < turns_per_waypoint; ++r) {
            layers.flange_targets[i * turns_per_waypoint + r] =
                arm_flange_target(arm, rotations.empty() ? waypoints[i] : turned_about_z(waypoints[i], rotations[r]));
        }
    }
    if (!rotations.empty()) {
        layers.rotations.assign(rotations.begin(), rotations.end());
    }
    const std::size_t count = layers.nodes.size();
    if (known_family.size() == count) {
        layers.family = std::move(known_family);
        return;
    }
    layers.family.assign(count, 0);
    detail::run_chunks(count, detail::effective_threads(count, threads), stop,
                       [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                           for (std::size_t k = begin; k < end && stop.keep_going(on_caller); ++k) {
                               // Whole-turn variants follow each other and share the answer.
                               std::array<std::int64_t, 6> turns{};
                               const bool variant =
                                   k > begin && turns_from(layers.nodes[k - 1], layers.nodes[k], turns);
                               layers.family[k] =
                                   variant ? layers.family[k - 1] : (arm_in_family(arm, layers.nodes[k]) ? 1 : 0);
                           }
                       });
}

// The layers of a batch of solutions of the waypoints (of every turn of
// each, turn by turn, with rotations), family members marked.
PathLayers layers_of(const Arm& arm, const IkBatchResult& batch, std::span<const Pose> waypoints,
                     std::span<const double> rotations, unsigned threads, const CancelCheck& cancel) {
    const std::size_t turns_per_waypoint = rotations.empty() ? 1 : rotations.size();
    PathLayers layers;
    layers.offsets.resize(waypoints.size() + 1);
    for (std::size_t i = 0; i <= waypoints.size(); ++i) {
        layers.offsets[i] = batch.offsets[i * turns_per_waypoint];
    }
    layers.nodes.resize(batch.solutions.size());
    for (std::size_t k = 0; k < batch.solutions.size(); ++k) {
        layers.nodes[k] = batch.solutions[k].joints;
    }
    if (!rotations.empty()) {
        layers.rotation_of.resize(batch.solutions.size());
        for (std::size_t target = 0; target + 1 < batch.offsets.size(); ++target) {
            std::fill(layers.rotation_of.begin() + batch.offsets[target],
                      layers.rotation_of.begin() + batch.offsets[target + 1],
                      static_cast<std::uint32_t>(target % turns_per_waypoint));
        }
    }
    finish_layers(arm, layers, waypoints, rotations, threads, cancel);
    return layers;
}

// Collects a batch's joints in pieces as it is solved, then joins them into
// one array, letting each piece go once copied: the solutions are never
// held twice, and their residuals and kinds (which layers do not keep) not at all.
class LayerSink final : public IkBatchSink {
public:
    explicit LayerSink(std::size_t targets) {
        offsets_.reserve(targets + 1);
        offsets_.push_back(0);
    }
    void append(std::span<const IkSolution> solutions, std::span<const std::int64_t> counts) override {
        for (const IkSolution& s : solutions) {
            if (pieces_.empty() || pieces_.back().size() == kPiece) {
                pieces_.emplace_back();
                pieces_.back().reserve(kPiece);
            }
            pieces_.back().push_back(s.joints);
        }
        for (const std::int64_t count : counts) {
            offsets_.push_back(offsets_.back() + count);
        }
    }
    PathLayers take() {
        PathLayers layers;
        layers.nodes.reserve(static_cast<std::size_t>(offsets_.back()));
        for (std::vector<JointVector>& piece : pieces_) {
            layers.nodes.insert(layers.nodes.end(), piece.begin(), piece.end());
            std::vector<JointVector>().swap(piece);
        }
        layers.offsets = std::move(offsets_);
        return layers;
    }

private:
    static constexpr std::size_t kPiece = std::size_t{1} << 15;
    std::vector<std::vector<JointVector>> pieces_;
    std::vector<std::int64_t> offsets_;
};

// Every waypoint turned by every rotation, waypoint by waypoint; the
// waypoints themselves without rotations.
std::vector<Pose> turned_waypoints(std::span<const Pose> waypoints, std::span<const double> rotations) {
    std::vector<Pose> turned;
    turned.reserve(waypoints.size() * rotations.size());
    for (const Pose& waypoint : waypoints) {
        for (const double degrees : rotations) {
            turned.push_back(turned_about_z(waypoint, degrees));
        }
    }
    return turned;
}

// True when the TCP's z is the flange's z: the tool only turns about it and
// moves along it. A turn of the TCP about its own z is then the same turn of
// the flange, which J6 makes alone (J6 + t turns the flange by -t).
bool tool_along_flange_z(const Pose& tool) noexcept {
    return tool.q.x == 0.0 && tool.q.y == 0.0 && tool.t[0] == 0.0 && tool.t[1] == 0.0;
}

// Limits within this of zero (degrees) leave a solver angle a few whole turns.
constexpr double kNearLimit = 540.0;

// The layers of every waypoint turned by every rotation, with the tool along
// the flange's z: every turn's flange solutions are those of the waypoint
// with J6 moved, so each waypoint is solved once, and whether a solution
// belongs to a family (which J6 does not change) is found once per flange
// solution. The nodes are those arm_ik_many (arm_ik_many_free with a
// checker) gives for the turned targets, in the same order: turn by turn,
// each turn's solutions followed by their whole-turn variants.
PathLayers flange_turned_layers(const Arm& arm, const CollisionChecker* checker, std::span<const Pose> waypoints,
                                std::span<const double> rotations, double padding, unsigned threads,
                                const CancelCheck& cancel) {
    std::vector<Pose> flange(waypoints.size());
    for (std::size_t i = 0; i < waypoints.size(); ++i) {
        flange[i] = arm_flange_target(arm, waypoints[i]);
    }
    const IkBatchResult raw = ik_many(arm.robot, flange, threads, cancel);
    std::vector<std::uint8_t> raw_family(raw.solutions.size());
    for (std::size_t k = 0; k < raw.solutions.size(); ++k) {
        raw_family[k] = arm_in_family(arm, raw.solutions[k].joints) ? 1 : 0;
    }
    const std::size_t turns = rotations.size();
    // Flange solution k of its waypoint turned by rotation r.
    const auto moved = [&](std::size_t k, std::size_t r) {
        IkSolution solution = raw.solutions[k];
        const double j6 = solution.joints[5] - rotations[r];
        solution.joints[5] = j6 - 360.0 * std::nearbyint(j6 / 360.0);
        return solution;
    };
    // Of (waypoint i, rotation r, solution k): where it is among all turned flange solutions.
    const auto slot = [&](std::size_t i, std::size_t r, std::size_t k) {
        const auto first = static_cast<std::size_t>(raw.offsets[i]);
        const auto count = static_cast<std::size_t>(raw.offsets[i + 1]) - first;
        return first * turns + r * count + (k - first);
    };
    std::vector<std::uint8_t> hit;
    if (checker != nullptr) {
        // A flange solution's turns differ in J6 alone: everything J6 does
        // not move is checked once for all of them.
        std::vector<std::size_t> waypoint_of(raw.solutions.size());
        for (std::size_t i = 0; i < waypoints.size(); ++i) {
            for (auto k = static_cast<std::size_t>(raw.offsets[i]); k < static_cast<std::size_t>(raw.offsets[i + 1]);
                 ++k) {
                waypoint_of[k] = i;
            }
        }
        hit.assign(raw.solutions.size() * turns, 0);
        detail::BatchStop stop(cancel);
        const std::size_t count = raw.solutions.size();
        detail::run_chunks(count, detail::effective_threads(count, threads), stop,
                           [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                               std::vector<double> j6(turns);
                               std::vector<std::uint8_t> turned_hit(turns);
                               for (std::size_t k = begin; k < end && stop.keep_going(on_caller); ++k) {
                                   for (std::size_t r = 0; r < turns; ++r) {
                                       j6[r] = moved(k, r).joints[5];
                                   }
                                   checker->collides_turned(raw.solutions[k].joints, j6, turned_hit, padding);
                                   for (std::size_t r = 0; r < turns; ++r) {
                                       hit[slot(waypoint_of[k], r, k)] = turned_hit[r];
                                   }
                               }
                           });
    }
    // Within a turn and a half of zero every limit leaves each joint a few
    // whole turns to try; then J1 to J5's variants (and whether the elbow
    // allows them) are found once per flange solution, and only J6's per
    // rotation. Otherwise every rotation's solutions are expanded in full.
    bool near = true;
    for (std::size_t j = 0; j < 6; ++j) {
        near = near && std::fabs(arm.lower[j]) <= kNearLimit && std::fabs(arm.upper[j]) <= kNearLimit;
    }
    for (const IkSolution& solution : raw.solutions) {
        for (const double angle : solution.joints) {
            near = near && std::fabs(angle) <= 360.0;
        }
    }
    JointVector lower;
    JointVector upper;
    arm_widened_limits(arm, lower, upper);
    // Calls emit(node, r, family) for every node of waypoint i, in order;
    // returns early once `stop` says so (wide limits give millions of nodes
    // per waypoint, so it is asked per rotation).
    const auto expand = [&](std::size_t i, detail::BatchStop& stop, bool on_caller, auto&& emit) {
        const auto first = static_cast<std::size_t>(raw.offsets[i]);
        const auto last = static_cast<std::size_t>(raw.offsets[i + 1]);
        if (!near) {
            std::vector<IkSolution> clear;
            std::vector<std::uint8_t> clear_family;
            std::vector<IkSolution> expanded;
            for (std::size_t r = 0; r < turns && stop.keep_going(on_caller); ++r) {
                clear.clear();
                clear_family.clear();
                for (std::size_t k = first; k < last; ++k) {
                    if (hit.empty() || hit[slot(i, r, k)] == 0) {
                        clear.push_back(moved(k, r));
                        clear_family.push_back(raw_family[k]);
                    }
                }
                expanded.clear();
                arm_expand(arm, clear, expanded);
                // Each solution's variants follow it (none when it has none within the limits).
                std::size_t source = 0;
                std::array<std::int64_t, 6> unused{};
                for (const IkSolution& solution : expanded) {
                    while (source < clear.size() && !turns_from(clear[source].joints, solution.joints, unused)) {
                        ++source;
                    }
                    emit(solution.joints, r,
                         source < clear.size() ? clear_family[source] : (arm_in_family(arm, solution.joints) ? 1 : 0));
                }
            }
            return;
        }
        // The variants of J1 to J5 of each solution, put on the limits, in
        // the order of the turns (the first joint's slowest).
        thread_local std::vector<JointVector> arm_variants;
        thread_local std::vector<std::size_t> variant_offsets;
        arm_variants.clear();
        variant_offsets.assign(1, 0);
        for (std::size_t k = first; k < last; ++k) {
            if (!stop.keep_going(on_caller)) {
                return;
            }
            const JointVector& q = raw.solutions[k].joints;
            std::array<std::array<double, 7>, 5> values{};
            std::array<std::size_t, 5> counts{};
            for (std::size_t j = 0; j < 5; ++j) {
                for (double t = -3.0; t <= 3.0; t += 1.0) {
                    const double value = q[j] + 360.0 * t;
                    if (lower[j] <= value && value <= upper[j]) {
                        values[j][counts[j]++] = value;
                    }
                }
            }
            std::array<std::size_t, 5> at{};
            const bool any = std::all_of(counts.begin(), counts.end(), [](std::size_t c) { return c > 0; });
            while (any) {
                JointVector variant{};
                for (std::size_t j = 0; j < 5; ++j) {
                    variant[j] = values[j][at[j]];
                }
                // J6 on a limit: the arm's joints are snapped here, J6's below.
                variant[5] = arm.lower[5];
                if (arm_snap_to_limits(arm, variant)) {
                    arm_variants.push_back(variant);
                }
                std::size_t j = 5;
                while (j > 0 && at[j - 1] + 1 == counts[j - 1]) {
                    at[j - 1] = 0;
                    --j;
                }
                if (j == 0) {
                    break;
                }
                ++at[j - 1];
            }
            variant_offsets.push_back(arm_variants.size());
        }
        for (std::size_t r = 0; r < turns && stop.keep_going(on_caller); ++r) {
            for (std::size_t k = first; k < last; ++k) {
                if (!hit.empty() && hit[slot(i, r, k)] != 0) {
                    continue;
                }
                const double j6 = moved(k, r).joints[5];
                for (std::size_t v = variant_offsets[k - first]; v < variant_offsets[k - first + 1]; ++v) {
                    for (double t = -3.0; t <= 3.0; t += 1.0) {
                        const double value = j6 + 360.0 * t;
                        if (lower[5] <= value && value <= upper[5]) {
                            JointVector node = arm_variants[v];
                            node[5] = std::clamp(value, arm.lower[5], arm.upper[5]);
                            emit(node, r, raw_family[k]);
                        }
                    }
                }
            }
        }
    };
    // Counted first, then written in place: each waypoint's nodes where its
    // offset puts them.
    PathLayers layers;
    layers.offsets.assign(waypoints.size() + 1, 0);
    detail::BatchStop stop(cancel);
    const unsigned used = detail::effective_threads(waypoints.size(), threads);
    detail::run_chunks(waypoints.size(), used, stop, [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
        for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
            std::int64_t count = 0;
            expand(i, stop, on_caller, [&](const JointVector&, std::size_t, std::uint8_t) { ++count; });
            layers.offsets[i + 1] = count;
        }
    });
    for (std::size_t i = 0; i < waypoints.size(); ++i) {
        layers.offsets[i + 1] += layers.offsets[i];
    }
    const auto total = static_cast<std::size_t>(layers.offsets.back());
    detail::fill_polled(layers.nodes, total, JointVector{}, stop);
    detail::fill_polled(layers.rotation_of, total, std::uint32_t{0}, stop);
    std::vector<std::uint8_t> family;
    detail::fill_polled(family, total, std::uint8_t{0}, stop);
    detail::run_chunks(waypoints.size(), used, stop, [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
        for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
            auto at = static_cast<std::size_t>(layers.offsets[i]);
            expand(i, stop, on_caller, [&](const JointVector& node, std::size_t r, std::uint8_t in_family) {
                layers.nodes[at] = node;
                layers.rotation_of[at] = static_cast<std::uint32_t>(r);
                family[at] = in_family;
                ++at;
            });
        }
    });
    finish_layers(arm, layers, waypoints, rotations, threads, cancel, std::move(family));
    return layers;
}

// The layers of every waypoint turned by every rotation, each turn solved
// (arm_ik_many_free with a checker).
PathLayers turned_layers(const Arm& arm, const CollisionChecker* checker, std::span<const Pose> waypoints,
                         std::span<const double> rotations, double padding, unsigned threads,
                         const CancelCheck& cancel) {
    if (tool_along_flange_z(arm.tool)) {
        return flange_turned_layers(arm, checker, waypoints, rotations, padding, threads, cancel);
    }
    const std::vector<Pose> turned = turned_waypoints(waypoints, rotations);
    const IkBatchResult batch = checker != nullptr ? arm_ik_many_free(arm, *checker, turned, padding, threads, cancel)
                                                   : arm_ik_many(arm, turned, threads, cancel);
    return layers_of(arm, batch, waypoints, rotations, threads, cancel);
}

// The flange target of node `node` of waypoint `waypoint` (an identity pose when the layers have none).
Pose flange_target_of(const PathLayers& layers, std::size_t waypoint, std::size_t node) {
    const std::size_t index = layers.rotation_of.size() == layers.nodes.size() && !layers.rotations.empty()
                                  ? waypoint * layers.rotations.size() + layers.rotation_of[node]
                                  : waypoint;
    return index < layers.flange_targets.size() ? layers.flange_targets[index] : Pose{};
}

// The turn of every row of a plan from its chosen nodes.
void set_tool_rotation(PathPlan& plan, const PathLayers& layers, const std::vector<std::int64_t>& chosen) {
    const bool turned = !layers.rotations.empty() && layers.rotation_of.size() == layers.nodes.size();
    plan.tool_rotation.assign(chosen.size(), 0.0);
    for (std::size_t row = 0; row < chosen.size(); ++row) {
        if (chosen[row] == kNone) {
            plan.tool_rotation[row] = std::numeric_limits<double>::quiet_NaN();
        } else if (turned) {
            plan.tool_rotation[row] = layers.rotations[layers.rotation_of[static_cast<std::size_t>(chosen[row])]];
        }
    }
}

}  // namespace

Pose turned_about_z(const Pose& waypoint, double degrees) noexcept {
    const double half = degrees * (std::numbers::pi / 360.0);
    return compose(waypoint, Pose{Quat{0.0, 0.0, std::sin(half), std::cos(half)}, Vec3{0.0, 0.0, 0.0}});
}

namespace {

// Samples counted before the repeats are left out beyond which a free axis is
// refused without listing them.
constexpr double kMostListed = 16.0 * static_cast<double>(kMaxFreeAxisSamples);

// The samples of a free axis before the repeats are left out; NaN for
// arguments free_axis_rotations refuses outright.
double listed_count(double lower, double upper, double step) noexcept {
    if (!std::isfinite(lower) || !std::isfinite(upper) || !std::isfinite(step) || !(lower <= upper) || !(step > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // A step that divides the range to rounding lands on upper; any other
    // adds upper as a last, shorter gap.
    const double whole = std::floor((upper - lower) / step + 1e-9);
    return whole + 1.0 + (upper - (lower + whole * step) > 1e-9 * std::max(1.0, std::fabs(upper)) ? 1.0 : 0.0);
}

// The samples lower, lower + step, ..., upper without those a whole turn from
// an earlier one, in ascending order; `count` is listed_count.
std::vector<double> distinct_samples(double lower, double upper, double step, std::size_t count) {
    std::vector<double> samples(count);
    for (std::size_t k = 0; k < count; ++k) {
        samples[k] = k + 1 == count ? upper : lower + static_cast<double>(k) * step;
    }
    if (upper - lower < 360.0 - 1e-9) {
        return samples;
    }
    // Sorted by the angle modulo a turn, a repeat lies next to what it repeats
    // (or across 0, at the two ends); the smallest turn is kept, of two of one
    // size the negative (0 rather than -360, -180 rather than 180).
    const auto reduced = [&](std::size_t k) { return samples[k] - 360.0 * std::floor(samples[k] / 360.0); };
    const auto smaller = [&](std::size_t a, std::size_t b) {
        return std::fabs(samples[a]) < std::fabs(samples[b]) ||
               (std::fabs(samples[a]) == std::fabs(samples[b]) && samples[a] < samples[b]);
    };
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double ra = reduced(a);
        const double rb = reduced(b);
        return ra < rb || (ra == rb && a < b);
    });
    std::vector<std::uint8_t> repeat(count, 0);
    std::size_t first = 0;  // the kept sample of the run of equal angles
    for (std::size_t n = 1; n < count; ++n) {
        if (reduced(order[n]) - reduced(order[first]) <= 1e-9) {
            const bool keep_new = smaller(order[n], order[first]);
            repeat[keep_new ? order[first] : order[n]] = 1;
            first = keep_new ? n : first;
        } else {
            first = n;
        }
    }
    // Across 0: the largest angles modulo a turn repeat the smallest ones
    // (the kept one of the run at 0).
    std::size_t zero_run = 0;
    while (zero_run + 1 < count && repeat[order[zero_run]] != 0) ++zero_run;
    for (std::size_t n = count; n-- > 0 && 360.0 - reduced(order[n]) + reduced(order[0]) <= 1e-9;) {
        if (n == zero_run || repeat[order[n]] != 0) continue;
        const bool keep_new = smaller(order[n], order[zero_run]);
        repeat[keep_new ? order[zero_run] : order[n]] = 1;
        if (keep_new) zero_run = n;
    }
    std::vector<double> kept;
    for (std::size_t k = 0; k < count; ++k) {
        if (repeat[k] == 0) {
            kept.push_back(samples[k]);
        }
    }
    return kept;
}

}  // namespace

double free_axis_sample_count(double lower, double upper, double step) {
    const double listed = listed_count(lower, upper, step);
    if (!(listed <= kMostListed)) {
        return listed;
    }
    return static_cast<double>(distinct_samples(lower, upper, step, static_cast<std::size_t>(listed)).size());
}

std::optional<std::vector<double>> free_axis_rotations(double lower, double upper, double step) {
    const double listed = listed_count(lower, upper, step);
    if (!(listed <= kMostListed)) {
        return std::nullopt;
    }
    std::vector<double> rotations = distinct_samples(lower, upper, step, static_cast<std::size_t>(listed));
    if (rotations.size() > kMaxFreeAxisSamples) {
        return std::nullopt;
    }
    // The samples are distinct, so this order is total.
    std::sort(rotations.begin(), rotations.end(), [](double a, double b) {
        return std::fabs(a) < std::fabs(b) || (std::fabs(a) == std::fabs(b) && a < b);
    });
    return rotations;
}

PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, unsigned threads, const CancelCheck& cancel) {
    LayerSink sink(waypoints.size());
    arm_ik_many(arm, waypoints, sink, threads, cancel);
    PathLayers layers = sink.take();
    finish_layers(arm, layers, waypoints, {}, threads, cancel);
    return layers;
}

PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, std::span<const double> rotations,
                       unsigned threads, const CancelCheck& cancel) {
    if (rotations.empty()) {
        return path_layers(arm, waypoints, threads, cancel);
    }
    return turned_layers(arm, nullptr, waypoints, rotations, 0.0, threads, cancel);
}

PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            double padding, unsigned threads, const CancelCheck& cancel) {
    LayerSink sink(waypoints.size());
    arm_ik_many_free(arm, checker, waypoints, sink, padding, threads, cancel);
    PathLayers layers = sink.take();
    finish_layers(arm, layers, waypoints, {}, threads, cancel);
    return layers;
}

PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            std::span<const double> rotations, double padding, unsigned threads,
                            const CancelCheck& cancel) {
    if (rotations.empty()) {
        return path_layers_free(arm, checker, waypoints, padding, threads, cancel);
    }
    return turned_layers(arm, &checker, waypoints, rotations, padding, threads, cancel);
}

std::optional<std::vector<std::int64_t>> waypoint_indices(std::span<const double> values, std::size_t waypoints) {
    std::vector<std::int64_t> indices;
    indices.reserve(values.size());
    for (const double value : values) {
        // NaN fails the range test.
        if (!(value >= 0.0 && value < static_cast<double>(waypoints)) || value != std::floor(value)) {
            return std::nullopt;
        }
        indices.push_back(static_cast<std::int64_t>(value));
    }
    return indices;
}

void keep_nodes(PathLayers& layers, std::span<const std::uint8_t> keep) {
    std::size_t out = 0;
    std::int64_t begin = 0;
    for (std::size_t i = 0; i + 1 < layers.offsets.size(); ++i) {
        const std::int64_t end = layers.offsets[i + 1];
        for (auto k = static_cast<std::size_t>(begin); k < static_cast<std::size_t>(end); ++k) {
            if (k < keep.size() && keep[k] != 0) {
                if (layers.family.size() == layers.nodes.size()) {
                    layers.family[out] = layers.family[k];
                }
                if (layers.rotation_of.size() == layers.nodes.size()) {
                    layers.rotation_of[out] = layers.rotation_of[k];
                }
                layers.nodes[out++] = layers.nodes[k];
            }
        }
        begin = end;
        layers.offsets[i + 1] = static_cast<std::int64_t>(out);
    }
    if (layers.family.size() == layers.nodes.size()) {
        layers.family.resize(out);
    }
    if (layers.rotation_of.size() == layers.nodes.size()) {
        layers.rotation_of.resize(out);
    }
    layers.nodes.resize(out);
}

namespace {

// Whole-turn variants of one joint vector in a layer: each node is
// base + 360·k for a vector k of whole turns, found in a dense table.
struct TurnClass {
    JointVector base;
    std::array<std::int64_t, 6> first{};  // smallest k per joint
    std::array<std::int64_t, 6> span{};   // count of k per joint
    std::vector<std::int64_t> table;      // node of each k, kNone where absent
    std::vector<std::int64_t> members;    // (node, k packed later) while building
    std::vector<std::array<std::int64_t, 6>> turns;
    std::vector<std::int64_t> overflow;  // nodes not in the table (a second node on one k)
    JointVector low{};                   // smallest angle of the members, per joint
    JointVector high{};                  // largest
};

// A layer with more nodes than this (a free tool axis puts every turn's
// postures in one layer) finds its classes through bins rather than by
// trying them all.
constexpr std::int64_t kBinnedLayer = 64;
// Bins per binned joint: an angle modulo a turn falls in one of these.
constexpr std::size_t kBins = 36;

// The whole-turn classes of one layer. A large layer also files each class
// under the bins of two joints' angles modulo a turn (the two that spread
// the nodes most), so that a node looks only at the classes of the bins
// within max_step of its own. The TurnClass storage is kept from layer to
// layer.
struct TurnClasses {
    std::vector<TurnClass> items;  // the first `count` are this layer's
    std::size_t count = 0;
    bool binned = false;
    std::array<std::size_t, 2> keys{};
    std::vector<std::int64_t> head;  // first class of each bin pair, kNone where none
    std::vector<std::int64_t> next;  // the next class of the same bin pair
};

// floor as an integer, inline; beyond 2^60 in size (a reach of many turns)
// it gives ±2^60, which every caller clamps to its own range.
constexpr double kLargestWhole = 1152921504606846976.0;  // 2^60

std::int64_t floor_of(double x) noexcept {
    if (!(std::fabs(x) < kLargestWhole)) {
        return x < 0.0 ? -static_cast<std::int64_t>(kLargestWhole) : static_cast<std::int64_t>(kLargestWhole);
    }
    const auto i = static_cast<std::int64_t>(x);
    return i - (x < static_cast<double>(i) ? 1 : 0);
}

constexpr double kPerBin = static_cast<double>(kBins) / 360.0;

std::size_t wrapped_bin(std::int64_t bin) noexcept {
    const auto bins = static_cast<std::int64_t>(kBins);
    const std::int64_t wrapped = bin % bins;
    return static_cast<std::size_t>(wrapped < 0 ? wrapped + bins : wrapped);
}

std::size_t bin_of(double degrees) noexcept { return wrapped_bin(floor_of(degrees * kPerBin)); }

// The two joints whose angles modulo a turn crowd the fewest nodes into one bin.
std::array<std::size_t, 2> spreading_joints(const std::vector<JointVector>& nodes,
                                            std::span<const std::int64_t> ids) {
    std::array<double, 6> crowding{};
    std::array<std::int64_t, kBins> counts{};
    // A few nodes spread over the layer tell enough.
    const std::size_t stride = std::max<std::size_t>(1, ids.size() / static_cast<std::size_t>(kBinnedLayer));
    for (std::size_t j = 0; j < 6; ++j) {
        counts.fill(0);
        for (std::size_t m = 0; m < ids.size(); m += stride) {
            ++counts[bin_of(nodes[static_cast<std::size_t>(ids[m])][j])];
        }
        for (const std::int64_t count : counts) {
            crowding[j] += static_cast<double>(count) * static_cast<double>(count);
        }
    }
    std::array<std::size_t, 6> order{0, 1, 2, 3, 4, 5};
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return crowding[a] < crowding[b] || (crowding[a] == crowding[b] && a < b);
    });
    return {order[0], order[1]};
}

// visit(u), true when it asks to stop (a visit returning nothing never does).
template <class Visit, class Index>
bool visit_stops(Visit& visit, Index u) {
    if constexpr (std::is_same_v<decltype(visit(u)), bool>) {
        return visit(u);
    } else {
        visit(u);
        return false;
    }
}

// The bins (of kPerBin per degree) from `angle` - reach to `angle` + reach:
// the first and how many, at most `most`.
std::pair<std::int64_t, std::int64_t> bin_window(double angle, double reach, std::int64_t most) noexcept {
    const std::int64_t low = floor_of((angle - reach) * kPerBin);
    return {low, std::min(floor_of((angle + reach) * kPerBin) - low + 1, most)};
}

// Calls visit(c) for the index c of each class of `classes` filed under the bins of
// joints keys within `reach` degrees (modulo a turn) of `node`, each once,
// until a visit asks to stop.
template <class Visit>
void classes_near(const TurnClasses& classes, const JointVector& node, double reach, Visit&& visit) {
    std::array<std::int64_t, 2> low{};
    std::array<std::int64_t, 2> bins{};
    for (std::size_t d = 0; d < 2; ++d) {
        std::tie(low[d], bins[d]) = bin_window(node[classes.keys[d]], reach, static_cast<std::int64_t>(kBins));
    }
    std::size_t bx = wrapped_bin(low[0]);
    for (std::int64_t x = 0; x < bins[0]; ++x, bx = bx + 1 == kBins ? 0 : bx + 1) {
        std::size_t by = wrapped_bin(low[1]);
        for (std::int64_t y = 0; y < bins[1]; ++y, by = by + 1 == kBins ? 0 : by + 1) {
            for (std::int64_t c = classes.head[bx * kBins + by]; c != kNone;
                 c = classes.next[static_cast<std::size_t>(c)]) {
                if (visit_stops(visit, static_cast<std::size_t>(c))) {
                    return;
                }
            }
        }
    }
}

// The classes of the nodes `ids`; `ask()` is called every so many nodes
// and throws to stop (BatchCancelled).
template <class Ask>
void build_classes(const std::vector<JointVector>& nodes, std::span<const std::int64_t> ids, TurnClasses& classes,
                   Ask&& ask) {
    classes.count = 0;
    classes.binned = static_cast<std::int64_t>(ids.size()) > kBinnedLayer;
    if (classes.binned) {
        classes.keys = spreading_joints(nodes, ids);
        classes.head.assign(kBins * kBins, kNone);
        classes.next.clear();
    }
    std::array<std::int64_t, 6> k{};
    for (std::size_t m = 0; m < ids.size(); ++m) {
        if ((m & 0xFFFFU) == 0xFFFFU) {
            ask();
        }
        const std::int64_t u = ids[m];
        const JointVector& node = nodes[static_cast<std::size_t>(u)];
        TurnClass* home = nullptr;
        // Variants come in runs, so the last class is tried first.
        if (classes.count > 0 && turns_from(classes.items[classes.count - 1].base, node, k)) {
            home = &classes.items[classes.count - 1];
        } else if (classes.binned) {
            // A variant lies within kSameAngle of its class modulo a turn.
            classes_near(classes, node, kSameAngle, [&](std::size_t c) {
                if (home == nullptr && turns_from(classes.items[c].base, node, k)) {
                    home = &classes.items[c];
                }
            });
        } else {
            for (std::size_t c = classes.count; c-- > 1;) {
                if (turns_from(classes.items[c - 1].base, node, k)) {
                    home = &classes.items[c - 1];
                    break;
                }
            }
        }
        if (home == nullptr) {
            if (classes.count == classes.items.size()) {
                classes.items.emplace_back();
            }
            home = &classes.items[classes.count];
            home->base = node;
            home->members.clear();
            home->turns.clear();
            home->overflow.clear();
            home->table.clear();
            if (classes.binned) {
                const std::size_t bin = bin_of(node[classes.keys[0]]) * kBins + bin_of(node[classes.keys[1]]);
                classes.next.push_back(classes.head[bin]);
                classes.head[bin] = static_cast<std::int64_t>(classes.count);
            }
            ++classes.count;
            k.fill(0);
        }
        home->members.push_back(u);
        home->turns.push_back(k);
    }
    for (std::size_t index = 0; index < classes.count; ++index) {
        TurnClass& c = classes.items[index];
        c.low = c.base;
        c.high = c.base;
        for (const std::int64_t u : c.members) {
            const JointVector& member = nodes[static_cast<std::size_t>(u)];
            for (std::size_t j = 0; j < 6; ++j) {
                c.low[j] = std::min(c.low[j], member[j]);
                c.high[j] = std::max(c.high[j], member[j]);
            }
        }
        std::array<std::int64_t, 6> last{};
        c.first = c.turns[0];
        last = c.turns[0];
        for (const auto& t : c.turns) {
            for (std::size_t j = 0; j < 6; ++j) {
                c.first[j] = std::min(c.first[j], t[j]);
                last[j] = std::max(last[j], t[j]);
            }
        }
        double size = 1.0;
        for (std::size_t j = 0; j < 6; ++j) {
            c.span[j] = last[j] - c.first[j] + 1;
            size *= static_cast<double>(c.span[j]);
        }
        if (size > static_cast<double>(kMaxTable)) {
            c.overflow = c.members;
            continue;
        }
        c.table.assign(static_cast<std::size_t>(size), kNone);
        for (std::size_t m = 0; m < c.members.size(); ++m) {
            std::size_t slot = 0;
            for (std::size_t j = 0; j < 6; ++j) {
                slot = slot * static_cast<std::size_t>(c.span[j]) + static_cast<std::size_t>(c.turns[m][j] - c.first[j]);
            }
            if (c.table[slot] == kNone) {
                c.table[slot] = c.members[m];
            } else {
                c.overflow.push_back(c.members[m]);
            }
        }
    }
}

// floor and ceil of x clamped into [low, high] (whole numbers of turns), by
// truncation: these run for every node, and the library calls cost more
// than the search around them.
std::int64_t floor_within(double x, double low, double high) noexcept {
    const double clamped = std::min(std::max(x, low), high);
    const auto whole = static_cast<std::int64_t>(clamped);
    return whole - (static_cast<double>(whole) > clamped ? 1 : 0);
}

std::int64_t ceil_within(double x, double low, double high) noexcept {
    const double clamped = std::min(std::max(x, low), high);
    const auto whole = static_cast<std::int64_t>(clamped);
    return whole + (static_cast<double>(whole) < clamped ? 1 : 0);
}

std::size_t table_slot(const TurnClass& c, const std::array<std::int64_t, 6>& k) noexcept {
    std::size_t slot = 0;
    for (std::size_t j = 0; j < 6; ++j) {
        slot = slot * static_cast<std::size_t>(c.span[j]) + static_cast<std::size_t>(k[j] - c.first[j]);
    }
    return slot;
}

// Slack of the test of a class's angle range: far above the rounding of
// the angles, far below any step.
constexpr double kRangeSlack = 1e-6;

// Calls visit(u) for every node u of class `c` that may lie within reach[j]
// degrees of `node` in every joint j (and some that do not: the caller
// checks), each once, until a visit asks to stop; true when one did.
template <class Visit>
bool near_members(const TurnClass& c, const JointVector& node, const std::array<double, 6>& reach, Visit&& visit) {
    for (const std::int64_t u : c.overflow) {
        if (visit_stops(visit, u)) {
            return true;
        }
    }
    if (c.table.empty()) {
        return false;
    }
    // Most classes lie out of reach in some joint: their angle ranges say so
    // before any turn is counted.
    for (std::size_t j = 0; j < 6; ++j) {
        if (node[j] + reach[j] < c.low[j] - kRangeSlack || node[j] - reach[j] > c.high[j] + kRangeSlack) {
            return false;
        }
    }
    // A class of one node: the caller's own test is cheaper than the range.
    if (c.table.size() == 1) {
        return c.table[0] != kNone && visit_stops(visit, c.table[0]);
    }
    std::array<std::int64_t, 6> lo{};
    std::array<std::int64_t, 6> hi{};
    for (std::size_t j = 0; j < 6; ++j) {
        // A joint of one turn count: its angle range above has answered.
        if (c.span[j] == 1) {
            lo[j] = hi[j] = c.first[j];
            continue;
        }
        const double d = node[j] - c.base[j];
        // Within the class's own turns, so an infinite reach takes them all.
        const auto first = static_cast<double>(c.first[j]);
        const double last = first + static_cast<double>(c.span[j] - 1);
        lo[j] = ceil_within((d - reach[j]) / 360.0 - 1e-9, first, last + 1.0);
        hi[j] = floor_within((d + reach[j]) / 360.0 + 1e-9, first - 1.0, last);
        if (lo[j] > hi[j]) {
            return false;
        }
    }
    std::array<std::int64_t, 6> k = lo;
    for (;;) {
        if (const std::int64_t u = c.table[table_slot(c, k)]; u != kNone && visit_stops(visit, u)) {
            return true;
        }
        std::size_t j = 6;
        while (j > 0 && k[j - 1] == hi[j - 1]) {
            k[j - 1] = lo[j - 1];
            --j;
        }
        if (j == 0) {
            return false;
        }
        ++k[j - 1];
    }
}

// Calls visit(u) for every node u of the classes that may lie within
// max_step of `node` in every joint (and some that do not: the caller
// checks), each once, until a visit asks to stop.
template <class Visit>
void near_predecessors(const TurnClasses& classes, const JointVector& node, double max_step, Visit&& visit) {
    std::array<double, 6> reach{};
    reach.fill(max_step);
    if (classes.binned) {
        // A class's members lie within kSameAngle of its base modulo a turn;
        // the slack covers the rounding of the tests in near_members.
        classes_near(classes, node, max_step + 1e-5,
                     [&](std::size_t c) { return near_members(classes.items[c], node, reach, visit); });
        return;
    }
    for (std::size_t c = 0; c < classes.count; ++c) {
        if (near_members(classes.items[c], node, reach, visit)) {
            return;
        }
    }
}

// Where no joint's limits span more than a few turns, a large layer's nodes
// are found through a grid of the angles of two joints (those that spread
// them most), each node in one cell: a node's predecessors within a step are
// in the cells within the step of its own, and building the grid costs a
// count and a pass. With wider limits whole-turn classes keep the many
// variants of a solution together instead.
constexpr double kMostGridRange = 720.0;
// Cells per joint of the grid's table: cells further apart share an entry
// (modulo this), which only adds nodes for the caller's own test.
constexpr std::int64_t kGridSide = 64;

struct NodeGrid {
    std::array<std::size_t, 2> keys{};
    std::vector<std::uint32_t> start;  // per entry, its first node in `nodes`; one more at the end
    std::vector<std::int64_t> nodes;
    std::vector<std::uint32_t> entry_of;  // while building
};

std::size_t grid_entry(std::int64_t x, std::int64_t y) noexcept {
    const auto wrap = [](std::int64_t c) { return static_cast<std::size_t>(((c % kGridSide) + kGridSide) % kGridSide); };
    return wrap(x) * static_cast<std::size_t>(kGridSide) + wrap(y);
}

void build_grid(const std::vector<JointVector>& nodes, std::span<const std::int64_t> ids, NodeGrid& grid) {
    grid.keys = spreading_joints(nodes, ids);
    constexpr auto entries = static_cast<std::size_t>(kGridSide * kGridSide);
    grid.start.assign(entries + 1, 0);
    grid.entry_of.resize(ids.size());
    for (std::size_t m = 0; m < ids.size(); ++m) {
        const JointVector& node = nodes[static_cast<std::size_t>(ids[m])];
        const auto entry = static_cast<std::uint32_t>(
            grid_entry(floor_of(node[grid.keys[0]] * kPerBin), floor_of(node[grid.keys[1]] * kPerBin)));
        grid.entry_of[m] = entry;
        ++grid.start[entry + 1];
    }
    for (std::size_t e = 0; e < entries; ++e) {
        grid.start[e + 1] += grid.start[e];
    }
    // start[e + 1] is where entry e ends: filled from the back, each entry
    // keeps the layer's order and start[e] ends where entry e begins.
    grid.nodes.resize(ids.size());
    for (std::size_t m = ids.size(); m-- > 0;) {
        grid.nodes[--grid.start[grid.entry_of[m] + 1]] = ids[m];
    }
    for (std::size_t e = 0; e < entries; ++e) {
        grid.start[e] = grid.start[e + 1];
    }
    grid.start[entries] = static_cast<std::uint32_t>(ids.size());
}

// Calls visit(u) for every node u of the grid within max_step of `node` in
// the grid's two joints (and some further: the caller checks), each once,
// until a visit asks to stop.
template <class Visit>
void grid_near(const NodeGrid& grid, const JointVector& node, double max_step, Visit&& visit) {
    std::array<std::int64_t, 2> low{};
    std::array<std::int64_t, 2> cells{};
    for (std::size_t d = 0; d < 2; ++d) {
        // The slack covers the rounding of the cells' edges.
        std::tie(low[d], cells[d]) = bin_window(node[grid.keys[d]], max_step + 1e-5, kGridSide);
    }
    for (std::int64_t x = 0; x < cells[0]; ++x) {
        for (std::int64_t y = 0; y < cells[1]; ++y) {
            const std::size_t entry = grid_entry(low[0] + x, low[1] + y);
            for (std::uint32_t m = grid.start[entry]; m < grid.start[entry + 1]; ++m) {
                if (visit_stops(visit, grid.nodes[m])) {
                    return;
                }
            }
        }
    }
}

// A layer's nodes, to be looked up near a node of the next layer: a grid or
// whole-turn classes.
class Predecessors {
public:
    explicit Predecessors(const Arm& arm) noexcept {
        for (std::size_t j = 0; j < 6; ++j) {
            narrow_ = narrow_ && arm.upper[j] - arm.lower[j] <= kMostGridRange;
        }
    }

    // On the calling thread: `stop` is asked on the way (BatchCancelled).
    void build(const std::vector<JointVector>& nodes, std::span<const std::int64_t> ids, detail::BatchStop& stop) {
        gridded_ = narrow_ && static_cast<std::int64_t>(ids.size()) > kBinnedLayer;
        if (gridded_) {
            build_grid(nodes, ids, grid_);
        } else {
            build_classes(nodes, ids, classes_, [&] {
                stop.poll();
                if (stop.cancelled()) throw BatchCancelled{};
            });
        }
    }

    // The classes of the nodes built, if they were built as classes.
    const TurnClasses* classes() const noexcept { return gridded_ ? nullptr : &classes_; }

    template <class Visit>
    void near(const JointVector& node, double max_step, Visit&& visit) const {
        if (gridded_) {
            grid_near(grid_, node, max_step, visit);
        } else {
            near_predecessors(classes_, node, max_step, visit);
        }
    }

private:
    bool narrow_ = true;
    bool gridded_ = false;
    NodeGrid grid_;
    TurnClasses classes_;
};

// The variant of class `c` nearest `node` joint by joint, if the class has it.
std::int64_t nearest_member(const TurnClass& c, const JointVector& node) noexcept {
    if (c.table.empty()) {
        return kNone;
    }
    std::array<std::int64_t, 6> k{};
    for (std::size_t j = 0; j < 6; ++j) {
        const auto first = static_cast<double>(c.first[j]);
        k[j] = floor_within((node[j] - c.base[j]) / 360.0 + 0.5, first, first + static_cast<double>(c.span[j] - 1));
    }
    return c.table[table_slot(c, k)];
}

// TCP travel between two flange targets: millimetres of translation plus
// degrees of rotation.
double tcp_travel(const Pose& a, const Pose& b) noexcept {
    double squared = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
        squared += (b.t[j] - a.t[j]) * (b.t[j] - a.t[j]);
    }
    // The relative rotation conj(a.q) * b.q: its angle from its vector and scalar parts.
    const Quat& p = a.q;
    const Quat& q = b.q;
    const double w = p.w * q.w + p.x * q.x + p.y * q.y + p.z * q.z;
    const double x = p.w * q.x - p.x * q.w - p.y * q.z + p.z * q.y;
    const double y = p.w * q.y + p.x * q.z - p.y * q.w - p.z * q.x;
    const double z = p.w * q.z - p.x * q.y + p.y * q.x - p.z * q.w;
    const double angle = 2.0 * std::atan2(std::sqrt(x * x + y * y + z * z), std::fabs(w));
    return std::sqrt(squared) + angle * (180.0 / std::numbers::pi);
}

// Moves taken out of the graph, by key(from, to); the approach from `start`
// has `from` = the node count.
class Blocked {
public:
    explicit Blocked(std::size_t count) noexcept : count_(count) {}
    bool contains(std::int64_t from, std::int64_t to) const {
        return !moves_.empty() && moves_.contains(key(from, to));
    }
    void insert(std::int64_t from, std::int64_t to) { moves_.insert(key(from, to)); }
    std::int64_t start_node() const noexcept { return static_cast<std::int64_t>(count_); }

private:
    std::uint64_t key(std::int64_t from, std::int64_t to) const noexcept {
        return static_cast<std::uint64_t>(from) * (count_ + 1) + static_cast<std::uint64_t>(to);
    }
    std::size_t count_;
    std::unordered_set<std::uint64_t> moves_;
};

// Seconds of the best plan's moves into the rows, from the rows themselves:
// the segments, duration and travel as a caller would add them up.
void add_up(const Arm& arm, const std::optional<JointVector>& start, PathPlan& plan) {
    plan.segments = segment_ranges(plan.joints, plan.breaks);
    const JointVector* previous = nullptr;
    std::size_t segment = 0;
    for (std::size_t row = 0; row < plan.joints.size(); ++row) {
        const JointVector& joints = plan.joints[row];
        if (std::isnan(joints[0])) {
            continue;
        }
        if (previous == nullptr) {
            if (start) {
                plan.approach = PathApproach{summed_motion(*start, joints), move_time(*start, joints, arm.max_speed)};
            }
            plan.segments[segment].time = 0.0;
        } else {
            const double time = move_time(*previous, joints, arm.max_speed);
            plan.duration += time;
            plan.travel += summed_motion(*previous, joints);
            if (segment + 1 < plan.segments.size() && plan.segments[segment + 1].first == static_cast<std::int64_t>(row)) {
                ++segment;
                plan.segments[segment].time = 0.0;
            } else {
                plan.segments[segment].time += time;
            }
        }
        previous = &joints;
    }
}

// The search of plan_over_layers without the blocked moves; `chosen` gets
// the node of every row (kNone where unreachable).
PathPlan search(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start, double max_step,
                double max_step_per_mm, const CancelCheck& cancel, bool move_families, const Blocked& blocked,
                std::vector<std::int64_t>& chosen) {
    const std::size_t waypoints = layers.offsets.empty() ? 0 : layers.offsets.size() - 1;
    const std::size_t count = layers.nodes.size();
    PathPlan plan;
    plan.nodes = count;
    detail::BatchStop stop(cancel);
    // Tens of millions of nodes with wide limits: every array over them is
    // written a slice at a time, answering Ctrl-C in between.
    std::vector<Cost> cost;
    detail::fill_polled(cost, count, Cost{}, stop);
    std::vector<FirstRow> first_rows;
    const Better better(first_rows);
    std::vector<std::int64_t> parent;
    detail::fill_polled(parent, count, kNone, stop);
    std::vector<std::uint8_t> incoming_break;
    detail::fill_polled(incoming_break, count, std::uint8_t{0}, stop);
    const auto keep_going = [&](bool on_caller = true) {
        if (!stop.keep_going(on_caller)) {
            throw BatchCancelled{};
        }
    };
    // The calling thread, waiting for the team's last blocks, still answers.
    const auto idle = [&] { stop.poll(); };
    // The nodes of a layer are searched in parts on a few threads: each
    // node's answer depends only on the layer before it.
    detail::Team team(count >= kNodesPerPart * 2 * std::max<std::size_t>(waypoints, 1)
                          ? std::min(default_thread_count(), kMostSearchThreads)
                          : 1);
    std::atomic<std::size_t> edges{0};
    // Members of a family move to the member nearest their best predecessor.
    const bool families = move_families && layers.family.size() == count &&
                          std::any_of(layers.family.begin(), layers.family.end(), [](std::uint8_t f) { return f != 0; });
    std::vector<JointVector> moved;
    if (families) {
        detail::copy_polled(layers.nodes, moved, stop);
    }
    const std::vector<JointVector>& position = families ? moved : layers.nodes;
    const auto flange_of = [&](std::size_t waypoint, std::size_t node) {
        return flange_target_of(layers, waypoint, node);
    };
    const JointVector home = plan_home(arm);
    // The largest continuous step between two waypoints: max_step, and no
    // more than the TCP travel between them allows.
    // With a free tool axis the targets are kept per turn: the travel between
    // two waypoints is that of their first turns (one turn at both ends
    // travels as the targets do), and a move between two turns adds the
    // angle between them, an upper bound of the rotation it makes.
    const bool turned = !layers.rotations.empty() && layers.rotation_of.size() == count;
    const std::size_t per_waypoint = turned ? layers.rotations.size() : 1;
    const bool tcp_rule =
        layers.flange_targets.size() == waypoints * per_waypoint && !std::isinf(max_step_per_mm);
    const auto tcp_limit = [&](std::size_t from, std::size_t to) {
        const double travel = tcp_travel(compose(layers.flange_targets[from * per_waypoint], arm.tool),
                                         compose(layers.flange_targets[to * per_waypoint], arm.tool));
        return kStepFloor + max_step_per_mm * travel;
    };
    const auto turn_between = [&](std::int64_t u, std::int64_t v) {
        const double a = layers.rotations[layers.rotation_of[static_cast<std::size_t>(u)]];
        const double b = layers.rotations[layers.rotation_of[static_cast<std::size_t>(v)]];
        const double d = std::fabs(a - b);
        // Within two turns the difference from a turn is exact (and so the
        // same as the remainder's).
        if (d <= 180.0) {
            return d;
        }
        return d <= 720.0 ? std::fabs(d - 360.0 * std::nearbyint(d / 360.0)) : std::fabs(std::remainder(a - b, 360.0));
    };

    // Whether the move from u to v, of largest joint motion `motion`, is
    // within the largest continuous step: the layer's, and with a free tool
    // axis that of their pair of turns.
    const auto within_step = [&](double motion, double limit, double tcp, bool per_pair, std::int64_t u,
                                 std::int64_t v) {
        return motion <= limit && (!per_pair || motion <= std::min(max_step, tcp + max_step_per_mm * turn_between(u, v)));
    };
    const auto layer_limits = [&](std::size_t from, std::size_t to) {
        const double tcp = tcp_rule ? tcp_limit(from, to) : max_step;
        const bool per_pair = tcp_rule && turned;
        return std::tuple{per_pair ? max_step : std::min(max_step, tcp), tcp, per_pair};
    };

    Predecessors predecessors(arm);
    std::vector<std::int64_t> ids;
    // Break counts first, without times: a node reached with more breaks
    // than the best plan has can be on no best plan, and is left out of the
    // search (a node that needs a break looks at every class of the
    // previous layer, and a few such nodes in each of many layers would cost
    // most of the search). Family members move with the plan, so where they
    // are every node stays.
    std::vector<std::uint8_t> hopeless;
    if (!families) {
        std::vector<std::int64_t> least_breaks;
        detail::fill_polled(least_breaks, count, std::int64_t{0}, stop);
        std::int64_t before_begin = kNone;
        std::int64_t before_end = kNone;
        std::size_t before_waypoint = 0;
        std::int64_t fewest = 0;
        for (std::size_t i = 0; i < waypoints; ++i) {
            const std::int64_t begin = layers.offsets[i];
            const std::int64_t end = layers.offsets[i + 1];
            if (begin == end) {
                continue;
            }
            if (before_begin != kNone) {
                const auto [limit, tcp, per_pair] = layer_limits(before_waypoint, i);
                // Only a predecessor with the previous layer's fewest breaks
                // reaches a node with fewer than a break from it gives.
                ids.clear();
                for (std::int64_t u = before_begin; u < before_end; ++u) {
                    keep_going();
                    if (least_breaks[static_cast<std::size_t>(u)] == fewest) {
                        ids.push_back(u);
                    }
                }
                predecessors.build(position, ids, stop);
                std::atomic<std::int64_t> layer_fewest{std::numeric_limits<std::int64_t>::max()};
                team.run(
                    static_cast<std::size_t>(begin), static_cast<std::size_t>(end), kNodesPerPart,
                    [&](std::size_t first, std::size_t last, bool on_caller) {
                        std::int64_t least_here = std::numeric_limits<std::int64_t>::max();
                        for (auto v = static_cast<std::int64_t>(first); v < static_cast<std::int64_t>(last); ++v) {
                            keep_going(on_caller);
                            const JointVector& node = position[static_cast<std::size_t>(v)];
                            std::int64_t least = fewest + 1;
                            predecessors.near(node, limit, [&](std::int64_t u) {
                                if (within_step(largest_motion(position[static_cast<std::size_t>(u)], node), limit,
                                                tcp, per_pair, u, v) &&
                                    !blocked.contains(u, v)) {
                                    least = fewest;
                                    return true;
                                }
                                return false;
                            });
                            least_breaks[static_cast<std::size_t>(v)] = least;
                            least_here = std::min(least_here, least);
                        }
                        for (std::int64_t known = layer_fewest.load(); least_here < known &&
                                                                       !layer_fewest.compare_exchange_weak(known, least_here);) {
                        }
                    },
                    idle);
                fewest = layer_fewest.load();
            }
            before_begin = begin;
            before_end = end;
            before_waypoint = i;
        }
        detail::fill_polled(hopeless, count, std::uint8_t{0}, stop);
        for (std::size_t k = 0; k < count; ++k) {
            keep_going();
            hopeless[k] = least_breaks[k] > fewest ? 1 : 0;
        }
    }

    // Each node looks up, among the previous layer's whole-turn classes,
    // only the variants within reach of it: the work grows with the number
    // of nodes, not with its square.
    TurnClasses break_classes;
    std::vector<double> least_time;          // per break class, the least time of its members
    std::vector<std::uint8_t> uniform_time;  // per break class, 1 when all its members took the same time
    std::vector<std::size_t> break_order;    // break classes by least time
    std::int64_t previous_begin = kNone;
    std::int64_t previous_end = kNone;
    std::size_t previous_waypoint = 0;

    for (std::size_t i = 0; i < waypoints; ++i) {
        const std::int64_t begin = layers.offsets[i];
        const std::int64_t end = layers.offsets[i + 1];
        if (begin == end) {
            plan.unreachable.push_back(static_cast<std::int64_t>(i));
            continue;
        }
        if (previous_begin == kNone) {
            // The first row: no break, its approach and home distance carried as the tie-breaks of its paths.
            detail::fill_polled(first_rows, static_cast<std::size_t>(end - begin), FirstRow{}, stop);
            for (std::int64_t v = begin; v < end; ++v) {
                keep_going();
                const auto k = static_cast<std::size_t>(v);
                if (start && families && layers.family[k] != 0) {
                    if (const auto member = arm_family_nearest(arm, flange_of(i, k), layers.nodes[k], *start);
                        member && largest_motion(*start, *member) < largest_motion(*start, moved[k])) {
                        moved[k] = *member;
                    }
                }
                const JointVector& node = position[k];
                cost[k].origin = v - begin;
                FirstRow& first = first_rows[static_cast<std::size_t>(v - begin)];
                first.approach_collides = blocked.contains(blocked.start_node(), v);
                if (start) {
                    first.approach_travel = summed_motion(*start, node);
                    first.approach_time = move_time(*start, node, arm.max_speed);
                }
                if (turned) {
                    first.turn = std::fabs(layers.rotations[layers.rotation_of[k]]);
                }
                for (std::size_t j = 0; j < 6; ++j) {
                    (j < 3 ? first.home_arm : first.home_wrist) += std::fabs(node[j] - home[j]);
                }
            }
        } else {
            // The largest continuous step: max_step, and no more than the TCP
            // travel allows (with turns, per pair of turns).
            const auto [limit, tcp, per_pair] = layer_limits(previous_waypoint, i);
            std::int64_t fewest = std::numeric_limits<std::int64_t>::max();
            ids.clear();
            for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                keep_going();
                if (hopeless.empty() || hopeless[static_cast<std::size_t>(u)] == 0) {
                    fewest = std::min(fewest, cost[static_cast<std::size_t>(u)].breaks);
                    ids.push_back(u);
                }
            }
            predecessors.build(position, ids, stop);
            // The classes of the predecessors with the fewest breaks, built
            // by the first node that needs a break; the others wait for them
            // still answering a stop.
            std::atomic<const TurnClasses*> breaking_ready{nullptr};
            std::mutex breaking_built;

            team.run(
                static_cast<std::size_t>(begin), static_cast<std::size_t>(end), kNodesPerPart,
                [&](std::size_t first_node, std::size_t last_node, bool on_caller) {
                    std::size_t block_edges = 0;
                    for (auto v = static_cast<std::int64_t>(first_node); v < static_cast<std::int64_t>(last_node); ++v) {
                        keep_going(on_caller);
                        const auto k = static_cast<std::size_t>(v);
                        if (!hopeless.empty() && hopeless[k] != 0) {
                            cost[k].breaks = kHopeless;
                            continue;
                        }
                        const JointVector node = position[k];
                        Cost best;
                        std::int64_t best_parent = kNone;
                        std::optional<JointVector> best_member;
                        // Among equal continuous moves the earliest predecessor wins.
                        const auto offer = [&](std::int64_t u, const JointVector& to, bool member) {
                            const JointVector& from = position[static_cast<std::size_t>(u)];
                            if (!within_step(largest_motion(from, to), limit, tcp, per_pair, u, v) || blocked.contains(u, v)) {
                                return;
                            }
                            ++block_edges;
                            const Cost& base = cost[static_cast<std::size_t>(u)];
                            Cost candidate = base;
                            candidate.time += move_time(from, to, arm.max_speed);
                            if (best_parent == kNone || better(candidate, best) ||
                                (!better(best, candidate) && u < best_parent)) {
                                best = candidate;
                                best_parent = u;
                                best_member = member ? std::optional<JointVector>(to) : std::nullopt;
                            }
                        };
                        predecessors.near(node, limit, [&](std::int64_t u) { offer(u, node, false); });
                        if (families && layers.family[k] != 0) {
                            for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                                keep_going(on_caller);
                                const JointVector& from = position[static_cast<std::size_t>(u)];
                                if (const auto member = arm_family_nearest(arm, flange_of(i, k), layers.nodes[k], from);
                                    member && largest_motion(from, *member) < largest_motion(from, node)) {
                                    offer(u, *member, true);
                                }
                            }
                        }
                        bool breaks_in = false;
                        if (best_parent == kNone || best.breaks > fewest) {
                            // A break: a point-to-point move from one of the predecessors
                            // with the fewest breaks, the one that makes the plan fastest.
                            // A continuous move wins a tie; among breaks the earliest
                            // predecessor.
                            const TurnClasses* breaking = breaking_ready.load(std::memory_order_acquire);
                            if (breaking == nullptr) {
                                std::unique_lock lock(breaking_built, std::try_to_lock);
                                while (!lock.owns_lock()) {
                                    keep_going(on_caller);
                                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                                    static_cast<void>(lock.try_lock());
                                }
                                breaking = breaking_ready.load(std::memory_order_acquire);
                                if (breaking == nullptr) {
                                    ids.clear();
                                    std::size_t kept = 0;
                                    for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                                        const auto uk = static_cast<std::size_t>(u);
                                        if (hopeless.empty() || hopeless[uk] == 0) {
                                            ++kept;
                                            if (cost[uk].breaks == fewest) {
                                                ids.push_back(u);
                                            }
                                        }
                                    }
                                    // Mostly every predecessor has the fewest breaks: their classes
                                    // may be built.
                                    if (ids.size() == kept && predecessors.classes() != nullptr) {
                                        breaking = predecessors.classes();
                                    } else {
                                        build_classes(position, ids, break_classes, [&] {
                                            if (on_caller) stop.poll();
                                            if (!stop.keep_going(false)) throw BatchCancelled{};
                                        });
                                        breaking = &break_classes;
                                    }
                                    least_time.assign(breaking->count, std::numeric_limits<double>::infinity());
                                    uniform_time.assign(breaking->count, 1);
                                    for (std::size_t c = 0; c < breaking->count; ++c) {
                                        const TurnClass& members = breaking->items[c];
                                        for (const std::int64_t u : members.members) {
                                            const double time = cost[static_cast<std::size_t>(u)].time;
                                            least_time[c] = std::min(least_time[c], time);
                                            uniform_time[c] &= time == cost[static_cast<std::size_t>(members.members[0])].time;
                                        }
                                    }
                                    break_order.resize(breaking->count);
                                    std::iota(break_order.begin(), break_order.end(), std::size_t{0});
                                    std::sort(break_order.begin(), break_order.end(), [&](std::size_t a, std::size_t b) {
                                        return least_time[a] < least_time[b] || (least_time[a] == least_time[b] && a < b);
                                    });
                                    breaking_ready.store(breaking, std::memory_order_release);
                                }
                            }
                            Cost best_break;
                            std::int64_t break_parent = kNone;
                            const auto offer_break = [&](std::int64_t u) {
                                const Cost& base = cost[static_cast<std::size_t>(u)];
                                Cost candidate = base;
                                ++candidate.breaks;
                                candidate.time += move_time(position[static_cast<std::size_t>(u)], node, arm.max_speed);
                                if (break_parent == kNone || better(candidate, best_break) ||
                                    (!better(best_break, candidate) && u < break_parent)) {
                                    best_break = candidate;
                                    break_parent = u;
                                }
                            };
                            // Classes in the order of their members' least time: once
                            // that time alone reaches the best plan so far, no later
                            // class can beat it. In each class the nearest variant
                            // bounds the time; then every member that could beat the
                            // bound is looked at. In a class whose members all took
                            // the same time, the variant nearest joint by joint is
                            // the fastest: no other is looked at.
                            const auto bound_now = [&] {
                                double bound = std::numeric_limits<double>::infinity();
                                if (break_parent != kNone) {
                                    bound = best_break.time;
                                }
                                if (best_parent != kNone && best.breaks == fewest + 1) {
                                    bound = std::min(bound, best.time);
                                }
                                return bound + tie_tolerance(bound, bound);
                            };
                            for (const std::size_t c : break_order) {
                                keep_going(on_caller);
                                if (!(least_time[c] <= bound_now())) {
                                    break;
                                }
                                bool nearest_found = false;
                                if (const std::int64_t u = nearest_member(breaking->items[c], node); u != kNone) {
                                    offer_break(u);
                                    nearest_found = breaking->items[c].overflow.empty();
                                }
                                if (nearest_found && uniform_time[c] != 0) {
                                    continue;
                                }
                                const double spare = bound_now() - least_time[c];
                                if (!(spare >= 0.0)) {
                                    continue;
                                }
                                std::array<double, 6> reach{};
                                for (std::size_t j = 0; j < 6; ++j) {
                                    reach[j] = spare * arm.max_speed[j];
                                }
                                near_members(breaking->items[c], node, reach, offer_break);
                            }
                            if (break_parent != kNone && (best_parent == kNone || better(best_break, best))) {
                                best = best_break;
                                best_parent = break_parent;
                                best_member.reset();
                                breaks_in = true;
                            }
                        }
                        if (best_member) {
                            moved[k] = *best_member;
                        }
                        cost[k] = best;
                        parent[k] = best_parent;
                        incoming_break[k] = breaks_in ? 1 : 0;
                    }
                    edges.fetch_add(block_edges);
                },
                idle);
        }
        previous_begin = begin;
        previous_end = end;
        previous_waypoint = i;
    }
    plan.edges = edges.load();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    plan.joints.assign(waypoints, JointVector{nan, nan, nan, nan, nan, nan});
    chosen.assign(waypoints, kNone);
    if (previous_begin == kNone) {
        return plan;
    }
    std::int64_t node = previous_begin;
    for (std::int64_t u = previous_begin + 1; u < previous_end; ++u) {
        if (better(cost[static_cast<std::size_t>(u)], cost[static_cast<std::size_t>(node)])) {
            node = u;
        }
    }
    // Walk back, writing each node into its waypoint's row.
    std::size_t layer = waypoints;
    while (node != kNone) {
        while (layers.offsets[layer - 1] > node) {
            --layer;
        }
        const std::size_t row = layer - 1;
        plan.joints[row] = position[static_cast<std::size_t>(node)];
        chosen[row] = node;
        if (incoming_break[static_cast<std::size_t>(node)] != 0) {
            plan.breaks.push_back(static_cast<std::int64_t>(row));
        }
        node = parent[static_cast<std::size_t>(node)];
    }
    std::reverse(plan.breaks.begin(), plan.breaks.end());
    add_up(arm, start, plan);
    return plan;
}

}  // namespace

JointVector plan_home(const Arm& arm) noexcept {
    JointVector home{};
    for (std::size_t j = 0; j < 6; ++j) {
        home[j] = std::clamp(0.0, arm.lower[j], arm.upper[j]);
    }
    return home;
}

std::vector<PathSegment> segment_ranges(std::span<const JointVector> joints, std::span<const std::int64_t> breaks) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<PathSegment> segments;
    std::size_t next_break = 0;
    for (std::size_t row = 0; row < joints.size(); ++row) {
        if (std::isnan(joints[row][0])) {
            continue;
        }
        const auto index = static_cast<std::int64_t>(row);
        while (next_break < breaks.size() && breaks[next_break] < index) {
            ++next_break;
        }
        const bool cut = next_break < breaks.size() && breaks[next_break] == index;
        if (segments.empty() || cut) {
            segments.push_back(PathSegment{index, index, nan});
        } else {
            segments.back().last = index;
        }
    }
    return segments;
}

PathPlan plan_over_layers(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                          double max_step, const CancelCheck& cancel, bool move_families, double max_step_per_mm) {
    std::vector<std::int64_t> chosen;
    PathPlan plan = search(arm, layers, start, max_step, max_step_per_mm, cancel, move_families,
                           Blocked(layers.nodes.size()), chosen);
    set_tool_rotation(plan, layers, chosen);
    return plan;
}

PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding,
                               const CancelCheck& cancel, bool move_families, double max_step_per_mm) {
    Blocked blocked(layers.nodes.size());
    Blocked clear(layers.nodes.size());
    std::vector<std::int64_t> chosen;
    detail::BatchStop stop(cancel);
    // The layer of each node (layers without nodes skipped).
    std::vector<std::size_t> layer_of(layers.nodes.size());
    for (std::size_t i = 0; i + 1 < layers.offsets.size(); ++i) {
        for (auto k = static_cast<std::size_t>(layers.offsets[i]); k < static_cast<std::size_t>(layers.offsets[i + 1]); ++k) {
            layer_of[k] = i;
        }
    }
    // A node whose place the search cannot move (not a family member it moves).
    const auto fixed = [&](std::size_t k) {
        return !move_families || layers.family.size() != layers.nodes.size() || layers.family[k] == 0;
    };
    // Where one move collides, its neighbours mostly do too (the nearby turns
    // of a free axis, the whole-turn variants): every move into `to` from a
    // node of `from`'s layer, and out of `from` into `to`'s layer, within a
    // step is checked at once, rather than each found by another search.
    const auto check_around = [&](std::int64_t from, std::int64_t to) {
        const auto f = static_cast<std::size_t>(from);
        const auto t = static_cast<std::size_t>(to);
        if (!fixed(f) || !fixed(t)) {
            return;
        }
        const auto check = [&](std::size_t a, std::size_t b) {
            if (!fixed(a) || !fixed(b) || blocked.contains(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b)) ||
                clear.contains(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b)) ||
                !(largest_motion(layers.nodes[a], layers.nodes[b]) <= max_step)) {
                return;
            }
            if (!stop.keep_going(true)) {
                throw BatchCancelled{};
            }
            if (checker.move_collides(layers.nodes[a], layers.nodes[b], padding)) {
                blocked.insert(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b));
            } else {
                clear.insert(static_cast<std::int64_t>(a), static_cast<std::int64_t>(b));
            }
        };
        const std::size_t lf = layer_of[f];
        const std::size_t lt = layer_of[t];
        for (auto a = static_cast<std::size_t>(layers.offsets[lf]); a < static_cast<std::size_t>(layers.offsets[lf + 1]); ++a) {
            check(a, t);
        }
        for (auto b = static_cast<std::size_t>(layers.offsets[lt]); b < static_cast<std::size_t>(layers.offsets[lt + 1]); ++b) {
            check(f, b);
        }
    };
    for (;;) {
        PathPlan plan =
            search(arm, layers, start, max_step, max_step_per_mm, cancel, move_families, blocked, chosen);
        bool changed = false;
        std::size_t next_break = 0;
        std::int64_t from = start ? blocked.start_node() : kNone;
        const JointVector* from_joints = start ? &*start : nullptr;
        for (std::size_t row = 0; row < chosen.size(); ++row) {
            const std::int64_t to = chosen[row];
            if (to == kNone) {
                continue;
            }
            if (!stop.keep_going(true)) {
                throw BatchCancelled{};
            }
            while (next_break < plan.breaks.size() && plan.breaks[next_break] < static_cast<std::int64_t>(row)) {
                ++next_break;
            }
            // A break, the first row without start, and an approach known to
            // collide (the best the arm can do: every other first row costs
            // more) are not moves along the path.
            const bool is_break =
                (next_break < plan.breaks.size() && plan.breaks[next_break] == static_cast<std::int64_t>(row)) ||
                from == kNone || blocked.contains(from, to);
            // The rows are where the plan puts the nodes (a family member may
            // have moved), so those are what is checked.
            const JointVector& to_joints = plan.joints[row];
            if (is_break) {
                // A moved family member is not a solution the layers checked.
                if (move_families && to_joints != layers.nodes[static_cast<std::size_t>(to)] &&
                    checker.collides(to_joints, padding)) {
                    move_families = false;
                    changed = true;
                }
            } else if (!clear.contains(from, to)) {
                if (checker.move_collides(*from_joints, to_joints, padding)) {
                    blocked.insert(from, to);
                    changed = true;
                    if (from != blocked.start_node()) {
                        check_around(from, to);
                    }
                } else if (!move_families || (to_joints == layers.nodes[static_cast<std::size_t>(to)] &&
                                              (from == blocked.start_node() ||
                                               *from_joints == layers.nodes[static_cast<std::size_t>(from)]))) {
                    // Clear for good only when neither end depends on the path.
                    clear.insert(from, to);
                }
            }
            from = to;
            from_joints = &to_joints;
        }
        if (!changed) {
            set_tool_rotation(plan, layers, chosen);
            return plan;
        }
    }
}

PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, const std::optional<JointVector>& start,
                   double max_step, unsigned threads, const CancelCheck& cancel, double max_step_per_mm) {
    return plan_over_layers(arm, path_layers(arm, waypoints, threads, cancel), start, max_step, cancel, true,
                            max_step_per_mm);
}

PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, std::span<const double> rotations,
                   const std::optional<JointVector>& start, double max_step, unsigned threads,
                   const CancelCheck& cancel) {
    return plan_over_layers(arm, path_layers(arm, waypoints, rotations, threads, cancel), start, max_step, cancel);
}

}  // namespace ortholink
