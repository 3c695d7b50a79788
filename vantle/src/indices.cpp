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
    std::vector<Triangle> triangles;
    triangles.reserve(std::min<std::size_t>(triangle_count, kValueReserveCap));
    for (std::uint32_t t = 0; t < triangle_count; ++t) {
        Triangle tri;
        for (auto& index : tri) {
            const std::uint64_t v = reader.read_bits(width);
            if (v >= vertex_count) {
                throw Error::malformed(msg::kIndexRange);
            }
            index = static_cast<std::uint32_t>(v);
        }
        triangles.push_back(tri);
    }
    // Holds by construction: the length was computed from the same width.
    expect_payload_end(reader);
    return triangles;
}

std::vector<Triangle> triangles_from_deltas(std::span<const std::uint64_t> deltas, std::uint32_t triangle_count,
                                            std::uint32_t vertex_count) {
    std::vector<Triangle> triangles;
    triangles.reserve(std::min<std::size_t>(triangle_count, kValueReserveCap));
    std::size_t next = 0;
    std::uint32_t high_water = 0;  // distinct vertices introduced so far
    for (std::uint32_t t = 0; t < triangle_count; ++t) {
        Triangle tri;
        for (auto& index : tri) {
            if (next == deltas.size()) {
                throw Error::malformed(msg::kShortOfDeltas);
            }
            const std::uint64_t d = deltas[next++];
            if (d > high_water) {
                throw Error::malformed(msg::kDeltaPastMark);
            }
            const std::uint32_t i = high_water - static_cast<std::uint32_t>(d);
            if (i >= vertex_count) {
                throw Error::malformed(msg::kIndexRange);
            }
            index = i;
            if (d == 0) {
                ++high_water;  // cannot wrap: high_water < vertex_count here
            }
        }
        triangles.push_back(tri);
    }
    return triangles;
}

std::vector<Triangle> read_high_water(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count) {
    const std::vector<std::uint64_t> deltas = read_stream(cursor, 3 * std::uint64_t{triangle_count});
    return triangles_from_deltas(deltas, triangle_count, vertex_count);
}

}  // namespace vantle
