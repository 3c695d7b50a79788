#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vantle {
namespace {

using test::ByteString;
using test::fails_with;
using test::malformed;

Header header_of(const std::vector<std::uint8_t>& bytes, Kind requested = Kind::Mesh) {
    Cursor c(bytes);
    return read_header(c, requested);
}

Preamble preamble_of(const std::vector<std::uint8_t>& bytes, bool polyline = false) {
    Cursor c(bytes);
    return read_preamble(c, polyline);
}

Metadata metadata_of(const std::vector<std::uint8_t>& bytes, std::size_t* consumed = nullptr) {
    Cursor c(bytes);
    Metadata m = read_metadata(c);
    if (consumed != nullptr) {
        *consumed = c.position();
    }
    return m;
}

TEST(Header, ReadsFieldsAndLeavesItemCountUnchecked) {
    const auto bytes = ByteString().header(1, 0, 7).u8(0xEE);
    Cursor c(bytes);
    const Header h = read_header(c, Kind::Mesh);
    EXPECT_EQ(h.item_count, 7u);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.kind, Kind::Mesh);
    EXPECT_TRUE(h.metadata.empty());
    EXPECT_EQ(c.position(), 12u);
}

TEST(Header, ShortOrWrongMagic) {
    const std::vector<std::uint8_t> full{'V', 'N', 'T', 'L'};
    for (std::size_t n = 0; n < 4; ++n) {
        const std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        Cursor c(cut);
        EXPECT_TRUE(fails_with([&] { read_header(c, Kind::Mesh); }, test::kFillText)) << n;
        EXPECT_EQ(c.position(), n);  // a failed fixed-size read leaves the cursor at the end
    }
    for (std::size_t i = 0; i < 4; ++i) {
        auto bytes = ByteString().header().bytes();
        bytes[i] ^= 0x20;
        EXPECT_TRUE(fails_with([&] { header_of(bytes); }, "not a vantle stream: invalid magic bytes")) << i;
    }
}

TEST(Header, VersionKindCompressionAndFlagsInOrder) {
    for (unsigned v : {1u, 3u}) {
        const auto bytes = ByteString().text("VNTL").raw({v, 1, 0, 0}).u32(1);
        EXPECT_TRUE(fails_with([&] { header_of(bytes); }, "unsupported vantle format version " + std::to_string(v)));
    }
    const auto compressed = ByteString().text("VNTL").raw({2, 1, 7, 0}).u32(1);
    EXPECT_TRUE(fails_with([&] { header_of(compressed); },
                           "stream declares compression method 7, which this build does not support"));
    // The kind is judged before the compression byte.
    for (unsigned kind : {0u, 6u}) {
        const auto bytes = ByteString().text("VNTL").raw({2, kind, 7, 0}).u32(1);
        EXPECT_TRUE(fails_with([&] { header_of(bytes); }, malformed("unknown container kind")));
    }
    for (unsigned flags : {0x02u, 0x80u, 0x03u}) {
        const auto bytes = ByteString().header(1, flags);
        EXPECT_TRUE(fails_with([&] { header_of(bytes); }, malformed("file sets unknown flag bits")));
    }
    // Unknown kind byte with the stream ending right after it.
    const auto cut = ByteString().text("VNTL").raw({2, 9});
    EXPECT_TRUE(fails_with([&] { header_of(cut); }, malformed("unknown container kind")));
}

TEST(Header, KindMismatchIsReportedAfterTheMetadata) {
    const auto plain = ByteString().header(2);
    EXPECT_TRUE(fails_with([&] { header_of(plain); }, malformed("container holds a different kind than requested")));
    EXPECT_EQ(header_of(plain, Kind::Polyline).kind, Kind::Polyline);

    const auto bad_meta = ByteString().header(2, 1).u16(1).u32(1).text("k").u8(9);
    EXPECT_TRUE(fails_with([&] { header_of(bad_meta); }, malformed("unknown metadata value type")));

    const auto good_meta = ByteString().header(2, 1).u16(1).u32(1).text("k").raw({1, 1});
    EXPECT_TRUE(fails_with([&] { header_of(good_meta); }, malformed("container holds a different kind than requested")));
    const Header h = header_of(good_meta, Kind::Polyline);
    EXPECT_EQ(h.metadata.at("k"), Value{true});
}

