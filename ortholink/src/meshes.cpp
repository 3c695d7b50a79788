#include "ortholink/meshes.hpp"

#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include <vantle/vantle.hpp>

#include "embedded_meshes.hpp"

namespace ortholink {
namespace {

// The embedded streams of a model; empty for a model without geometry.
std::span<const std::span<const std::uint8_t>> streams_of(CrxModel model) noexcept {
    for (const auto& entry : embedded::models) {
        if (entry.model == model) {
            return *entry.streams;
        }
    }
    return {};
}

// "the Crx5iA and the Crx10iA", from the table of models with geometry.
std::string models_with_geometry() {
    std::string text;
    const auto count = embedded::models.size();
    for (std::size_t i = 0; i < count; ++i) {
        text += i == 0 ? "the " : (i + 1 == count ? " and the " : ", the ");
        text += model_name(embedded::models[i].model);
    }
    return text;
}

}  // namespace

std::optional<LinkMesh> mesh_from_fields(std::vector<Vec3> vertices, std::span<const std::int64_t> corners) {
    if (corners.size() % 3 != 0) {
        return std::nullopt;
    }
    LinkMesh mesh;
    mesh.vertices = std::move(vertices);
    mesh.faces.resize(corners.size() / 3);
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const std::int64_t corner = corners[k];
        // Indices are stored as uint32, so a vertex beyond that range cannot be named either.
        if (corner < 0 || corner > std::numeric_limits<std::uint32_t>::max() ||
            static_cast<std::uint64_t>(corner) >= mesh.vertices.size()) {
            return std::nullopt;
        }
        mesh.faces[k / 3][k % 3] = static_cast<std::uint32_t>(corner);
    }
    return mesh;
}

LinkMesh LinkMesh::transformed(const Pose& pose) const {
    const Vec3 qv{pose.q.x, pose.q.y, pose.q.z};
    const double w = pose.q.w;
    const Vec3& shift = pose.t;
    LinkMesh out;
    out.faces = faces;
    out.vertices.reserve(vertices.size());
    for (const Vec3& v : vertices) {
        const Vec3 c = cross(qv, v);
        const Vec3 t{2.0 * c[0], 2.0 * c[1], 2.0 * c[2]};
        const Vec3 u = cross(qv, t);
        // ((w·t + qv × t) + v) + T, in exactly this order.
        out.vertices.push_back(Vec3{((w * t[0] + u[0]) + v[0]) + shift[0], ((w * t[1] + u[1]) + v[1]) + shift[1],
                                    ((w * t[2] + u[2]) + v[2]) + shift[2]});
    }
    return out;
}

bool has_link_meshes(CrxModel model) noexcept {
    return !streams_of(model).empty();
}

MeshLoadResult LinkMeshes::load(CrxModel model) {
    if (!has_link_meshes(model)) {
        return MeshLoadError{"No link meshes are embedded for the " + std::string(model_name(model)) +
                             ". Geometry is available for " + models_with_geometry() + " only."};
    }
    return decode(streams_of(model));
}

MeshLoadResult LinkMeshes::decode(std::span<const std::span<const std::uint8_t>> streams) {
    std::vector<LinkMesh> decoded;
    decoded.reserve(streams.size());
    for (const auto stream : streams) {
        try {
            vantle::Mesh mesh = vantle::read_one_from(stream);
            decoded.push_back(LinkMesh{std::move(mesh.vertices), std::move(mesh.triangles)});
        } catch (const vantle::Error& error) {
            return MeshLoadError{error.what()};
        }
    }
    if (decoded.size() != kLinkCount) {
        return MeshLoadError{"Expected seven embedded meshes"};
    }
    LinkMeshes meshes;
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        meshes.links[i] = std::move(decoded[i]);
    }
    return meshes;
}

std::array<Pose, kLinkCount> LinkMeshes::poses(const Crx& robot, const JointVector& joints) noexcept {
    const std::array<Pose, 6> frames = fk_all(robot, joints);
    std::array<Pose, kLinkCount> out;
    out[0] = Pose{};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        out[i + 1] = frames[i];
    }
    return out;
}

std::array<LinkMesh, kLinkCount> LinkMeshes::posed(const Crx& robot, const JointVector& joints) const {
    const std::array<Pose, kLinkCount> placements = poses(robot, joints);
    std::array<LinkMesh, kLinkCount> out;
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        out[i] = links[i].transformed(placements[i]);
    }
    return out;
}

std::string to_string(const LinkMesh& mesh) {
    return "LinkMesh(vertices=" + std::to_string(mesh.vertices.size()) +
           ", faces=" + std::to_string(mesh.faces.size()) + ")";
}

std::string to_string(const LinkMeshes& meshes) {
    return "LinkMeshes(links=" + std::to_string(meshes.links.size()) + ")";
}

}  // namespace ortholink
