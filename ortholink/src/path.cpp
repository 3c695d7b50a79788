#include "ortholink/path.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <unordered_set>

#include "chunks.hpp"

namespace ortholink {
namespace {

constexpr std::int64_t kNone = -1;

// Cost of the best plan ending at a node: breaks first, then (for plans kept
// clear) an approach known to collide, then time; ties go to the path's
// first row: its approach (travel, then time), then its distance from home
// (the arm joints', then the wrist joints').
struct Cost {
    std::int64_t breaks = 0;
    std::int64_t approach_collides = 0;
    double time = 0.0;
    double approach_travel = 0.0;
    double approach_time = 0.0;
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

bool better(const Cost& a, const Cost& b) noexcept {
    if (a.breaks != b.breaks) {
        return a.breaks < b.breaks;
    }
    if (a.approach_collides != b.approach_collides) {
        return a.approach_collides < b.approach_collides;
    }
    if (const int order = compare(a.time, b.time); order != 0) {
        return order < 0;
    }
    for (const auto& [x, y] : {std::pair{a.approach_travel, b.approach_travel},
                               std::pair{a.approach_time, b.approach_time}, std::pair{a.home_arm, b.home_arm},
                               std::pair{a.home_wrist, b.home_wrist}}) {
        if (const int order = compare(x, y); order != 0) {
            return order < 0;
        }
    }
    return false;
}

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

// The layers of a batch of solutions of the waypoints, family members marked.
PathLayers layers_of(const Arm& arm, const IkBatchResult& batch, std::span<const Pose> waypoints,
                     const CancelCheck& cancel) {
    detail::BatchStop stop(cancel);
    PathLayers layers;
    layers.offsets = batch.offsets;
    layers.nodes.resize(batch.solutions.size());
    layers.family.assign(batch.solutions.size(), 0);
    layers.flange_targets.resize(waypoints.size());
    for (std::size_t i = 0; i < waypoints.size(); ++i) {
        layers.flange_targets[i] = arm_flange_target(arm, waypoints[i]);
    }
    for (std::size_t k = 0; k < batch.solutions.size(); ++k) {
        if (!stop.keep_going(true)) {
            throw BatchCancelled{};
        }
        const JointVector& joints = batch.solutions[k].joints;
        layers.nodes[k] = joints;
        // Whole-turn variants follow each other and share the answer.
        std::array<std::int64_t, 6> turns{};
        const bool variant = k > 0 && turns_from(layers.nodes[k - 1], joints, turns);
        layers.family[k] = variant ? layers.family[k - 1] : (arm_in_family(arm, joints) ? 1 : 0);
    }
    return layers;
}

}  // namespace

PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, unsigned threads, const CancelCheck& cancel) {
    return layers_of(arm, arm_ik_many(arm, waypoints, threads, cancel), waypoints, cancel);
}

PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            double padding, unsigned threads, const CancelCheck& cancel) {
    return layers_of(arm, arm_ik_many_free(arm, checker, waypoints, padding, threads, cancel), waypoints, cancel);
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
                layers.nodes[out++] = layers.nodes[k];
            }
        }
        begin = end;
        layers.offsets[i + 1] = static_cast<std::int64_t>(out);
    }
    if (layers.family.size() == layers.nodes.size()) {
        layers.family.resize(out);
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
};

