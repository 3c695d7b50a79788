#pragma once
// Arm configurations (elbow, wrist point, circle angle) that can lead to a
// solution: first where o4 meets the J1 axis, then the zeros of the regular
// residual, each refined on its elbow branch.

#include "ik/geometry.hpp"
#include "ik/roots.hpp"
#include "ik/setup.hpp"
#include "ortholink/ik.hpp"

namespace ortholink::solver {

struct Candidate {
    Vec3 o3;       // elbow (J3 origin), mm
    Vec3 o4;       // point of the forearm axis nearest the J5 origin, mm
    double theta;  // circle angle, radians; refined angles are not wrapped
    SolutionKind kind;
};

// Each axis angle gives at most two candidates, each root one per branch.
inline constexpr std::size_t kMaxCandidates = 2 * kMaxAxisThetas + 2 * kMaxRoots;
using Candidates = FixedVector<Candidate, kMaxCandidates>;

Candidates candidates(const Setup& setup) noexcept;

// The zero of branch s (+1 or -1) of the arm-plane residual between a and
// b, where it changes sign (ga and gb its values there, of opposite signs,
// or one of them zero): false position with the Illinois change. Returns the
// end of the final bracket with the smaller residual.
double bisect_branch(const Setup& setup, double s, double a, double b, double ga, double gb) noexcept;

// Relative to z1: beyond this distance from the J1 axis o4 still fixes the
// plane through it and the axis (a target made from joints on a family puts
// o4 within rounding, about 1e-13·z1, of the axis).
inline constexpr double kAxisPlaneRelative = 1e-12;
// Relative to z1: a circle of o4 that comes this close to the J1 axis
// reaches it (targets made from joints on a family, rounding included).
// Farther, the axis angle's candidates lie on no family and are Regular.
inline constexpr double kOnAxisRoundingRelative = 1e-10;

// True when o4, within the on-axis tolerance, still fixes a plane through the
// J1 axis: farther than kAxisPlaneRelative·z1 from it.
bool off_axis_plane(const Setup& setup, const Vec3& o4) noexcept;

// The same, also filling `extras` with configurations the list above leaves
// out because they are usually redundant: roots next to an axis angle (the
// wrist point can pass the J1 axis just off a regular solution), and, where a
// branch of a root yields no elbow, the elbow of the stretched or folded arm
// (the wrist point on the edge of the reachable shell, where rounding moves
// the root to a place without an elbow). Extras are tried after all the
// others, so that they can only add solutions.
Candidates candidates(const Setup& setup, Candidates& extras) noexcept;
// The same, also giving the axis angles the list was built from.
Candidates candidates(const Setup& setup, Candidates& extras, AxisThetas& axis) noexcept;
// The same with the clusters of axis angles merged first when `clusters` is
// not null (merge_axis_clusters, which fills it).
struct AxisCluster;
Candidates candidates(const Setup& setup, Candidates& extras, AxisThetas& axis,
                      FixedVector<AxisCluster, kMaxAxisThetas>* clusters) noexcept;

}  // namespace ortholink::solver
