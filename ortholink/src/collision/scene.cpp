// Checks, names and text of the solids of a scene.

#include <cmath>
#include <string>

#include "ortholink/collision.hpp"
#include "ortholink/text.hpp"

namespace ortholink {
namespace {

bool in_range(double value) noexcept {
    return std::isfinite(value) && std::fabs(value) <= kMaxGeometry;
}

bool is_size(double value) noexcept {
    return in_range(value) && value >= 0.0;
}

bool is_point(const Vec3& p) noexcept {
    return in_range(p[0]) && in_range(p[1]) && in_range(p[2]);
}

std::string list_text(const double* values, std::size_t count) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : ", ") + format_shortest(values[i]);
    }
    return text + "]";
}

std::string vec_text(const Vec3& v) {
    return list_text(v.data(), 3);
}

// A pose read from the user is rigid already; only its translation can be absurd.
bool is_frame(const Pose& pose) noexcept {
    const double n = pose.q.x * pose.q.x + pose.q.y * pose.q.y + pose.q.z * pose.q.z + pose.q.w * pose.q.w;
    return std::isfinite(n) && std::fabs(n - 1.0) <= 1e-9 && is_point(pose.t);
}

std::string item(const char* kind, std::size_t index) {
    return std::string(kind) + "[" + std::to_string(index) + "]";
}

const char* shape_field(BodyId::Shape shape) noexcept {
    switch (shape) {
        case BodyId::Shape::Capsule:
            return "capsules";
        case BodyId::Shape::Sphere:
            return "spheres";
        case BodyId::Shape::Box:
            return "boxes";
        case BodyId::Shape::Cylinder:
            return "cylinders";
        case BodyId::Shape::HalfSpace:
            return "half_spaces";
        case BodyId::Shape::Points:
            return "points";
    }
    return "?";
}

}  // namespace

std::string scene_problem(const Scene& scene) {
    return scene_problem(scene, true);
}

std::string scene_problem(const Scene& scene, bool each_point) {
    const std::string size_rule = "must be finite, non-negative and at most 1e7 mm";
    const std::string point_rule = "must be finite and within 1e7 mm";
    for (std::size_t i = 0; i < scene.spheres.size(); ++i) {
        const Sphere& s = scene.spheres[i];
        if (!is_point(s.center)) {
            return item("spheres", i) + ": center " + point_rule + ", got " + vec_text(s.center);
        }
        if (!is_size(s.radius)) {
            return item("spheres", i) + ": radius " + size_rule + ", got " + format_shortest(s.radius);
        }
    }
    for (std::size_t i = 0; i < scene.capsules.size(); ++i) {
        const Capsule& c = scene.capsules[i];
        if (!is_point(c.a) || !is_point(c.b)) {
            return item("capsules", i) + ": ends " + point_rule + ", got " + vec_text(c.a) + " and " + vec_text(c.b);
        }
        if (!is_size(c.radius)) {
            return item("capsules", i) + ": radius " + size_rule + ", got " + format_shortest(c.radius);
        }
    }
    for (std::size_t i = 0; i < scene.boxes.size(); ++i) {
        const Box& b = scene.boxes[i];
        if (!is_frame(b.pose)) {
            return item("boxes", i) + ": pose must be rigid with a translation within 1e7 mm";
        }
        if (!is_size(b.size[0]) || !is_size(b.size[1]) || !is_size(b.size[2])) {
            return item("boxes", i) + ": size " + size_rule + ", got " + vec_text(b.size);
        }
    }
    for (std::size_t i = 0; i < scene.cylinders.size(); ++i) {
        const Cylinder& c = scene.cylinders[i];
        if (!is_frame(c.pose)) {
            return item("cylinders", i) + ": pose must be rigid with a translation within 1e7 mm";
        }
        if (!is_size(c.radius)) {
            return item("cylinders", i) + ": radius " + size_rule + ", got " + format_shortest(c.radius);
        }
        if (!is_size(c.length)) {
            return item("cylinders", i) + ": length " + size_rule + ", got " + format_shortest(c.length);
        }
    }
    for (std::size_t i = 0; i < scene.half_spaces.size(); ++i) {
        const HalfSpace& h = scene.half_spaces[i];
        const double norm = std::sqrt(dot(h.normal, h.normal));
        // Shorter, its square loses its digits in subnormal numbers (or is 0).
        if (!is_point(h.normal) || !(norm >= 1e-150)) {
            return item("half_spaces", i) + ": normal must be finite, within 1e7 and at least 1e-150 long, got " +
                   vec_text(h.normal);
        }
        if (!in_range(h.offset)) {
            return item("half_spaces", i) + ": offset " + point_rule + ", got " + format_shortest(h.offset);
        }
    }
    for (std::size_t i = 0; i < scene.clouds.size(); ++i) {
        const PointCloud& cloud = scene.clouds[i];
        if (!is_size(cloud.radius)) {
            return item("points", i) + ": radius " + size_rule + ", got " + format_shortest(cloud.radius);
        }
        for (std::size_t k = 0; each_point && k < cloud.points.size(); ++k) {
            if (!is_point(cloud.points[k])) {
                return item("points", i) + ": point " + std::to_string(k) + " " + point_rule + ", got " +
                       vec_text(cloud.points[k]);
            }
        }
    }
    return {};
}

Scene normalized_scene(Scene scene) {
    for (HalfSpace& h : scene.half_spaces) {
        const double norm = std::sqrt(dot(h.normal, h.normal));
        if (norm > 0.0 && norm != 1.0) {
            h.normal = Vec3{h.normal[0] / norm, h.normal[1] / norm, h.normal[2] / norm};
            h.offset /= norm;
        }
    }
    return scene;
}

std::string to_string(const Scene& scene) {
    std::string text = "Scene(spheres=" + std::to_string(scene.spheres.size()) +
                       ", capsules=" + std::to_string(scene.capsules.size()) +
                       ", boxes=" + std::to_string(scene.boxes.size()) +
                       ", cylinders=" + std::to_string(scene.cylinders.size()) +
                       ", half_spaces=" + std::to_string(scene.half_spaces.size()) + ", points=[";
    for (std::size_t i = 0; i < scene.clouds.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(scene.clouds[i].points.size());
    }
    return text + "])";
}

std::string body_name(BodyId body) {
    static constexpr const char* kLinkNames[kBodyCount] = {"base_link", "link_1", "link_2", "link_3",
                                                           "link_4", "link_5", "flange"};
    switch (body.kind) {
        case BodyId::Kind::Link:
            return body.index < kBodyCount ? kLinkNames[body.index] : "link?";
        case BodyId::Kind::Tool:
            return "tool." + item(shape_field(body.shape), body.index);
        case BodyId::Kind::Scene:
            return "scene." + item(shape_field(body.shape), body.index);
    }
    return "?";
}

}  // namespace ortholink
