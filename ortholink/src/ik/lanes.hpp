#pragma once
// Two doubles side by side. Arithmetic works lane by lane with the rounding
// of each single operation and no contraction, so every lane gives exactly
// the scalar result; used where independent evaluations can share
// instructions. The formulas are written once over the scalar type; the
// few operations without a vector instruction go lane by lane here, with an
// overload for double beside each.

#include <algorithm>
#include <cmath>

#include "ortholink/pose.hpp"

namespace ortholink::solver {

using V2 = double __attribute__((vector_size(16)));
using M2 = long long __attribute__((vector_size(16)));

inline V2 splat(double x) noexcept {
    return V2{x, x};
}

inline double lane_sqrt(double x) noexcept {
    return std::sqrt(x);
}
inline V2 lane_sqrt(V2 x) noexcept {
    return V2{std::sqrt(x[0]), std::sqrt(x[1])};
}

inline double lane_hypot(double x, double y) noexcept {
    return std::hypot(x, y);
}
inline V2 lane_hypot(V2 x, V2 y) noexcept {
    return V2{std::hypot(x[0], y[0]), std::hypot(x[1], y[1])};
}

inline double lane_fabs(double x) noexcept {
    return std::fabs(x);
}
inline V2 lane_fabs(V2 x) noexcept {
    return V2{std::fabs(x[0]), std::fabs(x[1])};
}

}  // namespace ortholink::solver

namespace ortholink {

template <>
struct Lanes<solver::V2> {
    static constexpr int kCount = 2;
    static solver::V2 uniform(double x) noexcept { return solver::V2{x, x}; }
    static double get(solver::V2 v, int lane) noexcept { return v[lane]; }
    static void set(solver::V2& v, int lane, double x) noexcept { v[lane] = x; }
};

}  // namespace ortholink
