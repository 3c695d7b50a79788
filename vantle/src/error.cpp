#include "vantle/error.hpp"

#include <charconv>
#include <cmath>
#include <ostream>
#include <string>
#include <utility>

#include "vantle/cursor.hpp"

namespace vantle {

namespace {

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

}  // namespace

std::string format_f64(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // Fixed notation of the shortest round-trip digits: at most 1 + 309 integer
    // digits, or "0." and 324 fraction digits for the smallest subnormal.
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

Error::Error(ErrorKind kind, std::string text)
    : kind_(kind), text_(std::make_shared<const std::string>(std::move(text))) {}

Error Error::io(IoError cause) {
    Error e(ErrorKind::Io, "io error: " + std::string(cause.message));
    e.io_ = cause;
    return e;
}

Error Error::bad_magic() { return Error(ErrorKind::BadMagic, "not a vantle stream: invalid magic bytes"); }

Error Error::unsupported_version(std::uint8_t version) {
    Error e(ErrorKind::UnsupportedVersion, "unsupported vantle format version " + std::to_string(version));
    e.code_ = version;
    return e;
}

Error Error::unsupported_compression(std::uint8_t method) {
    Error e(ErrorKind::UnsupportedCompression, "stream declares compression method " + std::to_string(method) +
                                                   ", which this build does not support");
    e.code_ = method;
    return e;
}

Error Error::unsupported_attributes(std::uint8_t count) {
    Error e(ErrorKind::UnsupportedAttributes,
            "item declares " + std::to_string(count) + " attribute blocks, which this format version cannot decode");
    e.code_ = count;
    return e;
}

Error Error::not_a_single_item(std::uint32_t found) {
    Error e(ErrorKind::NotASingleItem,
            "expected a container holding exactly one item, found " + std::to_string(found));
    e.code_ = found;
    return e;
}

Error Error::malformed(std::string_view message) {
    Error e(ErrorKind::Malformed, "malformed vantle stream: " + std::string(message));
    e.message_ = message;
    return e;
}

Error Error::tolerance_not_representable(double range, double tol) {
    Error e(ErrorKind::ToleranceNotRepresentable,
            "cannot guarantee a tolerance of " + format_f64(tol) + " over a range of " + format_f64(range) +
                ": the ratio exceeds what an f64 can represent exactly");
    e.range_ = range;
    e.tol_ = tol;
    return e;
}

std::uint8_t Error::version() const noexcept {
    return kind_ == ErrorKind::UnsupportedVersion ? static_cast<std::uint8_t>(code_) : 0;
}

std::uint8_t Error::method() const noexcept {
    return kind_ == ErrorKind::UnsupportedCompression ? static_cast<std::uint8_t>(code_) : 0;
}

std::uint8_t Error::count() const noexcept {
    return kind_ == ErrorKind::UnsupportedAttributes ? static_cast<std::uint8_t>(code_) : 0;
}

std::uint32_t Error::found() const noexcept { return kind_ == ErrorKind::NotASingleItem ? code_ : 0; }

std::string Error::debug_string() const {
    switch (kind_) {
        case ErrorKind::Io:
            return "Io(Error { kind: UnexpectedEof, message: " + quoted(io_.message) + " })";
        case ErrorKind::BadMagic:
            return "BadMagic";
        case ErrorKind::UnsupportedVersion:
            return "UnsupportedVersion(" + std::to_string(code_) + ")";
        case ErrorKind::UnsupportedCompression:
            return "UnsupportedCompression(" + std::to_string(code_) + ")";
        case ErrorKind::UnsupportedAttributes:
            return "UnsupportedAttributes(" + std::to_string(code_) + ")";
        case ErrorKind::NotASingleItem:
            return "NotASingleItem { found: " + std::to_string(code_) + " }";
        case ErrorKind::Malformed:
            return "Malformed(" + quoted(message_) + ")";
        case ErrorKind::ToleranceNotRepresentable:
            return "ToleranceNotRepresentable { range: " + format_f64(range_) + ", tol: " + format_f64(tol_) + " }";
    }
    return "Unknown";
}

std::ostream& operator<<(std::ostream& os, const Error& error) { return os << error.debug_string(); }

namespace detail {
void throw_fill_buffer_error() { throw Error::io(kFillBufferError); }
}  // namespace detail

}  // namespace vantle
