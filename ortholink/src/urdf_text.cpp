#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/urdf.hpp"

namespace ortholink {
namespace {

// Shortest text that reads back as the same double.
void append_number(std::string& out, double value) {
    value = value == 0.0 ? 0.0 : value;  // "0", not "-0"
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_triple(std::string& out, const Vec3& v) {
    append_number(out, v[0]);
    out += ' ';
    append_number(out, v[1]);
    out += ' ';
    append_number(out, v[2]);
}

// Attribute text: names reach here from callers of urdf_text, not only from checked names.
void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
}

// <origin> of a pose given in millimetres.
void append_origin(std::string& out, const Pose& pose, const char* indent) {
    out += indent;
    out += "<origin xyz=\"";
    append_triple(out, Vec3{pose.t[0] * kMetresPerMillimetre, pose.t[1] * kMetresPerMillimetre,
                            pose.t[2] * kMetresPerMillimetre});
    out += "\" rpy=\"";
    append_triple(out, rpy_from_quat(pose.q));
    out += "\"/>\n";
}

Pose translation(double x, double y, double z) { return Pose{Quat{}, Vec3{x, y, z}}; }

// Solids written as URDF collision primitives, each named after the body the
// collision checks call it ("link_2.capsules[0]", "tool.boxes[1]").
struct Solids {
    std::string owner;  // the prefix of the names
    Pose frame{};       // the solids' frame in the URDF link's frame
    const Scene* scene = nullptr;
    const std::vector<Capsule>* capsules = nullptr;  // an envelope's, when no scene

