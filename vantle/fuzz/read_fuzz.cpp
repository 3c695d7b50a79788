// libFuzzer harness: read_one_from on arbitrary bytes. Reading may only ever
// throw vantle::Error; whatever it accepts must be a consistent mesh, and
// the writer must carry that mesh back through the reader.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "vantle/vantle.hpp"

namespace {

// Above the 65,536-element reservation cap, so growth past it is exercised,
// yet small enough that a width-0 claim costs milliseconds.
constexpr vantle::Limits kFuzzLimits{1u << 17, 1u << 17};
// Rewriting is slower than reading; small meshes cover its paths.
constexpr std::size_t kMaxRewriteElements = 2048;
constexpr double kRewriteTolerance = 0.01;

[[noreturn]] void fail() { std::abort(); }

// Equal entry by entry, floats by bit pattern (a NaN value comes back as itself).
bool same_metadata(const vantle::Metadata& a, const vantle::Metadata& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || i->second.index() != j->second.index()) {
            return false;
        }
        if (const double* x = std::get_if<double>(&i->second)) {
            if (std::bit_cast<std::uint64_t>(*x) != std::bit_cast<std::uint64_t>(std::get<double>(j->second))) {
                return false;
            }
        } else if (i->second != j->second) {
            return false;
        }
    }
    return true;
}

void rewrite(const vantle::Mesh& mesh) {
    vantle::WriteOptions options;
    options.tolerance = kRewriteTolerance;
    options.index_coding = vantle::IndexCoding::Absolute;  // any vertex order
    options.rotated_partitions = mesh.vertices.size() % 2 == 0;
    std::vector<std::uint8_t> bytes;
    try {
        bytes = vantle::write_mesh(mesh, options);
    } catch (const vantle::Error& e) {
        if (e.kind() != vantle::ErrorKind::ToleranceNotRepresentable) {
            fail();
        }
        return;  // coordinates too large for 0.01 mm
    } catch (const std::invalid_argument&) {
        return;  // e.g. non-finite coordinates from a rotated frame near the binary64 limit
    }
    vantle::Cursor cursor{std::span<const std::uint8_t>(bytes)};
    const vantle::Mesh back = vantle::read_one_from(cursor);
    if (cursor.position() != bytes.size() || back.triangles != mesh.triangles || back.name != mesh.name ||
        !same_metadata(back.metadata, mesh.metadata) || back.vertices.size() != mesh.vertices.size()) {
        fail();
    }
    for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
        const auto& a = mesh.vertices[i];
        const auto& b = back.vertices[i];
        if (!(std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]) <= kRewriteTolerance)) {
            fail();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vantle::Cursor cursor{std::span<const std::uint8_t>(data, size)};
    vantle::Mesh mesh;
    try {
        mesh = vantle::read_one_from(cursor, kFuzzLimits);
    } catch (const vantle::Error& e) {
        if (e.what()[0] == '\0') {
            fail();
        }
        return 0;
    }
    if (cursor.position() > size) {
        fail();
    }
    for (const auto& t : mesh.triangles) {
        for (const std::uint32_t i : t) {
            if (i >= mesh.vertices.size()) {
                fail();
            }
        }
    }
    if (mesh.vertices.size() <= kMaxRewriteElements && mesh.triangles.size() <= kMaxRewriteElements) {
        rewrite(mesh);
    }
    return 0;
}
