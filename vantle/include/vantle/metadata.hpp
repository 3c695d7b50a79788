#pragma once
// Metadata tables: key -> typed value, keys unique and ordered byte-wise.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vantle/cursor.hpp"

namespace vantle {

using Bytes = std::vector<std::uint8_t>;

// Tags 1..5 in order: boolean, integer (64 bits as stored, two's complement),
// float, text, byte string.
using Value = std::variant<bool, std::int64_t, double, std::string, Bytes>;

// std::string compares as unsigned bytes, which is the stored key order.
using Metadata = std::map<std::string, Value>;

// Inclusive length limits (bytes).
inline constexpr std::uint32_t kMaxKeyLength = 65536;
inline constexpr std::uint32_t kMaxValueLength = 16777216;

Metadata read_metadata(Cursor& cursor);

// u32 length, checked against `limit` before anything is read, then that
// many bytes viewed in place. `what` names the field ("metadata key",
// "metadata text", otherwise a byte string) and picks the rejection message.
std::span<const std::uint8_t> read_len_prefixed(Cursor& cursor, std::uint32_t limit, std::string_view what);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace vantle
