// Hostile and damaged input: truncation, stray bytes, huge declared lengths.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "mesh_gen.hpp"
#include "test_support.hpp"

// Largest single allocation made while tracking is on; every test in this
// binary allocates through these.
namespace {
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largest{0};

void* tracked_alloc(std::size_t n) {
    if (g_tracking.load(std::memory_order_relaxed)) {
        std::size_t seen = g_largest.load(std::memory_order_relaxed);
        while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
        }
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) {
        return p;
    }
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return tracked_alloc(n); }
void* operator new[](std::size_t n) { return tracked_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vantle {
namespace {

using test::ByteString;
using test::fails_with;
using test::malformed;

// Runs `f` and returns the largest allocation it made.
template <class F>
std::size_t largest_allocation(F&& f) {
    g_largest = 0;
    g_tracking = true;
    try {
        f();
    } catch (...) {
        g_tracking = false;
        throw;
    }
    g_tracking = false;
    return g_largest;
}

std::vector<std::vector<std::uint8_t>> sample_streams() {
    std::mt19937_64 rng(99);
    std::vector<std::vector<std::uint8_t>> streams;
    for (int i = 0; i < 3; ++i) {
        Mesh mesh = renumber_by_first_use(test::random_mesh(rng));
        mesh.vertices.resize(std::min<std::size_t>(mesh.vertices.size(), 400));
        std::erase_if(mesh.triangles, [&](const Triangle& t) {
            return t[0] >= mesh.vertices.size() || t[1] >= mesh.vertices.size() || t[2] >= mesh.vertices.size();
        });
        mesh = renumber_by_first_use(mesh);
        WriteOptions options;
        options.rotated_partitions = true;
        options.index_coding = i == 1 ? IndexCoding::Absolute : IndexCoding::HighWater;
        if (i == 0) {
            mesh.name = "base link";
            mesh.metadata = {{"unit", std::string("mm")}, {"lod", std::int64_t{2}}, {"blob", Bytes{1, 2, 3}}};
            options.container_metadata = {{"tool", std::string("tests")}, {"flag", true}, {"scale", 0.5}};
        }
        streams.push_back(write_mesh(mesh, options));
    }
    return streams;
}

TEST(Robustness, EveryTruncationFailsCleanly) {
    for (const auto& stream : sample_streams()) {
        ASSERT_GT(stream.size(), 200u);
        for (std::size_t len = 0; len < stream.size(); ++len) {
            // Exactly len bytes on the heap, so an over-read is caught by ASan.
            const std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[len]);
            std::copy(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(len), buf.get());
            try {
                read_one_from(std::span<const std::uint8_t>(buf.get(), len));
                ADD_FAILURE() << "a stream cut to " << len << " bytes was accepted";
            } catch (const Error& e) {
                const std::string text = e.what();
                EXPECT_TRUE(text == test::kFillText || text == malformed("block payload is shorter than its header declares"))
                    << "cut at " << len << ": " << text;
            }
        }
        const std::unique_ptr<std::uint8_t[]> whole(new std::uint8_t[stream.size()]);
        std::copy(stream.begin(), stream.end(), whole.get());
        Cursor c(std::span<const std::uint8_t>(whole.get(), stream.size()));
        EXPECT_NO_THROW(read_one_from(c));
        EXPECT_EQ(c.position(), stream.size());
    }
}

// Offset of the index block in a stream from our writer.
std::size_t index_block_offset(const std::vector<std::uint8_t>& stream) {
    Cursor c(stream);
    read_header(c, Kind::Mesh);
    read_preamble(c, false);
    read_points(c);
    return c.position();
}

TEST(Robustness, OneByteTooManyOrTooFewInADeltaPayload) {
    const std::vector<std::uint8_t> stream = sample_streams()[2];
    const std::size_t at = index_block_offset(stream);
    ASSERT_EQ(stream[at + 5], 1);  // high-water
    const std::size_t length_at = at + 6;
    const std::uint32_t length = stream[length_at] | stream[length_at + 1] << 8 | stream[length_at + 2] << 16 |
                                 static_cast<std::uint32_t>(stream[length_at + 3]) << 24;
    ASSERT_EQ(length_at + 4 + length, stream.size());
    const auto with_length = [&](std::uint32_t l, std::vector<std::uint8_t> s) {
        for (int i = 0; i < 4; ++i) {
            s[length_at + i] = static_cast<std::uint8_t>(l >> (8 * i));
        }
        return s;
    };
    // A stray byte inside the payload, declared.
    auto longer = with_length(length + 1, stream);
    longer.push_back(0);
    EXPECT_TRUE(fails_with([&] { read_one_from(longer); },
                           malformed("block payload length disagrees with the block header")));
    // One byte missing from the payload, declared.
    auto shorter = with_length(length - 1, stream);
    shorter.pop_back();
    EXPECT_TRUE(fails_with([&] { read_one_from(shorter); }, test::kEofText));
    // One byte missing, not declared.
    auto cut = stream;
    cut.pop_back();
    EXPECT_TRUE(fails_with([&] { read_one_from(cut); }, malformed("block payload is shorter than its header declares")));
    // A byte after the item is not the reader's business, but it shows.
    auto trailing = stream;
    trailing.push_back(0);
    Cursor c(trailing);
    read_one_from(c);
    EXPECT_EQ(c.position(), trailing.size() - 1);
}

TEST(Robustness, DeclaredLengthsReserveLittle) {
    constexpr std::size_t kSmall = 1 << 20;
    // A blocked value stream declaring 4,000,000,000 payload bytes.
    const auto huge = ByteString().u32(4000000000u).raw({1, 2, 3, 4});
    EXPECT_LT(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { Cursor c(huge); read_stream(c, 3); },
                                         malformed("block payload is shorter than its header declares")));
              }),
              kSmall);
    // The same inside a whole mesh stream.
    auto stream = sample_streams()[2];
    const std::size_t length_at = index_block_offset(stream) + 6;
    for (int i = 0; i < 4; ++i) {
        stream[length_at + i] = static_cast<std::uint8_t>(4000000000u >> (8 * i));
    }
    EXPECT_LT(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { read_one_from(stream); },
                                         malformed("block payload is shorter than its header declares")));
              }),
              kSmall);
    // Text, byte string and name lengths at their limits with the bytes missing.
    const auto text = ByteString().u16(1).u32(1).text("k").u8(4).u32(16777216).raw({65, 66});
    const auto raw = ByteString().u16(1).u32(1).text("k").u8(5).u32(16777216);
    const auto name = ByteString().u8(2).u32(65536).text("ab");
    EXPECT_LT(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { Cursor c(text); read_metadata(c); }, test::kFillText));
                  EXPECT_TRUE(fails_with([&] { Cursor c(raw); read_metadata(c); }, test::kFillText));
                  EXPECT_TRUE(fails_with([&] { Cursor c(name); read_preamble(c, false); }, test::kFillText));
              }),
              kSmall);
}

