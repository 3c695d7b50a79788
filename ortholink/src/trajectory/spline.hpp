#pragma once
// The natural cubic spline through joint rows, parameterised by joint-space
// arc length: the geometric path a trajectory follows.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "ortholink/fk.hpp"

namespace ortholink::timing {

struct PathPoint {
    JointVector q{};    // degrees
    JointVector dq{};   // per degree of arc length
    JointVector ddq{};  // per degree squared
};

class JointSpline {
public:
    // `rows` at increasing `knots` (at least two, strictly increasing).
    JointSpline(std::vector<double> knots, std::vector<JointVector> rows);

    const std::vector<double>& knots() const noexcept { return knots_; }
    double length() const noexcept { return knots_.back() - knots_.front(); }

    // The point at `s` on knot interval `segment` (s within it).
    PathPoint at(std::size_t segment, double s) const noexcept;

    // The least and the greatest of the weighted sum of the joints (weights ·
    // q) over knot interval `segment`: at its ends and where its derivative,
    // a quadratic in the fraction of the way, vanishes inside.
    std::pair<double, double> range(std::size_t segment, const JointVector& weights) const noexcept;

    // A bound on the weighted sum's distance from its chord over knot
    // interval `segment`, as chord_deviation bounds each joint's: cheaper
    // than range where the chord is far from a limit.
    double departure(std::size_t segment, const JointVector& weights) const noexcept;

    // A bound on each joint's rate of change (per degree of arc length) over
    // knot interval `segment`: |Δq|/h + h(|M₀| + |M₁|)/3, since the cubic's
    // slope is Δq/h + h/6 · ((1 - 3(1 - f)²)M₀ + (3f² - 1)M₁).
    JointVector slope_bound(std::size_t segment) const noexcept;

    // Largest distance on any joint between the spline and the chord of each
    // knot interval at the same fraction: the cubic's departure from the chord
    // is h²/6 · f(1 - f)((2 - f)M₀ + (1 + f)M₁), and f(1 - f)(2 - f) peaks at
    // 2/(3√3), so h²(|M₀| + |M₁|)/(9√3) bounds it.
    double chord_deviation() const noexcept;

private:
    std::vector<double> knots_;
    std::vector<JointVector> rows_;
    std::vector<JointVector> second_;  // second derivatives at the knots; 0 at both ends
};

}  // namespace ortholink::timing
