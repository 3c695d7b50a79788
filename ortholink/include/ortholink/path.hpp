#pragma once
// Cartesian paths through every solution branch: the plan with the fewest
// breaks, then the shortest time at the rated joint speeds, found exactly by
// dynamic programming over the layers of solutions of the waypoints.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ortholink/arm.hpp"
#include "ortholink/batch.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {

// The candidate joint vectors of every waypoint: those of waypoint i are
// nodes[offsets[i] .. offsets[i + 1]), in arm_ik's order.
struct PathLayers {
    std::vector<JointVector> nodes;
    std::vector<std::int64_t> offsets;  // waypoints + 1 entries, offsets[0] = 0
    // Per node, 1 for a member of a continuous family (arm_in_family); empty when not known.
    std::vector<std::uint8_t> family;
    // Per waypoint, the flange pose (for the folded arm's family); empty when not known. With
    // rotations, one per waypoint and rotation: that of rotation r of waypoint i at
    // i * rotations.size() + r.
    std::vector<Pose> flange_targets;
    // With a free tool axis: the turns about the TCP's own z (degrees) tried at every waypoint,
    // and per node the index of the turn it reaches; both empty otherwise (every node then
    // reaches its waypoint as given). The nodes of a waypoint come turn by turn, in this order.
    std::vector<double> rotations;
    std::vector<std::uint32_t> rotation_of;
};

// Most turns a free tool axis samples per waypoint: a tenth of a degree around a whole turn.
inline constexpr std::size_t kMaxFreeAxisSamples = 3600;

// The turns about the tool z that a free axis from `lower` to `upper` degrees sampled every
// `step` degrees tries: lower, lower + step, ... up to upper, and upper itself when the step
// does not divide the range (the last gap is then shorter). Turns a whole turn from an earlier
// one reach the same pose and are left out (of -180 and 180 the first is kept). They come
// ordered by size, 0 first where it is in the range and of two equal sizes the negative one
// first, so that among equal plans the smallest turn wins. None when the arguments are not
// finite, lower > upper, step <= 0, or more than kMaxFreeAxisSamples would be sampled.
std::optional<std::vector<double>> free_axis_rotations(double lower, double upper, double step);

// How many turns free_axis_rotations samples, repeats left out and before the cap, as a double
// so that it does not overflow (before leaving out repeats when far beyond the cap); NaN for
// the arguments it refuses otherwise.
double free_axis_sample_count(double lower, double upper, double step);

// The waypoint turned about its own z by `degrees`: waypoint∘Rz(degrees).
Pose turned_about_z(const Pose& waypoint, double degrees) noexcept;

// Every solution within the arm's limits (whole-turn variants included) of
// every waypoint, solved on up to `threads` threads (0: automatic). `cancel`
// is asked as ik_many asks it.
PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, unsigned threads = 0,
                       const CancelCheck& cancel = {});

// path_layers with a free tool axis: the layer of waypoint i holds the solutions of every
// waypoint_i∘Rz(rotations[r]), turn by turn (all the turns solved in one batch).
PathLayers path_layers(const Arm& arm, std::span<const Pose> waypoints, std::span<const double> rotations,
                       unsigned threads = 0, const CancelCheck& cancel = {});

// Drops the nodes whose `keep` entry is zero (one entry per node).
void keep_nodes(PathLayers& layers, std::span<const std::uint8_t> keep);

struct PathPlan {
    std::vector<JointVector> joints;        // one row per waypoint; NaN where unreachable
    std::vector<std::int64_t> breaks;       // i: the move from the previous reached row to row i is not continuous
    std::vector<std::int64_t> unreachable;  // waypoints without a node
    double duration = 0.0;                  // seconds at the rated speeds; infinite with a break
    double travel = 0.0;                    // summed joint motion, degrees
    std::size_t nodes = 0;                  // graph size, for reports
    std::size_t edges = 0;                  // continuous edges between consecutive reached layers
    // Per row, the turn (degrees) about the target's own z that the row reaches: targets[i]∘Rz;
    // 0 without a free tool axis, NaN where unreachable.
    std::vector<double> tool_rotation;
};

// "PathPlan(waypoints=5, breaks=0, unreachable=1, duration=2.5000, travel=140.0000)".
std::string to_string(const PathPlan& plan);

// Waypoint indices (breaks or unreachable ones) rebuilt from numbers, as a
// stored plan keeps them; none unless every number is whole and names one of
// `waypoints` waypoints.
std::optional<std::vector<std::int64_t>> waypoint_indices(std::span<const double> values, std::size_t waypoints);

// Seconds to move from `a` to `b` with every joint at most at its rated speed.
double move_time(const JointVector& a, const JointVector& b, const JointVector& max_speed) noexcept;

// The best plan over the layers. A move between consecutive reached
// waypoints (or from `start` to the first) is continuous when no joint moves
// more than `max_step` degrees; any other move is a break. The plan has the
// fewest breaks and, among those, the shortest sum of continuous move times
// (a break adds no time to that sum; the reported duration is then infinite).
// An unreachable waypoint is skipped: the next reached waypoint connects to
// the last reached one under the same rule. Equal plans: the earliest nodes
// win. `max_step` must be positive.
//
// A node marked as a family member takes, with `move_families`, the member
// nearest its best predecessor (or `start`) when that moves less: the plan
// then uses that member rather than the solver's. Each node looks only at
// the predecessors' whole-turn variants within max_step of it, so the
// search grows with the number of nodes, not with its square. `cancel` is
// asked every few milliseconds (BatchCancelled). With the layers' rotations,
// each row's tool_rotation is the turn of its node; the nodes of all the turns
// of a waypoint compete in one layer.
PathPlan plan_over_layers(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                          double max_step, const CancelCheck& cancel = {}, bool move_families = true);

// path_layers without the solutions that collide (arm_ik_many_free).
PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            double padding = 0.0, unsigned threads = 0, const CancelCheck& cancel = {});
PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            std::span<const double> rotations, double padding = 0.0, unsigned threads = 0,
                            const CancelCheck& cancel = {});

// plan_over_layers whose continuous moves keep the arm clear: each move the
// plan uses (the one from `start` too) is checked along its straight
// joint-space interpolation (CollisionChecker::move_collides); a move that
// collides leaves the graph and the search runs again, until every
// continuous move of the plan is clear. Only the moves a plan uses are
// checked. A break is a stop and reconfiguration and is not checked.
// Family members move as in plan_over_layers (`move_families`); a moved
// member that is reached by a break and collides turns that off. `cancel`
// is asked as plan_over_layers asks it.
PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding = 0.0,
                               const CancelCheck& cancel = {}, bool move_families = true);

// path_layers, then plan_over_layers.
PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, const std::optional<JointVector>& start,
                   double max_step, unsigned threads = 0, const CancelCheck& cancel = {});

// The same with a free tool axis (path_layers with `rotations`).
PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, std::span<const double> rotations,
                   const std::optional<JointVector>& start, double max_step, unsigned threads = 0,
                   const CancelCheck& cancel = {});

}  // namespace ortholink
