#pragma once
// Umbrella header of the vantle mesh stream codec.
//
// Reading one mesh item (throws vantle::Error only):
//     vantle::Mesh mesh = vantle::read_one_from(std::span<const std::uint8_t>(bytes));
// Writing one (vertices numbered in order of first use for the default
// high-water index coding):
//     vantle::WriteOptions options;
//     options.tolerance = 0.01;
//     auto bytes = vantle::write_mesh(vantle::renumber_by_first_use(mesh), options);

#include "vantle/bits.hpp"
#include "vantle/container.hpp"
#include "vantle/cursor.hpp"
#include "vantle/error.hpp"
#include "vantle/indices.hpp"
#include "vantle/limits.hpp"
#include "vantle/mesh.hpp"
#include "vantle/metadata.hpp"
#include "vantle/points.hpp"
#include "vantle/writer.hpp"