// The classes of the nodes `ids`.
void build_classes(const std::vector<JointVector>& nodes, std::span<const std::int64_t> ids,
                   std::vector<TurnClass>& classes) {
    classes.clear();
    std::array<std::int64_t, 6> k{};
    for (const std::int64_t u : ids) {
        const JointVector& node = nodes[static_cast<std::size_t>(u)];
        TurnClass* home = nullptr;
        // Variants come in runs, so the last class is tried first.
        for (auto c = classes.rbegin(); c != classes.rend(); ++c) {
            if (turns_from(c->base, node, k)) {
                home = &*c;
                break;
            }
        }
        if (home == nullptr) {
            classes.emplace_back();
            home = &classes.back();
            home->base = node;
            k.fill(0);
        }
        home->members.push_back(u);
        home->turns.push_back(k);
    }
    for (TurnClass& c : classes) {
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

// Calls visit(u) for every node u of class `c` that may lie within reach[j]
// degrees of `node` in every joint j (and some that do not: the caller
// checks), each once.
template <class Visit>
void near_members(const TurnClass& c, const JointVector& node, const std::array<double, 6>& reach, Visit&& visit) {
    for (const std::int64_t u : c.overflow) {
        visit(u);
    }
    if (c.table.empty()) {
        return;
    }
    std::array<std::int64_t, 6> lo{};
    std::array<std::int64_t, 6> hi{};
    for (std::size_t j = 0; j < 6; ++j) {
        const double d = node[j] - c.base[j];
        // Within the class's own turns, so an infinite reach takes them all.
        const auto first = static_cast<double>(c.first[j]);
        const double last = first + static_cast<double>(c.span[j] - 1);
        lo[j] = ceil_within((d - reach[j]) / 360.0 - 1e-9, first, last + 1.0);
        hi[j] = floor_within((d + reach[j]) / 360.0 + 1e-9, first - 1.0, last);
        if (lo[j] > hi[j]) {
            return;
        }
    }
    std::array<std::int64_t, 6> k = lo;
    for (;;) {
        if (const std::int64_t u = c.table[table_slot(c, k)]; u != kNone) {
            visit(u);
        }
        std::size_t j = 6;
        while (j > 0 && k[j - 1] == hi[j - 1]) {
            k[j - 1] = lo[j - 1];
            --j;
        }
        if (j == 0) {
            break;
        }
        ++k[j - 1];
    }
}

// Calls visit(u) for every node u of the classes that may lie within
// max_step of `node` in every joint (and some that do not: the caller
// checks), each once.
template <class Visit>
void near_predecessors(const std::vector<TurnClass>& classes, const JointVector& node, double max_step,
                       Visit&& visit) {
    std::array<double, 6> reach{};
    reach.fill(max_step);
    for (const TurnClass& c : classes) {
        near_members(c, node, reach, visit);
    }
}

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
    std::vector<Cost> cost(count);
    std::vector<std::int64_t> parent(count, kNone);
    std::vector<std::uint8_t> incoming_break(count, 0);
    detail::BatchStop stop(cancel);
    const auto keep_going = [&] {
        if (!stop.keep_going(true)) {
            throw BatchCancelled{};
        }
    };
    // Members of a family move to the member nearest their best predecessor.
    const bool families = move_families && layers.family.size() == count &&
                          std::any_of(layers.family.begin(), layers.family.end(), [](std::uint8_t f) { return f != 0; });
    std::vector<JointVector> moved;
    if (families) {
        moved = layers.nodes;
    }
    const std::vector<JointVector>& position = families ? moved : layers.nodes;
    const auto flange_of = [&](std::size_t waypoint) {
        return waypoint < layers.flange_targets.size() ? layers.flange_targets[waypoint] : Pose{};
    };
    const JointVector home = plan_home(arm);
    // The largest continuous step between two waypoints: max_step, and no
    // more than the TCP travel between them allows.
    const bool tcp_rule = layers.flange_targets.size() == waypoints && !std::isinf(max_step_per_mm);
    const auto step_limit = [&](std::size_t from, std::size_t to) {
        if (!tcp_rule) {
            return max_step;
        }
        const double travel = tcp_travel(compose(layers.flange_targets[from], arm.tool),
                                         compose(layers.flange_targets[to], arm.tool));
        return std::min(max_step, kStepFloor + max_step_per_mm * travel);
    };

    // Each node looks up, among the previous layer's whole-turn classes,
    // only the variants within reach of it: the work grows with the number
    // of nodes, not with its square.
    std::vector<TurnClass> classes;
    std::vector<TurnClass> break_classes;
    std::vector<double> least_time;          // per break class, the least time of its members
    std::vector<std::uint8_t> uniform_time;  // per break class, 1 when all its members took the same time
    std::vector<std::uint8_t> nearest_found;
    std::vector<std::int64_t> ids;
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
            for (std::int64_t v = begin; v < end; ++v) {
                keep_going();
                const auto k = static_cast<std::size_t>(v);
                if (start && families && layers.family[k] != 0) {
                    if (const auto member = arm_family_nearest(arm, flange_of(i), layers.nodes[k], *start);
                        member && largest_motion(*start, *member) < largest_motion(*start, moved[k])) {
                        moved[k] = *member;
                    }
                }
                const JointVector& node = position[k];
                Cost& first = cost[k];
                first.approach_collides = blocked.contains(blocked.start_node(), v) ? 1 : 0;
                if (start) {
                    first.approach_travel = summed_motion(*start, node);
                    first.approach_time = move_time(*start, node, arm.max_speed);
                }
                for (std::size_t j = 0; j < 6; ++j) {
                    (j < 3 ? first.home_arm : first.home_wrist) += std::fabs(node[j] - home[j]);
                }
            }
        } else {
            const double limit = step_limit(previous_waypoint, i);
            std::int64_t fewest = std::numeric_limits<std::int64_t>::max();
            ids.clear();
            for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                fewest = std::min(fewest, cost[static_cast<std::size_t>(u)].breaks);
                ids.push_back(u);
            }
            build_classes(position, ids, classes);
            // The classes of the predecessors with the fewest breaks, once a node needs a break.
            const std::vector<TurnClass>* breaking = nullptr;

            for (std::int64_t v = begin; v < end; ++v) {
                keep_going();
                const auto k = static_cast<std::size_t>(v);
                const JointVector node = position[k];
                Cost best;
                std::int64_t best_parent = kNone;
                std::optional<JointVector> best_member;
                // Among equal continuous moves the earliest predecessor wins.
                const auto offer = [&](std::int64_t u, const JointVector& to, bool member) {
                    const JointVector& from = position[static_cast<std::size_t>(u)];
                    if (largest_motion(from, to) > limit || blocked.contains(u, v)) {
                        return;
                    }
                    ++plan.edges;
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
                near_predecessors(classes, node, limit, [&](std::int64_t u) { offer(u, node, false); });
                if (families && layers.family[k] != 0) {
                    for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                        keep_going();
                        const JointVector& from = position[static_cast<std::size_t>(u)];
                        if (const auto member = arm_family_nearest(arm, flange_of(i), layers.nodes[k], from);
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
                    if (breaking == nullptr) {
                        ids.clear();
                        for (std::int64_t u = previous_begin; u < previous_end; ++u) {
                            if (cost[static_cast<std::size_t>(u)].breaks == fewest) {
                                ids.push_back(u);
                            }
                        }
                        // Mostly every predecessor has the fewest breaks: their classes are built.
                        if (static_cast<std::int64_t>(ids.size()) == previous_end - previous_begin) {
                            breaking = &classes;
                        } else {
                            build_classes(position, ids, break_classes);
                            breaking = &break_classes;
                        }
                        least_time.assign(breaking->size(), std::numeric_limits<double>::infinity());
                        uniform_time.assign(breaking->size(), 1);
                        for (std::size_t c = 0; c < breaking->size(); ++c) {
                            const TurnClass& members = (*breaking)[c];
                            for (const std::int64_t u : members.members) {
                                const double time = cost[static_cast<std::size_t>(u)].time;
                                least_time[c] = std::min(least_time[c], time);
                                uniform_time[c] &= time == cost[static_cast<std::size_t>(members.members[0])].time;
                            }
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
                    // The nearest variant of each class bounds the time; then
                    // every member that could beat the bound is looked at.
                    // In a class whose members all took the same time, the
                    // variant nearest joint by joint is the fastest: no other
                    // is looked at.
                    nearest_found.assign(breaking->size(), 0);
                    for (std::size_t c = 0; c < breaking->size(); ++c) {
                        if (const std::int64_t u = nearest_member((*breaking)[c], node); u != kNone) {
                            offer_break(u);
                            nearest_found[c] = (*breaking)[c].overflow.empty() ? 1 : 0;
                        }
                    }
                    for (std::size_t c = 0; c < breaking->size(); ++c) {
                        keep_going();
                        if (nearest_found[c] != 0 && uniform_time[c] != 0) {
                            continue;
                        }
                        double bound = std::numeric_limits<double>::infinity();
                        if (break_parent != kNone) {
                            bound = best_break.time;
                        }
                        if (best_parent != kNone && best.breaks == fewest + 1) {
                            bound = std::min(bound, best.time);
                        }
                        bound += tie_tolerance(bound, bound);
                        const double spare = bound - least_time[c];
                        if (!(spare >= 0.0)) {
                            continue;
                        }
                        std::array<double, 6> reach{};
                        for (std::size_t j = 0; j < 6; ++j) {
                            reach[j] = spare * arm.max_speed[j];
                        }
                        near_members((*breaking)[c], node, reach, offer_break);
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
        }
        previous_begin = begin;
        previous_end = end;
        previous_waypoint = i;
    }

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
    return search(arm, layers, start, max_step, max_step_per_mm, cancel, move_families, Blocked(layers.nodes.size()),
                  chosen);
}

PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding,
                               const CancelCheck& cancel, bool move_families, double max_step_per_mm) {
    Blocked blocked(layers.nodes.size());
    Blocked clear(layers.nodes.size());
    std::vector<std::int64_t> chosen;
    detail::BatchStop stop(cancel);
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
            return plan;
        }
    }
}

PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, const std::optional<JointVector>& start,
                   double max_step, unsigned threads, const CancelCheck& cancel, double max_step_per_mm) {
    return plan_over_layers(arm, path_layers(arm, waypoints, threads, cancel), start, max_step, cancel, true,
                            max_step_per_mm);
}

}  // namespace ortholink
