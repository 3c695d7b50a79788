#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "mesh_gen.hpp"
#include "test_support.hpp"

namespace vantle {
namespace {

using test::fails_with;

double distance(const Point& a, const Point& b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

// Writes, reads back to the last byte, and compares within the tolerance.
void expect_round_trip(const Mesh& mesh, const WriteOptions& options, const std::string& context) {
    const std::vector<std::uint8_t> bytes = write_mesh(mesh, options);
    Cursor c(bytes);
    Mesh back;
    try {
        back = read_one_from(c);
    } catch (const Error& e) {
        FAIL() << context << ": " << e.what();
    }
    EXPECT_EQ(c.position(), bytes.size()) << context;
    EXPECT_EQ(back.triangles, mesh.triangles) << context;
    EXPECT_EQ(back.name, mesh.name) << context;
    EXPECT_EQ(back.metadata, mesh.metadata) << context;
    ASSERT_EQ(back.vertices.size(), mesh.vertices.size()) << context;
    double worst = 0.0;
    for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
        worst = std::max(worst, distance(back.vertices[i], mesh.vertices[i]));
    }
    EXPECT_LE(worst, options.tolerance) << context;
}

TEST(Writer, SeededRoundTrips) {
    const std::uint64_t seed = test::env_or("VANTLE_SEED", 20240611);
    const std::uint64_t count = test::env_or("VANTLE_ROUNDTRIP_COUNT", 150);
    std::mt19937_64 rng(seed);
    for (std::uint64_t round = 0; round < count; ++round) {
        Mesh mesh = test::random_mesh(rng);
        WriteOptions options;
        options.tolerance = std::pow(10.0, -4.0 + 4.0 * std::uniform_real_distribution<double>(0, 1)(rng));
        options.rotated_partitions = rng() % 2 == 0;
        if (rng() % 3 == 0) {
            options.index_coding = IndexCoding::Absolute;
        } else {
            mesh = renumber_by_first_use(mesh);
        }
        if (rng() % 4 == 0) {
            mesh.name = "part " + std::to_string(round);
            mesh.metadata["round"] = static_cast<std::int64_t>(round);
            options.container_metadata["seed"] = static_cast<std::int64_t>(seed);
        }
        expect_round_trip(mesh, options, "seed " + std::to_string(seed) + " round " + std::to_string(round));
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(Writer, DefaultStreamHasTheEmbeddedShape) {
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}};
    mesh.triangles = {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}};
    const auto bytes = write_mesh(mesh);
    // Mesh kind, no container metadata, one item with no flags and no attributes.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 14),
              (std::vector<std::uint8_t>{'V', 'N', 'T', 'L', 2, 1, 0, 0, 1, 0, 0, 0, 0, 0}));
    Cursor c(bytes);
    read_header(c, Kind::Mesh);
    read_preamble(c, false);
    read_points(c);
    const std::size_t index_block = c.position();
    EXPECT_EQ(bytes[index_block + 5], static_cast<std::uint8_t>(IndexCoding::HighWater));
    expect_round_trip(mesh, {}, "tetrahedron");
}

TEST(Writer, EmptyAndDegenerateMeshes) {
    expect_round_trip(Mesh{}, {}, "empty");
    Mesh same;
    same.vertices.assign(5, Point{1e6 + 0.1, -3.3, 7});
    same.triangles = {{0, 1, 2}, {2, 3, 4}};
    const auto bytes = write_mesh(same, {});
    const Mesh back = read_one_from(std::span<const std::uint8_t>(bytes));
    EXPECT_EQ(back.vertices, same.vertices);  // zero extent: stored exactly
    Mesh points_only;
    points_only.vertices = {{1, 2, 3}, {4, 5, 6}};
    expect_round_trip(points_only, {}, "no triangles");
}

TEST(Writer, ToleranceMustBeRepresentable) {
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1e9, 0, 0}};
    WriteOptions options;
    options.tolerance = 1e-9;
    EXPECT_TRUE(fails_with([&] { write_mesh(mesh, options); },
                           "cannot guarantee a tolerance of 0.000000001 over a range of 1000000000: the ratio exceeds "
                           "what an f64 can represent exactly"));
    for (const double tol : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        options.tolerance = tol;
        try {
            write_mesh(mesh, options);
            ADD_FAILURE() << "accepted tolerance " << tol;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::ToleranceNotRepresentable);
            EXPECT_EQ(e.range(), 1e9);
        }
    }
    // Coordinates far from the origin limit the resolution as much as the extent.
    Mesh far;
    far.vertices = {{1e12, 0, 0}, {1e12 + 1, 0, 0}};
    options.tolerance = 1e-6;
    EXPECT_THROW(write_mesh(far, options), Error);
    options.tolerance = 1e-2;
    expect_round_trip(far, options, "far from the origin");
}

TEST(Writer, AnIndexCodingOutsideTheEnumerationIsRefused) {
    // It once gave a stream its own reader rejects.
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.triangles = {{0, 1, 2}};
    WriteOptions options;
    options.index_coding = static_cast<IndexCoding>(7);
    EXPECT_THROW(write_mesh(mesh, options), std::invalid_argument);
}

