// Writes one authored mesh as an embedded-asset stream and proves that it reads back.
//
//   write_vntl <mesh.raw> <out.vntl> <decoded.raw> [tolerance_mm]
//
// A raw mesh is little-endian: u32 vertex count n, u32 triangle count m, n·3 f64, m·3 u32.
// The stream holds one mesh item with no names or metadata, high-water index coding and
// vertices numbered in order of first use. The stream is then decoded; the tool fails unless
// every byte is consumed, the triangles come back unchanged and every vertex lies within the
// tolerance of its authored position. The decoded mesh is written to <decoded.raw> so that the
// generator checks what the module will actually load.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <vantle/vantle.hpp>

namespace {

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(std::string("cannot open ") + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const char* path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error(std::string("cannot write ") + path);
    }
}

std::uint64_t read_le(const std::vector<std::uint8_t>& bytes, std::size_t& at, std::size_t size) {
    if (at + size > bytes.size()) {
        throw std::runtime_error("raw mesh is truncated");
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    }
    at += size;
    return value;
}

void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

vantle::Mesh parse_raw(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    const auto vertex_count = read_le(bytes, at, 4);
    const auto triangle_count = read_le(bytes, at, 4);
    if (bytes.size() != 8 + 24 * vertex_count + 12 * triangle_count) {
        throw std::runtime_error("raw mesh size does not match its counts");
    }
    vantle::Mesh mesh;
    mesh.vertices.resize(vertex_count);
    for (auto& vertex : mesh.vertices) {
        for (double& coordinate : vertex) {
            coordinate = std::bit_cast<double>(read_le(bytes, at, 8));
        }
    }
    mesh.triangles.resize(triangle_count);
    for (auto& triangle : mesh.triangles) {
        for (std::uint32_t& corner : triangle) {
            corner = static_cast<std::uint32_t>(read_le(bytes, at, 4));
        }
    }
    return mesh;
}

std::vector<std::uint8_t> to_raw(const vantle::Mesh& mesh) {
    std::vector<std::uint8_t> out;
    put_le(out, mesh.vertices.size(), 4);
    put_le(out, mesh.triangles.size(), 4);
    for (const auto& vertex : mesh.vertices) {
        for (const double coordinate : vertex) {
            put_le(out, std::bit_cast<std::uint64_t>(coordinate), 8);
        }
    }
    for (const auto& triangle : mesh.triangles) {
        for (const std::uint32_t corner : triangle) {
            put_le(out, corner, 4);
        }
    }
    return out;
}

int run(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s <mesh.raw> <out.vntl> <decoded.raw> [tolerance_mm]\n", argv[0]);
        return 2;
    }
    const double tolerance = argc == 5 ? std::stod(argv[4]) : 0.01;
    const vantle::Mesh authored = vantle::renumber_by_first_use(parse_raw(read_file(argv[1])));

    vantle::WriteOptions options;
    options.tolerance = tolerance;
    options.index_coding = vantle::IndexCoding::HighWater;
    options.rotated_partitions = false;
    const std::vector<std::uint8_t> stream = vantle::write_mesh(authored, options);

    vantle::Cursor cursor(stream);
    const vantle::Mesh decoded = vantle::read_one_from(cursor);
    if (!cursor.at_end()) {
        throw std::runtime_error("the stream has bytes after its mesh item");
    }
    if (decoded.triangles != authored.triangles || decoded.vertices.size() != authored.vertices.size()) {
        throw std::runtime_error("the decoded triangles differ from the authored ones");
    }
    if (decoded.name || !decoded.metadata.empty()) {
        throw std::runtime_error("the decoded item carries a name or metadata");
    }
    double worst = 0.0;
    for (std::size_t i = 0; i < authored.vertices.size(); ++i) {
        const auto& a = authored.vertices[i];
        const auto& b = decoded.vertices[i];
        worst = std::fmax(worst, std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]));
    }
    if (!(worst <= tolerance)) {
        throw std::runtime_error("a decoded vertex moved by " + std::to_string(worst) + " mm");
    }
    write_file(argv[2], stream);
    write_file(argv[3], to_raw(decoded));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "write_vntl: %s\n", error.what());
        return 1;
    }
}
