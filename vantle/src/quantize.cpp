// Encoding side of the uniform quantiser.

#include <cmath>

#include "vantle/points.hpp"
#include "writer_internal.hpp"

namespace vantle::detail {

unsigned bits_for_step(double span, double max_step) noexcept {
    if (span <= max_step * 0.5) {
        return 0;  // every value is within half a step of the base already
    }
    // 2^bits - 1 >= span / max_step, i.e. bits = ceil(log2(span / max_step + 1)).
    const double levels = span / max_step + 1.0;
    if (!(levels <= 9007199254740992.0)) {  // beyond 2^53, or NaN
        return kMaxQuantBits + 1;
    }
    int exponent = 0;
    const double mantissa = std::frexp(levels, &exponent);  // levels = mantissa * 2^exponent
    const int bits = mantissa == 0.5 ? exponent - 1 : exponent;
    return static_cast<unsigned>(std::max(bits, 1));
}

std::uint64_t nearest_code(const Quantizer& q, double value) noexcept {
    if (q.bits == 0 || q.span == 0.0) {
        return 0;
    }
    const double top = static_cast<double>(q.levels);
    double estimate = std::nearbyint((value - q.base) / q.span * top);
    if (!(estimate >= 0.0)) {
        estimate = 0.0;
    }
    if (estimate > top) {
        estimate = top;
    }
    const auto centre = static_cast<std::uint64_t>(estimate);
    std::uint64_t best = centre;
    double best_error = std::fabs(q.dequantize(centre) - value);
    for (const std::uint64_t v : {centre - 1, centre + 1}) {
        if ((v == centre - 1 && centre == 0) || v > q.levels) {
            continue;
        }
        const double error = std::fabs(q.dequantize(v) - value);
        if (error < best_error) {
            best = v;
            best_error = error;
        }
    }
    return best;
}

}  // namespace vantle::detail
