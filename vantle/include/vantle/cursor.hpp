#pragma once
// Read cursor over an in-memory stream. Reads only move forward; a failed
// fixed-size read leaves the cursor at the end of the input.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vantle {

namespace detail {
[[noreturn]] void throw_fill_buffer_error();

inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
    }
    return v;
}
}  // namespace detail

class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> data) noexcept : data_(data) {}

    // Bytes consumed so far.
    std::size_t position() const noexcept { return pos_; }
    std::size_t remaining() const noexcept { return data_.size() - pos_; }
    bool at_end() const noexcept { return pos_ == data_.size(); }
    std::span<const std::uint8_t> data() const noexcept { return data_; }

    std::uint8_t read_u8() { return *take_fixed(1); }
    std::uint16_t read_u16() { return static_cast<std::uint16_t>(read_le(2)); }
    std::uint32_t read_u32() { return static_cast<std::uint32_t>(read_le(4)); }
    std::uint64_t read_u64() { return read_le(8); }
    double read_f64() { return std::bit_cast<double>(read_le(8)); }

    // Exactly n bytes, viewed in place, or Io "failed to fill whole buffer".
    std::span<const std::uint8_t> read_exact(std::size_t n) { return {take_fixed(n), n}; }

    // Up to n bytes: whatever of them the input still holds.
    std::span<const std::uint8_t> read_up_to(std::size_t n) noexcept {
        const std::size_t k = n < remaining() ? n : remaining();
        const std::span<const std::uint8_t> out = data_.subspan(pos_, k);
        pos_ += k;
        return out;
    }

    void skip_to_end() noexcept { pos_ = data_.size(); }

private:
    const std::uint8_t* take_fixed(std::size_t n) {
        if (n > remaining()) {
            pos_ = data_.size();
            detail::throw_fill_buffer_error();
        }
        const std::uint8_t* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }

    std::uint64_t read_le(std::size_t n) {
        const std::uint8_t* p = take_fixed(n);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        }
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace vantle
