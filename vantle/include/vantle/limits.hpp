#pragma once
// Output caps of the reader. Fields of width 0 take no bits, so without a cap
// a stream of a hundred bytes could claim billions of points or triangles;
// these bound what any stream can make the reader produce.

#include <cstdint>

namespace vantle {

inline constexpr std::uint32_t kDefaultMaxPoints = 1u << 24;
inline constexpr std::uint32_t kDefaultMaxTriangles = 1u << 24;

struct Limits {
    std::uint32_t max_points = kDefaultMaxPoints;        // per point block
    std::uint32_t max_triangles = kDefaultMaxTriangles;  // per index block
};

}  // namespace vantle
