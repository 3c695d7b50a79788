#include "vantle/bits.hpp"

#include "messages.hpp"
#include "vantle/error.hpp"

namespace vantle {

void BitReader::refill() {
    const std::size_t left = payload_.size() - position_;
    if (left >= 8) {
        acc_ |= static_cast<Accumulator>(detail::load_le64(payload_.data() + position_)) << count_;
        count_ += 64;
        position_ += 8;
    } else if (left >= 1) {
        acc_ |= static_cast<Accumulator>(payload_[position_]) << count_;
        count_ += 8;
        position_ += 1;
    } else {
        throw Error::io(kEndOfFileError);
    }
}

void expect_payload_end(const BitReader& reader) {
    if (!reader.at_payload_end()) {
        throw Error::malformed(msg::kPayloadLength);
    }
}

}  // namespace vantle
