#include "vantle/metadata.hpp"

#include <bit>
#include <string>
#include <utility>

#include "messages.hpp"
#include "vantle/error.hpp"

namespace vantle {

namespace {

enum Tag : std::uint8_t {
    kTagBool = 1,
    kTagInteger = 2,
    kTagFloat = 3,
    kTagText = 4,
    kTagBytes = 5,
};

std::string to_text(std::span<const std::uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept {
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint8_t lo = 0x80;  // allowed range of the second byte
        std::uint8_t hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) {
                lo = 0xA0;  // overlong
            } else if (b == 0xED) {
                hi = 0x9F;  // surrogates
            }
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) {
                lo = 0x90;  // overlong
            } else if (b == 0xF4) {
                hi = 0x8F;  // above U+10FFFF
            }
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        if (bytes[i + 1] < lo || bytes[i + 1] > hi) {
            return false;
        }
        for (std::size_t k = 2; k < len; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

std::span<const std::uint8_t> read_len_prefixed(Cursor& cursor, std::uint32_t limit, std::string_view what) {
    const std::uint32_t n = cursor.read_u32();
    if (n > limit) {
        if (what == "metadata text") {
            throw Error::malformed(msg::kTextTooLong);
        }
        if (what == "metadata key") {
            throw Error::malformed(msg::kKeyTooLong);
        }
        throw Error::malformed(msg::kBytesTooLong);
    }
    return cursor.read_exact(n);
}

Metadata read_metadata(Cursor& cursor) {
    const std::uint16_t count = cursor.read_u16();
    Metadata table;
    for (std::uint32_t e = 0; e < count; ++e) {
        const auto key_bytes = read_len_prefixed(cursor, kMaxKeyLength, "metadata key");
        if (!is_valid_utf8(key_bytes)) {
            throw Error::malformed(msg::kKeyNotUtf8);
        }
        const std::uint8_t tag = cursor.read_u8();
        Value value;
        switch (tag) {
            case kTagBool:
                value = cursor.read_u8() != 0;
                break;
            case kTagInteger:
                value = std::bit_cast<std::int64_t>(cursor.read_u64());
                break;
            case kTagFloat:
                value = cursor.read_f64();
                break;
            case kTagText: {
                const auto text = read_len_prefixed(cursor, kMaxValueLength, "metadata text");
                if (!is_valid_utf8(text)) {
                    throw Error::malformed(msg::kTextNotUtf8);
                }
                value = to_text(text);
                break;
            }
            case kTagBytes: {
                const auto raw = read_len_prefixed(cursor, kMaxValueLength, "metadata byte string");
                value = Bytes(raw.begin(), raw.end());
                break;
            }
            default:
                throw Error::malformed(msg::kUnknownValueType);
        }
        // The duplicate test comes after the value has been read.
        if (!table.try_emplace(to_text(key_bytes), std::move(value)).second) {
            throw Error::malformed(msg::kDuplicateKey);
        }
    }
    return table;
}

}  // namespace vantle
