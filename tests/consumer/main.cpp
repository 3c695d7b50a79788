// Uses the installed libraries: forward and inverse kinematics, the embedded
// meshes, and a round trip through the mesh stream writer and reader.
#include <cstdio>
#include <cstdlib>
#include <variant>

#include <ortholink/fk.hpp>
#include <ortholink/ik.hpp>
#include <ortholink/meshes.hpp>
#include <vantle/vantle.hpp>

int main() {
    const auto robot = ortholink::Crx::new_10ia();
    const ortholink::JointVector joints{10, 20, 30, 40, 50, 60};
    const auto solutions = ortholink::ik(robot, ortholink::fk(robot, joints));
    bool found = false;
    for (const auto& s : solutions) {
        found = found || ortholink::joint_distance(s.joints, joints) < 1e-6;
    }
    std::printf("ik: %zu solutions, generator %s\n", solutions.size(), found ? "found" : "missing");

    vantle::Mesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.triangles = {{0, 1, 2}};
    const auto bytes = vantle::write_mesh(mesh, vantle::WriteOptions{});
    vantle::Cursor cursor(bytes);
    const auto back = vantle::read_one_from(cursor);
    std::printf("vantle: %zu bytes, %zu vertices back\n", bytes.size(), back.vertices.size());

    const auto loaded = ortholink::LinkMeshes::load(ortholink::CrxModel::Crx10iA);
    const bool meshes = std::holds_alternative<ortholink::LinkMeshes>(loaded);
    std::printf("meshes: %s\n", meshes ? "loaded" : "failed");

    return found && solutions.size() == 8 && back.vertices.size() == 3 && meshes ? EXIT_SUCCESS : EXIT_FAILURE;
}
