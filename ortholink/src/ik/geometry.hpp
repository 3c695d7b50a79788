#pragma once
// The places where the arm plane is not fixed by the wrist point: o4 on the
// J1 axis, or at the base origin.

#include <array>
#include <optional>

#include "ik/setup.hpp"

namespace ortholink::solver {

// Sixteen Newton starts, so at most sixteen distinct angles.
inline constexpr std::size_t kMaxAxisThetas = 16;
using AxisThetas = FixedVector<double, kMaxAxisThetas>;

// Solutions of a·cos φ + b·sin φ = c.
struct LinearTrigSolution {
    bool any_angle = false;         // every angle solves it
    FixedVector<double, 2> angles;  // in [-π, π); empty when nothing solves it
};

LinearTrigSolution solve_linear_trig(double a, double b, double c) noexcept;

// Circle angles in [-π, π) at which o4 lies on the J1 axis (usually none).
AxisThetas axis_thetas(const Setup& setup) noexcept;

// A lower bound on the distance of o4 from the J1 axis over the whole circle.
double axis_distance_bound(const Setup& setup) noexcept;

// Elbows (0, 1 or 2) for a θ whose o4 is on the J1 axis: points of the
// horizontal circle about the axis that keep the forearm perpendicular to d.
FixedVector<Vec3, 2> o3_on_axis(const Setup& setup, double theta) noexcept;

// One elbow at distance z1 from the origin and perpendicular to d, for an o4
// at the origin; only robots with z1 = x1 (to 1e-6·z1) can get there.
std::optional<Vec3> o3_on_origin(const Setup& setup, double theta) noexcept;

}  // namespace ortholink::solver
