#include <cmath>

#include "messages.hpp"
#include "vantle/error.hpp"
#include "vantle/points.hpp"

namespace vantle {

std::vector<Point> read_points(Cursor& cursor, const Limits& limits) {
    if (cursor.read_u8() != kPointDimension) {
        throw Error::malformed(msg::kDimension);
    }
    const std::uint32_t partitions = cursor.read_u32();
    std::vector<Point> points;
    if (partitions == 0) {
        return points;
    }
    Box anchor;
    for (auto& v : anchor.min) {
        v = cursor.read_f64();
    }
    for (auto& v : anchor.max) {
        v = cursor.read_f64();
    }
    for (int k = 0; k < 3; ++k) {
        const double lo = anchor.min[k];
        const double hi = anchor.max[k];
        // A box whose extent overflows (say -1e308 to 1e308) would dequantise
        // to NaN, so it is as invalid as a non-finite bound.
        if (!std::isfinite(lo) || !std::isfinite(hi) || lo > hi || !std::isfinite(hi - lo)) {
            throw Error::malformed(msg::kAnchorBox);
        }
    }
    Widths widths{};
    for (auto& w : widths) {
        w = cursor.read_u8();
        if (w > kMaxQuantBits) {
            throw Error::malformed(msg::kAnchorWidth);
        }
    }
    const Point centre{(anchor.min[0] + anchor.max[0]) * 0.5, (anchor.min[1] + anchor.max[1]) * 0.5,
                       (anchor.min[2] + anchor.max[2]) * 0.5};
    // Each partition reads at least its 4-byte count, so the input bounds the loop.
    for (std::uint32_t p = 0; p < partitions; ++p) {
        read_partition(cursor, anchor, widths, centre, points, limits);
    }
    return points;
}

}  // namespace vantle
