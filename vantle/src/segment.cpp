// One partition of a point block.

#include <algorithm>

#include "messages.hpp"
#include "vantle/error.hpp"
#include "vantle/points.hpp"

namespace vantle {

namespace {
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;
}  // namespace

Box decode_corners(const Codes& a, const Codes& b, const Box& working, const Widths& anchor_widths) noexcept {
    Box box;
    for (int k = 0; k < 3; ++k) {
        const double lo = working.min[k];
        const double hi = working.max[k];
        if (anchor_widths[k] == 0) {
            box.min[k] = lo;
            box.max[k] = hi;
            continue;
        }
        // The extreme codes give the working bounds bit for bit, so boxes that
        // touch the anchor box share its bounds exactly.
        const Quantizer q(lo, hi - lo, anchor_widths[k]);
        const auto corner = [&](std::uint64_t code) {
            return code == 0 ? lo : (code == q.levels ? hi : q.dequantize(code));
        };
        box.min[k] = corner(a[k]);
        box.max[k] = corner(b[k]);
    }
    return box;
}

void read_partition(Cursor& cursor, const Box& anchor, const Widths& anchor_widths, const Point& centre,
                    std::vector<Point>& out, const Limits& limits) {
    const std::uint32_t n = cursor.read_u32();
    if (n == 0) {
        throw Error::malformed(msg::kEmptyPartition);
    }
    // Width-0 fields cost no payload, so the count alone must be bounded.
    const std::uint64_t total = out.size() + std::uint64_t{n};
    if (total > kMaxU32) {
        throw Error::malformed(msg::kVertexCount);
    }
    if (total > limits.max_points) {
        throw Error::malformed(msg::kTooManyPoints);
    }
    const std::uint8_t transform = cursor.read_u8();
    if (transform > kTransformRotation) {
        throw Error::malformed(msg::kTransform);
    }
    Widths bits{};
    for (auto& b : bits) {
        b = cursor.read_u8();
        if (b > kMaxQuantBits) {
            throw Error::malformed(msg::kBitWidth);
        }
    }

    // Room for at most 65,536 more points, grown geometrically so that many
    // small partitions do not reallocate every time.
    const std::size_t wanted = out.size() + std::min<std::size_t>(n, kValueReserveCap);
    if (wanted > out.capacity()) {
        out.reserve(std::max(wanted, 2 * out.capacity()));
    }

    const bool rotated = transform == kTransformRotation;
    const std::uint64_t corner_bits = std::uint64_t{anchor_widths[0]} + anchor_widths[1] + anchor_widths[2];
    const std::uint64_t point_bits = std::uint64_t{bits[0]} + bits[1] + bits[2];
    const std::uint64_t total_bits = 2 * corner_bits + (rotated ? kRotationBits : 0) + std::uint64_t{n} * point_bits;
    BitReader reader(read_payload(cursor, (total_bits + 7) / 8));

    Rotation rotation;
    Box working = anchor;
    if (rotated) {
        rotation = Rotation::read(reader);
        working = rotated_anchor(anchor, rotation.matrix);
    }
    Codes a{};
    Codes b{};
    for (int k = 0; k < 3; ++k) {
        a[k] = reader.read_bits(anchor_widths[k]);
    }
    for (int k = 0; k < 3; ++k) {
        b[k] = reader.read_bits(anchor_widths[k]);
    }
    const Box box = decode_corners(a, b, working, anchor_widths);
    for (int k = 0; k < 3; ++k) {
        if (box.min[k] > box.max[k]) {
            throw Error::malformed(msg::kInvertedBox);
        }
    }

    const Quantizer qx(box.min[0], box.max[0] - box.min[0], bits[0]);
    const Quantizer qy(box.min[1], box.max[1] - box.min[1], bits[1]);
    const Quantizer qz(box.min[2], box.max[2] - box.min[2], bits[2]);
    // The payload is present in full (or the widths are all zero and n is
    // within the limits), so the n points can be made room for now.
    const std::size_t start = out.size();
    out.resize(start + n);
    Point* dst = out.data() + start;
    for (std::uint32_t i = 0; i < n; ++i) {
        const double x = qx.dequantize(reader.read_bits(bits[0]));
        const double y = qy.dequantize(reader.read_bits(bits[1]));
        const double z = qz.dequantize(reader.read_bits(bits[2]));
        dst[i] = rotated ? to_world(centre, rotation.matrix, Point{x, y, z}) : Point{x, y, z};
    }
    // Holds by construction: the length was computed from the same widths.
    expect_payload_end(reader);
}

}  // namespace vantle
