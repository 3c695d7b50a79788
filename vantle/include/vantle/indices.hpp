#pragma once
// Index block: triangles as vertex-index triples, absolute or high-water coded.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vantle/cursor.hpp"
#include "vantle/limits.hpp"

namespace vantle {

using Triangle = std::array<std::uint32_t, 3>;

enum class IndexCoding : std::uint8_t {
    Absolute = 0,   // every index in one fixed width
    HighWater = 1,  // distances back from the count of vertices seen so far
};

inline constexpr std::uint8_t kTriangleArity = 3;
inline constexpr unsigned kMaxIndexBits = 32;

std::vector<Triangle> read_indices(Cursor& cursor, std::uint32_t vertex_count, const Limits& limits = {});

// The two codings, after the mode byte.
std::vector<Triangle> read_absolute(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count);
std::vector<Triangle> read_high_water(Cursor& cursor, std::uint32_t triangle_count, std::uint32_t vertex_count);

// High-water decoding of already-read deltas (3 per triangle).
std::vector<Triangle> triangles_from_deltas(std::span<const std::uint64_t> deltas, std::uint32_t triangle_count,
                                            std::uint32_t vertex_count);

}  // namespace vantle
