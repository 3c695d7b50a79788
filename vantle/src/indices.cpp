#include "vantle/indices.hpp"

#include <algorithm>

#include "messages.hpp"
#include "vantle/bits.hpp"
#include "vantle/error.hpp"

namespace vantle {

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

std::vector<Triangle> triangles_from_deltas(std::span<const std::uint64_t> deltas, std::uint32_t triangle_count,
                                            std::uint32_t vertex_count) {
    std::vector<Triangle> triangles;
    triangles.reserve(std::min<std::size_t>(triangle_count, kValueReserveCap));
    // Whole triangles whose deltas are all present; any shortfall is reported
    // when the decoding reaches it.
    const std::size_t complete = std::min<std::size_t>(triangle_count, deltas.size() / 3);
    triangles.resize(complete);
    std::uint32_t high_water = 0;  // distinct vertices introduced so far
    const auto decode = [&](std::uint64_t d) {
        if (d > high_water) {
            throw Error::malformed(msg::kDeltaPastMark);
        }
        const std::uint32_t index = high_water - static_cast<std::uint32_t>(d);
        if (index >= vertex_count) {
            throw Error::malformed(msg::kIndexRange);
        }
        high_water += d == 0 ? 1 : 0;  // cannot wrap: high_water < vertex_count here
        return index;
    };
    const std::uint64_t* d = deltas.data();
    for (std::size_t t = 0; t < complete; ++t, d += 3) {
        triangles[t] = Triangle{decode(d[0]), decode(d[1]), decode(d[2])};
    }
    if (complete < triangle_count) {
        for (std::size_t c = 3 * complete; c < deltas.size(); ++c) {
            static_cast<void>(decode(deltas[c]));
        }
        throw Error::malformed(msg::kShortOfDeltas);
    }
    return triangles;
}

std::vector<Triangle> read_high_water(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count) {
    const std::vector<std::uint64_t> deltas = read_stream(cursor, 3 * std::uint64_t{triangle_count});
    return triangles_from_deltas(deltas, triangle_count, vertex_count);
}

}  // namespace vantle
