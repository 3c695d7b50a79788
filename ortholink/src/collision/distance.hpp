#pragma once
// Distances between segments and the solids of a scene: the building blocks
// of the envelope checks. Every function returns the exact distance or a
// lower bound of it (within the rounding of a few operations), never more.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ortholink/collision.hpp"
#include "ortholink/pose.hpp"

namespace ortholink::collision {

namespace detail {
inline Vec3 sub(const Vec3& a, const Vec3& b) noexcept {
    return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline double clamp01(double x) noexcept {
    return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
}
}  // namespace detail

// The point p of frame `pose` in the frame `pose` is given in.
inline Vec3 apply(const Pose& pose, const Vec3& p) noexcept {
    const Vec3 r = rotate(pose.q, p);
    return Vec3{r[0] + pose.t[0], r[1] + pose.t[1], r[2] + pose.t[2]};
}

inline double distance(const Vec3& a, const Vec3& b) noexcept {
    const Vec3 d = detail::sub(a, b);
    return std::sqrt(dot(d, d));
}

// Distance between the segments p0-p1 and q0-q1 (either may be a point).
double segment_segment_distance(const Vec3& p0, const Vec3& p1, const Vec3& q0, const Vec3& q1) noexcept;

// Its square (no square root: for comparisons against a squared limit);
// inline, for the checker's inner loop.
[[gnu::always_inline]] inline double segment_segment_distance_squared(const Vec3& p0, const Vec3& p1, const Vec3& q0, const Vec3& q1) noexcept {
    const Vec3 d1 = detail::sub(p1, p0);
    const Vec3 d2 = detail::sub(q1, q0);
    const Vec3 r = detail::sub(p0, q0);
    const double a = dot(d1, d1);
    const double e = dot(d2, d2);
    const double f = dot(d2, r);
    double s = 0.0;
    double t = 0.0;
    if (a == 0.0) {
        if (e > 0.0) {
            t = detail::clamp01(f / e);
        }
    } else {
        const double c = dot(d1, r);
        if (e == 0.0) {
            s = detail::clamp01(-c / a);
        } else {
            const double b = dot(d1, d2);
            // The lines' closest parameter from cross products rather than
            // a·e - b², which loses every digit for nearly parallel lines.
            const Vec3 n = cross(d1, d2);
            const double nn = dot(n, n);
            if (nn > 0.0) {
                s = detail::clamp01(dot(n, cross(d2, r)) / nn);
            }
            const double te = b * s + f;  // t·e
            if (te < 0.0) {
                s = detail::clamp01(-c / a);
            } else if (te > e) {
                t = 1.0;
                s = detail::clamp01((b - c) / a);
            } else {
                t = te / e;
            }
        }
    }
    const Vec3 w{r[0] + s * d1[0] - t * d2[0], r[1] + s * d1[1] - t * d2[1], r[2] + s * d1[2] - t * d2[2]};
    return dot(w, w);
}

// Distance from the point p to the segment a-b.
double point_segment_distance(const Vec3& p, const Vec3& a, const Vec3& b) noexcept;

// Distance from the segment a-b to the solid box (0 when they meet).
double segment_box_distance(const Vec3& a, const Vec3& b, const Box& box) noexcept;

// Distance from the segment a-b to the solid cylinder (0 when they meet).
double segment_cylinder_distance(const Vec3& a, const Vec3& b, const Cylinder& cylinder) noexcept;

// Signed distance from the segment a-b to the half-space (negative inside:
// minus the depth of the deepest end). The normal is unit.
double segment_half_space_distance(const Vec3& a, const Vec3& b, const HalfSpace& half_space) noexcept;

// Distance between two solid boxes; where they meet, minus the least
// distance one must move to clear the other.
double box_box_distance(const Box& a, const Box& b) noexcept;

// Distance between a solid box and a solid cylinder (a lower bound within
// 1e-12 of it); where they meet, minus the overlap of the box with the
// cylinder's bounding box (at least as deep as the cylinder's own).
double box_cylinder_distance(const Box& box, const Cylinder& cylinder) noexcept;

}  // namespace ortholink::collision

namespace ortholink {

// A static index over the points of a cloud, built once and then read from
// any number of threads.
class PointIndex {
public:
    explicit PointIndex(std::span<const Vec3> points);

    // The distance from the segment a-b to the nearest point, or any value
    // above `limit` when no point is within `limit` (the search stops early).
    double segment_distance(const Vec3& a, const Vec3& b, double limit) const noexcept;

    // The distance from the solid box to the nearest point, or any value above
    // `limit` when no point is within `limit`.
    double box_distance(const Box& box, double limit) const noexcept;

    // Whether some point lies within `limit` of the segment or the box: the
    // search stops at the first one found.
    bool segment_within(const Vec3& a, const Vec3& b, double limit) const noexcept;
    bool box_within(const Box& box, double limit) const noexcept;

    std::size_t size() const noexcept { return count_; }

    // The smallest axis-aligned box holding every point (meaningless when
    // there are none).
    const std::array<Vec3, 2>& box() const noexcept { return box_; }

private:
    // Boxes rounded outwards to float, so that they still contain their
    // points. The two children of an inner node share a cache line.
    struct Node {
        float lo[3];
        float hi[3];
        std::uint32_t begin;  // the pair of children, or the first point of a leaf
        std::uint32_t count;  // points of a leaf; 0 for an inner node
    };
    struct alignas(64) Pair {
        Node child[2];
    };
    std::size_t count_ = 0;
    std::array<Vec3, 2> box_{};
    std::vector<Pair> pairs_;   // the root is pairs_[0].child[0]
    std::vector<Vec3> points_;  // reordered into the leaves
};

}  // namespace ortholink
