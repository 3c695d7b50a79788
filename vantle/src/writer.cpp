// Mesh stream writer: container header, item preamble, blocks.

#include "vantle/writer.hpp"

#include <stdexcept>
#include <string>

#include "vantle/container.hpp"
#include "writer_internal.hpp"

namespace vantle {

namespace detail {

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void put_text(std::vector<std::uint8_t>& out, const std::string& s, std::uint32_t limit, const char* what) {
    if (s.size() > limit) {
        throw std::invalid_argument(std::string("vantle writer: ") + what + " is too long");
    }
    if (!is_valid_utf8(bytes_of(s))) {
        throw std::invalid_argument(std::string("vantle writer: ") + what + " is not valid UTF-8");
    }
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

void write_metadata(std::vector<std::uint8_t>& out, const Metadata& table) {
    if (table.size() > 0xFFFF) {
        throw std::invalid_argument("vantle writer: a metadata table holds at most 65535 entries");
    }
    put_u16(out, static_cast<std::uint16_t>(table.size()));
    for (const auto& [key, value] : table) {
        put_text(out, key, kMaxKeyLength, "metadata key");
        put_u8(out, static_cast<unsigned>(value.index() + 1));  // tags 1..5 follow the variant order
        if (const bool* b = std::get_if<bool>(&value)) {
            put_u8(out, *b ? 1 : 0);
        } else if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
            put_u64(out, static_cast<std::uint64_t>(*i));
        } else if (const double* f = std::get_if<double>(&value)) {
            put_f64(out, *f);
        } else if (const std::string* s = std::get_if<std::string>(&value)) {
            put_text(out, *s, kMaxValueLength, "metadata text");
        } else {
            const Bytes& raw = std::get<Bytes>(value);
            if (raw.size() > kMaxValueLength) {
                throw std::invalid_argument("vantle writer: metadata byte string is too long");
            }
            put_u32(out, static_cast<std::uint32_t>(raw.size()));
            out.insert(out.end(), raw.begin(), raw.end());
        }
    }
}

}  // namespace detail

std::vector<std::uint8_t> write_mesh(const Mesh& mesh, const WriteOptions& options) {
    using namespace detail;
    if (mesh.vertices.size() > kDefaultMaxPoints || mesh.triangles.size() > kDefaultMaxTriangles) {
        throw std::invalid_argument("vantle writer: the mesh has more vertices or triangles than a reader accepts");
    }
    if (options.index_coding != IndexCoding::Absolute && options.index_coding != IndexCoding::HighWater) {
        throw std::invalid_argument("vantle writer: the index coding is neither Absolute nor HighWater");
    }
    const auto vertex_count = static_cast<std::uint32_t>(mesh.vertices.size());
    for (const Triangle& t : mesh.triangles) {
        for (const std::uint32_t i : t) {
            if (i >= vertex_count) {
                throw std::invalid_argument("vantle writer: a triangle refers to a vertex that does not exist");
            }
        }
    }

    std::vector<std::uint8_t> out;
    out.reserve(64 + 8 * mesh.vertices.size() + 4 * mesh.triangles.size());
    for (const std::uint8_t b : kMagic) {
        put_u8(out, b);
    }
    put_u8(out, kFormatVersion);
    put_u8(out, static_cast<unsigned>(Kind::Mesh));
    put_u8(out, kNoCompression);
    put_u8(out, options.container_metadata.empty() ? 0 : kContainerHasMetadata);
    put_u32(out, 1);
    if (!options.container_metadata.empty()) {
        write_metadata(out, options.container_metadata);
    }

    unsigned flags = 0;
    flags |= mesh.name ? kItemHasName : 0;
    flags |= mesh.metadata.empty() ? 0 : kItemHasMetadata;
    put_u8(out, flags);
    if (!mesh.metadata.empty()) {
        write_metadata(out, mesh.metadata);
    }
    if (mesh.name) {
        put_text(out, *mesh.name, kMaxNameLength, "item name");
    }
    put_u8(out, 0);  // no attribute blocks

    write_point_block(out, mesh.vertices, options.tolerance, options.rotated_partitions);
    write_index_block(out, mesh.triangles, vertex_count, options.index_coding);
    return out;
}

}  // namespace vantle
