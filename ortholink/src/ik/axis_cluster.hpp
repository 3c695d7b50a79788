#pragma once
// Axis angles that crowd where the circle of o4 only touches the J1 axis.
//
// With the flange z axis horizontal the circle's horizontal projection is
// flat, o4 can meet the axis at the end of it, and the squared distance then
// has a quartic minimum: Newton on its slope converges linearly and the
// sixteen starts stop at up to a dozen angles some 1e-4 rad apart, each of
// whose elbows is polished at length onto the same few solutions. Here the
// angles of such a cluster are taken to the place itself and merged, and the
// arm planes through o4 next to it, where ordinary solutions can lie with o4
// within the on-axis tolerance (the roots of the regular residual give
// nothing there), are scanned instead.

#include "ik/candidates.hpp"
#include "ik/geometry.hpp"

namespace ortholink::solver {

// The stretch of circle angles a merged cluster came from.
struct AxisCluster {
    double theta;  // the refined angle that stands for it
    double lo;     // least and greatest angle of the cluster, unwrapped next to theta
    double hi;
    // Half-widths (radians) of the stretch about theta that scan_axis_cluster
    // covers, from inner to outer on each side.
    double inner = 0.0;
    double outer = 0.0;
};
using AxisClusters = FixedVector<AxisCluster, kMaxAxisThetas>;

// Replaces every cluster of `axis` (angles closer than 1e-3 rad to another)
// by the angles its members refine to (Gauss–Newton on the horizontal part
// of o4), those within 1e-7 rad of each other merged; angles outside a
// cluster are left as they are, and the order is kept. The merged clusters
// go to `clusters`, with the stretch each scan covers.
void merge_axis_clusters(const Setup& setup, AxisThetas& axis, AxisClusters& clusters) noexcept;

// Elbows of ordinary solutions with o4 off the axis, however little, in the
// plane through it and the J1 axis, out to half as far again as o4 stays
// within the on-axis tolerance (and at least across the cluster): the zeros
// of both branch residuals along the circle angle, which the roots of the
// regular residual stand for only farther out. Appended to `out` as Regular
// candidates.
void scan_axis_cluster(const Setup& setup, const AxisCluster& cluster, Candidates& out) noexcept;

}  // namespace ortholink::solver