TEST(Writer, TinyTolerancesStillHold) {
    std::mt19937_64 rng(7);
    Mesh mesh = renumber_by_first_use(test::random_mesh(rng));
    for (const double tol : {1e-9, 1e-12}) {
        for (Point& p : mesh.vertices) {
            for (double& v : p) {
                v = std::fmod(v, 1.0);
            }
        }
        WriteOptions options;
        options.tolerance = tol;
        options.rotated_partitions = true;
        expect_round_trip(mesh, options, "tol " + std::to_string(tol));
    }
}

TEST(Writer, RejectsWhatTheFormatCannotHold) {
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.triangles = {{0, 1, 3}};
    EXPECT_THROW(write_mesh(mesh), std::invalid_argument);
    mesh.triangles = {{0, 1, 2}, {1, 0, 2}};
    EXPECT_NO_THROW(write_mesh(mesh));
    mesh.triangles = {{1, 0, 2}};  // 1 before 0: not in order of first use
    EXPECT_THROW(write_mesh(mesh), std::invalid_argument);
    WriteOptions absolute;
    absolute.index_coding = IndexCoding::Absolute;
    expect_round_trip(mesh, absolute, "absolute, any order");
    expect_round_trip(renumber_by_first_use(mesh), {}, "renumbered");

    Mesh bad = mesh;
    bad.vertices[1][2] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(write_mesh(bad, absolute), std::invalid_argument);
    bad = mesh;
    bad.name = std::string(65537, 'n');
    EXPECT_THROW(write_mesh(bad, absolute), std::invalid_argument);
    bad.name = std::string("\xFF");
    EXPECT_THROW(write_mesh(bad, absolute), std::invalid_argument);
    bad.name = std::string(65536, 'n');
    expect_round_trip(bad, absolute, "longest name");
}

TEST(Writer, MetadataOfEveryTypeRoundTrips) {
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.triangles = {{0, 1, 2}};
    mesh.name = "";
    mesh.metadata = {{"b", true}, {"i", std::int64_t{-5}}, {"f", 0.125}, {"t", std::string("x")}, {"y", Bytes{0, 255}}};
    WriteOptions options;
    options.container_metadata = {{"tool", std::string("test")}};
    expect_round_trip(mesh, options, "metadata");
    mesh.metadata = {{std::string("\xC3"), true}};
    EXPECT_THROW(write_mesh(mesh), std::invalid_argument);
}

TEST(Writer, RotatedPartitionsShrinkSlantedGeometry) {
    // A thin plate along a diagonal: its principal frame is far tighter than
    // any axis-aligned box.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(0, 1);
    Mesh mesh;
    for (int i = 0; i < 2000; ++i) {
        const double u = unit(rng) * 100;
        const double v = unit(rng) * 100;
        mesh.vertices.push_back({u * 0.6 + v * 0.48, u * 0.8 - v * 0.36, v * 0.8 + 0.001 * unit(rng)});
    }
    WriteOptions plain;
    WriteOptions turned;
    turned.rotated_partitions = true;
    const auto a = write_mesh(mesh, plain);
    const auto b = write_mesh(mesh, turned);
    EXPECT_LT(b.size(), a.size() * 9 / 10);
    expect_round_trip(mesh, turned, "slanted plate");
}

TEST(Writer, PartitionsFollowSpatialRuns) {
    // Two tight clusters far apart: split into at least two partitions,
    // and much smaller than one partition over both.
    Mesh mesh;
    for (int i = 0; i < 500; ++i) {
        const double t = i * 0.01;
        mesh.vertices.push_back({std::fmod(t, 1.0), std::fmod(t * 3, 1.0), 0});
    }
    for (int i = 0; i < 500; ++i) {
        const double t = i * 0.01;
        mesh.vertices.push_back({1000 + std::fmod(t, 1.0), 1000 + std::fmod(t * 7, 1.0), 1000});
    }
    const auto bytes = write_mesh(mesh);
    Cursor c(bytes);
    read_header(c, Kind::Mesh);
    read_preamble(c, false);
    ASSERT_EQ(bytes[c.position()], 3);
    const std::uint32_t partitions = bytes[c.position() + 1];
    EXPECT_GE(partitions, 2u);
    EXPECT_LT(bytes.size(), 1000u * 6);  // about 3 x 10 bits a point, not 3 x 18
    expect_round_trip(mesh, {}, "clusters");
}

TEST(Renumber, FirstUseOrderDropsUnusedVertices) {
    Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};
    mesh.triangles = {{3, 1, 3}, {4, 1, 0}};
    mesh.name = "n";
    const Mesh r = renumber_by_first_use(mesh);
    EXPECT_EQ(r.vertices, (std::vector<Point>{{3, 0, 0}, {1, 0, 0}, {4, 0, 0}, {0, 0, 0}}));
    EXPECT_EQ(r.triangles, (std::vector<Triangle>{{0, 1, 0}, {2, 1, 3}}));
    EXPECT_EQ(r.name, "n");
    EXPECT_EQ(renumber_by_first_use(r), r);
    mesh.triangles.push_back({0, 5, 1});
    EXPECT_THROW(renumber_by_first_use(mesh), std::invalid_argument);
}

}  // namespace
}  // namespace vantle
