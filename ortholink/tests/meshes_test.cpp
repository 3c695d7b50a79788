#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <vantle/vantle.hpp>

#include "embedded_meshes.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/meshes.hpp"

namespace ortholink {
namespace {

// What the embedded assets hold. Extents (mm, authored frame) must stay within
// kExtentSlack of the published ones; counts and bytes are those of our streams.
struct Inventory {
    CrxModel model;
    int index;
    std::size_t bytes;
    std::size_t vertices;
    std::size_t triangles;
    std::array<std::array<double, 2>, 3> extents;  // x, y, z: min, max
};

constexpr double kExtentSlack = 0.5;

const Inventory kInventory[] = {
    {CrxModel::Crx5iA, 0, 20982, 2031, 4058, {{{-100.0, 74.5}, {-74.5, 74.5}, {-185.0, -125.0}}}},
    {CrxModel::Crx5iA, 1, 29742, 2618, 5232, {{{-65.0, 65.0}, {-90.5, 65.4}, {-124.5, 65.4}}}},
    {CrxModel::Crx5iA, 2, 24871, 2137, 4270, {{{-65.0, 65.0}, {-230.4, -67.5}, {-65.1, 469.0}}}},
    {CrxModel::Crx5iA, 3, 17306, 1594, 3184, {{{-61.0, 120.5}, {-66.5, 61.0}, {-61.0, 61.0}}}},
    {CrxModel::Crx5iA, 4, 22338, 2175, 4346, {{{121.5, 484.0}, {-59.0, 55.8}, {-55.8, 55.8}}}},
    {CrxModel::Crx5iA, 5, 27014, 2513, 5022, {{{-55.6, 84.5}, {-55.0, 70.5}, {-55.0, 55.0}}}},
    {CrxModel::Crx5iA, 6, 18420, 1748, 3492, {{{-46.0, 46.0}, {-62.5, 54.5}, {-60.0, 0.0}}}},
    {CrxModel::Crx10iA, 0, 21509, 2027, 4050, {{{-99.1, 95.0}, {-95.0, 95.0}, {-245.0, -160.0}}}},
    {CrxModel::Crx10iA, 1, 29295, 2564, 5124, {{{-79.0, 79.0}, {-119.0, 80.2}, {-159.0, 80.2}}}},
    {CrxModel::Crx10iA, 2, 25151, 2135, 4266, {{{-79.0, 79.0}, {-298.4, -76.0}, {-79.5, 608.1}}}},
    {CrxModel::Crx10iA, 3, 17405, 1589, 3174, {{{-70.5, 153.0}, {-75.0, 63.9}, {-70.2, 70.2}}}},
    {CrxModel::Crx10iA, 4, 22450, 2183, 4362, {{{154.0, 593.1}, {-64.0, 58.1}, {-57.0, 57.0}}}},
    {CrxModel::Crx10iA, 5, 27112, 2568, 5132, {{{-58.1, 99.5}, {-58.1, 85.0}, {-57.0, 57.0}}}},
    {CrxModel::Crx10iA, 6, 18482, 1748, 3492, {{{-46.0, 46.0}, {-62.5, 54.6}, {-59.5, 0.0}}}},
};

std::span<const std::span<const std::uint8_t>> streams_of(CrxModel model) {
    return model == CrxModel::Crx5iA ? std::span(embedded::crx5ia_streams) : std::span(embedded::crx10ia_streams);
}

LinkMeshes load_or_fail(CrxModel model) {
    MeshLoadResult result = LinkMeshes::load(model);
    if (const auto* error = std::get_if<MeshLoadError>(&result)) {
        ADD_FAILURE() << error->message;
        return {};
    }
    return std::get<LinkMeshes>(std::move(result));
}

std::string load_error(std::span<const std::span<const std::uint8_t>> streams) {
    const MeshLoadResult result = LinkMeshes::decode(streams);
    const auto* error = std::get_if<MeshLoadError>(&result);
    return error == nullptr ? "(loaded)" : error->message;
}

double distance(const Vec3& a, const Vec3& b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

JointVector random_joints(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-180.0, 180.0);
    JointVector joints;
    for (double& j : joints) {
        j = angle(rng);
    }
    return joints;
}

TEST(LinkMeshes, InventoryOfTheEmbeddedAssets) {
    const LinkMeshes small = load_or_fail(CrxModel::Crx5iA);
    const LinkMeshes large = load_or_fail(CrxModel::Crx10iA);
    for (const Inventory& row : kInventory) {
        SCOPED_TRACE(std::string(model_name(row.model)) + " link " + std::to_string(row.index));
        EXPECT_EQ(streams_of(row.model)[row.index].size(), row.bytes);
        const LinkMesh& mesh = (row.model == CrxModel::Crx5iA ? small : large).links[row.index];
        EXPECT_EQ(mesh.vertices.size(), row.vertices);
        EXPECT_EQ(mesh.faces.size(), row.triangles);
        for (int axis = 0; axis < 3; ++axis) {
            double lo = INFINITY;
            double hi = -INFINITY;
            for (const Vec3& v : mesh.vertices) {
                lo = std::min(lo, v[axis]);
                hi = std::max(hi, v[axis]);
            }
            EXPECT_NEAR(lo, row.extents[axis][0], kExtentSlack) << "axis " << axis;
            EXPECT_NEAR(hi, row.extents[axis][1], kExtentSlack) << "axis " << axis;
        }
    }
}

// The container shape every embedded stream promises: one mesh item, no
// metadata or name, unrotated partitions, high-water indices, no trailing bytes.
TEST(LinkMeshes, EmbeddedStreamsHaveTheAgreedLayout) {
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA}) {
        for (std::size_t index = 0; index < kLinkCount; ++index) {
            SCOPED_TRACE(std::string(model_name(model)) + " link " + std::to_string(index));
            const std::span<const std::uint8_t> stream = streams_of(model)[index];
            vantle::Cursor cursor(stream);
            const vantle::Header header = vantle::read_header(cursor, vantle::Kind::Mesh);
            EXPECT_EQ(header.item_count, 1u);
            EXPECT_TRUE(header.metadata.empty());
            EXPECT_EQ(stream[7], 0) << "container flags";
            EXPECT_EQ(stream[12], 0) << "item flags";
            vantle::read_preamble(cursor, false);

            // Point block: walk the partitions to see each transform byte.
            EXPECT_EQ(cursor.read_u8(), vantle::kPointDimension);
            const std::uint32_t partitions = cursor.read_u32();
            vantle::Box anchor;
            for (double& value : anchor.min) value = cursor.read_f64();
            for (double& value : anchor.max) value = cursor.read_f64();
            vantle::Widths widths;
            for (std::uint8_t& width : widths) width = cursor.read_u8();
            const vantle::Point centre{(anchor.min[0] + anchor.max[0]) / 2, (anchor.min[1] + anchor.max[1]) / 2,
                                       (anchor.min[2] + anchor.max[2]) / 2};
            std::vector<vantle::Point> points;
            for (std::uint32_t p = 0; p < partitions; ++p) {
                ASSERT_GE(cursor.remaining(), 5u);
                EXPECT_EQ(stream[cursor.position() + 4], vantle::kTransformNone) << "partition " << p;
                vantle::read_partition(cursor, anchor, widths, centre, points);
            }

            // Index block: arity, count, then the coding mode.
            ASSERT_GE(cursor.remaining(), 6u);
            EXPECT_EQ(stream[cursor.position() + 5], static_cast<std::uint8_t>(vantle::IndexCoding::HighWater));
            vantle::read_indices(cursor, static_cast<std::uint32_t>(points.size()));
            EXPECT_TRUE(cursor.at_end()) << cursor.remaining() << " trailing bytes";
        }
    }
}

