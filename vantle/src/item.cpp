#include <string>

#include "messages.hpp"
#include "vantle/container.hpp"
#include "vantle/error.hpp"

namespace vantle {

Preamble read_preamble(Cursor& cursor, bool is_polyline) {
    const std::uint8_t flags = cursor.read_u8();
    if (flags >= 8) {
        throw Error::malformed(msg::kUnknownItemFlags);
    }
    if ((flags & kItemClosed) != 0 && !is_polyline) {
        throw Error::malformed(msg::kClosedNotPolyline);
    }
    Preamble preamble;
    preamble.closed = (flags & kItemClosed) != 0;
    // The metadata precedes the name although its flag is the higher bit.
    if ((flags & kItemHasMetadata) != 0) {
        preamble.metadata = read_metadata(cursor);
    }
    if ((flags & kItemHasName) != 0) {
        const std::uint32_t n = cursor.read_u32();
        if (n > kMaxNameLength) {
            throw Error::malformed(msg::kNameTooLong);
        }
        const auto bytes = cursor.read_exact(n);
        if (!is_valid_utf8(bytes)) {
            throw Error::malformed(msg::kNameNotUtf8);
        }
        preamble.name.emplace(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    const std::uint8_t attributes = cursor.read_u8();
    if (attributes != 0) {
        throw Error::unsupported_attributes(attributes);
    }
    return preamble;
}

}  // namespace vantle
