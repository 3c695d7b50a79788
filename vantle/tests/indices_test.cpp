#include <gtest/gtest.h>

#include "bit_packer.hpp"
#include "test_support.hpp"

namespace vantle {
namespace {

using test::BitPacker;
using test::ByteString;
using test::fails_with;
using test::malformed;

const std::vector<Triangle> kTwoTriangles{{0, 1, 2}, {2, 1, 3}};

std::vector<Triangle> indices_of(const std::vector<std::uint8_t>& bytes, std::uint32_t vertices,
                                 std::size_t* consumed = nullptr) {
    Cursor c(bytes);
    auto triangles = read_indices(c, vertices);
    if (consumed != nullptr) {
        *consumed = c.position();
    }
    return triangles;
}

TEST(Indices, PublishedHighWaterBlock) {
    const auto bytes = ByteString().raw({3, 2, 0, 0, 0, 1, 3, 0, 0, 0, 0x02, 0x90, 0x00});
    std::size_t used = 0;
    EXPECT_EQ(indices_of(bytes, 4, &used), kTwoTriangles);
    EXPECT_EQ(used, bytes.size());
    // h ends at 4: one more new vertex would need a fifth.
    EXPECT_TRUE(fails_with([&] { indices_of(bytes, 3); },
                           malformed("simplex refers to an index at or beyond the item count")));
}

TEST(Indices, PublishedAbsoluteBlock) {
    const auto bytes = ByteString().raw({3, 2, 0, 0, 0, 0, 2, 0xA4, 0x0D});
    std::size_t used = 0;
    EXPECT_EQ(indices_of(bytes, 4, &used), kTwoTriangles);
    EXPECT_EQ(used, bytes.size());
    EXPECT_TRUE(fails_with([&] { indices_of(bytes, 3); },
                           malformed("simplex refers to an index at or beyond the item count")));
}

TEST(Indices, EmptyBlockIsFiveBytes) {
    std::size_t used = 0;
    EXPECT_TRUE(indices_of(ByteString().raw({3, 0, 0, 0, 0, 0xEE}), 0, &used).empty());
    EXPECT_EQ(used, 5u);
}

TEST(Indices, HeaderFaults) {
    // The arity is judged before the count is read.
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(2), 4); },
                           malformed("index block was written at a different arity than requested")));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(2), 4); },
                           malformed("index block declares a coding mode this version does not know")));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(0).u8(33), 4); },
                           malformed("index block declares a width wider than a u32")));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(0).u8(8).raw({0, 1}), 4); },
                           malformed("block payload is shorter than its header declares")));
}

TEST(Indices, AbsoluteWidthZeroAndWidest) {
    EXPECT_EQ(indices_of(ByteString().u8(3).u32(2).u8(0).u8(0), 1),
              (std::vector<Triangle>{{0, 0, 0}, {0, 0, 0}}));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(0).u8(0), 0); },
                           malformed("simplex refers to an index at or beyond the item count")));
    BitPacker p;
    p.put(0xFFFFFFFE, 32).put(7, 32).put(0, 32);
    EXPECT_EQ(indices_of(ByteString().u8(3).u32(1).u8(0).u8(32).append(p.bytes()), 0xFFFFFFFF),
              (std::vector<Triangle>{{0xFFFFFFFE, 7, 0}}));
}

TEST(Indices, HighWaterFaults) {
    // First delta 1 while h is still 0.
    BitPacker p;
    p.put(1, 6).put(1, 1).put(0, 1).put(0, 1);
    EXPECT_TRUE(fails_with([&] { indices_of(ByteString().u8(3).u32(1).u8(1).u32(p.bytes().size()).append(p.bytes()), 4); },
                           malformed("index delta reaches back past the high water mark")));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(1).u32(1).u8(0x01), 4); },
                           test::kEofText));
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(1).u8(1).u32(2).raw({0, 0}), 4); },
                           malformed("block payload length disagrees with the block header")));
    // Decoding fewer deltas than three per triangle.
    const std::vector<std::uint64_t> deltas{0, 0, 0, 1};
    EXPECT_TRUE(fails_with([&] { triangles_from_deltas(deltas, 2, 4); }, malformed("index block is short of deltas")));
    EXPECT_EQ(triangles_from_deltas(std::vector<std::uint64_t>{0, 0, 0, 1, 2, 0}, 2, 4), kTwoTriangles);
}