// Closed, consistently oriented, no flat triangle, vertices numbered by first
// use with none unused, a sensible size, and the flange behind its mating face.
TEST(LinkMeshes, EveryMeshIsAClosedSurfaceNumberedByFirstUse) {
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA}) {
        const LinkMeshes meshes = load_or_fail(model);
        for (std::size_t index = 0; index < kLinkCount; ++index) {
            SCOPED_TRACE(std::string(model_name(model)) + " link " + std::to_string(index));
            const LinkMesh& mesh = meshes.links[index];
            EXPECT_GE(mesh.vertices.size(), 500u);
            EXPECT_LE(mesh.vertices.size(), 10000u);

            std::uint32_t next_new = 0;
            std::map<std::pair<std::uint32_t, std::uint32_t>, int> directed;
            double smallest_area = INFINITY;
            for (const Triangle& face : mesh.faces) {
                for (int corner = 0; corner < 3; ++corner) {
                    ASSERT_LE(face[corner], next_new) << "vertex used before its predecessors";
                    if (face[corner] == next_new) {
                        ++next_new;
                    }
                    ++directed[{face[corner], face[(corner + 1) % 3]}];
                }
                const Vec3& a = mesh.vertices[face[0]];
                const Vec3& b = mesh.vertices[face[1]];
                const Vec3& c = mesh.vertices[face[2]];
                const Vec3 n = cross(Vec3{b[0] - a[0], b[1] - a[1], b[2] - a[2]},
                                     Vec3{c[0] - a[0], c[1] - a[1], c[2] - a[2]});
                smallest_area = std::min(smallest_area, 0.5 * std::sqrt(dot(n, n)));
            }
            EXPECT_EQ(next_new, mesh.vertices.size()) << "unused vertices";
            EXPECT_GT(smallest_area, 1e-6);
            for (const auto& [edge, count] : directed) {
                ASSERT_EQ(count, 1) << "edge " << edge.first << "-" << edge.second << " repeated";
                ASSERT_TRUE(directed.contains({edge.second, edge.first}))
                    << "edge " << edge.first << "-" << edge.second << " has no partner";
            }
        }
        const LinkMesh& flange = meshes.links[6];
        EXPECT_TRUE(std::all_of(flange.vertices.begin(), flange.vertices.end(),
                                [](const Vec3& v) { return v[2] <= 0.0; }));
        EXPECT_TRUE(std::any_of(flange.vertices.begin(), flange.vertices.end(),
                                [](const Vec3& v) { return v[2] == 0.0; }));
    }
}

