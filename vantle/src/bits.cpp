#include "vantle/bits.hpp"

#include "messages.hpp"
#include "vantle/error.hpp"

namespace vantle {

void BitReader::throw_end_of_file() { throw Error::io(kEndOfFileError); }

namespace detail {
void throw_payload_length_error() { throw Error::malformed(msg::kPayloadLength); }
}  // namespace detail

}  // namespace vantle
