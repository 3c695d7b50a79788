#include <gtest/gtest.h>

#include <sstream>

#include "test_support.hpp"

namespace vantle {
namespace {

TEST(Error, DisplayTextsAndPayloads) {
    const Error io = Error::io(kFillBufferError);
    EXPECT_STREQ(io.what(), "io error: failed to fill whole buffer");
    EXPECT_EQ(io.kind(), ErrorKind::Io);
    ASSERT_NE(io.cause(), nullptr);
    EXPECT_EQ(io.cause()->message, "failed to fill whole buffer");
    EXPECT_STREQ(Error::io(kEndOfFileError).what(), "io error: unexpected end of file");

    EXPECT_STREQ(Error::bad_magic().what(), "not a vantle stream: invalid magic bytes");
    EXPECT_EQ(Error::bad_magic().cause(), nullptr);

    const Error version = Error::unsupported_version(3);
    EXPECT_STREQ(version.what(), "unsupported vantle format version 3");
    EXPECT_EQ(version.version(), 3);
    EXPECT_EQ(version.method(), 0);

    const Error method = Error::unsupported_compression(255);
    EXPECT_STREQ(method.what(), "stream declares compression method 255, which this build does not support");
    EXPECT_EQ(method.method(), 255);

    const Error attributes = Error::unsupported_attributes(2);
    EXPECT_STREQ(attributes.what(), "item declares 2 attribute blocks, which this format version cannot decode");
    EXPECT_EQ(attributes.count(), 2);

    const Error items = Error::not_a_single_item(4294967295u);
    EXPECT_STREQ(items.what(), "expected a container holding exactly one item, found 4294967295");
    EXPECT_EQ(items.found(), 4294967295u);

    const Error bad = Error::malformed("unknown container kind");
    EXPECT_STREQ(bad.what(), "malformed vantle stream: unknown container kind");
    EXPECT_EQ(bad.message(), "unknown container kind");
    EXPECT_EQ(bad.cause(), nullptr);

    const Error tol = Error::tolerance_not_representable(1e9, 1e-9);
    EXPECT_STREQ(tol.what(),
                 "cannot guarantee a tolerance of 0.000000001 over a range of 1000000000: the ratio exceeds what "
                 "an f64 can represent exactly");
    EXPECT_EQ(tol.range(), 1e9);
    EXPECT_EQ(tol.tol(), 1e-9);
}

TEST(Error, DebugRenderingNamesCaseAndFields) {
    EXPECT_EQ(Error::not_a_single_item(2).debug_string(), "NotASingleItem { found: 2 }");
    EXPECT_EQ(Error::tolerance_not_representable(2.5, 0.25).debug_string(),
              "ToleranceNotRepresentable { range: 2.5, tol: 0.25 }");
    EXPECT_EQ(Error::malformed("x").debug_string(), "Malformed(\"x\")");
    EXPECT_EQ(Error::unsupported_version(1).debug_string(), "UnsupportedVersion(1)");
    EXPECT_EQ(Error::bad_magic().debug_string(), "BadMagic");
    std::ostringstream os;
    os << Error::io(kEndOfFileError);
    EXPECT_EQ(os.str(), "Io(Error { kind: UnexpectedEof, message: \"unexpected end of file\" })");
}

TEST(FormatF64, ShortestPlainDecimal) {
    EXPECT_EQ(format_f64(0.01), "0.01");
    EXPECT_EQ(format_f64(1e-9), "0.000000001");
    EXPECT_EQ(format_f64(1e21), "1000000000000000000000");
    EXPECT_EQ(format_f64(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(format_f64(-2.0), "-2");
    EXPECT_EQ(format_f64(-0.0), "-0");
    EXPECT_EQ(format_f64(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_f64(-std::numeric_limits<double>::infinity()), "-inf");
    const std::string huge = format_f64(std::numeric_limits<double>::max());
    EXPECT_EQ(huge.size(), 309u);
    EXPECT_EQ(huge.find('e'), std::string::npos);
    const std::string tiny = format_f64(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(tiny.size(), 2u + 324u);
    EXPECT_EQ(tiny.back(), '5');
}

}  // namespace
}  // namespace vantle