TEST(Robustness, HugeCountsStayWithinTheReservationCaps) {
    const Limits unlimited{0xFFFFFFFFu, 0xFFFFFFFFu};
    // 4,000,000,000 points of 24 bits each, payload absent.
    // clang-format off
    const auto points = ByteString().u8(3).u32(1).f64(0).f64(0).f64(0).f64(1).f64(1).f64(1).raw({0, 0, 0})
                            .u32(4000000000u).raw({0, 8, 8, 8, 1, 2, 3});
    // clang-format on
    EXPECT_LE(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { Cursor c(points); read_points(c, unlimited); },
                                         malformed("block payload is shorter than its header declares")));
              }),
              65536u * sizeof(Point));
    // 4,000,000,000 triangles, absolute and high-water, payload absent.
    const auto absolute = ByteString().u8(3).u32(4000000000u).u8(0).u8(8).raw({1, 2, 3});
    const auto high_water = ByteString().u8(3).u32(4000000000u).u8(1).u32(1000).raw({1, 2, 3});
    EXPECT_LE(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { Cursor c(absolute); read_indices(c, 10, unlimited); },
                                         malformed("block payload is shorter than its header declares")));
                  EXPECT_TRUE(fails_with([&] { Cursor c(high_water); read_indices(c, 10, unlimited); },
                                         malformed("block payload is shorter than its header declares")));
              }),
              65536u * sizeof(Triangle));
}

TEST(Robustness, ZeroWidthClaimsAreBoundedByDefault) {
    // Under a hundred bytes claiming 4,294,967,295 points and as many triangles.
    // clang-format off
    const auto bomb = ByteString().header().raw({0, 0}).u8(3).u32(1).f64(0).f64(0).f64(0).f64(0).f64(0).f64(0)
                          .raw({0, 0, 0}).u32(0xFFFFFFFFu).raw({0, 0, 0, 0})
                          .u8(3).u32(0xFFFFFFFFu).u8(0).u8(0);
    // clang-format on
    ASSERT_LT(bomb.size(), 100u);
    EXPECT_LT(largest_allocation([&] {
                  EXPECT_TRUE(fails_with([&] { read_one_from(bomb); },
                                         malformed("point block holds more points than the reader accepts")));
              }),
              std::size_t{1} << 20);
    // clang-format off
    const auto triangles = ByteString().header().raw({0, 0}).u8(3).u32(1).f64(0).f64(0).f64(0).f64(0).f64(0).f64(0)
                               .raw({0, 0, 0}).u32(1).raw({0, 0, 0, 0})
                               .u8(3).u32(0xFFFFFFFFu).u8(0).u8(0);
    // clang-format on
    EXPECT_TRUE(fails_with([&] { read_one_from(triangles); },
                           malformed("index block holds more triangles than the reader accepts")));
}

}  // namespace
}  // namespace vantle
