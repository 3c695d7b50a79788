#pragma once
// Byte-string builder and error matchers shared by the codec tests.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantle/vantle.hpp"

namespace vantle::test {

class ByteString {
public:
    ByteString& u8(unsigned v) {
        bytes_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    ByteString& u16(unsigned v) { return le(v, 2); }
    ByteString& u32(std::uint64_t v) { return le(v, 4); }
    ByteString& u64(std::uint64_t v) { return le(v, 8); }
    ByteString& f64(double v) { return le(std::bit_cast<std::uint64_t>(v), 8); }
    ByteString& raw(std::initializer_list<unsigned> values) {
        for (const unsigned v : values) {
            u8(v);
        }
        return *this;
    }
    ByteString& text(std::string_view s) {
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return *this;
    }
    ByteString& fill(std::size_t n, std::uint8_t v) {
        bytes_.insert(bytes_.end(), n, v);
        return *this;
    }
    ByteString& append(const std::vector<std::uint8_t>& more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }

    // Container header: magic, version 2, kind, no compression, flags, item count.
    ByteString& header(unsigned kind = 1, unsigned flags = 0, std::uint32_t items = 1) {
        return text("VNTL").raw({2, kind, 0, flags}).u32(items);
    }

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    operator const std::vector<std::uint8_t>&() const { return bytes_; }
    operator std::span<const std::uint8_t>() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    ByteString& le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

// Runs `f`, which must throw vantle::Error with this display text.
template <class F>
::testing::AssertionResult fails_with(F&& f, std::string_view text) {
    try {
        f();
    } catch (const Error& e) {
        if (e.what() == text) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "error text was \"" << e.what() << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw a non-vantle exception: " << e.what();
    }
    return ::testing::AssertionFailure() << "did not throw";
}

inline std::string malformed(std::string_view message) {
    return "malformed vantle stream: " + std::string(message);
}

inline constexpr std::string_view kFillText = "io error: failed to fill whole buffer";
inline constexpr std::string_view kEofText = "io error: unexpected end of file";

}  // namespace vantle::test
