#include "trajectory/spline.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ortholink::timing {

JointSpline::JointSpline(std::vector<double> knots, std::vector<JointVector> rows)
    : knots_(std::move(knots)), rows_(std::move(rows)), second_(rows_.size(), JointVector{}) {
    const std::size_t n = knots_.size();
    if (n < 3) {
        return;  // a straight line
    }
    // The tridiagonal system of the interior second derivatives (Thomas algorithm,
    // six right-hand sides); diagonally dominant, so no pivoting.
    std::vector<double> diagonal(n, 0.0);
    std::vector<JointVector> rhs(n, JointVector{});
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double h0 = knots_[i] - knots_[i - 1];
        const double h1 = knots_[i + 1] - knots_[i];
        diagonal[i] = 2.0 * (h0 + h1);
        for (std::size_t j = 0; j < 6; ++j) {
            rhs[i][j] = 6.0 * ((rows_[i + 1][j] - rows_[i][j]) / h1 - (rows_[i][j] - rows_[i - 1][j]) / h0);
        }
    }
    for (std::size_t i = 2; i + 1 < n; ++i) {
        const double below = knots_[i] - knots_[i - 1];  // sub- and super-diagonal entry
        const double factor = below / diagonal[i - 1];
        diagonal[i] -= factor * below;
        for (std::size_t j = 0; j < 6; ++j) {
            rhs[i][j] -= factor * rhs[i - 1][j];
        }
    }
    for (std::size_t i = n - 2; i >= 1; --i) {
        const double above = knots_[i + 1] - knots_[i];
        for (std::size_t j = 0; j < 6; ++j) {
            const double next = i + 2 < n ? second_[i + 1][j] : 0.0;
            second_[i][j] = (rhs[i][j] - above * next) / diagonal[i];
        }
    }
}

PathPoint JointSpline::at(std::size_t segment, double s) const noexcept {
    const double h = knots_[segment + 1] - knots_[segment];
    const double b = std::clamp((s - knots_[segment]) / h, 0.0, 1.0);
    const double a = 1.0 - b;
    const JointVector& q0 = rows_[segment];
    const JointVector& q1 = rows_[segment + 1];
    const JointVector& m0 = second_[segment];
    const JointVector& m1 = second_[segment + 1];
    PathPoint p;
    for (std::size_t j = 0; j < 6; ++j) {
        p.q[j] = a * q0[j] + b * q1[j] + ((a * a * a - a) * m0[j] + (b * b * b - b) * m1[j]) * (h * h / 6.0);
        p.dq[j] = (q1[j] - q0[j]) / h + (-(3.0 * a * a - 1.0) * m0[j] + (3.0 * b * b - 1.0) * m1[j]) * (h / 6.0);
        p.ddq[j] = a * m0[j] + b * m1[j];
    }
    // The ends are the rows exactly.
    if (b == 0.0) p.q = q0;
    if (b == 1.0) p.q = q1;
    return p;
}

std::pair<double, double> JointSpline::range(std::size_t segment, const JointVector& weights) const noexcept {
    double q0 = 0.0;
    double q1 = 0.0;
    double m0 = 0.0;
    double m1 = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        q0 += weights[j] * rows_[segment][j];
        q1 += weights[j] * rows_[segment + 1][j];
        m0 += weights[j] * second_[segment][j];
        m1 += weights[j] * second_[segment + 1][j];
    }
    const double h = knots_[segment + 1] - knots_[segment];
    const double c = h * h / 6.0;
    const auto value = [&](double b) {
        const double a = 1.0 - b;
        return a * q0 + b * q1 + ((a * a * a - a) * m0 + (b * b * b - b) * m1) * c;
    };
    std::pair<double, double> out{std::min(q0, q1), std::max(q0, q1)};
    const auto take = [&](double b) {
        if (b > 0.0 && b < 1.0) {
            const double v = value(b);
            out.first = std::min(out.first, v);
            out.second = std::max(out.second, v);
        }
    };
    // d/db of the value: qa·b² + qb·b + qc.
    const double qa = 3.0 * c * (m1 - m0);
    const double qb = 6.0 * c * m0;
    const double qc = (q1 - q0) - c * (2.0 * m0 + m1);
    if (qa == 0.0) {
        if (qb != 0.0) take(-qc / qb);
        return out;
    }
    const double discriminant = qb * qb - 4.0 * qa * qc;
    if (discriminant < 0.0) {
        return out;
    }
    // The root of larger magnitude first, the other from their product.
    const double q = -0.5 * (qb + std::copysign(std::sqrt(discriminant), qb));
    take(q / qa);
    if (q != 0.0) take(qc / q);
    return out;
}

double JointSpline::departure(std::size_t segment, const JointVector& weights) const noexcept {
    double m0 = 0.0;
    double m1 = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        m0 += weights[j] * second_[segment][j];
        m1 += weights[j] * second_[segment + 1][j];
    }
    const double h = knots_[segment + 1] - knots_[segment];
    return h * h * (std::fabs(m0) + std::fabs(m1)) / (9.0 * std::sqrt(3.0));
}

JointVector JointSpline::slope_bound(std::size_t segment) const noexcept {
    const double h = knots_[segment + 1] - knots_[segment];
    JointVector out{};
    for (std::size_t j = 0; j < 6; ++j) {
        out[j] = std::fabs(rows_[segment + 1][j] - rows_[segment][j]) / h +
                 h * (std::fabs(second_[segment][j]) + std::fabs(second_[segment + 1][j])) / 3.0;
    }
    return out;
}

double JointSpline::chord_deviation() const noexcept {
    const double scale = 1.0 / (9.0 * std::sqrt(3.0));
    double largest = 0.0;
    for (std::size_t i = 0; i + 1 < knots_.size(); ++i) {
        const double h = knots_[i + 1] - knots_[i];
        for (std::size_t j = 0; j < 6; ++j) {
            largest = std::max(largest, h * h * (std::fabs(second_[i][j]) + std::fabs(second_[i + 1][j])) * scale);
        }
    }
    return largest;
}

}  // namespace ortholink::timing
