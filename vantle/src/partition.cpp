// Splitting the point list into contiguous partitions.

#include <limits>

#include "writer_internal.hpp"

namespace vantle::detail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Box empty_box() noexcept { return Box{{kInf, kInf, kInf}, {-kInf, -kInf, -kInf}}; }

void grow(Box& box, const Point& p) noexcept {
    for (int k = 0; k < 3; ++k) {
        box.min[k] = std::min(box.min[k], p[k]);
        box.max[k] = std::max(box.max[k], p[k]);
    }
}

}  // namespace

double PartitionCost::bits(const Box& box, std::size_t n) const noexcept {
    double per_point = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double span = box.max[k] - box.min[k];
        per_point += bits_for_step(span > 0.0 ? span + slack[k] : 0.0, max_step);
    }
    // Partition header (8 bytes), corners, points, and half a byte of padding.
    return 64.0 + static_cast<double>(fixed_bits) + static_cast<double>(n) * per_point + 4.0;
}

std::vector<Range> plan_partitions(std::span<const Point> points, const PartitionCost& cost) {
    // Top-down: split a run where the two halves cost least, as long as that
    // beats keeping it whole. Left halves are finished first, so the output
    // comes out in point order.
    std::vector<Range> out;
    std::vector<Range> pending{{0, points.size()}};
    std::vector<Box> prefix;
    std::vector<Box> suffix;
    while (!pending.empty()) {
        const Range r = pending.back();
        pending.pop_back();
        const std::size_t n = r.end - r.begin;
        if (n < 2) {
            out.push_back(r);
            continue;
        }
        prefix.assign(n, Box{});
        suffix.assign(n, Box{});
        Box acc = empty_box();
        for (std::size_t t = 0; t < n; ++t) {
            grow(acc, points[r.begin + t]);
            prefix[t] = acc;  // points [begin, begin + t]
        }
        acc = empty_box();
        for (std::size_t t = n; t-- > 0;) {
            grow(acc, points[r.begin + t]);
            suffix[t] = acc;  // points [begin + t, end)
        }
        const double whole = cost.bits(prefix[n - 1], n);
        double best = kInf;
        std::size_t best_split = 0;
        for (std::size_t t = 1; t < n; ++t) {
            const double c = cost.bits(prefix[t - 1], t) + cost.bits(suffix[t], n - t);
            if (c < best) {
                best = c;
                best_split = t;
            }
        }
        if (best + 1.0 < whole) {
            pending.push_back({r.begin + best_split, r.end});
            pending.push_back({r.begin, r.begin + best_split});
        } else {
            out.push_back(r);
        }
    }
    return out;
}

}  // namespace vantle::detail