TEST(LinkMeshes, ModelsWithoutGeometryAreRefusedByName) {
    for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx10iAL, CrxModel::Crx20iAL, CrxModel::Crx30iA}) {
        EXPECT_FALSE(has_link_meshes(model));
        const MeshLoadResult result = LinkMeshes::load(model);
        ASSERT_TRUE(std::holds_alternative<MeshLoadError>(result));
        EXPECT_EQ(std::get<MeshLoadError>(result).message,
                  "No link meshes are embedded for the " + std::string(model_name(model)) +
                      ". Geometry is available for the Crx5iA and the Crx10iA only.");
    }
    EXPECT_TRUE(has_link_meshes(CrxModel::Crx5iA));
    EXPECT_TRUE(has_link_meshes(CrxModel::Crx10iA));
}

TEST(LinkMeshes, DecodingFailuresCarryTheStreamErrorText) {
    const auto good = streams_of(CrxModel::Crx10iA);
    std::vector<std::span<const std::uint8_t>> streams(good.begin(), good.end());

    // A stream cut short in its header, then one cut by its last byte.
    const std::vector<std::uint8_t> header_only(good[3].begin(), good[3].begin() + 10);
    streams[3] = header_only;
    EXPECT_EQ(load_error(streams), "io error: failed to fill whole buffer");
    const std::vector<std::uint8_t> last_byte_missing(good[3].begin(), good[3].end() - 1);
    streams[3] = last_byte_missing;
    EXPECT_EQ(load_error(streams), "malformed vantle stream: block payload is shorter than its header declares");

    // The first failure wins, in index order.
    std::vector<std::uint8_t> bad_magic(good[1].begin(), good[1].end());
    bad_magic[0] = 'X';
    streams[1] = bad_magic;
    EXPECT_EQ(load_error(streams), "not a vantle stream: invalid magic bytes");

    std::vector<std::uint8_t> bad_version(good[1].begin(), good[1].end());
    bad_version[4] = 3;
    streams[1] = bad_version;
    EXPECT_EQ(load_error(streams), "unsupported vantle format version 3");

    EXPECT_EQ(load_error(std::span(good).first(6)), "Expected seven embedded meshes");
    std::vector<std::span<const std::uint8_t>> eight(good.begin(), good.end());
    eight.push_back(good[0]);
    EXPECT_EQ(load_error(eight), "Expected seven embedded meshes");
    EXPECT_EQ(load_error({}), "Expected seven embedded meshes");

    // The embedded streams themselves decode to what load gives.
    const MeshLoadResult again = LinkMeshes::decode(good);
    ASSERT_TRUE(std::holds_alternative<LinkMeshes>(again));
    EXPECT_EQ(std::get<LinkMeshes>(again), load_or_fail(CrxModel::Crx10iA));
}

