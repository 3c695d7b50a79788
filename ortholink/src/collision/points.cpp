// The point index: a bounding-volume tree split at the median of the longest
// side, nodes stored flat, the points of each leaf contiguous. A query walks
// the nearer child first and drops every node whose box is farther than the
// best point found so far (or the caller's limit).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "collision/distance.hpp"

namespace ortholink {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Points per leaf, at most: a leaf's points cost less than the boxes of a
// deeper tree would, and the tree stays small (measured on a table scan).
constexpr std::size_t kLeafSize = 16;

// Deep enough for any balanced tree over 2^32 points.
constexpr int kStackSize = 96;

inline float round_down(double x) noexcept {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}

inline float round_up(double x) noexcept {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

inline double positive(double x) noexcept {
    return x > 0.0 ? x : 0.0;
}

// Centre and half sizes of a node's box.
template <class Node>
inline void centre_half(const Node& node, Vec3& c, Vec3& h) noexcept {
    for (int i = 0; i < 3; ++i) {
        const double lo = node.lo[i];
        const double hi = node.hi[i];
        c[i] = 0.5 * (lo + hi);
        h[i] = 0.5 * (hi - lo);
    }
}

// Squared gap between a node's box and the box [lo, hi].
template <class Node>
inline double aabb_gap_squared(const Node& node, const Vec3& lo, const Vec3& hi) noexcept {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double g = positive(std::max(static_cast<double>(node.lo[i]) - hi[i], lo[i] - static_cast<double>(node.hi[i])));
        sum += g * g;
    }
    return sum;
}

// A segment query, with what every node and point test reuses.
struct SegmentQuery {
    Vec3 a;
    Vec3 d;         // b - a
    double inv_dd;  // 1 / |d|², 0 for a point
    Vec3 lo;        // the segment's box
    Vec3 hi;
    // An orthonormal frame with its first axis along the segment, which runs
    // over [0, length] on it and is a point on the other two.
    Vec3 axis[3];
    Vec3 abs_axis[3];
    double length;

    SegmentQuery(const Vec3& a_, const Vec3& b) noexcept : a(a_) {
        for (int i = 0; i < 3; ++i) {
            d[i] = b[i] - a[i];
            lo[i] = std::min(a[i], b[i]);
            hi[i] = std::max(a[i], b[i]);
        }
        const double dd = dot(d, d);
        inv_dd = dd > 0.0 ? 1.0 / dd : 0.0;
        length = std::sqrt(dd);
        Vec3 u{1.0, 0.0, 0.0};
        if (length > 0.0) {
            u = Vec3{d[0] / length, d[1] / length, d[2] / length};
        }
        // The coordinate axis least along u completes the frame.
        int k = 0;
        for (int i = 1; i < 3; ++i) {
            if (std::fabs(u[i]) < std::fabs(u[k])) k = i;
        }
        Vec3 e{0.0, 0.0, 0.0};
        e[k] = 1.0;
        Vec3 v = cross(u, e);
        const double vn = std::sqrt(dot(v, v));
        v = Vec3{v[0] / vn, v[1] / vn, v[2] / vn};
        axis[0] = u;
        axis[1] = v;
        axis[2] = cross(u, v);
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 3; ++i) {
                abs_axis[j][i] = std::fabs(axis[j][i]);
            }
        }
    }

    // A lower bound of the squared distance from the segment to the node's
    // box: the larger of the gaps between the segment's box and the node's,
    // and between the segment and the node's box as seen in the segment's
    // frame (the box of the rotated box contains it). The second is skipped
    // when the first is above `cutoff`.
    template <class Node>
    double bound_squared(const Node& node, double cutoff) const noexcept {
        const double world = aabb_gap_squared(node, lo, hi);
        if (world > cutoff) {
            return world;
        }
        Vec3 c;
        Vec3 h;
        centre_half(node, c, h);
        const Vec3 w{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const double x0 = dot(axis[0], w);
        const double r0 = dot(abs_axis[0], h);
        const double g0 = positive(std::max(x0 - r0 - length, -(x0 + r0)));
        const double g1 = positive(std::fabs(dot(axis[1], w)) - dot(abs_axis[1], h));
        const double g2 = positive(std::fabs(dot(axis[2], w)) - dot(abs_axis[2], h));
        const double local = g0 * g0 + g1 * g1 + g2 * g2;
        return std::max(world, local);
    }

    double point_squared(const Vec3& p) const noexcept {
        const Vec3 w{p[0] - a[0], p[1] - a[1], p[2] - a[2]};
        double t = dot(w, d) * inv_dd;
        t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
        const Vec3 e{w[0] - t * d[0], w[1] - t * d[1], w[2] - t * d[2]};
        return dot(e, e);
    }
};

