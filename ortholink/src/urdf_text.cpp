#include <charconv>
#include <cmath>

#include "ortholink/arm.hpp"
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

void append_link(std::string& out, std::string_view link, const std::string& mesh, const Pose& mesh_origin) {
    if (mesh.empty()) {
        out += "  <link name=\"";
        out += link;
        out += "\"/>\n";
        return;
    }
    out += "  <link name=\"";
    out += link;
    out += "\">\n";
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
            out += link == "flange" ? "      <material name=\"crx_flange\"><color rgba=\"0.2 0.2 0.2 1\"/></material>\n"
                                    : "      <material name=\"crx_white\"><color rgba=\"0.93 0.93 0.92 1\"/></material>\n";
        }
        out += "    </";
        out += element;
        out += ">\n";
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
    append_link(out, "base_link", mesh_files.paths[0], translation(0.0, 0.0, height));

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
        append_link(out, "link_" + std::to_string(j), j <= 5 ? mesh_files.paths[i + 1] : std::string(), Pose{});
    }
    append_fixed_joint(out, "flange_joint", "link_6", "flange", Pose{kFlangeRotation, Vec3{0.0, 0.0, 0.0}});
    append_link(out, "flange", mesh_files.paths[6], Pose{});
    append_fixed_joint(out, "tool0_joint", "flange", "tool0", Pose{});
    out += "  <link name=\"tool0\"/>\n";
    append_fixed_joint(out, "tcp_joint", "flange", "tcp", arm.tool);
    out += "  <link name=\"tcp\"/>\n";
    out += "</robot>\n";
    return out;
}

}  // namespace ortholink