TEST(Preamble, Flags) {
    EXPECT_TRUE(fails_with([] { preamble_of(ByteString().raw({0x01, 0})); },
                           malformed("item sets the closed flag, which only applies to polylines")));
    EXPECT_TRUE(preamble_of(ByteString().raw({0x01, 0}), true).closed);
    for (unsigned flags : {0x08u, 0x09u, 0xFFu}) {
        EXPECT_TRUE(fails_with([&] { preamble_of(ByteString().raw({flags, 0}), true); },
                               malformed("item sets unknown flag bits")));
    }
    const Preamble plain = preamble_of(ByteString().raw({0, 0}));
    EXPECT_FALSE(plain.closed);
    EXPECT_FALSE(plain.name.has_value());
    EXPECT_TRUE(plain.metadata.empty());
}

TEST(Preamble, MetadataComesBeforeTheName) {
    const auto bytes = ByteString().u8(0x06).u16(1).u32(4).text("unit").u8(4).u32(2).text("mm").u32(4).text("base").u8(0);
    Cursor c(bytes);
    const Preamble p = read_preamble(c, false);
    EXPECT_EQ(p.name, "base");
    EXPECT_EQ(p.metadata.at("unit"), Value{std::string("mm")});
    EXPECT_EQ(c.position(), bytes.size());
}

TEST(Preamble, NameLengthLimitIsInclusive) {
    const auto at_limit = ByteString().u8(0x02).u32(65536).fill(65536, 'a').u8(0);
    EXPECT_EQ(preamble_of(at_limit).name->size(), 65536u);
    // Rejected from the length alone: the bytes are not there and are not read.
    EXPECT_TRUE(fails_with([] { preamble_of(ByteString().u8(0x02).u32(65537)); },
                           malformed("item name length is implausible")));
    EXPECT_TRUE(fails_with([] { preamble_of(ByteString().u8(0x02).u32(5).text("abc")); }, test::kFillText));
    EXPECT_TRUE(fails_with([] { preamble_of(ByteString().u8(0x02).u32(2).raw({0xC3, 0x28, 0})); },
                           malformed("item name is not valid UTF-8")));
}

TEST(Preamble, AttributeBlocksAreUnsupported) {
    try {
        preamble_of(ByteString().raw({0, 2}));
        FAIL() << "accepted attribute blocks";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "item declares 2 attribute blocks, which this format version cannot decode");
        EXPECT_EQ(e.kind(), ErrorKind::UnsupportedAttributes);
        EXPECT_EQ(e.count(), 2);
    }
}

TEST(Metadata, EmptyTableAndEveryValueType) {
    std::size_t used = 0;
    EXPECT_TRUE(metadata_of(ByteString().u16(0).u8(0xAA), &used).empty());
    EXPECT_EQ(used, 2u);

    // clang-format off
    const auto bytes = ByteString()
                           .u16(6)
                           .u32(1).text("b").raw({1, 0x02})                      // any non-zero byte is true
                           .u32(1).text("f").raw({1, 0x00})
                           .u32(1).text("i").u8(2).u64(0xFFFFFFFFFFFFFFFEull)    // stored bits, two's complement
                           .u32(1).text("r").u8(3).f64(-2.5)
                           .u32(1).text("t").u8(4).u32(3).text("\xE2\x82\xAC")   // U+20AC
                           .u32(1).text("y").u8(5).u32(3).raw({0xFF, 0x00, 0xC3});
    // clang-format on
    const Metadata m = metadata_of(bytes, &used);
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(m.at("b"), Value{true});
    EXPECT_EQ(m.at("f"), Value{false});
    EXPECT_EQ(m.at("i"), Value{std::int64_t{-2}});
    EXPECT_EQ(m.at("r"), Value{-2.5});
    EXPECT_EQ(m.at("t"), Value{std::string("\xE2\x82\xAC")});
    EXPECT_EQ(m.at("y"), Value{(Bytes{0xFF, 0x00, 0xC3})});
}

TEST(Metadata, KeysAreOrderedBytewise) {
    // clang-format off
    const auto bytes = ByteString().u16(3)
                           .u32(2).text("\xC3\xA9").raw({1, 1})
                           .u32(1).text("z").raw({1, 1})
                           .u32(1).text("A").raw({1, 1});
    // clang-format on
    std::vector<std::string> keys;
    for (const auto& [k, v] : metadata_of(bytes)) {
        keys.push_back(k);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "z", "\xC3\xA9"}));
}