// A solid box query.
struct BoxQuery {
    Vec3 c;
    Vec3 axis[3];  // the box's edges' directions, world
    Vec3 h;        // half sizes
    Vec3 lo;       // the box's world box
    Vec3 hi;

    explicit BoxQuery(const Box& box) noexcept : c(box.pose.t) {
        for (int i = 0; i < 3; ++i) {
            Vec3 e{0.0, 0.0, 0.0};
            e[i] = 1.0;
            axis[i] = rotate(box.pose.q, e);
            h[i] = 0.5 * box.size[i];
        }
        for (int i = 0; i < 3; ++i) {
            const double extent = std::fabs(axis[0][i]) * h[0] + std::fabs(axis[1][i]) * h[1] + std::fabs(axis[2][i]) * h[2];
            lo[i] = c[i] - extent;
            hi[i] = c[i] + extent;
        }
    }

    // The larger of the world gap and the gap in the box's frame (the second
    // skipped when the first is above `cutoff`).
    template <class Node>
    double bound_squared(const Node& node, double cutoff) const noexcept {
        const double world = aabb_gap_squared(node, lo, hi);
        if (world > cutoff) {
            return world;
        }
        Vec3 nc;
        Vec3 nh;
        centre_half(node, nc, nh);
        const Vec3 w{nc[0] - c[0], nc[1] - c[1], nc[2] - c[2]};
        double local = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double r = std::fabs(axis[i][0]) * nh[0] + std::fabs(axis[i][1]) * nh[1] + std::fabs(axis[i][2]) * nh[2];
            const double g = positive(std::fabs(dot(axis[i], w)) - r - h[i]);
            local += g * g;
        }
        return std::max(world, local);
    }

    double point_squared(const Vec3& p) const noexcept {
        const Vec3 w{p[0] - c[0], p[1] - c[1], p[2] - c[2]};
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double g = positive(std::fabs(dot(axis[i], w)) - h[i]);
            sum += g * g;
        }
        return sum;
    }
};

// Nearest point within `limit` of the query, by a depth-first walk that
// takes the nearer child first. Nodes are named by pair · 2 + side.
template <class Pair, class Query>
double nearest(const std::vector<Pair>& pairs, const std::vector<Vec3>& points, const Query& query, double limit,
               bool first = false) noexcept {
    if (pairs.empty() || !(limit >= 0.0)) {
        return kInfinity;
    }
    // A few ulps of slack, so that a point at exactly `limit` is found
    // though its squared distance rounds above limit².
    double best = limit * limit * (1.0 + 8.0 * std::numeric_limits<double>::epsilon());
    bool found = false;
    struct Entry {
        std::uint32_t node;
        double bound;
    };
    Entry stack[kStackSize];
    int top = 0;
    const double root = query.bound_squared(pairs[0].child[0], best);
    if (root > best) {
        return kInfinity;
    }
    stack[top++] = Entry{0, root};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.bound > best) {
            continue;
        }
        const auto& node = pairs[entry.node >> 1].child[entry.node & 1];
        if (node.count != 0) {
            const Vec3* p = points.data() + node.begin;
            for (std::uint32_t i = 0; i < node.count; ++i) {
                const double d2 = query.point_squared(p[i]);
                if (d2 <= best) {
                    best = d2;
                    found = true;
                    if (first) {
                        return std::sqrt(best);
                    }
                }
            }
            continue;
        }
        const Pair& children = pairs[node.begin];
        const double bl = query.bound_squared(children.child[0], best);
        const double br = query.bound_squared(children.child[1], best);
        const std::uint32_t left = 2 * node.begin;
        const bool left_first = bl <= br;
        const Entry near{left_first ? left : left + 1, left_first ? bl : br};
        const Entry far{left_first ? left + 1 : left, left_first ? br : bl};
        if (far.bound <= best) {
            stack[top++] = far;
        }
        if (near.bound <= best) {
            stack[top++] = near;
        }
    }
    return found ? std::sqrt(best) : kInfinity;
}

}  // namespace

