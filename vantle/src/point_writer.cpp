// Point block encoding: every decoded point within the tolerance of its input.

#include <cmath>
#include <optional>
#include <stdexcept>

#include "vantle/error.hpp"
#include "writer_internal.hpp"

namespace vantle::detail {

namespace {

constexpr double kMaxRatio = 9007199254740992.0;  // 2^53: the most codes a binary64 holds exactly
// Per-axis error budget: tolerance / sqrt(3) keeps the distance within the tolerance.
constexpr double kInvSqrt3 = 0.5773502691896258;
// The bit widths aim a little inside the budget; the exact check decides.
constexpr double kStepMargin = 0.999;
// Corner grid step as a fraction of the per-axis budget.
constexpr double kGridFraction = 0.5;

struct Block {
    Box anchor;
    Widths anchor_widths{};
    Point centre{};
    double tolerance = 0.0;
    double axis_budget = 0.0;
};

// One partition ready to be written.
struct Encoded {
    bool rotated = false;
    std::uint64_t rotation_code = 0;
    Widths bits{};
    Codes corner_a{};
    Codes corner_b{};
    std::vector<std::uint64_t> codes;  // 3 per point
    std::uint64_t payload_bits = 0;
};

double distance(const Point& a, const Point& b) noexcept { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

// Largest code whose corner value is at most `value` (or smallest at least it).
std::uint64_t corner_code(double value, double lo, double hi, unsigned width, bool below) noexcept {
    const Quantizer q(lo, hi - lo, static_cast<std::uint8_t>(width));
    const auto corner = [&](std::uint64_t c) { return c == 0 ? lo : (c == q.levels ? hi : q.dequantize(c)); };
    std::uint64_t c = nearest_code(q, value);
    if (below) {
        while (c > 0 && corner(c) > value) {
            --c;
        }
        while (c < q.levels && corner(c + 1) <= value) {
            ++c;
        }
    } else {
        while (c < q.levels && corner(c) < value) {
            ++c;
        }
        while (c > 0 && corner(c - 1) >= value) {
            --c;
        }
    }
    return c;
}

// Encodes `points` against `working` (anchor box, or its rotated view), in the
// frame `rotation` when given. Empty when no widths up to 53 meet the tolerance.
std::optional<Encoded> encode(std::span<const Point> points, const Block& block, const Box& working,
                              const Rotation* rotation) {
    const std::size_t n = points.size();
    std::vector<Point> local(points.begin(), points.end());
    if (rotation != nullptr) {
        const Matrix3& r = rotation->matrix;
        for (Point& p : local) {
            const Point d{p[0] - block.centre[0], p[1] - block.centre[1], p[2] - block.centre[2]};
            for (int k = 0; k < 3; ++k) {  // R^T d
                p[k] = r[0][k] * d[0] + r[1][k] * d[1] + r[2][k] * d[2];
            }
        }
    }
    Box tight{local[0], local[0]};
    for (const Point& p : local) {
        for (int k = 0; k < 3; ++k) {
            tight.min[k] = std::min(tight.min[k], p[k]);
            tight.max[k] = std::max(tight.max[k], p[k]);
        }
    }

    Encoded e;
    e.rotated = rotation != nullptr;
    e.rotation_code = rotation != nullptr ? rotation->code : 0;
    for (int k = 0; k < 3; ++k) {
        const unsigned a = block.anchor_widths[k];
        if (a > 0) {
            e.corner_a[k] = corner_code(tight.min[k], working.min[k], working.max[k], a, true);
            e.corner_b[k] = corner_code(tight.max[k], working.min[k], working.max[k], a, false);
        }
    }
    const Box box = decode_corners(e.corner_a, e.corner_b, working, block.anchor_widths);
    const double max_step = 2.0 * block.axis_budget * kStepMargin;
    for (int k = 0; k < 3; ++k) {
        e.bits[k] = static_cast<std::uint8_t>(std::min(bits_for_step(box.max[k] - box.min[k], max_step), kMaxQuantBits));
    }

    e.codes.resize(3 * n);
    for (;;) {
        const Quantizer q[3] = {{box.min[0], box.max[0] - box.min[0], e.bits[0]},
                                {box.min[1], box.max[1] - box.min[1], e.bits[1]},
                                {box.min[2], box.max[2] - box.min[2], e.bits[2]}};
        bool fits = true;
        bool axis_over[3] = {false, false, false};
        for (std::size_t i = 0; i < n; ++i) {
            Point decoded;
            for (int k = 0; k < 3; ++k) {
                const std::uint64_t c = nearest_code(q[k], local[i][k]);
                e.codes[3 * i + k] = c;
                decoded[k] = q[k].dequantize(c);
                if (std::fabs(decoded[k] - local[i][k]) > block.axis_budget) {
                    axis_over[k] = true;
                }
            }
            if (rotation != nullptr) {
                decoded = to_world(block.centre, rotation->matrix, decoded);
            }
            if (!(distance(decoded, points[i]) <= block.tolerance)) {
                fits = false;
            }
        }
        if (fits) {
            break;
        }
        // Widen the axes that missed their budget (all of them if none did).
        const bool any = axis_over[0] || axis_over[1] || axis_over[2];
        bool widened = false;
        for (int k = 0; k < 3; ++k) {
            if ((axis_over[k] || !any) && box.max[k] > box.min[k] && e.bits[k] < kMaxQuantBits) {
                ++e.bits[k];
                widened = true;
            }
        }
        if (!widened) {
            return std::nullopt;
        }
    }

    const std::uint64_t corner_bits =
        2 * (std::uint64_t{block.anchor_widths[0]} + block.anchor_widths[1] + block.anchor_widths[2]);
    e.payload_bits = corner_bits + (e.rotated ? kRotationBits : 0) +
                     std::uint64_t{n} * (std::uint64_t{e.bits[0]} + e.bits[1] + e.bits[2]);
    return e;
}

void emit(std::vector<std::uint8_t>& out, const Encoded& e, std::size_t n, const Widths& anchor_widths) {
    put_u32(out, static_cast<std::uint32_t>(n));
    put_u8(out, e.rotated ? kTransformRotation : kTransformNone);
    for (const auto b : e.bits) {
        put_u8(out, b);
    }
    const std::size_t start = out.size();
    BitWriter bits(out);
    if (e.rotated) {
        bits.put(e.rotation_code, kRotationBits);
    }
    for (int k = 0; k < 3; ++k) {
        bits.put(e.corner_a[k], anchor_widths[k]);
    }
    for (int k = 0; k < 3; ++k) {
        bits.put(e.corner_b[k], anchor_widths[k]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            bits.put(e.codes[3 * i + k], e.bits[k]);
        }
    }
    bits.finish();
    if (out.size() - start != (e.payload_bits + 7) / 8) {
        throw std::logic_error("vantle writer: partition payload size mismatch");
    }
}

}  // namespace

void write_point_block(std::vector<std::uint8_t>& out, std::span<const Point> points, double tolerance,
                       bool allow_rotation) {
    put_u8(out, kPointDimension);
    if (points.empty()) {
        put_u32(out, 0);
        return;
    }
    Block block;
    block.anchor = Box{points[0], points[0]};
    for (const Point& p : points) {
        for (int k = 0; k < 3; ++k) {
            if (!std::isfinite(p[k])) {
                throw std::invalid_argument("vantle writer: vertex coordinates must be finite");
            }
            block.anchor.min[k] = std::min(block.anchor.min[k], p[k]);
            block.anchor.max[k] = std::max(block.anchor.max[k], p[k]);
        }
    }
    // Binary64 resolution follows the magnitude of the values as well as the
    // extent they cover, so both count towards the range.
    double range = 0.0;
    for (int k = 0; k < 3; ++k) {
        range = std::max({range, block.anchor.max[k] - block.anchor.min[k], std::fabs(block.anchor.min[k]),
                          std::fabs(block.anchor.max[k])});
    }
    if (!(tolerance > 0.0) || !(range / tolerance <= kMaxRatio)) {
        throw Error::tolerance_not_representable(range, tolerance);
    }
    block.tolerance = tolerance;
    block.axis_budget = tolerance * kInvSqrt3;
    PartitionCost cost;
    cost.max_step = 2.0 * block.axis_budget * kStepMargin;
    for (int k = 0; k < 3; ++k) {
        const double extent = block.anchor.max[k] - block.anchor.min[k];
        const unsigned a = std::min(bits_for_step(extent, block.axis_budget * kGridFraction), kMaxQuantBits);
        block.anchor_widths[k] = static_cast<std::uint8_t>(a);
        if (a > 0) {
            cost.slack[k] = extent / static_cast<double>((std::uint64_t{1} << a) - 1);
        }
        cost.fixed_bits += 2 * a;
    }
    block.centre = {(block.anchor.min[0] + block.anchor.max[0]) * 0.5, (block.anchor.min[1] + block.anchor.max[1]) * 0.5,
                    (block.anchor.min[2] + block.anchor.max[2]) * 0.5};

    const std::vector<Range> ranges = plan_partitions(points, cost);
    put_u32(out, static_cast<std::uint32_t>(ranges.size()));
    for (const double v : block.anchor.min) {
        put_f64(out, v);
    }
    for (const double v : block.anchor.max) {
        put_f64(out, v);
    }
    for (const auto a : block.anchor_widths) {
        put_u8(out, a);
    }
    const bool centre_finite =
        std::isfinite(block.centre[0]) && std::isfinite(block.centre[1]) && std::isfinite(block.centre[2]);
    for (const Range& r : ranges) {
        const std::span<const Point> part = points.subspan(r.begin, r.end - r.begin);
        std::optional<Encoded> best = encode(part, block, block.anchor, nullptr);
        if (allow_rotation && part.size() >= 3 && centre_finite) {
            Rotation rotation;
            rotation.code = fit_rotation_code(part);
            rotation.matrix = spatial_matrix(rotation.code);
            std::optional<Encoded> turned = encode(part, block, rotated_anchor(block.anchor, rotation.matrix), &rotation);
            if (turned && (!best || turned->payload_bits < best->payload_bits)) {
                best = std::move(turned);
            }
        }
        if (!best) {
            throw Error::tolerance_not_representable(range, tolerance);
        }
        emit(out, *best, part.size(), block.anchor_widths);
    }
}

}  // namespace vantle::detail
