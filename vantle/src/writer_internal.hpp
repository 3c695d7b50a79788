#pragma once
// Pieces shared by the writer's units.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vantle/indices.hpp"
#include "vantle/metadata.hpp"
#include "vantle/points.hpp"

namespace vantle::detail {

inline void put_u8(std::vector<std::uint8_t>& out, unsigned v) { out.push_back(static_cast<std::uint8_t>(v)); }

inline void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

inline void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) { put_le(out, v, 2); }
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) { put_le(out, v, 4); }
inline void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) { put_le(out, v, 8); }
inline void put_f64(std::vector<std::uint8_t>& out, double v) { put_le(out, std::bit_cast<std::uint64_t>(v), 8); }

// LSB-first bit packing, the mirror of BitReader.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) noexcept : out_(out) {}

    // Requires n <= 64 and value < 2^n.
    void put(std::uint64_t value, unsigned n) {
        while (n > 0) {
            const unsigned take = std::min(n, 56u);  // fewer than 8 bits are pending
            acc_ |= (value & ((std::uint64_t{1} << take) - 1)) << count_;
            count_ += take;
            value >>= take;
            n -= take;
            while (count_ >= 8) {
                out_.push_back(static_cast<std::uint8_t>(acc_));
                acc_ >>= 8;
                count_ -= 8;
            }
        }
    }

    // Pads the last byte with zero bits.
    void finish() {
        if (count_ > 0) {
            out_.push_back(static_cast<std::uint8_t>(acc_));
            acc_ = 0;
            count_ = 0;
        }
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint64_t acc_ = 0;
    unsigned count_ = 0;
};

// quantize.cpp
// Smallest width whose quantisation step span / (2^bits - 1) is at most
// max_step; 0 when the base alone is within half a step of every value,
// 54 when even 53 bits are not enough.
unsigned bits_for_step(double span, double max_step) noexcept;
// A code whose dequantised value is nearest `value` among the neighbours of
// the rounded estimate.
std::uint64_t nearest_code(const Quantizer& q, double value) noexcept;

// partition.cpp
struct Range {
    std::size_t begin;
    std::size_t end;
};
struct PartitionCost {
    double max_step = 0.0;          // point quantisation step that meets the tolerance
    std::array<double, 3> slack{};  // expected widening of a box by the corner grid, per axis
    std::uint64_t fixed_bits = 0;   // header and corner bits of one partition
    double bits(const Box& box, std::size_t n) const noexcept;
};
// Contiguous runs of points, chosen to make the block small.
std::vector<Range> plan_partitions(std::span<const Point> points, const PartitionCost& cost);

// fit.cpp
// Rotation code whose frame follows the principal axes of the points.
std::uint64_t fit_rotation_code(std::span<const Point> points) noexcept;

// point_writer.cpp
void write_point_block(std::vector<std::uint8_t>& out, std::span<const Point> points, double tolerance,
                       bool allow_rotation);

// index_writer.cpp
void write_index_block(std::vector<std::uint8_t>& out, std::span<const Triangle> triangles,
                       std::uint32_t vertex_count, IndexCoding coding);
void write_stream(std::vector<std::uint8_t>& out, std::span<const std::uint64_t> values);

// writer.cpp
void write_metadata(std::vector<std::uint8_t>& out, const Metadata& table);

}  // namespace vantle::detail
