#include "text_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace ortholink::py {
namespace {

std::string format_special(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_fixed4(double value) {
    if (!std::isfinite(value)) {
        return format_special(value);
    }
    // The largest double has 309 integer digits.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    return std::string(buffer, result.ptr);
}

std::string format_scientific3(double value) {
    if (!std::isfinite(value)) {
        return format_special(value);
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 3);
    std::string text(buffer, result.ptr);
    const auto e = text.find('e');
    const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
    return text.substr(0, e + 1) + std::to_string(exponent);
}

}  // namespace ortholink::py
