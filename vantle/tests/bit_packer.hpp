#pragma once
// Bit-by-bit reference packer for building test payloads, independent of the
// library's own writer.

#include <cstdint>
#include <vector>

namespace vantle::test {

class BitPacker {
public:
    BitPacker& put(std::uint64_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i) {
            if (bits_ % 8 == 0) {
                bytes_.push_back(0);
            }
            if ((value >> i) & 1u) {
                bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (1u << (bits_ % 8)));
            }
            ++bits_;
        }
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::uint64_t bit_count() const { return bits_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t bits_ = 0;
};

}  // namespace vantle::test
