#include <cmath>

#include "vantle/points.hpp"

namespace vantle {

namespace {
constexpr unsigned kFieldBits = 12;
constexpr std::uint64_t kFieldMask = (std::uint64_t{1} << kFieldBits) - 1;
constexpr double kFieldCentre = 2047.0;
constexpr double kHalfSqrt2 = 0.7071067811865476;  // 0x3FE6A09E667F3BCD
}  // namespace

Matrix3 spatial_matrix(std::uint64_t code) noexcept {
    const unsigned omitted = static_cast<unsigned>(code & 3);
    double q[4] = {0.0, 0.0, 0.0, 0.0};  // x, y, z, w
    unsigned shift = 2;
    for (unsigned slot = 0; slot < 4; ++slot) {
        if (slot == omitted) {
            continue;
        }
        const auto field = static_cast<std::int64_t>((code >> shift) & kFieldMask);
        q[slot] = static_cast<double>(field - 2047) / kFieldCentre * kHalfSqrt2;
        shift += kFieldBits;
    }
    const double sum = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    q[omitted] = std::sqrt(std::fmax(1.0 - sum, 0.0));

    double x = 0.0, y = 0.0, z = 0.0, w = 1.0;
    const double n2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (n2 != 0.0) {
        const double n = std::sqrt(n2);
        x = q[0] / n;
        y = q[1] / n;
        z = q[2] / n;
        w = q[3] / n;
    }
    return Matrix3{{
        {1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - z * w), 2.0 * (w * y + x * z)},
        {2.0 * (x * y + z * w), 1.0 - 2.0 * (z * z + x * x), 2.0 * (y * z - w * x)},
        {2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)},
    }};
}

Box rotated_anchor(const Box& anchor, const Matrix3& r) noexcept {
    const Point h{(anchor.max[0] - anchor.min[0]) * 0.5, (anchor.max[1] - anchor.min[1]) * 0.5,
                  (anchor.max[2] - anchor.min[2]) * 0.5};
    Box local;
    for (int j = 0; j < 3; ++j) {
        const double e = std::fabs(r[0][j]) * h[0] + std::fabs(r[1][j]) * h[1] + std::fabs(r[2][j]) * h[2];
        local.min[j] = -e;
        local.max[j] = e;
    }
    return local;
}

Point to_world(const Point& centre, const Matrix3& r, const Point& local) noexcept {
    Point world;
    for (int row = 0; row < 3; ++row) {
        world[row] = r[row][0] * local[0] + r[row][1] * local[1] + r[row][2] * local[2] + centre[row];
    }
    return world;
}

}  // namespace vantle
