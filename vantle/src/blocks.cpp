#include <algorithm>

#include "messages.hpp"
#include "vantle/bits.hpp"
#include "vantle/error.hpp"

namespace vantle {

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
    // Up front at most 65,536 values, or as many as the payload, now present,
    // can hold at one bit each; zero-width blocks beyond that grow the list.
    const std::uint64_t supported = std::max<std::uint64_t>(kValueReserveCap, 8 * std::uint64_t{length});
    values.reserve(static_cast<std::size_t>(std::min(count, supported)));
    // Every block reads its 6-bit width, so the payload bounds the loop.
    for (std::uint64_t remaining = count; remaining > 0;) {
        const unsigned n = static_cast<unsigned>(std::min<std::uint64_t>(remaining, kStreamBlockValues));
        const unsigned width = static_cast<unsigned>(reader.read_bits(kStreamWidthBits));
        const std::size_t start = values.size();
        values.resize(start + n);  // zeros, for width 0
        if (width != 0) {
            std::uint64_t* dst = values.data() + start;
            for (unsigned i = 0; i < n; ++i) {
                dst[i] = reader.read_bits(width);
            }
        }
        remaining -= n;
    }
    expect_payload_end(reader);
    return values;
}

}  // namespace vantle
