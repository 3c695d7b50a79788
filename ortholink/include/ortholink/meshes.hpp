#pragma once
// The visual meshes of the robot links, embedded for the CRX-5iA and the
// CRX-10iA, and their placement for a joint configuration.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

using Triangle = std::array<std::uint32_t, 3>;

// One triangle mesh in millimetres, in the frame it moves with.
struct LinkMesh {
    std::vector<Vec3> vertices;
    std::vector<Triangle> faces;  // indices into `vertices`, corner order as stored

    // A copy with every vertex rotated by the pose's quaternion, then translated.
    LinkMesh transformed(const Pose& pose) const;

    friend bool operator==(const LinkMesh&, const LinkMesh&) = default;
};

// A mesh rebuilt from its vertices and the corners of its faces, three per
// face in order (as a stored mesh keeps them); none when the corner count is
// not a multiple of three or a corner is not the index of a vertex.
std::optional<LinkMesh> mesh_from_fields(std::vector<Vec3> vertices, std::span<const std::int64_t> corners);

// The base and the six moving links.
inline constexpr std::size_t kLinkCount = 7;

// Why meshes could not be loaded; the message is the text users see.
struct MeshLoadError {
    std::string message;
};

struct LinkMeshes;
using MeshLoadResult = std::variant<LinkMeshes, MeshLoadError>;

// Index 0 is the base, which does not move; index i moves with frame i - 1 of
// fk_all, so index 6 is the flange, whose mating face lies on its z = 0 plane.
struct LinkMeshes {
    std::array<LinkMesh, kLinkCount> links;

    // Decodes the embedded streams of `model`, afresh on every call.
    static MeshLoadResult load(CrxModel model);

    // Decodes caller-supplied streams, one mesh item each, in index order.
    static MeshLoadResult decode(std::span<const std::span<const std::uint8_t>> streams);

    // The identity for the base, then the six frames of fk_all.
    static std::array<Pose, kLinkCount> poses(const Crx& robot, const JointVector& joints) noexcept;

    // Each mesh moved to its pose. The robot need not be the model the meshes
    // were loaded for.
    std::array<LinkMesh, kLinkCount> posed(const Crx& robot, const JointVector& joints) const;

    friend bool operator==(const LinkMeshes&, const LinkMeshes&) = default;
};

// "LinkMesh(vertices=1204, faces=2404)" and "LinkMeshes(links=7)".
std::string to_string(const LinkMesh& mesh);
std::string to_string(const LinkMeshes& meshes);

// True exactly for the models whose meshes are embedded; decodes nothing.
bool has_link_meshes(CrxModel model) noexcept;

}  // namespace ortholink
