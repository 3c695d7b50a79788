#include <limits>
#include <stdexcept>

#include "vantle/writer.hpp"

namespace vantle {

Mesh renumber_by_first_use(const Mesh& mesh) {
    constexpr std::uint32_t kUnseen = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> new_index(mesh.vertices.size(), kUnseen);
    Mesh out;
    out.name = mesh.name;
    out.metadata = mesh.metadata;
    out.triangles.reserve(mesh.triangles.size());
    for (const Triangle& t : mesh.triangles) {
        Triangle mapped;
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t old = t[c];
            if (old >= mesh.vertices.size()) {
                throw std::invalid_argument("vantle: a triangle refers to a vertex that does not exist");
            }
            if (new_index[old] == kUnseen) {
                new_index[old] = static_cast<std::uint32_t>(out.vertices.size());
                out.vertices.push_back(mesh.vertices[old]);
            }
            mapped[c] = new_index[old];
        }
        out.triangles.push_back(mapped);
    }
    return out;
}

}  // namespace vantle