PointIndex::PointIndex(std::span<const Vec3> points) : count_(points.size()), points_(points.begin(), points.end()) {
    for (const Vec3& p : points_) {
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
            throw std::invalid_argument("point cloud: every coordinate must be finite");
        }
    }
    if (points_.size() > std::numeric_limits<std::uint32_t>::max() / 4) {
        throw std::length_error("point cloud: too many points");
    }
    if (points_.empty()) {
        return;
    }
    box_ = {points_[0], points_[0]};
    for (const Vec3& p : points_) {
        for (int k = 0; k < 3; ++k) {
            box_[0][k] = std::min(box_[0][k], p[k]);
            box_[1][k] = std::max(box_[1][k], p[k]);
        }
    }
    pairs_.reserve(points_.size() / (kLeafSize / 2) + 2);
    struct Task {
        std::uint32_t node;  // pair · 2 + side
        std::uint32_t begin;
        std::uint32_t end;
    };
    std::vector<Task> tasks;
    pairs_.push_back(Pair{});
    tasks.push_back(Task{0, 0, static_cast<std::uint32_t>(points_.size())});
    while (!tasks.empty()) {
        const Task task = tasks.back();
        tasks.pop_back();
        Vec3 lo{kInfinity, kInfinity, kInfinity};
        Vec3 hi{-kInfinity, -kInfinity, -kInfinity};
        for (std::uint32_t i = task.begin; i < task.end; ++i) {
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], points_[i][k]);
                hi[k] = std::max(hi[k], points_[i][k]);
            }
        }
        Node node{};
        for (int k = 0; k < 3; ++k) {
            node.lo[k] = round_down(lo[k]);
            node.hi[k] = round_up(hi[k]);
        }
        const std::uint32_t count = task.end - task.begin;
        if (count <= kLeafSize) {
            node.begin = task.begin;
            node.count = count;
            pairs_[task.node >> 1].child[task.node & 1] = node;
            continue;
        }
        int axis = 0;
        for (int k = 1; k < 3; ++k) {
            if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
        }
        const std::uint32_t mid = task.begin + count / 2;
        std::nth_element(points_.begin() + task.begin, points_.begin() + mid, points_.begin() + task.end,
                         [axis](const Vec3& p, const Vec3& q) { return p[axis] < q[axis]; });
        const auto pair = static_cast<std::uint32_t>(pairs_.size());
        node.begin = pair;
        node.count = 0;
        pairs_[task.node >> 1].child[task.node & 1] = node;
        pairs_.push_back(Pair{});
        tasks.push_back(Task{2 * pair + 1, mid, task.end});
        tasks.push_back(Task{2 * pair, task.begin, mid});
    }
}

double PointIndex::segment_distance(const Vec3& a, const Vec3& b, double limit) const noexcept {
    return nearest(pairs_, points_, SegmentQuery(a, b), limit);
}

double PointIndex::box_distance(const Box& box, double limit) const noexcept {
    return nearest(pairs_, points_, BoxQuery(box), limit);
}

bool PointIndex::segment_within(const Vec3& a, const Vec3& b, double limit) const noexcept {
    return nearest(pairs_, points_, SegmentQuery(a, b), limit, true) <= limit;
}

bool PointIndex::box_within(const Box& box, double limit) const noexcept {
    return nearest(pairs_, points_, BoxQuery(box), limit, true) <= limit;
}

PointCloud make_point_cloud(std::vector<Vec3> points, double radius) {
    PointCloud cloud;
    cloud.index = std::make_shared<const PointIndex>(points);
    cloud.points = std::move(points);
    cloud.radius = radius;
    return cloud;
}

}  // namespace ortholink
