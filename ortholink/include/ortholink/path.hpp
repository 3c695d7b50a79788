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
// does not divide the range (the last gap is then shorter). Turns a whole turn from another
// reach the same pose and only the smallest is kept (0 rather than -360; of -180 and 180 the
// negative one). They come
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

// A continuous stretch of a plan: rows first .. last (waypoint indices, both
// reached; unreachable waypoints between them are skipped) and the seconds of
// its moves at the rated speeds. NaN time: not recorded (a plan stored before
// the segments were kept).
struct PathSegment {
    std::int64_t first = 0;
    std::int64_t last = 0;
    double time = 0.0;
    friend bool operator==(const PathSegment&, const PathSegment&) = default;
};

// The move from `start` to the first reached row.
struct PathApproach {
    double travel = 0.0;  // summed joint motion, degrees
    double time = 0.0;    // seconds at the rated speeds
    friend bool operator==(const PathApproach&, const PathApproach&) = default;
};

struct PathPlan {
    std::vector<JointVector> joints;        // one row per waypoint; NaN where unreachable
    std::vector<std::int64_t> breaks;       // i: the move from the previous reached row to row i is not continuous
    std::vector<std::int64_t> unreachable;  // waypoints without a node
    double duration = 0.0;                  // seconds of every move from the first reached row to the last
    double travel = 0.0;                    // summed joint motion of those moves, degrees
    std::size_t nodes = 0;                  // graph size, for reports
    std::size_t edges = 0;                  // continuous edges between consecutive reached layers
    std::vector<PathSegment> segments;      // the continuous stretches, in order
    std::optional<PathApproach> approach;   // the move from `start`; none without start or reached row
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

// The continuous stretches of rows `joints` (NaN rows unreachable) that
// `breaks` cut, with NaN times: a stretch begins at the first reached row and
// at every break after it (a break at or before the first reached row, as
// plans stored before the approach was kept have, cuts nothing).
std::vector<PathSegment> segment_ranges(std::span<const JointVector> joints, std::span<const std::int64_t> breaks);

// A move between consecutive reached waypoints is continuous when its largest
// joint step is at most max_step and at most kStepFloor + max_step_per_mm x
// the TCP travel between the two waypoints (millimetres of translation plus
// degrees of rotation): a branch switch near a singularity, a large step for
// a small TCP motion, is a break. The default holds every joint step of an
// ordinary path with a wide margin (a joint at its rated 180 deg/s drives the
// TCP at 36 mm/s at that ratio); infinity turns the rule off.
inline constexpr double kStepFloor = 1.0;
inline constexpr double kStepPerMm = 5.0;

// The best plan over the layers. Moves between consecutive reached
// waypoints are continuous under the rule above (without flange targets in
// the layers only max_step applies); any other move is a break: a
// point-to-point move whose time at the rated speeds counts like any other.
// The plan has the fewest breaks and, among those, the shortest duration
// (every move from the first reached row to the last, breaks included). An
// unreachable waypoint is skipped: the next reached waypoint connects to the
// last reached one under the same rule.
//
// The move from `start` to the first row is the approach: it is not part of
// the duration, never a break, and the first row is chosen for the path
// alone. Plans within 1e-9 (relative) of the same duration are ties: the
// shorter approach wins (summed degrees, then time), then the first row
// nearest home (plan_home; summed degrees of J1-J3, then of J4-J6: the arm's
// posture before its wrist's), then the earliest nodes. `max_step` must be
// positive, `max_step_per_mm` positive (infinity allowed).
//
// A node marked as a family member takes, with `move_families`, the member
// nearest its best continuous predecessor (or `start`) when that moves less:
// the plan then uses that member rather than the solver's. Each node looks
// only at the predecessors' whole-turn variants within reach of it, so the
// search grows with the number of nodes, not with its square. `cancel` is
// asked every few milliseconds (BatchCancelled). With the layers' rotations,
// each row's tool_rotation is the turn of its node; the nodes of all the turns
// of a waypoint compete in one layer.
PathPlan plan_over_layers(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                          double max_step, const CancelCheck& cancel = {}, bool move_families = true,
                          double max_step_per_mm = kStepPerMm);

// The home configuration of plans' ties: the zero joints, each joint clamped
// into the arm's limits.
JointVector plan_home(const Arm& arm) noexcept;

// path_layers without the solutions that collide (arm_ik_many_free).
PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            double padding = 0.0, unsigned threads = 0, const CancelCheck& cancel = {});
PathLayers path_layers_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> waypoints,
                            std::span<const double> rotations, double padding = 0.0, unsigned threads = 0,
                            const CancelCheck& cancel = {});

// plan_over_layers whose moves keep the arm clear: each continuous move the
// plan uses, and the approach from `start`, is checked along its straight
// joint-space interpolation (CollisionChecker::move_collides). A continuous
// move that collides leaves the graph; an approach that collides ranks its
// first row after every first row of a plan with as few breaks whose
// approach is clear (it is taken only when none is). The search runs again
// until every continuous move of the plan is clear. Only the moves a plan
// uses are checked. A break is a stop and point-to-point reconfiguration and
// is not checked. Family members move as in plan_over_layers
// (`move_families`); a moved member that is reached by a break (or without
// a checked approach) and collides turns that off. `cancel` is asked as
// plan_over_layers asks it.
PathPlan plan_over_layers_free(const Arm& arm, const PathLayers& layers, const std::optional<JointVector>& start,
                               double max_step, const CollisionChecker& checker, double padding = 0.0,
                               const CancelCheck& cancel = {}, bool move_families = true,
                               double max_step_per_mm = kStepPerMm);

// path_layers, then plan_over_layers.
PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, const std::optional<JointVector>& start,
                   double max_step, unsigned threads = 0, const CancelCheck& cancel = {},
                   double max_step_per_mm = kStepPerMm);

// The same with a free tool axis (path_layers with `rotations`).
PathPlan plan_path(const Arm& arm, std::span<const Pose> waypoints, std::span<const double> rotations,
                   const std::optional<JointVector>& start, double max_step, unsigned threads = 0,
                   const CancelCheck& cancel = {});

}  // namespace ortholink
