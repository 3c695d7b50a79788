#pragma once
// Solutions where the wrist point o4 passes close to the J1 axis, found with
// the arm plane's azimuth as the unknown instead of the circle angle.
//
// Near the axis the azimuth of o4 swings through half a turn while the
// circle angle barely moves, so the regular residual's roots crowd there
// (on the CRX-3iA and CRX-10iA, whose folded arm puts o4 at the base origin,
// by many at once) and their refinement on a branch is lost. Taken the other
// way round, a plane through the J1 axis meets the circle of o4 in at most
// two points, and the elbow's residual changes smoothly with the plane even
// as o4 crosses the axis.

#include "ik/candidates.hpp"

namespace ortholink::solver {

// True when the circle of o4 can come within 1e-4·z1 of the J1 axis (a
// cheap bound; false for all but about three targets in a thousand).
bool passes_near_axis(const Setup& setup) noexcept;

// Appends to `out` the elbows, with o4 within 0.01·z1 of the J1 axis, whose
// arm plane makes the forearm perpendicular to the J5 axis: planes sampled
// over half a turn, each sign change of a branch's residual (and each dip
// towards zero between samples) searched; then the same along the circle
// angle, sampled densely where o4 swings past the axis, for circles whose
// plane is nearly vertical (the planes through the axis then meet it at
// points that jump). Meant for targets that passes_near_axis.
void sweep_arm_plane(const Setup& setup, Candidates& out) noexcept;
// The same with the target's axis angles already found.
void sweep_arm_plane(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept;

// On a robot with equal arm lengths whose circle of o4 passes within
// 0.01·z1 of the base origin (the arm just off its fold): the elbows of both
// branches in the plane of o4 sampled along the circle angle about that
// passage, crowded at it and spread out geometrically, each sign change and
// dip searched. Appended to `out`.
void scan_origin_passage(const Setup& setup, Candidates& out) noexcept;

// True when the plane of the circle of o4 holds the J1 axis (to rounding):
// the flange z axis horizontal and the J5 origin on the axis. Every plane
// through the axis then meets the circle only where o4 crosses the axis, so
// the sweep over the planes finds nothing the scan along the circle angle
// does not.
bool circle_plane_holds_axis(const Setup& setup) noexcept;

// sweep_arm_plane without the sweep over the planes where
// circle_plane_holds_axis.
void sweep_arm_plane_lean(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept;

}  // namespace ortholink::solver
