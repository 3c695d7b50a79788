#include <algorithm>

#include "messages.hpp"
#include "vantle/bits.hpp"
#include "vantle/error.hpp"

namespace vantle {

namespace {
constexpr unsigned kBlockValues = 64;
constexpr unsigned kBlockWidthBits = 6;
}  // namespace

std::span<const std::uint8_t> read_payload(Cursor& cursor, std::uint64_t n) {
    // The payload is viewed in place, so a declared length reserves nothing.
    if (n > cursor.remaining()) {
        cursor.skip_to_end();
        throw Error::malformed(msg::kPayloadShort);
    }
    return cursor.read_up_to(static_cast<std::size_t>(n));
}

std::vector<std::uint64_t> read_stream(Cursor& cursor, std::uint64_t count) {
    const std::uint32_t length = cursor.read_u32();
    BitReader reader(read_payload(cursor, length));
    std::vector<std::uint64_t> values;
    values.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kValueReserveCap)));
    // Every block reads its 6-bit width, so the payload bounds the loop.
    for (std::uint64_t remaining = count; remaining > 0;) {
        const unsigned n = static_cast<unsigned>(std::min<std::uint64_t>(remaining, kBlockValues));
        const unsigned width = static_cast<unsigned>(reader.read_bits(kBlockWidthBits));
        if (width == 0) {
            values.insert(values.end(), n, std::uint64_t{0});
        } else {
            for (unsigned i = 0; i < n; ++i) {
                values.push_back(reader.read_bits(width));
            }
        }
        remaining -= n;
    }
    expect_payload_end(reader);
    return values;
}

}  // namespace vantle
