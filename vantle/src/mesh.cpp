#include "vantle/mesh.hpp"

#include <utility>

#include "messages.hpp"
#include "vantle/container.hpp"
#include "vantle/error.hpp"

namespace vantle {

Mesh read_one_from(Cursor& cursor, const Limits& limits) {
    const Header header = read_header(cursor, Kind::Mesh);
    if (header.item_count != 1) {
        throw Error::not_a_single_item(header.item_count);
    }
    Preamble preamble = read_preamble(cursor, false);
    Mesh mesh;
    mesh.vertices = read_points(cursor, limits);
    // read_points already stops at this count; kept so the bound is visible here.
    if (mesh.vertices.size() > 0xFFFFFFFFu) {
        throw Error::malformed(msg::kVertexCount);
    }
    mesh.triangles = read_indices(cursor, static_cast<std::uint32_t>(mesh.vertices.size()), limits);
    mesh.name = std::move(preamble.name);
    mesh.metadata = std::move(preamble.metadata);
    return mesh;
}

Mesh read_one_from(std::span<const std::uint8_t> stream, const Limits& limits) {
    Cursor cursor(stream);
    return read_one_from(cursor, limits);
}

}  // namespace vantle
