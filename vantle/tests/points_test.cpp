#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bit_packer.hpp"
#include "test_support.hpp"

namespace vantle {
namespace {

using test::BitPacker;
using test::ByteString;
using test::fails_with;
using test::malformed;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Point block head: dimension 3, P partitions, anchor box, anchor widths.
ByteString block_head(std::uint32_t partitions, const Box& anchor, Widths widths) {
    ByteString b;
    b.u8(3).u32(partitions);
    for (double v : anchor.min) {
        b.f64(v);
    }
    for (double v : anchor.max) {
        b.f64(v);
    }
    return b.raw({widths[0], widths[1], widths[2]});
}

std::vector<Point> points_of(const std::vector<std::uint8_t>& bytes, std::size_t* consumed = nullptr,
                             const Limits& limits = {}) {
    Cursor c(bytes);
    auto points = read_points(c, limits);
    if (consumed != nullptr) {
        *consumed = c.position();
    }
    return points;
}

std::uint64_t rotation_code(unsigned omitted, unsigned f0, unsigned f1, unsigned f2) {
    return omitted | (std::uint64_t{f0} << 2) | (std::uint64_t{f1} << 14) | (std::uint64_t{f2} << 26);
}

TEST(Points, EmptyBlockStopsAfterTheCount) {
    std::size_t used = 0;
    EXPECT_TRUE(points_of(ByteString().u8(3).u32(0).u8(0xEE), &used).empty());
    EXPECT_EQ(used, 5u);
    EXPECT_TRUE(fails_with([] { points_of(ByteString().u8(2).u32(0)); },
                           malformed("point block was written at a different dimension than requested")));
}

TEST(Points, PublishedPlainPartition) {
    const auto bytes = block_head(1, {{0, 0, 0}, {3, 3, 3}}, {1, 1, 1}).u32(1).raw({0, 2, 2, 2, 0x78, 0x0E});
    ASSERT_EQ(bytes.size(), 66u);
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0], (Point{1, 2, 3}));
    EXPECT_EQ(used, 66u);
}

TEST(Points, PublishedRotatedPartition) {
    const auto bytes = block_head(1, {{0, 0, 0}, {2, 2, 2}}, {1, 1, 1})
                           .u32(1)
                           .raw({1, 2, 2, 2, 0xFF, 0xDF, 0xFF, 0xFD, 0x1F, 0x4E, 0x03});
    ASSERT_EQ(bytes.size(), 71u);
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0], (Point{0, 0.6666666666666666, 2}));
    EXPECT_EQ(used, 71u);
    // The local point before the frame change.
    const Box working = rotated_anchor({{0, 0, 0}, {2, 2, 2}}, spatial_matrix(rotation_code(3, 2047, 2047, 2047)));
    EXPECT_EQ(working.min, (Point{-1, -1, -1}));
    const Quantizer q(-1, 2, 2);
    EXPECT_EQ(q.dequantize(1), -0.33333333333333337);
}

TEST(Points, ZeroWidthsGiveTheAnchorMinimum) {
    const auto bytes = block_head(1, {{-1, 2, 3}, {5, 6, 7}}, {0, 0, 0}).u32(4).raw({0, 0, 0, 0});
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    EXPECT_EQ(points, std::vector<Point>(4, Point{-1, 2, 3}));
    EXPECT_EQ(used, bytes.size());  // the payload is 0 bytes
}

TEST(Points, EmptySpanStillConsumesItsBits) {
    BitPacker p;
    for (std::uint64_t v : {31u, 7u, 0u}) {
        p.put(v, 5);
    }
    ASSERT_EQ(p.bytes().size(), 2u);
    const auto bytes = block_head(1, {{2, 0, 0}, {2, 1, 1}}, {0, 0, 0}).u32(3).raw({0, 5, 0, 0}).append(p.bytes());
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    EXPECT_EQ(points, std::vector<Point>(3, Point{2, 0, 0}));
    EXPECT_EQ(used, bytes.size());
}

TEST(Points, PartitionsAppendInOrder) {
    auto bytes = block_head(2, {{0, 0, 0}, {3, 3, 3}}, {1, 1, 1});
    bytes.u32(1).raw({0, 2, 2, 2, 0x78, 0x0E});
    bytes.u32(1).raw({0, 0, 0, 0, 0x38});  // box (0..3)^3, zero point widths
    const auto points = points_of(bytes);
    EXPECT_EQ(points, (std::vector<Point>{{1, 2, 3}, {0, 0, 0}}));
}