TEST(Metadata, DuplicateKeyEvenWithEqualValues) {
    const auto bytes = ByteString().u16(2).u32(1).text("k").raw({1, 1}).u32(1).text("k").raw({1, 1});
    EXPECT_TRUE(fails_with([&] { metadata_of(bytes); }, malformed("metadata contains a duplicate key")));
    // The duplicate is noticed only once its value has been read.
    const auto cut = ByteString().u16(2).u32(1).text("k").raw({1, 1}).u32(1).text("k").u8(3);
    EXPECT_TRUE(fails_with([&] { metadata_of(cut); }, test::kFillText));
}

TEST(Metadata, KeyFaults) {
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(65537)); },
                           malformed("metadata key length is implausible")));
    const auto long_key = ByteString().u16(1).u32(65536).fill(65536, 'k').raw({1, 0});
    EXPECT_EQ(metadata_of(long_key).begin()->first.size(), 65536u);
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(1).u8(0x80).raw({1, 0})); },
                           malformed("metadata key is not valid UTF-8")));
    for (unsigned tag : {0u, 6u, 255u}) {
        EXPECT_TRUE(fails_with([&] { metadata_of(ByteString().u16(1).u32(1).text("k").u8(tag)); },
                               malformed("unknown metadata value type")));
    }
}

TEST(Metadata, ValueFaults) {
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(1).text("k").u8(4).u32(16777217)); },
                           malformed("metadata text length is implausible")));
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(1).text("k").u8(4).u32(2).raw({0xED, 0xA0})); },
                           malformed("metadata text is not valid UTF-8")));
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(1).text("k").u8(5).u32(16777217)); },
                           malformed("metadata byte string length is implausible")));
    EXPECT_TRUE(fails_with([] { metadata_of(ByteString().u16(1).u32(1).text("k").u8(5).u32(4).raw({1, 2})); },
                           test::kFillText));
    const auto at_limit = ByteString().u16(1).u32(1).text("k").u8(5).u32(16777216).fill(16777216, 7);
    EXPECT_EQ(std::get<Bytes>(metadata_of(at_limit).at("k")).size(), 16777216u);
}

TEST(Metadata, LengthPrefixedFieldNamesPickTheMessage) {
    const auto bytes = ByteString().u32(11);
    const auto read = [&](std::string_view what) {
        Cursor c(bytes);
        read_len_prefixed(c, 10, what);
    };
    EXPECT_TRUE(fails_with([&] { read("metadata key"); }, malformed("metadata key length is implausible")));
    EXPECT_TRUE(fails_with([&] { read("metadata text"); }, malformed("metadata text length is implausible")));
    EXPECT_TRUE(fails_with([&] { read("attachment"); }, malformed("metadata byte string length is implausible")));
    const auto ok = ByteString().u32(2).text("ab").u8(0);
    Cursor c(ok);
    EXPECT_EQ(read_len_prefixed(c, 2, "metadata key").size(), 2u);
    EXPECT_EQ(c.position(), 6u);
}

TEST(Utf8, StrictValidation) {
    const auto valid = [](std::initializer_list<unsigned> b) {
        return is_valid_utf8(ByteString().raw(b).bytes());
    };
    EXPECT_TRUE(valid({}));
    EXPECT_TRUE(valid({'a', 0xC2, 0x80, 0xEF, 0xBF, 0xBF, 0xF0, 0x9F, 0x98, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}));
    EXPECT_FALSE(valid({0xC0, 0x80}));              // overlong NUL
    EXPECT_FALSE(valid({0xE0, 0x80, 0x80}));        // overlong
    EXPECT_FALSE(valid({0xED, 0xA0, 0x80}));        // surrogate
    EXPECT_FALSE(valid({0xF4, 0x90, 0x80, 0x80}));  // above U+10FFFF
    EXPECT_FALSE(valid({0xF5, 0x80, 0x80, 0x80}));
    EXPECT_FALSE(valid({0xE2, 0x82}));  // cut short
    EXPECT_FALSE(valid({0xE2, 0x28, 0xA1}));
    EXPECT_FALSE(valid({0xBF}));  // stray continuation
}

}  // namespace
}  // namespace vantle
