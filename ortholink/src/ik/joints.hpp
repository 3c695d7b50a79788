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

// The same for up to kMaxJointBatch point pairs at once (the rest are
// ignored), each result exactly as the single call gives it.
inline constexpr std::size_t kMaxJointBatch = 8;
struct PointPair {
    const Vec3* o3;
    const Vec3* o4;
};
struct JointPair {
    JointVector primary;
    JointVector mirror;
};
void joints_from_points(const Setup& setup, const PointPair* points, std::size_t count, JointPair* out) noexcept;

}  // namespace ortholink::solver