TEST(LinkMeshes, PosesAreTheIdentityThenTheFramesOfFkAll) {
    std::mt19937_64 rng(5);
    const Crx robots[] = {Crx::new_5ia(), Crx::new_10ia(), Crx::new_30ia()};
    for (int trial = 0; trial < 200; ++trial) {
        const Crx& robot = robots[trial % 3];
        const JointVector joints = random_joints(rng);
        const auto poses = LinkMeshes::poses(robot, joints);
        EXPECT_EQ(poses[0], Pose{});
        EXPECT_EQ(poses[0].q, (Quat{0, 0, 0, 1}));
        const auto frames = fk_all(robot, joints);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(poses[i + 1], frames[i]);
        }
        EXPECT_EQ(poses[6], fk(robot, joints));
    }
}

TEST(LinkMeshes, TransformedRotatesThenTranslatesAndLeavesTheInputAlone) {
    const LinkMesh mesh = load_or_fail(CrxModel::Crx5iA).links[3];
    const LinkMesh before = mesh;

    EXPECT_EQ(mesh.transformed(Pose{}), mesh);

    const Pose pose{rotation_from_scaled_axis(Vec3{0.6, 0.0, 0.8}, 1.1), Vec3{10.0, -20.0, 30.5}};
    const LinkMesh moved = mesh.transformed(pose);
    EXPECT_EQ(mesh, before);
    EXPECT_EQ(moved.faces, mesh.faces);
    ASSERT_EQ(moved.vertices.size(), mesh.vertices.size());
    for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
        const Vec3 r = rotate(pose.q, mesh.vertices[i]);
        const Vec3 expected{r[0] + pose.t[0], r[1] + pose.t[1], r[2] + pose.t[2]};
        ASSERT_LT(distance(moved.vertices[i], expected), 1e-9) << "vertex " << i;
    }

    // Empty meshes stay empty.
    EXPECT_EQ(LinkMesh{}.transformed(pose), LinkMesh{});
}

TEST(LinkMeshes, TextCountsVerticesAndFaces) {
    const LinkMesh triangle{{Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}}, {Triangle{0, 1, 2}}};
    EXPECT_EQ(to_string(triangle), "LinkMesh(vertices=3, faces=1)");
    EXPECT_EQ(to_string(LinkMesh{}), "LinkMesh(vertices=0, faces=0)");
    EXPECT_EQ(to_string(LinkMeshes{}), "LinkMeshes(links=7)");
}

