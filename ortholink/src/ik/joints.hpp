#pragma once
// Joint angles from the arm's key points: the elbow o3, the wrist point o4,
// and the J5 origin, flange origin and flange rotation of the target.

#include <cstddef>
#include <utility>

#include "ik/setup.hpp"
#include "ortholink/fk.hpp"

namespace ortholink::solver {

// (primary, mirror) in controller degrees. The mirror turns J1 by half a turn
// and bends the arm the other way to put o3 and o4 at the same places. Every
// angle but J3 is in [-180, 180); J3 is a difference of two such angles.
// Nothing checks that the points are consistent with the target.
std::pair<JointVector, JointVector> joints_from_points(const Setup& setup, const Vec3& o3, const Vec3& o4) noexcept;

// The same with J1 from the plane through the J1 axis that holds both points,
// whenever either is off the axis at all: for elbows built in the plane of an
// o4 within 1e-6·z1 of the axis, which still fixes that plane (to its
// relative rounding). The azimuth comes from the point farther from the axis,
// turned so that o4 is on the positive side.
std::pair<JointVector, JointVector> joints_in_plane_of_o4(const Setup& setup, const Vec3& o3, const Vec3& o4) noexcept;

// The same for up to kMaxJointBatch point pairs at once (the rest are
// ignored), each result exactly as the single call gives it.
inline constexpr std::size_t kMaxJointBatch = 8;
struct PointPair {
    const Vec3* o3;
    const Vec3* o4;
    // J1 from the plane of the two points however close they are to the J1
    // axis (see joints_in_plane_of_o4), not only beyond 1e-6·z1.
    bool plane_of_o4 = false;
};
struct JointPair {
    JointVector primary;
    JointVector mirror;
};
void joints_from_points(const Setup& setup, const PointPair* points, std::size_t count, JointPair* out) noexcept;

}  // namespace ortholink::solver
