#include "vantle/container.hpp"

#include <algorithm>

#include "messages.hpp"
#include "vantle/error.hpp"

namespace vantle {

Header read_header(Cursor& cursor, Kind requested) {
    const auto magic = cursor.read_exact(kMagic.size());
    if (!std::equal(magic.begin(), magic.end(), kMagic.begin())) {
        throw Error::bad_magic();
    }
    const std::uint8_t version = cursor.read_u8();
    if (version != kFormatVersion) {
        throw Error::unsupported_version(version);
    }
    const std::uint8_t kind = cursor.read_u8();
    if (kind < 1 || kind > 5) {
        throw Error::malformed(msg::kUnknownKind);
    }
    const std::uint8_t compression = cursor.read_u8();
    if (compression != kNoCompression) {
        throw Error::unsupported_compression(compression);
    }
    const std::uint8_t flags = cursor.read_u8();
    if (flags > kContainerHasMetadata) {
        throw Error::malformed(msg::kUnknownFileFlags);
    }
    Header header;
    header.item_count = cursor.read_u32();
    if ((flags & kContainerHasMetadata) != 0) {
        header.metadata = read_metadata(cursor);
    }
    header.version = version;
    header.kind = static_cast<Kind>(kind);
    // After the metadata, so that a fault inside it is the one reported.
    if (header.kind != requested) {
        throw Error::malformed(msg::kKindMismatch);
    }
    return header;
}

}  // namespace vantle
