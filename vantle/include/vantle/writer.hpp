#pragma once
// Writer of mesh streams that read_one_from reads back to the last byte.

#include <cstdint>
#include <vector>

#include "vantle/indices.hpp"
#include "vantle/mesh.hpp"
#include "vantle/metadata.hpp"

namespace vantle {

struct WriteOptions {
    // Largest distance (mm) between an input vertex and its decoded position.
    double tolerance = 0.01;
    // High-water needs vertices numbered in order of first use (renumber_by_first_use).
    IndexCoding index_coding = IndexCoding::HighWater;
    // Let each partition use a fitted rotated frame where that is smaller.
    bool rotated_partitions = false;
    // Written in the container header when not empty.
    Metadata container_metadata;
};

// One mesh item in a mesh container. Throws vantle::Error
// (ToleranceNotRepresentable) when the tolerance cannot be guaranteed (one
// that is not positive and finite included), and std::invalid_argument for an
// index coding outside the enumeration and for meshes the format cannot hold
// (non-finite coordinates, out-of-range indices, oversized names or metadata,
// too many vertices or triangles for the reader's default limits, high-water
// coding of vertices not in order of first use).
std::vector<std::uint8_t> write_mesh(const Mesh& mesh, const WriteOptions& options = {});

// Copy of `mesh` with vertices numbered in order of first use by the triangles
// (corner order) and unused vertices dropped. Throws std::invalid_argument on
// an out-of-range index.
Mesh renumber_by_first_use(const Mesh& mesh);

}  // namespace vantle
