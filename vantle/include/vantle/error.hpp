#pragma once
// The one error type of the codec. Every reading operation throws only
// vantle::Error; what() is the text a user finally sees.

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace vantle {

enum class ErrorKind : std::uint8_t {
    Io,
    BadMagic,
    UnsupportedVersion,
    UnsupportedCompression,
    UnsupportedAttributes,
    NotASingleItem,
    Malformed,
    ToleranceNotRepresentable,
};

// Both I/O failures the reader produces mean the input ended too early.
enum class IoErrorKind : std::uint8_t { UnexpectedEof };

struct IoError {
    IoErrorKind kind;
    std::string_view message;  // static text
};

// A fixed-size read ran past the end of the input.
inline constexpr IoError kFillBufferError{IoErrorKind::UnexpectedEof, "failed to fill whole buffer"};
// A bit reader ran out of payload bytes.
inline constexpr IoError kEndOfFileError{IoErrorKind::UnexpectedEof, "unexpected end of file"};

class Error : public std::exception {
public:
    static Error io(IoError cause);
    static Error bad_magic();
    static Error unsupported_version(std::uint8_t version);
    static Error unsupported_compression(std::uint8_t method);
    static Error unsupported_attributes(std::uint8_t count);
    static Error not_a_single_item(std::uint32_t found);
    // `message` must be static text; only the view is kept.
    static Error malformed(std::string_view message);
    static Error tolerance_not_representable(double range, double tol);

    // The display text.
    const char* what() const noexcept override { return text_->c_str(); }
    ErrorKind kind() const noexcept { return kind_; }

    // Payload accessors; each returns its zero value for the other cases.
    std::uint8_t version() const noexcept;                          // UnsupportedVersion
    std::uint8_t method() const noexcept;                           // UnsupportedCompression
    std::uint8_t count() const noexcept;                            // UnsupportedAttributes
    std::uint32_t found() const noexcept;                           // NotASingleItem
    std::string_view message() const noexcept { return message_; }  // Malformed
    double range() const noexcept { return range_; }                // ToleranceNotRepresentable
    double tol() const noexcept { return tol_; }                    // ToleranceNotRepresentable
    // The wrapped I/O error for Io, null for every other case.
    const IoError* cause() const noexcept { return kind_ == ErrorKind::Io ? &io_ : nullptr; }

    // Debugging rendering: the case and its payload, e.g. `NotASingleItem { found: 2 }`.
    std::string debug_string() const;

private:
    Error(ErrorKind kind, std::string text);

    ErrorKind kind_;
    std::uint32_t code_ = 0;  // version, method, count or found
    double range_ = 0.0;
    double tol_ = 0.0;
    IoError io_{};
    std::string_view message_;
    // Shared so that copying an exception never allocates.
    std::shared_ptr<const std::string> text_;
};

std::ostream& operator<<(std::ostream& os, const Error& error);

// Shortest decimal text that reads back to the same binary64, never in
// exponent notation ("0.000000001", "1000000000", "NaN", "inf").
std::string format_f64(double value);

}  // namespace vantle
