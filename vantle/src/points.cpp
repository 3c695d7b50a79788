#include <cmath>

#include "messages.hpp"
#include "vantle/error.hpp"
#include "vantle/points.hpp"

namespace vantle {

namespace {

// Points held by the partitions ahead whose payload bytes are all present,
// read from their headers without judging them: a size to reserve, bounded
// by the input itself. Partitions of width 0 are left to grow the list.
std::size_t present_points(std::span<const std::uint8_t> rest, std::uint32_t partitions, const Widths& anchor_widths,
                           std::uint32_t max_points) {
    const std::uint64_t corner_bits = 2 * (std::uint64_t{anchor_widths[0]} + anchor_widths[1] + anchor_widths[2]);
    std::uint64_t total = 0;
    std::size_t at = 0;
    for (std::uint32_t p = 0; p < partitions && rest.size() - at >= 8; ++p) {
        const std::uint8_t* h = rest.data() + at;
        const std::uint64_t n = h[0] | std::uint64_t{h[1]} << 8 | std::uint64_t{h[2]} << 16 | std::uint64_t{h[3]} << 24;
        const std::uint64_t point_bits = std::uint64_t{h[5]} + h[6] + h[7];
        if (n == 0 || h[4] > kTransformRotation || h[5] > kMaxQuantBits || h[6] > kMaxQuantBits ||
            h[7] > kMaxQuantBits || point_bits == 0) {
            break;
        }
        const std::uint64_t bytes = (corner_bits + (h[4] == kTransformRotation ? kRotationBits : 0) + n * point_bits + 7) / 8;
        if (bytes > rest.size() - at - 8 || total + n > max_points) {
            break;
        }
        total += n;
        at += 8 + static_cast<std::size_t>(bytes);
    }
    return static_cast<std::size_t>(total);
}

}  // namespace

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
    points.reserve(present_points(cursor.data().subspan(cursor.position()), partitions, widths, limits.max_points));
    // Each partition reads at least its 4-byte count, so the input bounds the loop.
    for (std::uint32_t p = 0; p < partitions; ++p) {
        read_partition(cursor, anchor, widths, centre, points, limits);
    }
    return points;
}

}  // namespace vantle
