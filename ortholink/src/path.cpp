#include "ortholink/path.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <unordered_set>

#include "chunks.hpp"

namespace ortholink {
namespace {

constexpr std::int64_t kNone = -1;

// Cost of the best plan ending at a node: breaks first, then time.
struct Cost {
    std::int64_t breaks = 0;
    double time = 0.0;
};

bool better(const Cost& a, const Cost& b) noexcept {
    return a.breaks < b.breaks || (a.breaks == b.breaks && a.time < b.time);
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

// The classes of the nodes [begin, end).
void build_classes(const std::vector<JointVector>& nodes, std::int64_t begin, std::int64_t end,
                   std::vector<TurnClass>& classes) {
    classes.clear();
    std::array<std::int64_t, 6> k{};
    for (std::int64_t u = begin; u < end; ++u) {
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

// Calls visit(u) for every node u of the classes that may lie within
// max_step of `node` in every joint (and some that do not: the caller
// checks), each once.
template <class Visit>
void near_predecessors(const std::vector<TurnClass>& classes, const JointVector& node, double max_step,
                       Visit&& visit) {
    for (const TurnClass& c : classes) {
        for (const std::int64_t u : c.overflow) {
            visit(u);
        }
        if (c.table.empty()) {
            continue;
        }
        std::array<std::int64_t, 6> lo{};
        std::array<std::int64_t, 6> hi{};
        bool any = true;
        for (std::size_t j = 0; j < 6 && any; ++j) {
            const double d = node[j] - c.base[j];
            const auto a = static_cast<std::int64_t>(std::ceil((d - max_step) / 360.0 - 1e-9));
            const auto b = static_cast<std::int64_t>(std::floor((d + max_step) / 360.0 + 1e-9));
            lo[j] = std::max(a, c.first[j]);
            hi[j] = std::min(b, c.first[j] + c.span[j] - 1);
            any = lo[j] <= hi[j];
        }
        if (!any) {
            continue;
        }
        std::array<std::int64_t, 6> k = lo;
        for (;;) {
            std::size_t slot = 0;
            for (std::size_t j = 0; j < 6; ++j) {
                slot = slot * static_cast<std::size_t>(c.span[j]) + static_cast<std::size_t>(k[j] - c.first[j]);
            }
            if (const std::int64_t u = c.table[slot]; u != kNone) {
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
}

// Moves taken out of the graph, by key(from, to); the move from `start` has
// `from` = the node count.
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

// The search of plan_over_layers without the blocked moves; `chosen` gets
// the node of every row (kNone where unreachable).
PathPlan search(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start, double max_step,
                const CancelCheck& cancel, bool move_families, const Blocked& blocked,
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

    // Each node looks up, among the previous layer's whole-turn classes,
    // only the variants within max_step of it: the work grows with the
    // number of nodes, not with its square.
    std::vector<TurnClass> classes;
    std::int64_t previous_begin = kNone;
    std::int64_t previous_end = kNone;

    for (std::size_t i = 0; i < waypoints; ++i) {
        const std::int64_t begin = layers.offsets[i];
        const std::int64_t end = layers.offsets[i + 1];
        if (begin == end) {
            plan.unreachable.push_back(static_cast<std::int64_t>(i));
            continue;
        }
        if (previous_begin == kNone) {
            for (std::int64_t v = begin; v < end; ++v) {
                keep_going();
                const auto k = static_cast<std::size_t>(v);
                if (start) {
                    if (families && layers.family[k] != 0) {
                        if (const auto member = arm_family_nearest(arm, flange_of(i), layers.nodes[k], *start);
                            member && largest_motion(*start, *member) < largest_motion(*start, moved[k])) {
                            moved[k] = *member;
                        }
                    }
                    if (largest_motion(*start, position[k]) <= max_step && !blocked.contains(blocked.start_node(), v)) {
                        cost[k] = Cost{0, move_time(*start, position[k], arm.max_speed)};
                    } else {
                        cost[k] = Cost{1, 0.0};
                        incoming_break[k] = 1;
                    }
                }
            }
        } else {
            // The cheapest predecessor, reached by a break from any node.
            std::int64_t cheapest = previous_begin;
            for (std::int64_t u = previous_begin + 1; u < previous_end; ++u) {
                if (better(cost[static_cast<std::size_t>(u)], cost[static_cast<std::size_t>(cheapest)])) {
                    cheapest = u;
                }
            }
            const Cost& cheapest_cost = cost[static_cast<std::size_t>(cheapest)];
            build_classes(position, previous_begin, previous_end, classes);

            for (std::int64_t v = begin; v < end; ++v) {
                keep_going();
                const auto k = static_cast<std::size_t>(v);
                const JointVector node = position[k];
                Cost best{cheapest_cost.breaks + 1, cheapest_cost.time};
                std::int64_t best_parent = cheapest;
                bool best_breaks = true;
                std::optional<JointVector> best_member;
                // Continuous moves win ties against the break; among them
                // the earliest predecessor.
                const auto offer = [&](std::int64_t u, const JointVector& to, bool member) {
                    const JointVector& from = position[static_cast<std::size_t>(u)];
                    if (largest_motion(from, to) > max_step || blocked.contains(u, v)) {
                        return;
                    }
                    ++plan.edges;
                    const Cost& base = cost[static_cast<std::size_t>(u)];
                    const Cost candidate{base.breaks, base.time + move_time(from, to, arm.max_speed)};
                    if (better(candidate, best) || (!better(best, candidate) && (best_breaks || u < best_parent))) {
                        best = candidate;
                        best_parent = u;
                        best_breaks = false;
                        best_member = member ? std::optional<JointVector>(to) : std::nullopt;
                    }
                };
                near_predecessors(classes, node, max_step, [&](std::int64_t u) { offer(u, node, false); });
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
                if (best_member) {
                    moved[k] = *best_member;
                }
                cost[k] = best;
                parent[k] = best_parent;
                incoming_break[k] = best_breaks ? 1 : 0;
            }
        }
        previous_begin = begin;
        previous_end = end;
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

    // Duration and travel from the rows, as the caller would add them up.
    const JointVector* previous = start ? &*start : nullptr;
    for (const JointVector& row : plan.joints) {
        if (std::isnan(row[0])) {
            continue;
        }
        if (previous != nullptr) {
            plan.duration += move_time(*previous, row, arm.max_speed);
            plan.travel += summed_motion(*previous, row);
        }
        previous = &row;
    }
    if (!plan.breaks.empty()) {
        plan.duration = std::numeric_limits<double>::infinity();
    }
    return plan;
}

}  // namespace

PathPlan plan_over_layers(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                          double max_step, const CancelCheck& cancel, bool move_families) {
    std::vector<std::int64_t> chosen;
    return search(arm, layers, start, max_step, cancel, move_families, Blocked(layers.nodes.size()), chosen);
}

PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding,
                               const CancelCheck& cancel, bool move_families) {
    Blocked blocked(layers.nodes.size());
    Blocked clear(layers.nodes.size());
    std::vector<std::int64_t> chosen;
    detail::BatchStop stop(cancel);
    for (;;) {
        PathPlan plan = search(arm, layers, start, max_step, cancel, move_families, blocked, chosen);
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
            const bool is_break =
                next_break < plan.breaks.size() && plan.breaks[next_break] == static_cast<std::int64_t>(row);
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
            } else if (from != kNone && !clear.contains(from, to)) {
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
                   double max_step, unsigned threads, const CancelCheck& cancel) {
    return plan_over_layers(arm, path_layers(arm, waypoints, threads, cancel), start, max_step, cancel);
}

}  // namespace ortholink