TEST(Indices, HighWaterCountBeyondWhatThePayloadSupports) {
    // 100 triangles of zero-width delta blocks: only new vertices, so the
    // fifth corner already needs a fifth vertex.
    const auto bytes = ByteString().u8(3).u32(100).u8(1).u32(4).raw({0, 0, 0, 0});
    EXPECT_TRUE(fails_with([&] { indices_of(bytes, 4); },
                           malformed("simplex refers to an index at or beyond the item count")));
    // With enough vertices the same block decodes: 300 distinct corners.
    const auto triangles = indices_of(bytes, 300);
    ASSERT_EQ(triangles.size(), 100u);
    EXPECT_EQ(triangles[99], (Triangle{297, 298, 299}));
}

TEST(Indices, TriangleCountIsBoundedWithoutPayload) {
    EXPECT_TRUE(fails_with([] { indices_of(ByteString().u8(3).u32(kDefaultMaxTriangles + 1).u8(0).u8(0), 1); },
                           malformed("index block holds more triangles than the reader accepts")));
    const auto three = ByteString().u8(3).u32(3).u8(0).u8(0);
    Cursor c(three);
    EXPECT_TRUE(fails_with([&] { read_indices(c, 1, Limits{10, 2}); },
                           malformed("index block holds more triangles than the reader accepts")));
}

// A whole mesh stream: four vertices at corners of (0..3)^3, the two
// published triangles, optional preamble bytes.
ByteString mesh_stream(const ByteString& head, const ByteString& preamble) {
    BitPacker p;
    for (const auto& v : {Codes{0, 0, 0}, Codes{3, 0, 0}, Codes{0, 3, 0}, Codes{0, 0, 3}}) {
        p.put(v[0], 2).put(v[1], 2).put(v[2], 2);
    }
    ByteString s(head);
    s.append(preamble.bytes());
    s.u8(3).u32(1).f64(0).f64(0).f64(0).f64(3).f64(3).f64(3).raw({0, 0, 0});
    s.u32(4).raw({0, 2, 2, 2}).append(p.bytes());
    s.raw({3, 2, 0, 0, 0, 1, 3, 0, 0, 0, 0x02, 0x90, 0x00});
    return s;
}

TEST(ReadOneFrom, WholeItem) {
    const auto head = ByteString().header(1, 1).u16(1).u32(3).text("gen").raw({2}).u64(7);
    const auto preamble = ByteString().u8(0x06).u16(1).u32(4).text("unit").u8(4).u32(2).text("mm").u32(4).text("link").u8(0);
    auto bytes = mesh_stream(head, preamble);
    const std::size_t size = bytes.size();
    bytes.u8(0xAB);  // after the item: neither read nor checked
    Cursor c(bytes);
    const Mesh mesh = read_one_from(c);
    EXPECT_EQ(c.position(), size);
    EXPECT_EQ(mesh.vertices, (std::vector<Point>{{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {0, 0, 3}}));
    EXPECT_EQ(mesh.triangles, kTwoTriangles);
    EXPECT_EQ(mesh.name, "link");
    ASSERT_EQ(mesh.metadata.size(), 1u);  // the container's own table is not kept
    EXPECT_EQ(mesh.metadata.at("unit"), Value{std::string("mm")});
    EXPECT_EQ(read_one_from(std::span<const std::uint8_t>(bytes.bytes())), mesh);
}

TEST(ReadOneFrom, ItemCountMustBeOne) {
    // Judged before the preamble, which is absent here.
    EXPECT_TRUE(fails_with([] { read_one_from(ByteString().header(1, 0, 0).bytes()); },
                           "expected a container holding exactly one item, found 0"));
    try {
        read_one_from(ByteString().header(1, 0, 2).bytes());
        FAIL() << "accepted two items";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::NotASingleItem);
        EXPECT_EQ(e.found(), 2u);
        EXPECT_STREQ(e.what(), "expected a container holding exactly one item, found 2");
    }
}

TEST(ReadOneFrom, RequestsAMeshItem) {
    EXPECT_TRUE(fails_with([] { read_one_from(mesh_stream(ByteString().header(3), ByteString().raw({0, 0})).bytes()); },
                           malformed("container holds a different kind than requested")));
    EXPECT_TRUE(fails_with([] { read_one_from(mesh_stream(ByteString().header(), ByteString().raw({1, 0})).bytes()); },
                           malformed("item sets the closed flag, which only applies to polylines")));
    EXPECT_EQ(read_one_from(mesh_stream(ByteString().header(), ByteString().raw({0, 0})).bytes()).vertices.size(), 4u);
}

}  // namespace
}  // namespace vantle