TEST(Points, InvalidAnchorBoxes) {
    const auto fails = [](const Box& anchor) {
        return fails_with([&] { points_of(block_head(1, anchor, {0, 0, 0}).u32(1).raw({0, 0, 0, 0})); },
                          malformed("point block has an invalid anchor box"));
    };
    EXPECT_TRUE(fails({{kNaN, 0, 0}, {1, 1, 1}}));
    EXPECT_TRUE(fails({{0, 0, 0}, {1, 1, INFINITY}}));
    EXPECT_TRUE(fails({{1, 0, 0}, {0, 1, 1}}));
    // An extent that overflows would dequantise to NaN.
    EXPECT_TRUE(fails({{-1e308, 0, 0}, {1e308, 1, 1}}));
    // Negative values and empty ranges are fine.
    EXPECT_EQ(points_of(block_head(1, {{-4, -4, 7}, {-2, -4, 7}}, {0, 0, 0}).u32(1).raw({0, 0, 0, 0})),
              (std::vector<Point>{{-4, -4, 7}}));
}

TEST(Points, WidthLimits) {
    EXPECT_TRUE(fails_with([] { points_of(block_head(1, {{0, 0, 0}, {1, 1, 1}}, {0, 54, 0})); },
                           malformed("point block declares an impossible anchor width")));
    // Checked byte by byte: the stream may end right after the bad width.
    EXPECT_TRUE(fails_with([] { points_of(ByteString(block_head(1, {{0, 0, 0}, {1, 1, 1}}, {0, 0, 0})).bytes()); },
                           test::kFillText));
    EXPECT_TRUE(fails_with([] { points_of(block_head(1, {{0, 0, 0}, {1, 1, 1}}, {0, 0, 0}).u32(1).raw({0, 54})); },
                           malformed("point block declares an impossible bit width")));

    // 53 is accepted on both: corners 0 and levels, one point at code 2^52.
    BitPacker p;
    p.put(0, 53).put((std::uint64_t{1} << 53) - 1, 53).put(std::uint64_t{1} << 52, 53);
    const auto bytes = block_head(1, {{0, 0, 0}, {8, 0, 0}}, {53, 0, 0}).u32(1).raw({0, 53, 0, 0}).append(p.bytes());
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0][0], 8.0 * (4503599627370496.0 / 9007199254740991.0));
    EXPECT_EQ(used, bytes.size());
}

TEST(Points, PartitionHeaderFaults) {
    const auto head = block_head(1, {{0, 0, 0}, {1, 1, 1}}, {0, 0, 0});
    EXPECT_TRUE(fails_with([&] { points_of(ByteString(head).u32(0)); },
                           malformed("point block holds an empty partition")));
    EXPECT_TRUE(fails_with([&] { points_of(ByteString(head).u32(1).u8(2)); },
                           malformed("point block carries a transform this version does not define")));
    EXPECT_TRUE(fails_with([&] { points_of(ByteString(head).u32(1).raw({0, 8, 8, 8, 1, 2})); },
                           malformed("block payload is shorter than its header declares")));
    EXPECT_TRUE(fails_with([&] { points_of(ByteString(head).u32(1).raw({0, 8})); }, test::kFillText));
}

TEST(Points, InvertedCornersUnlessTheRangeIsEmpty) {
    // Corner A at the top code, corner B at 0 on x.
    BitPacker p;
    p.put(1, 1).put(0, 1).put(0, 1).put(0, 1).put(1, 1).put(1, 1);
    EXPECT_TRUE(fails_with(
        [&] { points_of(block_head(1, {{0, 0, 0}, {1, 1, 1}}, {1, 1, 1}).u32(1).raw({0, 0, 0, 0}).append(p.bytes())); },
        malformed("partition has an inverted box")));
    const auto flat = points_of(block_head(1, {{5, 0, 0}, {5, 1, 1}}, {1, 1, 1}).u32(1).raw({0, 0, 0, 0}).append(p.bytes()));
    EXPECT_EQ(flat, (std::vector<Point>{{5, 0, 0}}));
}

TEST(Corners, ExtremeCodesAreExactBounds) {
    const Box working{{-1.092, 0, 0}, {6.123, 1, 1}};
    const Quantizer q(-1.092, 6.123 - -1.092, 4);
    ASSERT_NE(q.dequantize(15), 6.123);  // the formula alone misses the bound
    const Box box = decode_corners({0, 0, 0}, {15, 0, 0}, working, {4, 0, 0});
    EXPECT_EQ(box.min[0], -1.092);
    EXPECT_EQ(box.max[0], 6.123);
    EXPECT_EQ(box.min[1], 0.0);  // width 0: the whole working range
    EXPECT_EQ(box.max[1], 1.0);
    const Box mid = decode_corners({5, 0, 0}, {6, 0, 0}, working, {4, 0, 0});
    EXPECT_EQ(mid.min[0], q.dequantize(5));
    EXPECT_EQ(mid.max[0], q.dequantize(6));
}

TEST(Quantizer, DequantisesInTheWrittenOrder) {
    // base + span * (v / levels); (span * v) / levels would give 0.3999999999999999.
    const Quantizer q(0.1, 0.7, 3);
    EXPECT_EQ(q.levels, 7u);
    EXPECT_EQ(q.dequantize(3), 0.4);
    EXPECT_EQ(Quantizer(2.5, 0.0, 7).dequantize(99), 2.5);
    EXPECT_EQ(Quantizer(2.5, 4.0, 0).dequantize(0), 2.5);
    EXPECT_EQ(Quantizer(0, 1, 53).levels, 9007199254740991u);
}