    bool empty() const {
        const bool no_capsules = capsules == nullptr || capsules->empty();
        return no_capsules && (scene == nullptr || (scene->spheres.empty() && scene->capsules.empty() &&
                                                    scene->boxes.empty() && scene->cylinders.empty()));
    }
};

double metres(double millimetres) { return millimetres * kMetresPerMillimetre; }

void append_collision(std::string& out, const std::string& name, const Pose& origin, const std::string& geometry) {
    out += "    <collision name=\"";
    append_escaped(out, name);
    out += "\">\n";
    append_origin(out, origin, "      ");
    out += "      <geometry>";
    out += geometry;
    out += "</geometry>\n    </collision>\n";
}

std::string sphere_geometry(double radius) {
    std::string g = "<sphere radius=\"";
    append_number(g, metres(radius));
    return g + "\"/>";
}

std::string cylinder_geometry(double radius, double length) {
    std::string g = "<cylinder radius=\"";
    append_number(g, metres(radius));
    g += "\" length=\"";
    append_number(g, metres(length));
    return g + "\"/>";
}

// The rotation that turns z onto the unit vector u.
Quat z_onto(const Vec3& u) {
    if (u[2] < -0.5) {
        // Through -z, the shortest arc is ill-conditioned: turn half about x first.
        const Quat flip{1.0, 0.0, 0.0, 0.0};
        const Vec3 v{u[0], -u[1], -u[2]};
        return quat_mul(flip, z_onto(v));
    }
    const double w = 1.0 + u[2];
    const double n = std::sqrt(w * w + u[0] * u[0] + u[1] * u[1]);
    return Quat{-u[1] / n, u[0] / n, 0.0, w / n};
}

// A capsule is a cylinder between its ends and a sphere on each; one whose
// ends coincide is a sphere.
void append_capsule(std::string& out, const std::string& name, const Pose& frame, const Capsule& c) {
    const Vec3 d{c.b[0] - c.a[0], c.b[1] - c.a[1], c.b[2] - c.a[2]};
    const double length = std::sqrt(dot(d, d));
    if (length == 0.0) {
        append_collision(out, name, compose(frame, Pose{Quat{}, c.a}), sphere_geometry(c.radius));
        return;
    }
    const Vec3 middle{0.5 * (c.a[0] + c.b[0]), 0.5 * (c.a[1] + c.b[1]), 0.5 * (c.a[2] + c.b[2])};
    const Quat along = z_onto(Vec3{d[0] / length, d[1] / length, d[2] / length});
    append_collision(out, name, compose(frame, Pose{along, middle}), cylinder_geometry(c.radius, length));
    append_collision(out, name + ".a", compose(frame, Pose{Quat{}, c.a}), sphere_geometry(c.radius));
    append_collision(out, name + ".b", compose(frame, Pose{Quat{}, c.b}), sphere_geometry(c.radius));
}

void append_solids(std::string& out, const Solids& solids) {
    const auto name = [&](const char* kind, std::size_t i) {
        return solids.owner + "." + kind + "[" + std::to_string(i) + "]";
    };
    if (solids.capsules != nullptr) {
        for (std::size_t i = 0; i < solids.capsules->size(); ++i) {
            append_capsule(out, name("capsules", i), solids.frame, (*solids.capsules)[i]);
        }
    }
    if (solids.scene == nullptr) {
        return;
    }
    const Scene& scene = *solids.scene;
    for (std::size_t i = 0; i < scene.spheres.size(); ++i) {
        const Sphere& s = scene.spheres[i];
        append_collision(out, name("spheres", i), compose(solids.frame, Pose{Quat{}, s.center}),
                         sphere_geometry(s.radius));
    }
    for (std::size_t i = 0; i < scene.capsules.size(); ++i) {
        append_capsule(out, name("capsules", i), solids.frame, scene.capsules[i]);
    }
    for (std::size_t i = 0; i < scene.boxes.size(); ++i) {
        const Box& b = scene.boxes[i];
        std::string g = "<box size=\"";
        append_triple(g, Vec3{metres(b.size[0]), metres(b.size[1]), metres(b.size[2])});
        append_collision(out, name("boxes", i), compose(solids.frame, b.pose), g + "\"/>");
    }
    for (std::size_t i = 0; i < scene.cylinders.size(); ++i) {
        const Cylinder& c = scene.cylinders[i];
        append_collision(out, name("cylinders", i), compose(solids.frame, c.pose),
                         cylinder_geometry(c.radius, c.length));
    }
}

void append_link(std::string& out, std::string_view link, const std::string& mesh, const Pose& mesh_origin,
                 std::initializer_list<Solids> solids = {}) {
    bool bare = mesh.empty();
    for (const Solids& s : solids) {
        bare = bare && s.empty();
    }
    if (bare) {
        out += "  <link name=\"";
        out += link;
        out += "\"/>\n";
        return;
    }
    out += "  <link name=\"";
    out += link;
    out += "\">\n";
    if (!mesh.empty()) {
        for (const char* element : {"visual", "collision"}) {
            out += "    <";
            out += element;
            out += ">\n";
            append_origin(out, mesh_origin, "      ");
            out += "      <geometry><mesh filename=\"";
            append_escaped(out, mesh);
            out += "\"/></geometry>\n";
            // The arm's colours, so that viewers do not draw it untextured: a
            // white arm on a dark flange.
            if (std::string_view(element) == "visual") {
                out += link == "flange"
                           ? "      <material name=\"crx_flange\"><color rgba=\"0.2 0.2 0.2 1\"/></material>\n"
                           : "      <material name=\"crx_white\"><color rgba=\"0.93 0.93 0.92 1\"/></material>\n";
            }
            out += "    </";
            out += element;
            out += ">\n";
        }
    }
    for (const Solids& s : solids) {
        append_solids(out, s);
    }
    out += "  </link>\n";
}

void append_fixed_joint(std::string& out, std::string_view name, std::string_view parent, std::string_view child,
                        const Pose& origin) {
    out += "  <joint name=\"";
    out += name;
    out += "\" type=\"fixed\">\n    <parent link=\"";
    out += parent;
    out += "\"/>\n    <child link=\"";
    out += child;
    out += "\"/>\n";
    append_origin(out, origin, "    ");
    out += "  </joint>\n";
}

struct JointRange {
    double lower;  // degrees
    double upper;
    double speed;  // degrees per second
};

void append_revolute_joint(std::string& out, int index, const Pose& origin, const Vec3& axis, const JointRange& range) {
    const std::string n = std::to_string(index);
    // A URDF revolute joint needs finite limits; an unlimited one is continuous.
    const bool limited = std::isfinite(range.lower) && std::isfinite(range.upper);
    out += "  <joint name=\"joint_" + n + "\" type=\"" + (limited ? "revolute" : "continuous") + "\">\n";
    out += "    <parent link=\"" + (index == 1 ? std::string("base_link") : "link_" + std::to_string(index - 1)) +
           "\"/>\n";
    out += "    <child link=\"link_" + n + "\"/>\n";
    append_origin(out, origin, "    ");
    out += "    <axis xyz=\"";
    append_triple(out, axis);
    out += "\"/>\n    <limit";
    if (limited) {
        out += " lower=\"";
        append_number(out, range.lower * kDegToRad);
        out += "\" upper=\"";
        append_number(out, range.upper * kDegToRad);
        out += '"';
    }
    // No torque figures are published with the kinematics; 0 states "unknown".
    out += " effort=\"0\" velocity=\"";
    append_number(out, range.speed * kDegToRad);
    out += "\"/>\n  </joint>\n";
}

}  // namespace

std::string urdf_text(const Arm& arm, std::string_view name, const UrdfMeshFiles& mesh_files) {
    const Crx& robot = arm.robot;
    const double height = arm.model ? mounting_height(*arm.model) : 0.0;
    std::string out;
    out.reserve(6000);
    out += "<?xml version=\"1.0\"?>\n";
    out +=
        "<!-- Written by ortholink. Metres and radians. joint_3 is J2 + J3 of the controller;\n"
        "     base_link is the mounting face, the arm's base frame (on the J2 axis) lies above it;\n"
        "     world to base_link carries the arm's base frame; tcp is the tool frame on the flange. -->\n";
    out += "<robot name=\"";
    append_escaped(out, name);
    out += "\">\n";
    out += "  <link name=\"world\"/>\n";
    append_fixed_joint(out, "world_joint", "world", "base_link", compose(arm.base, translation(0.0, 0.0, -height)));
    // Each envelope is in the frame its link's mesh is drawn in.
    const auto envelope = [&](std::size_t body, const std::string& link, const Pose& frame) {
        return Solids{link, frame, nullptr, &arm.envelopes[body].capsules};
    };
    append_link(out, "base_link", mesh_files.paths[0], translation(0.0, 0.0, height),
                {envelope(0, "base_link", translation(0.0, 0.0, height))});

    // The chain of fk: each joint's origin is the link offset that precedes its rotation.
    const Pose origins[6] = {
        translation(0.0, 0.0, height),
        translation(0.0, 0.0, 0.0),
        translation(0.0, 0.0, robot.z1),
        translation(0.0, 0.0, 0.0),
        translation(robot.x1, -robot.y1, 0.0),
        translation(robot.x2, 0.0, 0.0),
    };
    JointRange ranges[6];
    for (std::size_t i = 0; i < 6; ++i) {
        ranges[i] = JointRange{arm.lower[i], arm.upper[i], arm.max_speed[i]};
    }
    // The third URDF joint is J2 + J3: the elbow limit bounds it; without one,
    // the sums of the J2 and J3 limits do.
    if (arm.elbow) {
        ranges[2].lower = arm.elbow->lower;
        ranges[2].upper = arm.elbow->upper;
    } else {
        ranges[2].lower = arm.lower[1] + arm.lower[2];
        ranges[2].upper = arm.upper[1] + arm.upper[2];
    }
    for (int j = 1; j <= 6; ++j) {
        const auto i = static_cast<std::size_t>(j - 1);
        append_revolute_joint(out, j, origins[i], robot.axes[i], ranges[i]);
        // Links 1..5 carry meshes 1..5; mesh 6 moves with the flange frame.
        const std::string link = "link_" + std::to_string(j);
        if (j <= 5) {
            append_link(out, link, mesh_files.paths[i + 1], Pose{}, {envelope(i + 1, link, Pose{})});
        } else {
            append_link(out, link, std::string(), Pose{});
        }
    }
    append_fixed_joint(out, "flange_joint", "link_6", "flange", Pose{kFlangeRotation, Vec3{0.0, 0.0, 0.0}});
    // The tool's solids are in the flange frame too: MoveIt checks them with the flange.
    append_link(out, "flange", mesh_files.paths[6], Pose{},
                {envelope(6, "flange", Pose{}), Solids{"tool", Pose{}, &arm.tool_geometry, nullptr}});
    append_fixed_joint(out, "tool0_joint", "flange", "tool0", Pose{});
    out += "  <link name=\"tool0\"/>\n";
    append_fixed_joint(out, "tcp_joint", "flange", "tcp", arm.tool);
    out += "  <link name=\"tcp\"/>\n";
    out += "</robot>\n";
    return out;
}

}  // namespace ortholink
