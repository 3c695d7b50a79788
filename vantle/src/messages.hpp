#pragma once
// The Malformed messages of the reader, one place for all of them.

#include <string_view>

namespace vantle::msg {

// Container, item and metadata.
inline constexpr std::string_view kUnknownKind = "unknown container kind";
inline constexpr std::string_view kUnknownFileFlags = "file sets unknown flag bits";
inline constexpr std::string_view kKindMismatch = "container holds a different kind than requested";
inline constexpr std::string_view kUnknownItemFlags = "item sets unknown flag bits";
inline constexpr std::string_view kClosedNotPolyline = "item sets the closed flag, which only applies to polylines";
inline constexpr std::string_view kNameTooLong = "item name length is implausible";
inline constexpr std::string_view kNameNotUtf8 = "item name is not valid UTF-8";
inline constexpr std::string_view kKeyTooLong = "metadata key length is implausible";
inline constexpr std::string_view kKeyNotUtf8 = "metadata key is not valid UTF-8";
inline constexpr std::string_view kUnknownValueType = "unknown metadata value type";
inline constexpr std::string_view kTextTooLong = "metadata text length is implausible";
inline constexpr std::string_view kTextNotUtf8 = "metadata text is not valid UTF-8";
inline constexpr std::string_view kBytesTooLong = "metadata byte string length is implausible";
inline constexpr std::string_view kDuplicateKey = "metadata contains a duplicate key";

// Payloads.
inline constexpr std::string_view kPayloadShort = "block payload is shorter than its header declares";
inline constexpr std::string_view kPayloadLength = "block payload length disagrees with the block header";

// Points.
inline constexpr std::string_view kDimension = "point block was written at a different dimension than requested";
inline constexpr std::string_view kAnchorBox = "point block has an invalid anchor box";
inline constexpr std::string_view kAnchorWidth = "point block declares an impossible anchor width";
inline constexpr std::string_view kEmptyPartition = "point block holds an empty partition";
inline constexpr std::string_view kTransform = "point block carries a transform this version does not define";
inline constexpr std::string_view kBitWidth = "point block declares an impossible bit width";
inline constexpr std::string_view kInvertedBox = "partition has an inverted box";
inline constexpr std::string_view kTooManyPoints = "point block holds more points than the reader accepts";

// Indices and the mesh item.
inline constexpr std::string_view kArity = "index block was written at a different arity than requested";
inline constexpr std::string_view kCodingMode = "index block declares a coding mode this version does not know";
inline constexpr std::string_view kIndexWidth = "index block declares a width wider than a u32";
inline constexpr std::string_view kIndexRange = "simplex refers to an index at or beyond the item count";
inline constexpr std::string_view kDeltaPastMark = "index delta reaches back past the high water mark";
inline constexpr std::string_view kShortOfDeltas = "index block is short of deltas";
inline constexpr std::string_view kVertexCount = "mesh holds more vertices than a u32 can index";
inline constexpr std::string_view kTooManyTriangles = "index block holds more triangles than the reader accepts";

}  // namespace vantle::msg
