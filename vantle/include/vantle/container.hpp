#pragma once
// Container header and item preamble.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "vantle/cursor.hpp"
#include "vantle/metadata.hpp"

namespace vantle {

// Container kinds 1..5. Only meshes are read by this project; Polyline is the
// one kind whose items may set the closed flag.
enum class Kind : std::uint8_t {
    Mesh = 1,
    Polyline = 2,
    PointCloud = 3,
    LineSet = 4,
    Graph = 5,
};

inline constexpr std::array<std::uint8_t, 4> kMagic{'V', 'N', 'T', 'L'};
inline constexpr std::uint8_t kFormatVersion = 2;
inline constexpr std::uint8_t kNoCompression = 0;
inline constexpr std::uint32_t kMaxNameLength = 65536;  // bytes, inclusive

// Container flag bit 0; item flag bits 0..2.
inline constexpr std::uint8_t kContainerHasMetadata = 0x01;
inline constexpr std::uint8_t kItemClosed = 0x01;
inline constexpr std::uint8_t kItemHasName = 0x02;
inline constexpr std::uint8_t kItemHasMetadata = 0x04;

struct Header {
    Metadata metadata;  // empty when absent
    std::uint32_t item_count = 0;
    std::uint8_t version = kFormatVersion;
    Kind kind = Kind::Mesh;
};

struct Preamble {
    bool closed = false;
    std::optional<std::string> name;
    Metadata metadata;  // empty when absent
};

// Reads the header and container metadata; the item count is returned, not checked.
Header read_header(Cursor& cursor, Kind requested);

// `is_polyline` says whether the closed flag is allowed.
Preamble read_preamble(Cursor& cursor, bool is_polyline);

}  // namespace vantle
