// Index block encoding.

#include <bit>
#include <stdexcept>

#include "vantle/bits.hpp"
#include "writer_internal.hpp"

namespace vantle::detail {

void write_stream(std::vector<std::uint8_t>& out, std::span<const std::uint64_t> values) {
    std::vector<std::uint8_t> payload;
    BitWriter bits(payload);
    for (std::size_t start = 0; start < values.size(); start += kStreamBlockValues) {
        const auto block = values.subspan(start, std::min<std::size_t>(kStreamBlockValues, values.size() - start));
        std::uint64_t widest = 0;
        for (const std::uint64_t v : block) {
            widest |= v;
        }
        const auto width = static_cast<unsigned>(std::bit_width(widest));
        if (width > 63) {
            throw std::invalid_argument("vantle writer: stream values must be below 2^63");
        }
        bits.put(width, kStreamWidthBits);
        if (width > 0) {
            for (const std::uint64_t v : block) {
                bits.put(v, width);
            }
        }
    }
    bits.finish();
    if (payload.size() > 0xFFFFFFFFu) {
        throw std::invalid_argument("vantle writer: stream payload exceeds 4 GiB");
    }
    put_u32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

void write_index_block(std::vector<std::uint8_t>& out, std::span<const Triangle> triangles,
                       std::uint32_t vertex_count, IndexCoding coding) {
    put_u8(out, kTriangleArity);
    put_u32(out, static_cast<std::uint32_t>(triangles.size()));
    if (triangles.empty()) {
        return;
    }
    put_u8(out, static_cast<unsigned>(coding));
    if (coding == IndexCoding::Absolute) {
        const auto width = static_cast<unsigned>(vertex_count <= 1 ? 0 : std::bit_width(vertex_count - 1));
        put_u8(out, width);
        BitWriter bits(out);
        for (const Triangle& t : triangles) {
            for (const std::uint32_t i : t) {
                bits.put(i, width);
            }
        }
        bits.finish();
        return;
    }
    // High-water: 0 introduces the next vertex, d > 0 refers d back from it.
    std::vector<std::uint64_t> deltas;
    deltas.reserve(3 * triangles.size());
    std::uint64_t high_water = 0;
    for (const Triangle& t : triangles) {
        for (const std::uint32_t i : t) {
            if (i == high_water) {
                deltas.push_back(0);
                ++high_water;
            } else if (i < high_water) {
                deltas.push_back(high_water - i);
            } else {
                throw std::invalid_argument(
                    "vantle writer: high-water index coding needs vertices numbered in order of first use "
                    "(see renumber_by_first_use)");
            }
        }
    }
    write_stream(out, deltas);
}

}  // namespace vantle::detail
