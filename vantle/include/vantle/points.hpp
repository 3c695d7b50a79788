#pragma once
// Point block: quantised positions in partitions, each partition boxed
// against the anchor box and optionally expressed in a rotated frame.

#include <array>
#include <cstdint>
#include <vector>

#include "vantle/bits.hpp"
#include "vantle/cursor.hpp"
#include "vantle/limits.hpp"

namespace vantle {

using Point = std::array<double, 3>;
using Matrix3 = std::array<std::array<double, 3>, 3>;  // row-major, m[row][col]
using Widths = std::array<std::uint8_t, 3>;
using Codes = std::array<std::uint64_t, 3>;

struct Box {
    Point min;
    Point max;
};

inline constexpr std::uint8_t kPointDimension = 3;
inline constexpr unsigned kMaxQuantBits = 53;  // codes stay exact in a binary64
inline constexpr unsigned kRotationBits = 38;
inline constexpr std::uint8_t kTransformNone = 0;
inline constexpr std::uint8_t kTransformRotation = 1;

// Uniform quantiser: code 0 is base, code `levels` is base + span.
struct Quantizer {
    double base = 0.0;
    double span = 0.0;
    std::uint64_t levels = 0;  // 2^bits - 1
    std::uint8_t bits = 0;

    Quantizer() = default;
    // Requires bits <= 53.
    Quantizer(double base_value, double span_value, std::uint8_t code_bits) noexcept
        : base(base_value),
          span(span_value),
          levels((std::uint64_t{1} << code_bits) - 1),
          bits(code_bits) {}

    // base + span * (v / levels), in exactly that order.
    double dequantize(std::uint64_t v) const noexcept {
        if (bits == 0 || span == 0.0) {
            return base;
        }
        return base + span * (static_cast<double>(v) / static_cast<double>(levels));
    }
};

struct Rotation {
    std::uint64_t code = 0;  // 38 bits as stored
    Matrix3 matrix{};

    // 38 bits from the reader, then the matrix.
    static Rotation read(BitReader& reader);
};

// Compressed quaternion: bits 0-1 name the omitted slot (x, y, z, w), the
// other three slots follow as 12-bit fields.
Matrix3 spatial_matrix(std::uint64_t code) noexcept;

inline Rotation Rotation::read(BitReader& reader) {
    Rotation r;
    r.code = reader.read_bits(kRotationBits);
    r.matrix = spatial_matrix(r.code);
    return r;
}

// The anchor box seen from the rotated frame, centred on the origin.
Box rotated_anchor(const Box& anchor, const Matrix3& r) noexcept;

// r * local + centre, each row summed in column order, centre added last.
Point to_world(const Point& centre, const Matrix3& r, const Point& local) noexcept;

// Partition box from its corner codes; axes with anchor width 0 span the
// whole working range, and the extreme codes give the working bounds exactly.
Box decode_corners(const Codes& a, const Codes& b, const Box& working, const Widths& anchor_widths) noexcept;

std::vector<Point> read_points(Cursor& cursor, const Limits& limits = {});

// One partition, appended to `out`.
void read_partition(Cursor& cursor, const Box& anchor, const Widths& anchor_widths, const Point& centre,
                    std::vector<Point>& out, const Limits& limits = {});

}  // namespace vantle