TEST(Rotation, IdentityAndQuarterTurn) {
    const Matrix3 identity = spatial_matrix(rotation_code(3, 2047, 2047, 2047));
    EXPECT_EQ(identity, (Matrix3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));

    const Matrix3 r = spatial_matrix(rotation_code(3, 2047, 2047, 4094));
    EXPECT_EQ(r[0][1], -1.0);
    EXPECT_EQ(r[1][0], 1.0);
    EXPECT_EQ(r[2][2], 1.0);
    EXPECT_EQ(r[0][0], -2.220446049250313e-16);
    EXPECT_EQ(r[1][1], -2.220446049250313e-16);
    for (const auto& [row, col] : {std::pair{0, 2}, {1, 2}, {2, 0}, {2, 1}}) {
        EXPECT_EQ(r[row][col], 0.0) << row << "," << col;
    }
    // A quarter turn swaps the half extents of x and y.
    const Box local = rotated_anchor({{0, 0, 0}, {2, 4, 6}}, r);
    EXPECT_EQ(local.max[0], 2.0);
    EXPECT_EQ(local.max[1], 1.0000000000000004);
    EXPECT_EQ(local.min[2], -3.0);
    EXPECT_EQ(to_world({1, 1, 1}, identity, {0.5, -2, 3}), (Point{1.5, -1, 4}));
}

TEST(Rotation, OmittedSlotIsClampedAndFieldsFillTheOtherSlots) {
    // x and y at their largest field: 1 - sum < 0, so w is 0, not NaN; the
    // result is a half turn about (1, 1, 0).
    const Matrix3 half = spatial_matrix(rotation_code(3, 4095, 4095, 2047));
    EXPECT_NEAR(half[0][1], 1.0, 1e-15);
    EXPECT_NEAR(half[1][0], 1.0, 1e-15);
    EXPECT_NEAR(half[2][2], -1.0, 1e-15);
    EXPECT_NEAR(half[0][0], 0.0, 1e-15);
    // Omitted slot 0: the three fields are y, z and w; here a quarter turn about x.
    const Matrix3 about_x = spatial_matrix(rotation_code(0, 2047, 2047, 4094));
    EXPECT_EQ(about_x[0][0], 1.0);
    EXPECT_NEAR(about_x[2][1], 1.0, 1e-15);
    EXPECT_NEAR(about_x[1][2], -1.0, 1e-15);
}

TEST(Points, RotationFieldsAreReadFromThePayload) {
    // 38-bit code alone in a partition with zero widths: 5 bytes of payload.
    BitPacker p;
    p.put(rotation_code(3, 2047, 2047, 4094), 38);
    const auto bytes = block_head(1, {{0, 0, 0}, {2, 4, 6}}, {0, 0, 0}).u32(1).raw({1, 0, 0, 0}).append(p.bytes());
    std::size_t used = 0;
    const auto points = points_of(bytes, &used);
    EXPECT_EQ(used, bytes.size());
    ASSERT_EQ(points.size(), 1u);
    // Working box minimum, turned a quarter about z and moved to the centre.
    const Matrix3 r = spatial_matrix(rotation_code(3, 2047, 2047, 4094));
    const Box local = rotated_anchor({{0, 0, 0}, {2, 4, 6}}, r);
    EXPECT_EQ(points[0], to_world({1, 2, 3}, r, local.min));
    EXPECT_NEAR(points[0][0], 2.0, 1e-12);  // the local minimum corner is a world corner
    EXPECT_NEAR(points[0][1], 0.0, 1e-12);
    EXPECT_NEAR(points[0][2], 0.0, 1e-12);
}

TEST(Points, CountsAreBoundedWithoutPayload) {
    const auto head = [](std::uint32_t partitions) { return block_head(partitions, {{0, 0, 0}, {1, 1, 1}}, {0, 0, 0}); };
    // Zero-width partitions cost 8 bytes whatever they claim.
    EXPECT_TRUE(fails_with([&] { points_of(head(1).u32(kDefaultMaxPoints + 1).raw({0, 0, 0, 0})); },
                           malformed("point block holds more points than the reader accepts")));
    EXPECT_TRUE(fails_with([&] { points_of(head(2).u32(1).raw({0, 0, 0, 0}).u32(0xFFFFFFFF).raw({0, 0, 0, 0})); },
                           malformed("mesh holds more vertices than a u32 can index")));
    const Limits small{10, 10};
    EXPECT_EQ(points_of(head(1).u32(10).raw({0, 0, 0, 0}), nullptr, small).size(), 10u);
    EXPECT_TRUE(fails_with([&] { points_of(head(2).u32(6).raw({0, 0, 0, 0}).u32(5).raw({0, 0, 0, 0}), nullptr, small); },
                           malformed("point block holds more points than the reader accepts")));
}

}  // namespace
}  // namespace vantle
