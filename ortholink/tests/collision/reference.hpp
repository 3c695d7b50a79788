#pragma once
// Slow, plain references for the distance tests: convex minimisation by
// golden sections over the parameters of a shape, each step a point distance
// written out from the definition. ORTHOLINK_PROPERTY_SEED and
// ORTHOLINK_PROPERTY_COUNT change the sample, as for the solver's tests.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "ik/support.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/pose.hpp"

namespace ortholink::collision::reference {

// The seeded sample counts of the solver tests (ORTHOLINK_PROPERTY_SEED, ORTHOLINK_PROPERTY_COUNT).
using solver::support::property_count;
using solver::support::property_seed;

inline Vec3 lerp(const Vec3& a, const Vec3& b, double t) {
    return Vec3{a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])};
}

inline double norm(const Vec3& v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

inline double distance(const Vec3& a, const Vec3& b) {
    return norm(Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]});
}

// Minimum of a convex function on [0, 1] by golden sections, with both ends
// tried (the minimum is often at one).
template <class F>
double minimize(const F& f, int steps = 120) {
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    double lo = 0.0;
    double hi = 1.0;
    double x1 = hi - g * (hi - lo);
    double x2 = lo + g * (hi - lo);
    double f1 = f(x1);
    double f2 = f(x2);
    for (int i = 0; i < steps; ++i) {
        if (f1 <= f2) {
            hi = x2;
            x2 = x1;
            f2 = f1;
            x1 = hi - g * (hi - lo);
            f1 = f(x1);
        } else {
            lo = x1;
            x1 = x2;
            f1 = f2;
            x2 = lo + g * (hi - lo);
            f2 = f(x2);
        }
    }
    return std::fmin(std::fmin(f1, f2), std::fmin(f(0.0), f(1.0)));
}

inline double point_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
    return minimize([&](double t) { return distance(p, lerp(a, b, t)); });
}

inline double segment_segment(const Vec3& p0, const Vec3& p1, const Vec3& q0, const Vec3& q1) {
    return minimize([&](double s) { return point_segment(lerp(p0, p1, s), q0, q1); }, 80);
}

inline Vec3 to_frame(const Pose& pose, const Vec3& p) {
    return rotate(Quat{-pose.q.x, -pose.q.y, -pose.q.z, pose.q.w},
                  Vec3{p[0] - pose.t[0], p[1] - pose.t[1], p[2] - pose.t[2]});
}

inline Vec3 from_frame(const Pose& pose, const Vec3& p) {
    const Vec3 r = rotate(pose.q, p);
    return Vec3{r[0] + pose.t[0], r[1] + pose.t[1], r[2] + pose.t[2]};
}

inline double point_box(const Vec3& p, const Box& box) {
    const Vec3 q = to_frame(box.pose, p);
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double out = std::fmax(0.0, std::fabs(q[i]) - 0.5 * box.size[i]);
        sum += out * out;
    }
    return std::sqrt(sum);
}

inline double point_cylinder(const Vec3& p, const Cylinder& c) {
    const Vec3 q = to_frame(c.pose, p);
    const double radial = std::fmax(0.0, std::hypot(q[0], q[1]) - c.radius);
    const double axial = std::fmax(0.0, std::fabs(q[2]) - 0.5 * c.length);
    return std::hypot(radial, axial);
}

inline double segment_box(const Vec3& a, const Vec3& b, const Box& box) {
    return minimize([&](double t) { return point_box(lerp(a, b, t), box); });
}

inline double segment_cylinder(const Vec3& a, const Vec3& b, const Cylinder& c) {
    return minimize([&](double t) { return point_cylinder(lerp(a, b, t), c); });
}

// The twelve edges of a box, world frame.
inline std::array<std::array<Vec3, 2>, 12> box_edges(const Box& box) {
    std::array<std::array<Vec3, 2>, 12> edges{};
    int n = 0;
    for (int axis = 0; axis < 3; ++axis) {
        for (int corner = 0; corner < 4; ++corner) {
            Vec3 lo{};
            Vec3 hi{};
            const int j = (axis + 1) % 3;
            const int k = (axis + 2) % 3;
            lo[j] = hi[j] = ((corner & 1) != 0 ? 0.5 : -0.5) * box.size[j];
            lo[k] = hi[k] = ((corner & 2) != 0 ? 0.5 : -0.5) * box.size[k];
            lo[axis] = -0.5 * box.size[axis];
            hi[axis] = 0.5 * box.size[axis];
            edges[n++] = {from_frame(box.pose, lo), from_frame(box.pose, hi)};
        }
    }
    return edges;
}

// Two convex polytopes that meet have an edge of one meeting the other, and
// apart, a closest pair with a point on an edge: the least edge distance is
// the distance either way.
inline double box_box(const Box& a, const Box& b) {
    double best = INFINITY;
    for (const auto& e : box_edges(a)) best = std::fmin(best, segment_box(e[0], e[1], b));
    for (const auto& e : box_edges(b)) best = std::fmin(best, segment_box(e[0], e[1], a));
    return best;
}

// A random unit quaternion (uniform), or the identity one time in four, so
// that axis-aligned cases with their exact ties come up.
inline Quat random_rotation(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> pick(0, 3);
    if (pick(rng) == 0) {
        return Quat{};
    }
    std::normal_distribution<double> n(0.0, 1.0);
    double x = n(rng);
    double y = n(rng);
    double z = n(rng);
    double w = n(rng);
    const double s = std::sqrt(x * x + y * y + z * z + w * w);
    return Quat{x / s, y / s, z / s, w / s};
}

}  // namespace ortholink::collision::reference
