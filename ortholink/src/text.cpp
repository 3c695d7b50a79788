// Numbers as text and the printed forms of solutions, batches, plans and arms.

#include "ortholink/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "ortholink/arm.hpp"
#include "ortholink/batch.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/path.hpp"
#include "ortholink/xyzwpr.hpp"

namespace ortholink {
namespace {

std::string format_special(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    return value < 0 ? "-inf" : "inf";
}

// "[a, b, c, d, e, f]", each value as `format` writes it.
template <class Format>
std::string list_text(const JointVector& values, Format format) {
    std::string text = "[";
    for (std::size_t i = 0; i < 6; ++i) {
        text += (i > 0 ? ", " : "") + format(values[i]);
    }
    return text + "]";
}

std::string vector_text(const JointVector& values) {
    return list_text(values, [](double value) { return format_shortest(value + 0.0); });  // -0 reads as 0
}

std::string frame_text(const Pose& pose) {
    if (pose == Pose{}) {
        return "identity";
    }
    return "xyzwpr" + vector_text(xyzwpr_from_pose(pose));
}

}  // namespace

std::string format_fixed4(double value) {
    if (!std::isfinite(value)) {
        return format_special(value);
    }
    // The largest double has 309 integer digits.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    return std::string(buffer, result.ptr);
}

std::string format_scientific3(double value) {
    if (!std::isfinite(value)) {
        return format_special(value);
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 3);
    std::string text(buffer, result.ptr);
    const auto e = text.find('e');
    const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
    return text.substr(0, e + 1) + std::to_string(exponent);
}

std::string format_shortest(double value) {
    // The longest shortest form, -2.2250738585072014e-308, has 24 characters.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string_view kind_name(SolutionKind kind) noexcept {
    switch (kind) {
        case SolutionKind::Regular: return "Regular";
        case SolutionKind::AxisDegenerate: return "AxisDegenerate";
        case SolutionKind::SingularFamily: return "SingularFamily";
    }
    return {};
}

std::string to_string(const IkSolution& solution) {
    std::string text = "IkSolution(joints=" + list_text(solution.joints, format_fixed4);
    text += ", residual=" + format_scientific3(solution.residual) + ", kind=";
    const std::string_view kind = kind_name(solution.kind);
    if (kind.empty()) {
        throw std::invalid_argument("solution carries an unknown kind");
    }
    text += kind;
    text += ")";
    return text;
}

std::string to_string(const IkBatchResult& batch) {
    // A batch of n targets has n + 1 offsets; one built empty has none.
    const std::size_t targets = batch.offsets.empty() ? 0 : batch.offsets.size() - 1;
    return ik_batch_text(targets, batch.solutions.size());
}

std::string ik_batch_text(std::size_t targets, std::size_t solutions) {
    return "IkBatch(targets=" + std::to_string(targets) + ", solutions=" + std::to_string(solutions) + ")";
}

std::string to_string(const PathPlan& plan) {
    return "PathPlan(waypoints=" + std::to_string(plan.joints.size()) + ", breaks=" + std::to_string(plan.breaks.size()) +
           ", unreachable=" + std::to_string(plan.unreachable.size()) + ", duration=" + format_fixed4(plan.duration) +
           ", travel=" + format_fixed4(plan.travel) + ")";
}

std::string to_string(const Arm& arm) {
    std::string text = "Arm(";
    if (arm.model) {
        text += "CrxModel." + std::string(model_name(*arm.model));
    } else {
        text += "Crx(z1=" + format_shortest(arm.robot.z1) + ", x1=" + format_shortest(arm.robot.x1) +
                ", x2=" + format_shortest(arm.robot.x2) + ", y1=" + format_shortest(arm.robot.y1) + ")";
    }
    text += ", base=" + frame_text(arm.base) + ", tool=" + frame_text(arm.tool);
    text += ", lower=" + vector_text(arm.lower) + ", upper=" + vector_text(arm.upper) + ", elbow=";
    text += arm.elbow ? "(" + format_shortest(arm.elbow->lower) + ", " + format_shortest(arm.elbow->upper) + ")"
                      : "None";
    text += ", max_speed=" + vector_text(arm.max_speed);
    if (arm.max_acceleration) {
        text += ", max_acceleration=" + vector_text(*arm.max_acceleration);
    }
    // Collision geometry only when it is not what the arm starts with.
    if (!arm.tool_geometry.empty()) {
        text += ", tool_geometry=" + to_string(arm.tool_geometry);
    }
    if (arm.envelopes != (arm.model ? model_envelopes(*arm.model) : estimated_envelopes(arm.robot))) {
        text += ", envelopes=custom";
    }
    return text + ")";
}

}  // namespace ortholink
