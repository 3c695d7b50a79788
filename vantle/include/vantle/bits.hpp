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

// Blocked value stream: groups of 64 values, each group led by a 6-bit width.
inline constexpr unsigned kStreamBlockValues = 64;
inline constexpr unsigned kStreamWidthBits = 6;

// Reads fields LSB-first from a payload. It keeps only the number of bits
// consumed: a field of up to 64 bits is one unaligned 8-byte load (plus one
// byte when it straddles), which gives the same values, the same end-of-file
// point and the same end-of-payload outcome as buffering whole words.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> payload) noexcept
        : data_(payload.data()), size_(payload.size()) {}

    // 0 <= n <= 64 (callers validate widths); Io "unexpected end of file" when
    // fewer than n payload bits remain. n == 0 succeeds even when none remain.
    std::uint64_t read_bits(unsigned n) {
        if (n == 0) {
            return 0;
        }
        if (n > 8 * size_ - consumed_) {
            throw_end_of_file();
        }
        const std::size_t byte = consumed_ >> 3;
        const unsigned shift = static_cast<unsigned>(consumed_ & 7);
        std::uint64_t v;
        if (size_ - byte >= 8) {
            v = detail::load_le64(data_ + byte) >> shift;
            if (n + shift > 64) {  // the ninth byte exists: n bits remain
                v |= static_cast<std::uint64_t>(data_[byte + 8]) << (64 - shift);
            }
        } else {
            v = load_tail(byte) >> shift;
        }
        consumed_ += n;
        return n == 64 ? v : v & ((std::uint64_t{1} << n) - 1);
    }

    // Consumes n bits without looking at them; same failure as read_bits.
    void skip_bits(std::uint64_t n) {
        if (n > 8 * size_ - consumed_) {
            throw_end_of_file();
        }
        consumed_ += n;
    }

    // True when the payload is exactly ceil(T/8) bytes for the T bits consumed.
    bool at_payload_end() const noexcept { return (consumed_ + 7) / 8 == size_; }

    std::uint64_t consumed_bits() const noexcept { return consumed_; }

private:
    // The last 1..7 bytes, zero-extended.
    std::uint64_t load_tail(std::size_t byte) const noexcept {
        std::uint64_t v = 0;
        for (std::size_t i = byte; i < size_; ++i) {
            v |= static_cast<std::uint64_t>(data_[i]) << (8 * (i - byte));
        }
        return v;
    }

    [[noreturn]] static void throw_end_of_file();

    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t consumed_ = 0;
};

// Exactly n bytes of payload, viewed in place (nothing is reserved or copied),
// or Malformed "block payload is shorter than its header declares" with the
// cursor moved to the end.
std::span<const std::uint8_t> read_payload(Cursor& cursor, std::uint64_t n);

// Blocked value stream: u32 length L, then L payload bytes holding `count` values.
std::vector<std::uint64_t> read_stream(Cursor& cursor, std::uint64_t count);

namespace detail {
[[noreturn]] void throw_payload_length_error();
}  // namespace detail

// Malformed "block payload length disagrees with the block header" unless the
// reader has consumed its payload to the last byte. Inline, so that a reader
// in a decoding loop can stay in registers.
inline void expect_payload_end(const BitReader& reader) {
    if (!reader.at_payload_end()) {
        detail::throw_payload_length_error();
    }
}

}  // namespace vantle
