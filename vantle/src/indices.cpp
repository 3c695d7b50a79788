#include "vantle/indices.hpp"

#include <algorithm>
#include <cstring>

#include "messages.hpp"
#include "vantle/bits.hpp"
#include "vantle/error.hpp"

namespace vantle {

static_assert(sizeof(Triangle) == 3 * sizeof(std::uint32_t));

namespace {
constexpr std::uint8_t kModeAbsolute = 0;
constexpr std::uint8_t kModeHighWater = 1;
}  // namespace

std::vector<Triangle> read_indices(Cursor& cursor, std::uint32_t vertex_count, const Limits& limits) {
    if (cursor.read_u8() != kTriangleArity) {
        throw Error::malformed(msg::kArity);
    }
    const std::uint32_t triangle_count = cursor.read_u32();
    if (triangle_count == 0) {
        return {};
    }
    // Width-0 indices cost no payload, so the count alone must be bounded.
    if (triangle_count > limits.max_triangles) {
        throw Error::malformed(msg::kTooManyTriangles);
    }
    switch (cursor.read_u8()) {
        case kModeAbsolute:
            return read_absolute(cursor, triangle_count, vertex_count);
        case kModeHighWater:
            return read_high_water(cursor, triangle_count, vertex_count);
        default:
            throw Error::malformed(msg::kCodingMode);
    }
}

std::vector<Triangle> read_absolute(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count) {
    const std::uint8_t width = cursor.read_u8();
    if (width > kMaxIndexBits) {
        throw Error::malformed(msg::kIndexWidth);
    }
    const std::uint64_t bits = 3 * std::uint64_t{triangle_count} * width;
    BitReader reader(read_payload(cursor, (bits + 7) / 8));
    if (vertex_count == 0) {
        reader.read_bits(width);                   // present: m >= 1
        throw Error::malformed(msg::kIndexRange);  // no index is valid without vertices
    }
    // Every index is present in the payload (or takes no bits), so the list
    // can be sized now; the count is bounded by the limits either way.
    std::vector<Triangle> triangles(triangle_count);
    for (Triangle& tri : triangles) {
        for (auto& index : tri) {
            const std::uint64_t v = reader.read_bits(width);
            if (v >= vertex_count) {
                throw Error::malformed(msg::kIndexRange);
            }
            index = static_cast<std::uint32_t>(v);
        }
    }
    // Holds by construction: the length was computed from the same width.
    expect_payload_end(reader);
    return triangles;
}

namespace {

// High-water decoding, one corner at a time.
class HighWater {
public:
    explicit HighWater(std::uint32_t vertex_count) noexcept : vertex_count_(vertex_count) {}

    std::uint32_t next(std::uint64_t d) {
        if (d > mark_) {
            throw Error::malformed(msg::kDeltaPastMark);
        }
        const std::uint32_t index = mark_ - static_cast<std::uint32_t>(d);
        if (index >= vertex_count_) {
            throw Error::malformed(msg::kIndexRange);
        }
        mark_ += d == 0 ? 1 : 0;  // cannot wrap: mark_ < vertex_count_ here
        return index;
    }

private:
    std::uint32_t vertex_count_;
    std::uint32_t mark_ = 0;  // distinct vertices introduced so far
};

}  // namespace

std::vector<Triangle> triangles_from_deltas(std::span<const std::uint64_t> deltas, std::uint32_t triangle_count,
                                            std::uint32_t vertex_count) {
    // Whole triangles whose deltas are present; a shortfall is reported when
    // the decoding reaches it.
    const std::size_t complete = std::min<std::size_t>(triangle_count, deltas.size() / 3);
    std::vector<Triangle> triangles(complete);
    HighWater decoder(vertex_count);
    const std::uint64_t* d = deltas.data();
    for (std::size_t t = 0; t < complete; ++t, d += 3) {
        triangles[t] = Triangle{decoder.next(d[0]), decoder.next(d[1]), decoder.next(d[2])};
    }
    if (complete < triangle_count) {
        for (std::size_t c = 3 * complete; c < deltas.size(); ++c) {
            static_cast<void>(decoder.next(deltas[c]));
        }
        throw Error::malformed(msg::kShortOfDeltas);
    }
    return triangles;
}

std::vector<Triangle> read_high_water(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count) {
    // The deltas form one blocked value stream of 3m values. Rather than
    // materialise it, walk its block widths first, which settles every
    // outcome of reading the stream (end of payload, payload length), and
    // then decode the values straight into triangles.
    const std::uint64_t count = 3 * std::uint64_t{triangle_count};
    const std::uint32_t length = cursor.read_u32();
    const std::span<const std::uint8_t> payload = read_payload(cursor, length);
    {
        BitReader layout(payload);
        for (std::uint64_t remaining = count; remaining > 0;) {
            const std::uint64_t n = std::min<std::uint64_t>(remaining, kStreamBlockValues);
            layout.skip_bits(n * layout.read_bits(kStreamWidthBits));
            remaining -= n;
        }
        expect_payload_end(layout);
    }

    // A valid block has at most vertex_count new-vertex corners (delta 0) and
    // at most one back-reference per payload bit, so no valid stream needs
    // more triangles than this; one that claims more fails before filling it.
    const std::uint64_t supported = (std::uint64_t{vertex_count} + 8 * std::uint64_t{length}) / 3 + 1;
    std::vector<Triangle> triangles(static_cast<std::size_t>(std::min<std::uint64_t>(triangle_count, supported)));
    HighWater decoder(vertex_count);
    BitReader reader(payload);
    std::uint64_t deltas[kStreamBlockValues];
    std::uint32_t corners[kStreamBlockValues];
    std::uint64_t done = 0;  // corners stored so far
    for (std::uint64_t remaining = count; remaining > 0;) {
        const auto n = static_cast<unsigned>(std::min<std::uint64_t>(remaining, kStreamBlockValues));
        const auto width = static_cast<unsigned>(reader.read_bits(kStreamWidthBits));
        for (unsigned i = 0; i < n; ++i) {
            deltas[i] = reader.read_bits(width);
        }
        for (unsigned i = 0; i < n; ++i) {
            corners[i] = decoder.next(deltas[i]);
        }
        if (3 * triangles.size() < done + n) {
            triangles.resize(static_cast<std::size_t>((done + n + 2) / 3));  // not reached, see above
        }
        // Triangles are three packed u32s; store the block's corners in order.
        std::memcpy(reinterpret_cast<unsigned char*>(triangles.data()) + done * sizeof(std::uint32_t), corners,
                    n * sizeof(std::uint32_t));
        done += n;
        remaining -= n;
    }
    return triangles;
}

}  // namespace vantle
