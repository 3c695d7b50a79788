// Principal-axes frame of a point set, as a rotation code.

#include <algorithm>
#include <cmath>

#include "writer_internal.hpp"

namespace vantle::detail {

namespace {

constexpr double kHalfSqrt2 = 0.7071067811865476;
constexpr int kJacobiSweeps = 32;

// Eigenvectors of a symmetric 3x3 matrix (cyclic Jacobi), as the columns of v.
Matrix3 eigenvectors(Matrix3 a) noexcept {
    Matrix3 v{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        const double diag = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
        if (off <= 1e-30 * diag || off == 0.0) {
            break;
        }
        for (int p = 0; p < 2; ++p) {
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) {
                    continue;
                }
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (int k = 0; k < 3; ++k) {  // a = J^T a J
                    const double akp = a[k][p];
                    const double akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k];
                    const double aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = v[k][p];
                    const double vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
        }
    }
    return v;
}

}  // namespace

std::uint64_t fit_rotation_code(std::span<const Point> points) noexcept {
    Point mean{0, 0, 0};
    for (const Point& p : points) {
        for (int k = 0; k < 3; ++k) {
            mean[k] += p[k];
        }
    }
    const double n = static_cast<double>(std::max<std::size_t>(points.size(), 1));
    for (double& m : mean) {
        m /= n;
    }
    Matrix3 cov{};
    for (const Point& p : points) {
        const Point d{p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                cov[r][c] += d[r] * d[c];
            }
        }
    }
    Matrix3 v = eigenvectors(cov);
    const double det = v[0][0] * (v[1][1] * v[2][2] - v[1][2] * v[2][1]) -
                       v[0][1] * (v[1][0] * v[2][2] - v[1][2] * v[2][0]) +
                       v[0][2] * (v[1][0] * v[2][1] - v[1][1] * v[2][0]);
    if (det < 0) {
        for (auto& row : v) {
            row[2] = -row[2];
        }
    }

    // Rotation matrix to quaternion (x, y, z, w), largest pivot first.
    double q[4];
    const double trace = v[0][0] + v[1][1] + v[2][2];
    if (trace > 0) {
        const double s = std::sqrt(trace + 1.0) * 2.0;
        q[3] = 0.25 * s;
        q[0] = (v[2][1] - v[1][2]) / s;
        q[1] = (v[0][2] - v[2][0]) / s;
        q[2] = (v[1][0] - v[0][1]) / s;
    } else if (v[0][0] > v[1][1] && v[0][0] > v[2][2]) {
        const double s = std::sqrt(1.0 + v[0][0] - v[1][1] - v[2][2]) * 2.0;
        q[3] = (v[2][1] - v[1][2]) / s;
        q[0] = 0.25 * s;
        q[1] = (v[0][1] + v[1][0]) / s;
        q[2] = (v[0][2] + v[2][0]) / s;
    } else if (v[1][1] > v[2][2]) {
        const double s = std::sqrt(1.0 + v[1][1] - v[0][0] - v[2][2]) * 2.0;
        q[3] = (v[0][2] - v[2][0]) / s;
        q[0] = (v[0][1] + v[1][0]) / s;
        q[1] = 0.25 * s;
        q[2] = (v[1][2] + v[2][1]) / s;
    } else {
        const double s = std::sqrt(1.0 + v[2][2] - v[0][0] - v[1][1]) * 2.0;
        q[3] = (v[1][0] - v[0][1]) / s;
        q[0] = (v[0][2] + v[2][0]) / s;
        q[1] = (v[1][2] + v[2][1]) / s;
        q[2] = 0.25 * s;
    }

    // The largest component is the one left out: it is rebuilt as a
    // non-negative square root, so the quaternion is turned to make it so.
    unsigned omitted = 0;
    for (unsigned i = 1; i < 4; ++i) {
        if (std::fabs(q[i]) > std::fabs(q[omitted])) {
            omitted = i;
        }
    }
    const double sign = q[omitted] < 0 ? -1.0 : 1.0;
    std::uint64_t code = omitted;
    unsigned shift = 2;
    for (unsigned i = 0; i < 4; ++i) {
        if (i == omitted) {
            continue;
        }
        const double f = std::nearbyint(sign * q[i] / kHalfSqrt2 * 2047.0) + 2047.0;
        const double clamped = std::isfinite(f) ? std::clamp(f, 0.0, 4094.0) : 2047.0;
        code |= static_cast<std::uint64_t>(clamped) << shift;
        shift += 12;
    }
    return code;
}

}  // namespace vantle::detail
