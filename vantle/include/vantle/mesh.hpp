#pragma once
// One mesh item read from a complete stream.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vantle/cursor.hpp"
#include "vantle/indices.hpp"
#include "vantle/limits.hpp"
#include "vantle/metadata.hpp"
#include "vantle/points.hpp"

namespace vantle {

struct Mesh {
    std::vector<std::array<double, 3>> vertices;
    std::vector<std::array<std::uint32_t, 3>> triangles;
    std::optional<std::string> name;
    Metadata metadata;  // item metadata; container metadata is validated, not kept

    friend bool operator==(const Mesh&, const Mesh&) = default;
};

// Header (mesh kind, exactly one item), preamble, point block, index block.
// The cursor is left after the index block; later bytes are not looked at.
Mesh read_one_from(Cursor& cursor, const Limits& limits = {});

// Same, from the start of `stream`.
Mesh read_one_from(std::span<const std::uint8_t> stream, const Limits& limits = {});

}  // namespace vantle
