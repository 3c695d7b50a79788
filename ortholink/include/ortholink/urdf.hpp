#pragma once
// ROS 2 / URDF conventions: joint values in radians where the third joint is
// the elbow angle J2 + J3, and the URDF text and binary STL files of an arm.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/meshes.hpp"
#include "ortholink/pose.hpp"

namespace ortholink {

struct Arm;

// URDF lengths are metres; ours are millimetres.
inline constexpr double kMetresPerMillimetre = 0.001;

// Joint positions of a URDF chain: radians; index 2 is J2 + J3, the rotation
// the controller applies at the J3 axis.
using UrdfJoints = std::array<double, 6>;

// Controller degrees to URDF radians. Index 2 is formed exactly as fk forms
// its third rotation (each angle converted, then added), so a URDF library
// evaluating the chain sees the same angles as fk.
UrdfJoints joints_to_urdf(const JointVector& joints) noexcept;

// URDF radians to controller degrees.
JointVector joints_from_urdf(const UrdfJoints& q) noexcept;

// Roll, pitch, yaw (fixed X, then Y, then Z; radians) of a rotation, as URDF
// <origin rpy> reads them.
Vec3 rpy_from_quat(const Quat& q) noexcept;

// What a URDF file refers to for the visual and collision geometry of each of
// the seven links (base first), relative to the URDF file; empty: no geometry.
struct UrdfMeshFiles {
    std::array<std::string, kLinkCount> paths;
};

// The URDF text of an arm (metres, radians). Links: world, base_link (the
// mounting face; the base frame itself when the arm has no model), link_1 ..
// link_6, flange (also published as tool0) and tcp. `mesh_files` names the
// geometry of the seven links; links with an empty path get none.
// Every link also gets its envelope (arm.envelopes, in the frame its mesh is
// drawn in) as named collision primitives, a capsule as a cylinder and two
// spheres, and the flange the tool's solids (arm.tool_geometry): what the
// collision checks test is what MoveIt and RViz see.
std::string urdf_text(const Arm& arm, std::string_view name, const UrdfMeshFiles& mesh_files);

// A binary STL of a mesh, vertices converted from millimetres to metres,
// little-endian, normals from the corner order.
std::vector<std::uint8_t> binary_stl(const LinkMesh& mesh, std::string_view header);

}  // namespace ortholink
