#include <gtest/gtest.h>

#include <random>

#include "bit_packer.hpp"
#include "test_support.hpp"

namespace vantle {
namespace {

using test::BitPacker;
using test::ByteString;
using test::fails_with;
using test::malformed;

std::vector<std::uint64_t> stream_of(const std::vector<std::uint8_t>& bytes, std::uint64_t count,
                                     std::size_t* consumed = nullptr) {
    Cursor c(bytes);
    auto values = read_stream(c, count);
    if (consumed != nullptr) {
        *consumed = c.position();
    }
    return values;
}

TEST(BitReader, LeastSignificantBitFirst) {
    const std::vector<std::uint8_t> payload{0xB5};
    BitReader r(payload);
    EXPECT_EQ(r.read_bits(3), 5u);
    EXPECT_EQ(r.read_bits(5), 22u);
    EXPECT_TRUE(r.at_payload_end());
    EXPECT_EQ(r.read_bits(0), 0u);
    EXPECT_TRUE(fails_with([&] { r.read_bits(1); }, test::kEofText));
}

TEST(BitReader, ZeroWidthNeedsNoPayload) {
    BitReader r(std::span<const std::uint8_t>{});
    EXPECT_EQ(r.read_bits(0), 0u);
    EXPECT_TRUE(r.at_payload_end());
    EXPECT_TRUE(fails_with([&] { r.read_bits(64); }, test::kEofText));
}

TEST(BitReader, MatchesBitByBitPackingAcrossRefills) {
    std::mt19937_64 rng(1234);
    for (int round = 0; round < 200; ++round) {
        BitPacker packer;
        std::vector<std::pair<std::uint64_t, unsigned>> fields;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            const unsigned w = static_cast<unsigned>(rng() % 65);
            const std::uint64_t v = w == 64 ? rng() : rng() & ((std::uint64_t{1} << w) - 1);
            fields.emplace_back(v, w);
            packer.put(v, w);
        }
        BitReader r(packer.bytes());
        for (const auto& [v, w] : fields) {
            ASSERT_EQ(r.read_bits(w), v) << "round " << round;
        }
        EXPECT_TRUE(r.at_payload_end());
    }
}

TEST(BitReader, EndRuleCountsWholeUnusedBytes) {
    const std::vector<std::uint8_t> payload{0xFF, 0x01};
    BitReader r(payload);
    r.read_bits(8);
    EXPECT_FALSE(r.at_payload_end());  // a whole byte left over
    r.read_bits(1);
    EXPECT_TRUE(r.at_payload_end());  // 7 ignored bits in the last byte
    EXPECT_NO_THROW(expect_payload_end(r));
    BitReader early(payload);
    early.read_bits(3);
    EXPECT_TRUE(fails_with([&] { expect_payload_end(early); },
                           malformed("block payload length disagrees with the block header")));
}

TEST(Payload, ExactLengthOrShorterThanDeclared) {
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    Cursor c(bytes);
    EXPECT_EQ(read_payload(c, 2).size(), 2u);
    EXPECT_EQ(read_payload(c, 0).size(), 0u);
    EXPECT_TRUE(fails_with([&] { read_payload(c, 2); },
                           malformed("block payload is shorter than its header declares")));
    EXPECT_EQ(c.position(), 3u);
}

TEST(Stream, PublishedThreeValues) {
    std::size_t used = 0;
    EXPECT_EQ(stream_of(ByteString().raw({2, 0, 0, 0, 0x42, 0x0E, 0x99}), 3, &used),
              (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(used, 6u);
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().raw({3, 0, 0, 0, 0x42, 0x0E, 0x00}), 3); },
                           malformed("block payload length disagrees with the block header")));
}

TEST(Stream, CountZeroWantsAnEmptyPayload) {
    std::size_t used = 0;
    EXPECT_TRUE(stream_of(ByteString().u32(0), 0, &used).empty());
    EXPECT_EQ(used, 4u);
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().u32(1).u8(0), 0); },
                           malformed("block payload length disagrees with the block header")));
}

TEST(Stream, SixtyFiveValuesReadTwoWidths) {
    BitPacker p;
    p.put(1, 6);
    for (int i = 0; i < 64; ++i) {
        p.put(static_cast<std::uint64_t>(i % 2), 1);
    }
    p.put(3, 6).put(5, 3);
    ASSERT_EQ(p.bit_count(), 79u);
    const auto values = stream_of(ByteString().u32(p.bytes().size()).append(p.bytes()), 65);
    ASSERT_EQ(values.size(), 65u);
    EXPECT_EQ(values[0], 0u);
    EXPECT_EQ(values[63], 1u);
    EXPECT_EQ(values[64], 5u);
}

TEST(Stream, ZeroWidthBlocksTakeNoValueBits) {
    // 150 values in blocks of 64, 64 and 22, all of width 0: 18 bits.
    const auto values = stream_of(ByteString().u32(3).raw({0, 0, 0}), 150);
    EXPECT_EQ(values, std::vector<std::uint64_t>(150, 0));
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().u32(2).raw({0, 0}), 150); }, test::kEofText));
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().u32(4).raw({0, 0, 0, 0}), 150); },
                           malformed("block payload length disagrees with the block header")));
}

TEST(Stream, WidestBlockAndTruncations) {
    BitPacker p;
    p.put(63, 6).put((std::uint64_t{1} << 63) - 1, 63);
    EXPECT_EQ(stream_of(ByteString().u32(p.bytes().size()).append(p.bytes()), 1),
              (std::vector<std::uint64_t>{(std::uint64_t{1} << 63) - 1}));
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().raw({2, 0, 0}), 3); }, test::kFillText));
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().u32(4).raw({0x42, 0x0E}), 3); },
                           malformed("block payload is shorter than its header declares")));
    EXPECT_TRUE(fails_with([] { stream_of(ByteString().u32(1).raw({0x42}), 3); }, test::kEofText));
}

}  // namespace
}  // namespace vantle