TEST(LinkMeshes, PosedPlacesEveryLinkOnItsFrame) {
    std::mt19937_64 rng(15);
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA}) {
        const LinkMeshes meshes = load_or_fail(model);
        const Crx robot = Crx::from_model(model);
        for (int trial = 0; trial < 5; ++trial) {
            const JointVector joints = random_joints(rng);
            const auto posed = meshes.posed(robot, joints);
            const auto poses = LinkMeshes::poses(robot, joints);
            // The base does not move.
            EXPECT_EQ(posed[0].vertices, meshes.links[0].vertices);
            for (std::size_t i = 0; i < kLinkCount; ++i) {
                EXPECT_EQ(posed[i], meshes.links[i].transformed(poses[i]));
                EXPECT_EQ(posed[i].faces, meshes.links[i].faces);
            }

            // The flange's authored z = 0 face lies on the flange plane of fk, the rest behind it.
            const Pose flange = fk(robot, joints);
            const Vec3 axis = rotate(flange.q, Vec3{0, 0, 1});
            int on_plane = 0;
            for (std::size_t v = 0; v < posed[6].vertices.size(); ++v) {
                const Vec3& p = posed[6].vertices[v];
                const double height = dot(Vec3{p[0] - flange.t[0], p[1] - flange.t[1], p[2] - flange.t[2]}, axis);
                EXPECT_LE(height, 1e-9);
                if (meshes.links[6].vertices[v][2] == 0.0) {
                    EXPECT_NEAR(height, 0.0, 1e-9);
                    ++on_plane;
                }
            }
            EXPECT_GT(on_plane, 0);
        }
    }
}

TEST(LinkMeshes, MeshesOfOneModelPoseOnTheKinematicsOfAnother) {
    const LinkMeshes small = load_or_fail(CrxModel::Crx5iA);
    const Crx large = Crx::new_10ia();
    const JointVector joints{10, 20, 30, 40, 50, 60};
    const auto posed = small.posed(large, joints);
    const auto poses = LinkMeshes::poses(large, joints);
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        EXPECT_EQ(posed[i], small.links[i].transformed(poses[i]));
    }
}

TEST(LinkMeshes, EveryLoadDecodesAfresh) {
    const LinkMeshes first = load_or_fail(CrxModel::Crx10iA);
    LinkMeshes second = load_or_fail(CrxModel::Crx10iA);
    EXPECT_EQ(first, second);
    second.links[0].vertices.clear();
    EXPECT_EQ(load_or_fail(CrxModel::Crx10iA), first);
    EXPECT_NE(load_or_fail(CrxModel::Crx5iA), first);
}

TEST(MeshFromFields, RebuildsAnEmbeddedMeshFromItsCorners) {
    const LinkMesh mesh = load_or_fail(CrxModel::Crx10iA).links[2];
    std::vector<std::int64_t> corners;
    for (const Triangle& face : mesh.faces) corners.insert(corners.end(), face.begin(), face.end());
    const auto rebuilt = mesh_from_fields(mesh.vertices, corners);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(*rebuilt, mesh);

    EXPECT_EQ(mesh_from_fields({}, {}), LinkMesh{});
    const auto bare = mesh_from_fields({Vec3{1.0, 2.0, 3.0}}, {});  // points without faces are a mesh
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->vertices.size(), 1u);
    EXPECT_TRUE(bare->faces.empty());
}

TEST(MeshFromFields, EveryCornerMustNameAVertex) {
    const std::vector<Vec3> three{Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}};
    const auto last = mesh_from_fields(three, std::vector<std::int64_t>{2, 1, 0, 0, 0, 2});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->faces, (std::vector<Triangle>{{2, 1, 0}, {0, 0, 2}}));

    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, 1, 3}));  // one past the last vertex
    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, -1, 2}));
    EXPECT_FALSE(mesh_from_fields({}, std::vector<std::int64_t>{0, 0, 0}));
    // 2^32 would be stored as 0, a vertex that exists.
    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, 1, std::int64_t{1} << 32}));
    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, 1, std::numeric_limits<std::int64_t>::min()}));
    // Corners come three to a face.
    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, 1}));
    EXPECT_FALSE(mesh_from_fields(three, std::vector<std::int64_t>{0, 1, 2, 0}));
}

}  // namespace
}  // namespace ortholink
