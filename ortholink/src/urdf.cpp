#include "ortholink/urdf.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

void put_u32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void put_f32(std::uint8_t* out, double value) {
    const float narrow = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &narrow, sizeof bits);
    put_u32(out, bits);
}

}  // namespace

UrdfJoints joints_to_urdf(const JointVector& joints) noexcept {
    UrdfJoints q{};
    for (std::size_t i = 0; i < 6; ++i) {
        q[i] = joints[i] * kDegToRad;
    }
    q[2] = q[2] + q[1];
    return q;
}

JointVector joints_from_urdf(const UrdfJoints& q) noexcept {
    JointVector joints{};
    for (std::size_t i = 0; i < 6; ++i) {
        joints[i] = q[i] * kRadToDeg;
    }
    joints[2] = (q[2] - q[1]) * kRadToDeg;
    return joints;
}

Vec3 rpy_from_quat(const Quat& q) noexcept {
    double m[16];
    iso_into(Pose{q, Vec3{0.0, 0.0, 0.0}}, m);
    const auto r = [&](int row, int column) { return m[4 * row + column]; };
    // R = Rz(yaw)·Ry(pitch)·Rx(roll). Pitch and roll are read from Rz(yaw)ᵀ·R,
    // which stays exact near pitch = ±90° where yaw alone is ill-conditioned.
    const double yaw = std::atan2(r(1, 0), r(0, 0));
    double s = 0.0;
    double c = 0.0;
    ::sincos(yaw, &s, &c);
    const double pitch = std::atan2(-r(2, 0), c * r(0, 0) + s * r(1, 0));
    const double roll = std::atan2(s * r(0, 2) - c * r(1, 2), c * r(1, 1) - s * r(0, 1));
    return Vec3{roll, pitch, yaw};
}

std::vector<std::uint8_t> binary_stl(const LinkMesh& mesh, std::string_view header) {
    constexpr std::size_t kHeaderBytes = 80;
    constexpr std::size_t kTriangleBytes = 50;
    if (mesh.faces.size() > 0xFFFFFFFFu) {
        throw std::length_error("too many triangles for a binary STL");
    }
    std::vector<std::uint8_t> out(kHeaderBytes + 4 + kTriangleBytes * mesh.faces.size(), 0);
    std::memcpy(out.data(), header.data(), std::min(header.size(), kHeaderBytes));
    put_u32(out.data() + kHeaderBytes, static_cast<std::uint32_t>(mesh.faces.size()));
    std::uint8_t* cursor = out.data() + kHeaderBytes + 4;
    const std::size_t vertex_count = mesh.vertices.size();
    for (const Triangle& face : mesh.faces) {
        Vec3 corners[3];
        for (std::size_t k = 0; k < 3; ++k) {
            if (face[k] >= vertex_count) {
                throw std::out_of_range("a triangle refers to a vertex the mesh does not have");
            }
            const Vec3& v = mesh.vertices[face[k]];
            corners[k] = Vec3{v[0] * kMetresPerMillimetre, v[1] * kMetresPerMillimetre, v[2] * kMetresPerMillimetre};
        }
        const Vec3 e1{corners[1][0] - corners[0][0], corners[1][1] - corners[0][1], corners[1][2] - corners[0][2]};
        const Vec3 e2{corners[2][0] - corners[0][0], corners[2][1] - corners[0][1], corners[2][2] - corners[0][2]};
        Vec3 normal = cross(e1, e2);
        const double length = std::sqrt(dot(normal, normal));
        // A degenerate triangle gets the zero normal readers recompute.
        for (double& component : normal) {
            component = length > 0.0 ? component / length : 0.0;
        }
        for (std::size_t k = 0; k < 3; ++k) {
            put_f32(cursor + 4 * k, normal[k]);
        }
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t k = 0; k < 3; ++k) {
                put_f32(cursor + 12 + 12 * c + 4 * k, corners[c][k]);
            }
        }
        cursor += kTriangleBytes;  // the two attribute bytes stay zero
    }
    return out;
}

}  // namespace ortholink
