// Writes a small seed corpus for the reader fuzzer, all produced by our writer.
// Usage: make_seeds DIR

#include <cmath>
#include <cstdio>
#include <string>

#include "vantle/vantle.hpp"

namespace {

void save(const std::string& dir, const std::string& name, const vantle::Mesh& mesh,
          const vantle::WriteOptions& options = {}) {
    const std::vector<std::uint8_t> bytes = vantle::write_mesh(mesh, options);
    const std::string path = dir + "/" + name + ".vntl";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

vantle::Mesh tetrahedron() {
    vantle::Mesh m;
    m.vertices = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}};
    m.triangles = {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}};
    return m;
}

// A strip of quads bent around z, in order of first use.
vantle::Mesh band(int quads, double radius, double slant) {
    vantle::Mesh m;
    for (int i = 0; i <= quads; ++i) {
        const double a = 0.15 * i;
        for (int k = 0; k < 2; ++k) {
            m.vertices.push_back({radius * std::cos(a) + slant * k, radius * std::sin(a), 7.5 * k + slant * i});
        }
    }
    for (int i = 0; i < quads; ++i) {
        const auto v = static_cast<std::uint32_t>(2 * i);
        m.triangles.push_back({v, v + 1, v + 2});
        m.triangles.push_back({v + 2, v + 1, v + 3});
    }
    return vantle::renumber_by_first_use(m);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    save(dir, "tetrahedron", tetrahedron());
    save(dir, "empty", vantle::Mesh{});

    vantle::Mesh named = tetrahedron();
    named.name = "flange";
    // clang-format off
    named.metadata = {{"unit", std::string("mm")}, {"lod", std::int64_t{1}}, {"ok", true}, {"s", 0.5},
                      {"raw", vantle::Bytes{0, 1, 2}}};
    // clang-format on
    vantle::WriteOptions with_container;
    with_container.container_metadata = {{"tool", std::string("make_seeds")}};
    save(dir, "named", named, with_container);

    vantle::WriteOptions absolute;
    absolute.index_coding = vantle::IndexCoding::Absolute;
    save(dir, "absolute", band(12, 40, 0), absolute);

    vantle::WriteOptions rotated;
    rotated.rotated_partitions = true;
    save(dir, "rotated", band(30, 60, 3.5), rotated);

    vantle::WriteOptions coarse;
    coarse.tolerance = 0.5;
    save(dir, "coarse", band(60, 200, 1), coarse);

    vantle::Mesh cloud;
    cloud.vertices = {{1, 2, 3}, {1, 2, 3}, {-4, 5, 0.25}};
    save(dir, "points_only", cloud);
    return 0;
}
