#include "ortholink/path.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <unordered_set>

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

}  // namespace

double move_time(const JointVector& a, const JointVector& b, const JointVector& max_speed) noexcept {
    double longest = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        longest = std::max(longest, std::fabs(b[j] - a[j]) / max_speed[j]);
    }
    return longest;
}

PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, unsigned threads, const CancelCheck& cancel) {
    const IkBatchResult batch = arm_ik_many(arm, waypoints, threads, cancel);
    PathLayers layers;
    layers.offsets = batch.offsets;
    layers.nodes.resize(batch.solutions.size());
    for (std::size_t k = 0; k < batch.solutions.size(); ++k) {
        layers.nodes[k] = batch.solutions[k].joints;
    }
    return layers;
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
                layers.nodes[out++] = layers.nodes[k];
            }
        }
        begin = end;
        layers.offsets[i + 1] = static_cast<std::int64_t>(out);
    }
    layers.nodes.resize(out);
}

namespace {

// Moves taken out of the graph, by key(from, to); the move from `start` has
// `from` = the node count.
class Blocked {
public:
    explicit Blocked(std::size_t count) noexcept : count_(count) {}
    std::uint64_t key(std::int64_t from, std::int64_t to) const noexcept {
        return static_cast<std::uint64_t>(from) * (count_ + 1) + static_cast<std::uint64_t>(to);
    }
    bool contains(std::int64_t from, std::int64_t to) const {
        return !moves_.empty() && moves_.contains(key(from, to));
    }
    void insert(std::int64_t from, std::int64_t to) { moves_.insert(key(from, to)); }
    std::int64_t start_node() const noexcept { return static_cast<std::int64_t>(count_); }

private:
    std::size_t count_;
    std::unordered_set<std::uint64_t> moves_;
};

// The search of plan_over_layers without the blocked moves; `chosen` gets
// the node of every row (kNone where unreachable).
PathPlan search(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start, double max_step,
                const Blocked& blocked, std::vector<std::int64_t>& chosen) {
    const std::size_t waypoints = layers.offsets.empty() ? 0 : layers.offsets.size() - 1;
    const std::size_t count = layers.nodes.size();
    PathPlan plan;
    plan.nodes = count;
    std::vector<Cost> cost(count);
    std::vector<std::int64_t> parent(count, kNone);
    std::vector<std::uint8_t> incoming_break(count, 0);

    // The previous layer's nodes sorted by J1, so that each node looks only
    // at the predecessors whose J1 lies within max_step of its own.
    std::vector<std::int64_t> sorted;
    std::vector<double> sorted_j1;
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
                const auto k = static_cast<std::size_t>(v);
                if (start) {
                    if (largest_motion(*start, layers.nodes[k]) <= max_step && !blocked.contains(blocked.start_node(), v)) {
                        cost[k] = Cost{0, move_time(*start, layers.nodes[k], arm.max_speed)};
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

            sorted.resize(static_cast<std::size_t>(previous_end - previous_begin));
            std::iota(sorted.begin(), sorted.end(), previous_begin);
            std::sort(sorted.begin(), sorted.end(), [&](std::int64_t a, std::int64_t b) {
                return layers.nodes[static_cast<std::size_t>(a)][0] < layers.nodes[static_cast<std::size_t>(b)][0];
            });
            sorted_j1.resize(sorted.size());
            for (std::size_t s = 0; s < sorted.size(); ++s) {
                sorted_j1[s] = layers.nodes[static_cast<std::size_t>(sorted[s])][0];
            }

            for (std::int64_t v = begin; v < end; ++v) {
                const auto k = static_cast<std::size_t>(v);
                const JointVector& node = layers.nodes[k];
                Cost best{cheapest_cost.breaks + 1, cheapest_cost.time};
                std::int64_t best_parent = cheapest;
                bool best_breaks = true;
                const auto first = std::lower_bound(sorted_j1.begin(), sorted_j1.end(), node[0] - max_step);
                for (auto s = static_cast<std::size_t>(first - sorted_j1.begin());
                     s < sorted.size() && sorted_j1[s] <= node[0] + max_step; ++s) {
                    const std::int64_t u = sorted[s];
                    const JointVector& from = layers.nodes[static_cast<std::size_t>(u)];
                    if (largest_motion(from, node) > max_step || blocked.contains(u, v)) {
                        continue;
                    }
                    ++plan.edges;
                    const Cost& base = cost[static_cast<std::size_t>(u)];
                    const Cost candidate{base.breaks, base.time + move_time(from, node, arm.max_speed)};
                    // Continuous moves win ties against the break; among
                    // them the earliest predecessor.
                    if (better(candidate, best) ||
                        (!better(best, candidate) && (best_breaks || u < best_parent))) {
                        best = candidate;
                        best_parent = u;
                        best_breaks = false;
                    }
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
        plan.joints[row] = layers.nodes[static_cast<std::size_t>(node)];
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
                          double max_step) {
    std::vector<std::int64_t> chosen;
    return search(arm, layers, start, max_step, Blocked(layers.nodes.size()), chosen);
}

PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            double padding, unsigned threads, const CancelCheck& cancel) {
    const IkBatchResult batch = arm_ik_many_free(arm, checker, waypoints, padding, threads, cancel);
    PathLayers layers;
    layers.offsets = batch.offsets;
    layers.nodes.resize(batch.solutions.size());
    for (std::size_t k = 0; k < batch.solutions.size(); ++k) {
        layers.nodes[k] = batch.solutions[k].joints;
    }
    return layers;
}

PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding,
                               const CancelCheck& cancel) {
    Blocked blocked(layers.nodes.size());
    Blocked clear(layers.nodes.size());
    std::vector<std::int64_t> chosen;
    for (;;) {
        if (cancel()) {
            throw BatchCancelled{};
        }
        PathPlan plan = search(arm, layers, start, max_step, blocked, chosen);
        bool changed = false;
        std::size_t next_break = 0;
        std::int64_t from = start ? blocked.start_node() : kNone;
        const JointVector* from_joints = start ? &*start : nullptr;
        for (std::size_t row = 0; row < chosen.size(); ++row) {
            const std::int64_t to = chosen[row];
            if (to == kNone) {
                continue;
            }
            while (next_break < plan.breaks.size() && plan.breaks[next_break] < static_cast<std::int64_t>(row)) {
                ++next_break;
            }
            const bool is_break = next_break < plan.breaks.size() && plan.breaks[next_break] == static_cast<std::int64_t>(row);
            if (from != kNone && !is_break && !clear.contains(from, to)) {
                if (checker.move_collides(*from_joints, layers.nodes[static_cast<std::size_t>(to)], padding)) {
                    blocked.insert(from, to);
                    changed = true;
                } else {
                    clear.insert(from, to);
                }
                if ((row & 255) == 0 && cancel()) {
                    throw BatchCancelled{};
                }
            }
            from = to;
            from_joints = &layers.nodes[static_cast<std::size_t>(to)];
        }
        if (!changed) {
            return plan;
        }
    }
}

PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, const std::optional<JointVector>& start,
                   double max_step, unsigned threads) {
    return plan_over_layers(arm, path_layers(arm, waypoints, threads), start, max_step);
}

}  // namespace ortholink
