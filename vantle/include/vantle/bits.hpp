#pragma once
// Bit-packed payloads: LSB-first fields of 0..64 bits, and the blocked value
// stream (groups of 64 values sharing one 6-bit width).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vantle/cursor.hpp"

namespace vantle {

// Reservation caps: declared lengths are trusted only this far up front.
inline constexpr std::size_t kPayloadReserveCap = 67108864;  // bytes (64 MiB)
inline constexpr std::size_t kValueReserveCap = 65536;       // values, points or triangles

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> payload) noexcept : payload_(payload) {}

    // 0 <= n <= 64 (callers validate widths); Io "unexpected end of file" when
    // the payload runs out. n == 0 succeeds even on an exhausted payload.
    std::uint64_t read_bits(unsigned n) {
        if (n == 0) {
            return 0;
        }
        while (count_ < n) {
            refill();
        }
        const std::uint64_t low = static_cast<std::uint64_t>(acc_);
        const std::uint64_t value = n == 64 ? low : low & ((std::uint64_t{1} << n) - 1);
        acc_ >>= n;
        count_ -= n;
        return value;
    }

    // The payload is exactly ceil(T/8) bytes for the T bits consumed so far.
    bool at_payload_end() const noexcept { return count_ < 8 && position_ == payload_.size(); }

    std::size_t position() const noexcept { return position_; }
    unsigned buffered_bits() const noexcept { return count_; }

private:
    __extension__ typedef unsigned __int128 Accumulator;

    // Loads 8 bytes while 8 remain, else 1; Io "unexpected end of file" when none do.
    void refill();

    std::span<const std::uint8_t> payload_;
    std::size_t position_ = 0;  // next payload byte not yet loaded
    Accumulator acc_ = 0;       // loaded bits not yet consumed, next bit in bit 0
    unsigned count_ = 0;        // valid bits in acc_, 0..127
};

// Exactly n bytes of payload, viewed in place (nothing is reserved or copied),
// or Malformed "block payload is shorter than its header declares" with the
// cursor moved to the end.
std::span<const std::uint8_t> read_payload(Cursor& cursor, std::uint64_t n);

// Blocked value stream: u32 length L, then L payload bytes holding `count` values.
std::vector<std::uint64_t> read_stream(Cursor& cursor, std::uint64_t count);

// Malformed "block payload length disagrees with the block header" unless the
// reader has consumed its payload to the last byte.
void expect_payload_end(const BitReader& reader);

}  // namespace vantle
