// The checker: link envelopes posed by forward kinematics, tested pair by
// pair against each other, the tool and the scene. One walk over the pairs
// serves both questions (is anything within the padding; what is nearest),
// with a bounding sphere per body to skip pairs that cannot matter.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "../chain.hpp"
#include "../chunks.hpp"
#include "distance.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {
namespace {

using collision::apply;
using collision::distance;
using collision::point_segment_distance;
using collision::segment_box_distance;
using collision::segment_cylinder_distance;
using collision::segment_half_space_distance;
using collision::segment_segment_distance;

// Posed solids stay on the stack (arm_problem bounds their counts): a query
// never allocates.
constexpr std::size_t kMaxLinkCapsules = kMaxEnvelopeCapsules;

struct Cap {
    Vec3 a;
    Vec3 b;
    double radius;
};

struct Bound {
    Vec3 center;
    double radius;
};

double norm(const Vec3& v) noexcept {
    return std::sqrt(dot(v, v));
}

// The smallest sphere about the middle of the ends' box that holds every capsule.
Bound bound_of(std::span<const Cap> caps) noexcept {
    if (caps.empty()) {
        return Bound{{0.0, 0.0, 0.0}, -std::numeric_limits<double>::infinity()};
    }
    Vec3 lo = caps[0].a;
    Vec3 hi = caps[0].a;
    for (const Cap& c : caps) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min({lo[k], c.a[k], c.b[k]});
            hi[k] = std::max({hi[k], c.a[k], c.b[k]});
        }
    }
    const Vec3 center{0.5 * (lo[0] + hi[0]), 0.5 * (lo[1] + hi[1]), 0.5 * (lo[2] + hi[2])};
    double radius = 0.0;
    for (const Cap& c : caps) {
        radius = std::max({radius, distance(center, c.a) + c.radius, distance(center, c.b) + c.radius});
    }
    return Bound{center, radius};
}

double box_half_diagonal(const Box& box) noexcept {
    return 0.5 * norm(box.size);
}

Pose inverse_pose(const Pose& p) noexcept {
    const Quat q{-p.q.x, -p.q.y, -p.q.z, p.q.w};
    const Vec3 t = rotate(q, p.t);
    return Pose{q, Vec3{-t[0], -t[1], -t[2]}};
}

HalfSpace moved(const Pose& pose, const HalfSpace& h) noexcept {
    // x' = R x + t: n'·x' = n·x + n'·t with n' = R n.
    const Vec3 n = rotate(pose.q, h.normal);
    return HalfSpace{n, h.offset + dot(n, pose.t)};
}

double box_half_space_distance(const Box& box, const HalfSpace& h) noexcept {
    // The lowest corner along the normal.
    const Vec3 n = rotate(Quat{-box.pose.q.x, -box.pose.q.y, -box.pose.q.z, box.pose.q.w}, h.normal);
    const double reach =
        0.5 * (std::fabs(n[0]) * box.size[0] + std::fabs(n[1]) * box.size[1] + std::fabs(n[2]) * box.size[2]);
    return dot(h.normal, box.pose.t) - reach - h.offset;
}

const Pose kIdentity{};

[[gnu::always_inline]] inline Vec3 place(const std::array<double, 9>& r, const Vec3& t, const Vec3& p) noexcept {
    return Vec3{r[0] * p[0] + r[1] * p[1] + r[2] * p[2] + t[0], r[3] * p[0] + r[4] * p[1] + r[5] * p[2] + t[1],
                r[6] * p[0] + r[7] * p[1] + r[8] * p[2] + t[2]};
}

// Whether a and b lie more than `limit` apart, without a square root.
[[gnu::always_inline]] inline bool farther(const Vec3& a, const Vec3& b, double limit) noexcept {
    if (!(limit >= 0.0)) {
        return limit < 0.0;  // NaN: not apart
    }
    const double x = a[0] - b[0];
    const double y = a[1] - b[1];
    const double z = a[2] - b[2];
    return x * x + y * y + z * z > limit * limit;
}

// A box or a cylinder's frame, for quick distance bounds of spheres: the
// inverse rotation, the centre and the half extents (a cylinder's radius in
// x and y, half its length in z).
struct SolidFrame {
    std::array<double, 9> inverse;
    Vec3 center;
    Vec3 half;
};

SolidFrame solid_frame(const Pose& pose, const Vec3& half) noexcept {
    const auto r = generic::rotation_matrix(pose.q);
    return SolidFrame{{r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]}, pose.t, half};
}

[[gnu::always_inline]] inline Vec3 local_of(const SolidFrame& f, const Vec3& p) noexcept {
    const Vec3 d{p[0] - f.center[0], p[1] - f.center[1], p[2] - f.center[2]};
    const auto& r = f.inverse;
    return Vec3{r[0] * d[0] + r[1] * d[1] + r[2] * d[2], r[3] * d[0] + r[4] * d[1] + r[5] * d[2],
                r[6] * d[0] + r[7] * d[1] + r[8] * d[2]};
}

// Whether the point p lies more than `limit` from the solid box.
[[gnu::always_inline]] inline bool box_farther(const SolidFrame& f, const Vec3& p, double limit) noexcept {
    if (!(limit >= 0.0)) {
        return limit < 0.0;
    }
    const Vec3 q = local_of(f, p);
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double out = std::fabs(q[k]) - f.half[k];
        sum += out > 0.0 ? out * out : 0.0;
    }
    return sum > limit * limit;
}

// Whether the point p lies more than `limit` from the solid cylinder.
[[gnu::always_inline]] inline bool cylinder_farther(const SolidFrame& f, const Vec3& p, double limit) noexcept {
    if (!(limit >= 0.0)) {
        return limit < 0.0;
    }
    const Vec3 q = local_of(f, p);
    const double radial = std::sqrt(q[0] * q[0] + q[1] * q[1]) - f.half[0];
    const double axial = std::fabs(q[2]) - f.half[2];
    const double sum = (radial > 0.0 ? radial * radial : 0.0) + (axial > 0.0 ? axial * axial : 0.0);
    return sum > limit * limit;
}

BodyId link_id_of(std::size_t k) noexcept {
    return BodyId{BodyId::Kind::Link, BodyId::Shape::Capsule, static_cast<std::uint32_t>(k)};
}

// The link after J6, which carries the tool: the only one a turn of J6 moves.
constexpr std::size_t kFlangeLink = kBodyCount - 1;

struct SceneCap {
    Cap cap;
    BodyId id;
};

}  // namespace

struct CollisionChecker::Impl {
    Crx robot;
    Pose base;  // the robot's base frame in the world frame (for the point clouds)
    bool base_is_identity = true;

    std::vector<Cap> link_caps;                         // in the link frames, link by link
    std::vector<double> cap_reach;                      // half length plus radius of each link capsule
    std::array<Bound, kBodyCount> link_bounds{};        // a sphere holding each link, in its frame
    std::array<std::uint32_t, kBodyCount + 1> first{};  // link k owns link_caps[first[k] .. first[k + 1])

    std::vector<Cap> tool_caps;  // flange frame
    std::vector<BodyId> tool_cap_ids;
    std::vector<Box> tool_boxes;

    // The scene in the robot's base frame, except the clouds (world frame).
    std::vector<SceneCap> scene_caps;
    std::vector<Bound> scene_cap_bounds;
    std::vector<Box> scene_boxes;
    std::vector<SolidFrame> scene_box_frames;
    std::vector<Cylinder> scene_cylinders;
    std::vector<SolidFrame> scene_cylinder_frames;
    std::vector<HalfSpace> scene_half_spaces;
    std::vector<PointCloud> clouds;
    std::vector<Bound> cloud_bounds;  // world frame

    bool has_scene = false;

    // Bins of J2 (controller degrees, from j2_low, j2_bin wide) in which the
    // base's and the upper arm's envelopes overlap whatever the other joints.
    // Filled by the query that follows the first kJ2After (a checker built
    // for a handful of queries, as by Arm.ik, never pays for it); read once
    // j2_state is kJ2Ready.
    mutable std::vector<std::uint8_t> j2_hit;
    std::vector<Bound> j2_inner;  // spheres on J1's axis inside the base's envelope
    double j2_low = 0.0;
    double j2_bin = 1.0;
    static constexpr std::uint32_t kJ2After = 64;
    enum : int { kJ2None,
                 kJ2Waiting,
                 kJ2Filling,
                 kJ2Ready };
    mutable std::atomic<int> j2_state{kJ2None};
    mutable std::atomic<std::uint32_t> queries{0};

    JointVector kinematic_radii{};  // mm per radian of each rotation of the chain
    JointVector radii{};            // the same per controller joint

    void compute_radii();
    void prepare_j2_bins(double lower, double upper);
    void fill_j2_bins() const noexcept;
    void count_query() const noexcept {
        if (j2_state.load(std::memory_order_relaxed) == kJ2Waiting &&
            queries.fetch_add(1, std::memory_order_relaxed) == kJ2After) {
            int expected = kJ2Waiting;
            if (j2_state.compare_exchange_strong(expected, kJ2Filling, std::memory_order_relaxed)) {
                fill_j2_bins();
                j2_state.store(kJ2Ready, std::memory_order_release);
            }
        }
    }

    // What a walk checks: the pairs that do not move with J6 (neither the
    // flange link nor the tool), those that do, or both.
    enum Parts : unsigned { kFixedByJ6 = 1,
                            kMovedByJ6 = 2,
                            kAllParts = 3 };
    // The links as a walk poses them: frames, one rotation matrix and
    // bounding sphere per link, and the capsules of the links a pair has
    // needed so far (`ready`, one bit per link).
    struct Posed {
        std::array<Pose, 6> frames;
        std::array<std::array<double, 9>, kBodyCount> rotation;
        std::array<Bound, kBodyCount> bounds;
        std::array<Cap, kMaxLinkCapsules> posed;
        std::array<Vec3, kMaxLinkCapsules> middle;  // of each posed capsule
        unsigned ready = 0;
    };
    // True when the table of J2 bins says the base and the upper arm overlap.
    bool j2_settles(double j2) const noexcept {
        if (j2_state.load(std::memory_order_acquire) != kJ2Ready) {
            return false;
        }
        const double bin = std::floor((j2 - j2_low) / j2_bin);
        return bin >= 0.0 && bin < static_cast<double>(j2_hit.size()) && j2_hit[static_cast<std::size_t>(bin)] != 0;
    }
    void place_link(Posed& p, std::size_t k) const noexcept;
    void pose(const JointVector& joints, Posed& p) const noexcept;
    // The flange link moved to J6 = j6 (degrees), the others left in place.
    void turn_flange(Posed& p, double j6) const noexcept;
    template <class Visitor>
    void visit(const JointVector& joints, Visitor& visitor) const noexcept;
    template <class Visitor>
    void walk(Posed& p, Visitor& visitor, unsigned parts) const noexcept;
};

namespace {

// False when a frame holds a NaN or an infinity: forward kinematics passes
// them down the chain, so the last frame of the links posed tells.
bool finite_frame(const Pose& frame) noexcept {
    return std::isfinite(frame.t[0]) && std::isfinite(frame.t[1]) && std::isfinite(frame.t[2]) &&
           std::isfinite(frame.q.x) && std::isfinite(frame.q.y) && std::isfinite(frame.q.z) && std::isfinite(frame.q.w);
}

}  // namespace

void CollisionChecker::Impl::place_link(Posed& p, std::size_t k) const noexcept {
    const Pose& frame = k == 0 ? kIdentity : p.frames[k - 1];
    // One rotation matrix per link: cheaper than a quaternion rotation per point.
    p.rotation[k] = generic::rotation_matrix(frame.q);
    p.bounds[k] = Bound{place(p.rotation[k], frame.t, link_bounds[k].center), link_bounds[k].radius};
}

void CollisionChecker::Impl::pose(const JointVector& joints, Posed& p) const noexcept {
    p.frames = fk_all(robot, joints);
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        place_link(p, k);
    }
    p.ready = 0;
}

void CollisionChecker::Impl::turn_flange(Posed& p, double j6) const noexcept {
    p.frames[5] = generic::turned_flange(robot, p.frames[4], p.frames[5], j6);
    place_link(p, kFlangeLink);
    p.ready &= ~(1U << kFlangeLink);
}

void CollisionChecker::Impl::compute_radii() {
    // Rotation j turns about an axis through frame j's origin and moves links
    // j + 1 … 6 and the tool; a point of link k lies at most the chain length
    // from frame j to frame k - 1, plus its reach in its own frame, from it.
    const auto frames = fk_all(robot, JointVector{});
    std::array<double, 5> step{};
    for (std::size_t m = 0; m < 5; ++m) {
        step[m] = distance(frames[m + 1].t, frames[m].t);
    }
    std::array<double, kBodyCount> reach{};
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        for (std::uint32_t c = first[k]; c < first[k + 1]; ++c) {
            const Cap& cap = link_caps[c];
            reach[k] = std::max({reach[k], norm(cap.a) + cap.radius, norm(cap.b) + cap.radius});
        }
    }
    for (const Cap& cap : tool_caps) {
        reach[6] = std::max({reach[6], norm(cap.a) + cap.radius, norm(cap.b) + cap.radius});
    }
    for (const Box& box : tool_boxes) {
        reach[6] = std::max(reach[6], norm(box.pose.t) + box_half_diagonal(box));
    }
    for (std::size_t j = 0; j < 6; ++j) {
        double largest = 0.0;
        double chain = 0.0;
        for (std::size_t k = j + 1; k < kBodyCount; ++k) {
            if (k >= j + 2) {
                chain += step[k - 2];
            }
            largest = std::max(largest, chain + reach[k]);
        }
        kinematic_radii[j] = largest;
    }
    // The J3 rotation is J2 + J3, so J2 also turns it.
    radii = kinematic_radii;
    radii[1] = kinematic_radii[1] + kinematic_radii[2];
}

void CollisionChecker::Impl::prepare_j2_bins(double lower, double upper) {
    // Frames 1 and 2 turn about axes through the origin: link 1 about J1's
    // axis, the upper arm (frame 2) by J2 more about J2's. A sphere inside a
    // base capsule centred on J1's axis is the same in frame 1 whatever J1,
    // so its distance to the upper arm's capsules depends on J2 alone.
    j2_hit.clear();
    j2_inner.clear();
    j2_state.store(kJ2None, std::memory_order_relaxed);
    if (first[1] == first[0] || first[3] == first[2] || !(lower < upper) || !std::isfinite(upper - lower)) {
        return;
    }
    const Vec3 axis = robot.axes[0];
    const double length = norm(axis);
    if (!(length > 0.0)) {
        return;
    }
    const Vec3 u{axis[0] / length, axis[1] / length, axis[2] / length};
    std::vector<Bound>& inner = j2_inner;
    for (std::uint32_t c = first[0]; c < first[1]; ++c) {
        const Cap& cap = link_caps[c];
        const double s0 = dot(cap.a, u);
        const double s1 = dot(cap.b, u);
        Bound best{{0.0, 0.0, 0.0}, -1.0};
        constexpr int kSteps = 64;
        for (int i = 0; i <= kSteps; ++i) {
            const double s = s0 + (s1 - s0) * i / kSteps;
            const Vec3 center{s * u[0], s * u[1], s * u[2]};
            const double radius = cap.radius - point_segment_distance(center, cap.a, cap.b);
            if (radius > best.radius) {
                best = Bound{center, radius};
            }
        }
        if (best.radius > 0.0) {
            inner.push_back(best);
        }
    }
    if (inner.empty()) {
        return;
    }
    constexpr double kBin = 0.05;  // degrees
    j2_low = lower;
    j2_bin = kBin;
    const auto bins = static_cast<std::size_t>(std::ceil((upper - lower) / kBin));
    if (bins > 100000) {
        return;
    }
    j2_hit.assign(bins, 0);
    j2_state.store(kJ2Waiting, std::memory_order_relaxed);
}

void CollisionChecker::Impl::fill_j2_bins() const noexcept {
    constexpr double kBin = 0.05;  // degrees, as j2_bin
    const std::span<const Bound> inner = j2_inner;
    const double lower = j2_low;
    const std::size_t bins = j2_hit.size();
    // Over a range of J2, a centre moves at most its distance from the
    // origin times the half width (radians) from where it is at the middle:
    // a range is surely hit, surely clear or split in two, so only the few
    // bins where the answer changes are evaluated one by one (an Arm.ik with
    // collision_free builds a checker per call).
    constexpr double kSafety = 1e-6;  // mm, for the rounding of the posed check
    const auto classify = [&](double j2, double half) {
        const Quat q = rotation_from_scaled_axis(robot.axes[1], j2 * kDegToRad);
        const Quat back{-q.x, -q.y, -q.z, q.w};
        bool clear = true;
        for (const Bound& sphere : inner) {
            const Vec3 c = rotate(back, sphere.center);  // in the upper arm's frame
            const double drift = norm(sphere.center) * half;
            for (std::uint32_t k = first[2]; k < first[3]; ++k) {
                const Cap& cap = link_caps[k];
                const double d = point_segment_distance(c, cap.a, cap.b) - sphere.radius - cap.radius;
                if (d + drift <= -kSafety) {
                    return 1;
                }
                clear = clear && d - drift > 0.0;
            }
        }
        return clear ? -1 : 0;
    };
    // Depth first: never more than two ranges a level on the stack.
    std::array<std::array<std::size_t, 2>, 128> ranges;
    std::size_t pending = 0;
    ranges[pending++] = {0, bins};
    while (pending > 0) {
        const auto [begin, end] = ranges[--pending];
        const double j2 = lower + 0.5 * static_cast<double>(begin + end) * kBin;
        const int kind = classify(j2, 0.5 * static_cast<double>(end - begin) * kBin * kDegToRad);
        if (kind == 1) {
            std::fill(j2_hit.begin() + static_cast<std::ptrdiff_t>(begin), j2_hit.begin() + static_cast<std::ptrdiff_t>(end), 1);
        } else if (kind == 0 && end - begin > 1) {
            const std::size_t middle = begin + (end - begin) / 2;
            ranges[pending++] = {begin, middle};
            ranges[pending++] = {middle, end};
        }
    }
}

// Walks every checked pair. The visitor gives the distance above which a
// pair is of no interest (threshold()) and takes each pair's distance
// (take() returns true to stop).
template <class Visitor>
void CollisionChecker::Impl::visit(const JointVector& joints, Visitor& visitor) const noexcept {
    if constexpr (Visitor::kFirstHitEnds) {
        // Base against upper arm depends on J2 alone where the base's inner
        // spheres are concerned: a J2 in a bin where they certainly overlap
        // settles the answer before any forward kinematics.
        if (visitor.threshold() >= 0.0 && j2_settles(joints[1])) {
            visitor.take(visitor.threshold(), link_id_of(0), link_id_of(2));
            return;
        }
    }
    Posed p;
    pose(joints, p);
    if (!finite_frame(p.frames[5])) {
        visitor.not_finite();
        return;
    }
    walk(p, visitor, kAllParts);
}

// The walk over posed links, of the pairs `parts` names; links whose
// capsules a pair needs are posed on the way (and stay posed in `p`).
template <class Visitor>
void CollisionChecker::Impl::walk(Posed& p, Visitor& visitor, unsigned parts) const noexcept {
    const bool fixed = (parts & kFixedByJ6) != 0;
    const bool moved = (parts & kMovedByJ6) != 0;
    const std::array<Pose, 6>& frames = p.frames;
    std::array<Cap, kMaxLinkCapsules>& posed = p.posed;
    std::array<Vec3, kMaxLinkCapsules>& middle = p.middle;
    const std::array<Bound, kBodyCount>& bounds = p.bounds;
    const std::array<std::array<double, 9>, kBodyCount>& rotation = p.rotation;
    // A link's capsules are posed when a pair first needs them.
    const auto pose_link = [&](std::size_t k) {
        if ((p.ready >> k) & 1U) {
            return;
        }
        p.ready |= 1U << k;
        const Vec3& t = k == 0 ? kIdentity.t : frames[k - 1].t;
        for (std::uint32_t c = first[k]; c < first[k + 1]; ++c) {
            posed[c] = Cap{place(rotation[k], t, link_caps[c].a), place(rotation[k], t, link_caps[c].b), link_caps[c].radius};
            middle[c] = Vec3{0.5 * (posed[c].a[0] + posed[c].b[0]), 0.5 * (posed[c].a[1] + posed[c].b[1]),
                             0.5 * (posed[c].a[2] + posed[c].b[2])};
        }
    };
    const auto link_id = [](std::size_t k) { return link_id_of(k); };
    const auto apart = [&](const Bound& a, const Bound& b) {
        return farther(a.center, b.center, visitor.threshold() + a.radius + b.radius);
    };

    // The links against each other.
    for (const auto& pair : kSelfPairs) {
        const std::size_t i = pair[0];
        const std::size_t j = pair[1];
        if (!((i == kFlangeLink || j == kFlangeLink) ? moved : fixed) || apart(bounds[i], bounds[j])) {
            continue;
        }
        pose_link(i);
        pose_link(j);
        for (std::uint32_t a = first[i]; a < first[i + 1]; ++a) {
            for (std::uint32_t b = first[j]; b < first[j + 1]; ++b) {
                // Each capsule lies within its reach of its middle.
                if (farther(middle[a], middle[b], visitor.threshold() + cap_reach[a] + cap_reach[b])) {
                    continue;
                }
                const double limit = visitor.threshold() + posed[a].radius + posed[b].radius;
                if (!(limit >= 0.0)) {
                    continue;
                }
                const double d2 = collision::segment_segment_distance_squared(posed[a].a, posed[a].b, posed[b].a, posed[b].b);
                if (d2 > limit * limit) {
                    continue;
                }
                if constexpr (Visitor::kFirstHitEnds) {
                    if (visitor.take(visitor.threshold(), link_id(i), link_id(j))) {
                        return;
                    }
                } else {
                    const double d = std::sqrt(d2) - posed[a].radius - posed[b].radius;
                    if (d <= visitor.threshold() && visitor.take(d, link_id(i), link_id(j))) {
                        return;
                    }
                }
            }
        }
    }
    if (tool_caps.empty() && tool_boxes.empty() && !has_scene) {
        return;
    }
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        pose_link(k);
    }

    // The tool, posed with the flange.
    std::array<Cap, kMaxToolSolids> tool;
    std::array<Box, kMaxToolSolids> boxes;
    const std::size_t tool_count = tool_caps.size();
    const std::size_t box_count = tool_boxes.size();
    Bound tool_bound{{0.0, 0.0, 0.0}, -std::numeric_limits<double>::infinity()};
    if (moved && tool_count + box_count > 0) {
        for (std::size_t c = 0; c < tool_count; ++c) {
            tool[c] = Cap{apply(frames[5], tool_caps[c].a), apply(frames[5], tool_caps[c].b), tool_caps[c].radius};
        }
        std::array<Cap, kMaxToolSolids * 2> hull;  // boxes as their bounding spheres, for the bound only
        std::size_t n = 0;
        for (std::size_t c = 0; c < tool_count; ++c) {
            hull[n++] = tool[c];
        }
        for (std::size_t c = 0; c < box_count; ++c) {
            boxes[c] = Box{compose(frames[5], tool_boxes[c].pose), tool_boxes[c].size};
            hull[n++] = Cap{boxes[c].pose.t, boxes[c].pose.t, box_half_diagonal(boxes[c])};
        }
        tool_bound = bound_of(std::span<const Cap>(hull.data(), n));
        for (const std::uint8_t link : kToolLinks) {
            if (apart(bounds[link], tool_bound)) {
                continue;
            }
            for (std::uint32_t a = first[link]; a < first[link + 1]; ++a) {
                const Cap& l = posed[a];
                for (std::size_t c = 0; c < tool_count; ++c) {
                    const double d = segment_segment_distance(l.a, l.b, tool[c].a, tool[c].b) - l.radius - tool[c].radius;
                    if (d <= visitor.threshold() && visitor.take(d, link_id(link), tool_cap_ids[c])) {
                        return;
                    }
                }
                for (std::size_t c = 0; c < box_count; ++c) {
                    const double d = segment_box_distance(l.a, l.b, boxes[c]) - l.radius;
                    if (d <= visitor.threshold() &&
                        visitor.take(d, link_id(link), BodyId{BodyId::Kind::Tool, BodyId::Shape::Box, std::uint32_t(c)})) {
                        return;
                    }
                }
            }
        }
    }

    // The scene, against the moving links and the tool.
    const auto tool_box_id = [](std::size_t c) {
        return BodyId{BodyId::Kind::Tool, BodyId::Shape::Box, std::uint32_t(c)};
    };
    // `near` holds a sphere around each capsule (its middle and reach).
    const auto scene_against = [&](std::span<const Cap> caps, std::span<const Bound> near, auto&& id_of,
                                   std::span<const Box> solid_boxes, const Bound& bound) -> bool {
        if (caps.empty() && solid_boxes.empty()) {
            return false;
        }
        for (std::size_t s = 0; s < scene_caps.size(); ++s) {
            if (apart(bound, scene_cap_bounds[s])) {
                continue;
            }
            const SceneCap& o = scene_caps[s];
            for (std::size_t c = 0; c < caps.size(); ++c) {
                if (apart(near[c], scene_cap_bounds[s])) {
                    continue;
                }
                const double d =
                    segment_segment_distance(caps[c].a, caps[c].b, o.cap.a, o.cap.b) - caps[c].radius - o.cap.radius;
                if (d <= visitor.threshold() && visitor.take(d, id_of(c), o.id)) {
                    return true;
                }
            }
            for (std::size_t c = 0; c < solid_boxes.size(); ++c) {
                const double d = segment_box_distance(o.cap.a, o.cap.b, solid_boxes[c]) - o.cap.radius;
                if (d <= visitor.threshold() && visitor.take(d, tool_box_id(c), o.id)) {
                    return true;
                }
            }
        }
        for (std::size_t s = 0; s < scene_boxes.size(); ++s) {
            const Box& o = scene_boxes[s];
            const SolidFrame& frame = scene_box_frames[s];
            if (box_farther(frame, bound.center, visitor.threshold() + bound.radius)) {
                continue;
            }
            const BodyId oid{BodyId::Kind::Scene, BodyId::Shape::Box, std::uint32_t(s)};
            for (std::size_t c = 0; c < caps.size(); ++c) {
                if (box_farther(frame, near[c].center, visitor.threshold() + near[c].radius)) {
                    continue;
                }
                const double d = segment_box_distance(caps[c].a, caps[c].b, o) - caps[c].radius;
                if (d <= visitor.threshold() && visitor.take(d, id_of(c), oid)) {
                    return true;
                }
            }
            for (std::size_t c = 0; c < solid_boxes.size(); ++c) {
                const double d = collision::box_box_distance(solid_boxes[c], o);
                if (d <= visitor.threshold() && visitor.take(d, tool_box_id(c), oid)) {
                    return true;
                }
            }
        }
        for (std::size_t s = 0; s < scene_cylinders.size(); ++s) {
            const Cylinder& o = scene_cylinders[s];
            const SolidFrame& frame = scene_cylinder_frames[s];
            if (cylinder_farther(frame, bound.center, visitor.threshold() + bound.radius)) {
                continue;
            }
            const BodyId oid{BodyId::Kind::Scene, BodyId::Shape::Cylinder, std::uint32_t(s)};
            for (std::size_t c = 0; c < caps.size(); ++c) {
                if (cylinder_farther(frame, near[c].center, visitor.threshold() + near[c].radius)) {
                    continue;
                }
                const double d = segment_cylinder_distance(caps[c].a, caps[c].b, o) - caps[c].radius;
                if (d <= visitor.threshold() && visitor.take(d, id_of(c), oid)) {
                    return true;
                }
            }
            for (std::size_t c = 0; c < solid_boxes.size(); ++c) {
                const double d = collision::box_cylinder_distance(solid_boxes[c], o);
                if (d <= visitor.threshold() && visitor.take(d, tool_box_id(c), oid)) {
                    return true;
                }
            }
        }
        for (std::size_t s = 0; s < scene_half_spaces.size(); ++s) {
            const HalfSpace& o = scene_half_spaces[s];
            const BodyId oid{BodyId::Kind::Scene, BodyId::Shape::HalfSpace, std::uint32_t(s)};
            if (dot(o.normal, bound.center) - bound.radius - o.offset > visitor.threshold()) {
                continue;
            }
            for (std::size_t c = 0; c < caps.size(); ++c) {
                const double d = segment_half_space_distance(caps[c].a, caps[c].b, o) - caps[c].radius;
                if (d <= visitor.threshold() && visitor.take(d, id_of(c), oid)) {
                    return true;
                }
            }
            for (std::size_t c = 0; c < solid_boxes.size(); ++c) {
                const double d = box_half_space_distance(solid_boxes[c], o);
                if (d <= visitor.threshold() && visitor.take(d, tool_box_id(c), oid)) {
                    return true;
                }
            }
        }
        if (!clouds.empty()) {
            // The clouds are indexed in the world frame.
            const Bound world_bound{base_is_identity ? bound.center : apply(base, bound.center), bound.radius};
            for (std::size_t s = 0; s < clouds.size(); ++s) {
                if (apart(world_bound, cloud_bounds[s])) {
                    continue;
                }
                const PointCloud& cloud = clouds[s];
                const BodyId oid{BodyId::Kind::Scene, BodyId::Shape::Points, std::uint32_t(s)};
                for (std::size_t c = 0; c < caps.size(); ++c) {
                    const Vec3 a = base_is_identity ? caps[c].a : apply(base, caps[c].a);
                    const Vec3 b = base_is_identity ? caps[c].b : apply(base, caps[c].b);
                    const double limit = visitor.threshold() + caps[c].radius + cloud.radius;
                    if constexpr (Visitor::kFirstHitEnds) {
                        // Any point within the limit settles it; the nearest is not needed.
                        if (cloud.index->segment_within(a, b, limit) && visitor.take(limit, id_of(c), oid)) {
                            return true;
                        }
                    } else {
                        const double d = cloud.index->segment_distance(a, b, limit) - caps[c].radius - cloud.radius;
                        if (d <= visitor.threshold() && visitor.take(d, id_of(c), oid)) {
                            return true;
                        }
                    }
                }
                for (std::size_t c = 0; c < solid_boxes.size(); ++c) {
                    const Box world_box = base_is_identity ? solid_boxes[c] : Box{compose(base, solid_boxes[c].pose), solid_boxes[c].size};
                    const double limit = visitor.threshold() + cloud.radius;
                    if constexpr (Visitor::kFirstHitEnds) {
                        if (cloud.index->box_within(world_box, limit) && visitor.take(limit, tool_box_id(c), oid)) {
                            return true;
                        }
                    } else {
                        const double d = cloud.index->box_distance(world_box, limit) - cloud.radius;
                        if (d <= visitor.threshold() && visitor.take(d, tool_box_id(c), oid)) {
                            return true;
                        }
                    }
                }
            }
        }
        return false;
    };

    if (scene_caps.empty() && scene_boxes.empty() && scene_cylinders.empty() && scene_half_spaces.empty() &&
        clouds.empty()) {
        return;
    }
    std::array<Bound, kMaxLinkCapsules> link_near;
    for (std::uint32_t c = 0; c < first[kBodyCount]; ++c) {
        link_near[c] = Bound{middle[c], cap_reach[c]};
    }
    for (const std::uint8_t link : kSceneLinks) {
        if (!(link == kFlangeLink ? moved : fixed)) {
            continue;
        }
        const std::size_t count = first[link + 1] - first[link];
        const auto caps = std::span<const Cap>(posed.data() + first[link], count);
        const auto near = std::span<const Bound>(link_near.data() + first[link], count);
        if (scene_against(
                caps, near, [&](std::size_t) { return link_id(link); }, std::span<const Box>(), bounds[link])) {
            return;
        }
    }
    if (moved && tool_count + box_count > 0) {
        std::array<Bound, kMaxToolSolids> tool_near;
        for (std::size_t c = 0; c < tool_count; ++c) {
            const Vec3 mid{0.5 * (tool[c].a[0] + tool[c].b[0]), 0.5 * (tool[c].a[1] + tool[c].b[1]),
                           0.5 * (tool[c].a[2] + tool[c].b[2])};
            tool_near[c] = Bound{mid, 0.5 * distance(tool[c].a, tool[c].b) + tool[c].radius};
        }
        scene_against(
            std::span<const Cap>(tool.data(), tool_count), std::span<const Bound>(tool_near.data(), tool_count),
            [&](std::size_t c) { return tool_cap_ids[c]; }, std::span<const Box>(boxes.data(), box_count), tool_bound);
    }
}

namespace {

struct AnyWithin {
    static constexpr bool kFirstHitEnds = true;  // any pair within the threshold ends the walk
    double padding;
    bool hit = false;
    double threshold() const noexcept { return padding; }
    // A configuration that places no link cannot be shown clear.
    void not_finite() noexcept { hit = true; }
    bool take(double, BodyId, BodyId) noexcept {
        hit = true;
        return true;
    }
};

struct Nearest {
    static constexpr bool kFirstHitEnds = false;
    Clearance best{std::numeric_limits<double>::infinity(), {}, {}};
    double threshold() const noexcept { return best.distance; }
    // Distances of links that cannot be placed are unknown, not infinite.
    void not_finite() noexcept { best = Clearance{std::numeric_limits<double>::quiet_NaN(), {}, {}}; }
    bool take(double d, BodyId a, BodyId b) noexcept {
        if (d < best.distance) {
            best = Clearance{d, a, b};
        }
        return false;
    }
};

}  // namespace

CollisionChecker::CollisionChecker(const Arm& arm) : CollisionChecker(arm, Scene{}) {}

CollisionChecker::CollisionChecker(const Arm& arm, const Scene& scene) : impl_(std::make_unique<Impl>()) {
    if (const std::string problem = scene_problem(scene, false); !problem.empty()) {
        throw std::invalid_argument("the scene cannot be checked: " + problem);
    }
    Impl& m = *impl_;
    m.robot = arm.robot;
    m.base = arm.base;
    m.base_is_identity = arm.base == Pose{};
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        m.first[k] = static_cast<std::uint32_t>(m.link_caps.size());
        for (const Capsule& c : arm.envelopes[k].capsules) {
            if (m.link_caps.size() < kMaxLinkCapsules) {
                m.link_caps.push_back(Cap{c.a, c.b, c.radius});
            }
        }
    }
    m.first[kBodyCount] = static_cast<std::uint32_t>(m.link_caps.size());
    for (const Cap& c : m.link_caps) {
        m.cap_reach.push_back(0.5 * distance(c.a, c.b) + c.radius);
    }
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        m.link_bounds[k] = bound_of(std::span<const Cap>(m.link_caps.data() + m.first[k], m.first[k + 1] - m.first[k]));
    }

    const Scene& tool = arm.tool_geometry;
    for (std::size_t i = 0; i < tool.spheres.size() && m.tool_caps.size() < kMaxToolSolids; ++i) {
        m.tool_caps.push_back(Cap{tool.spheres[i].center, tool.spheres[i].center, tool.spheres[i].radius});
        m.tool_cap_ids.push_back(BodyId{BodyId::Kind::Tool, BodyId::Shape::Sphere, std::uint32_t(i)});
    }
    for (std::size_t i = 0; i < tool.capsules.size() && m.tool_caps.size() < kMaxToolSolids; ++i) {
        m.tool_caps.push_back(Cap{tool.capsules[i].a, tool.capsules[i].b, tool.capsules[i].radius});
        m.tool_cap_ids.push_back(BodyId{BodyId::Kind::Tool, BodyId::Shape::Capsule, std::uint32_t(i)});
    }
    for (std::size_t i = 0; i < tool.boxes.size() && m.tool_boxes.size() < kMaxToolSolids; ++i) {
        m.tool_boxes.push_back(tool.boxes[i]);
    }

    // The scene moves into the robot's base frame once, not every query.
    const Pose to_base = inverse_pose(arm.base);
    // Everything but the clouds' points, which the checker does not need (the
    // index has them): a million-point cloud is not copied per checker.
    Scene solids;
    solids.spheres = scene.spheres;
    solids.capsules = scene.capsules;
    solids.boxes = scene.boxes;
    solids.cylinders = scene.cylinders;
    solids.half_spaces = scene.half_spaces;
    const Scene unit = normalized_scene(std::move(solids));
    for (std::size_t i = 0; i < unit.spheres.size(); ++i) {
        const Vec3 c = apply(to_base, unit.spheres[i].center);
        m.scene_caps.push_back(SceneCap{Cap{c, c, unit.spheres[i].radius},
                                        BodyId{BodyId::Kind::Scene, BodyId::Shape::Sphere, std::uint32_t(i)}});
    }
    for (std::size_t i = 0; i < unit.capsules.size(); ++i) {
        const Capsule& c = unit.capsules[i];
        m.scene_caps.push_back(SceneCap{Cap{apply(to_base, c.a), apply(to_base, c.b), c.radius},
                                        BodyId{BodyId::Kind::Scene, BodyId::Shape::Capsule, std::uint32_t(i)}});
    }
    for (const SceneCap& s : m.scene_caps) {
        const Cap one[1] = {s.cap};
        m.scene_cap_bounds.push_back(bound_of(one));
    }
    for (const Box& b : unit.boxes) {
        m.scene_boxes.push_back(Box{compose(to_base, b.pose), b.size});
        m.scene_box_frames.push_back(solid_frame(m.scene_boxes.back().pose, Vec3{0.5 * b.size[0], 0.5 * b.size[1], 0.5 * b.size[2]}));
    }
    for (const Cylinder& c : unit.cylinders) {
        m.scene_cylinders.push_back(Cylinder{compose(to_base, c.pose), c.radius, c.length});
        m.scene_cylinder_frames.push_back(solid_frame(m.scene_cylinders.back().pose, Vec3{c.radius, c.radius, 0.5 * c.length}));
    }
    for (const HalfSpace& h : unit.half_spaces) {
        m.scene_half_spaces.push_back(moved(to_base, h));
    }
    for (const PointCloud& cloud : scene.clouds) {
        if (cloud.points.empty()) {
            continue;
        }
        // A cloud put together by hand, or grown after its index was built.
        std::shared_ptr<const PointIndex> index = cloud.index;
        if (!index || index->size() != cloud.points.size()) {
            for (const Vec3& p : cloud.points) {
                if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) {
                    throw std::invalid_argument("the scene cannot be checked: " + scene_problem(scene));
                }
            }
            index = std::make_shared<const PointIndex>(cloud.points);
        }
        const auto& [lo, hi] = index->box();
        const Vec3 center{0.5 * (lo[0] + hi[0]), 0.5 * (lo[1] + hi[1]), 0.5 * (lo[2] + hi[2])};
        m.cloud_bounds.push_back(Bound{center, distance(center, hi) + cloud.radius});
        m.clouds.push_back(PointCloud{{}, cloud.radius, index});
    }
    m.has_scene = !(m.scene_caps.empty() && m.scene_boxes.empty() && m.scene_cylinders.empty() &&
                    m.scene_half_spaces.empty() && m.clouds.empty());
    m.compute_radii();
    m.prepare_j2_bins(arm.lower[1], arm.upper[1]);
}

CollisionChecker::~CollisionChecker() = default;
CollisionChecker::CollisionChecker(CollisionChecker&&) noexcept = default;
CollisionChecker& CollisionChecker::operator=(CollisionChecker&&) noexcept = default;

bool CollisionChecker::collides(const JointVector& joints, double padding) const noexcept {
    if (std::isnan(padding)) {
        return true;
    }
    impl_->count_query();
    AnyWithin visitor{padding};
    impl_->visit(joints, visitor);
    return visitor.hit;
}

void CollisionChecker::collides_turned(const JointVector& joints, std::span<const double> j6,
                                       std::span<std::uint8_t> out, double padding) const noexcept {
    const std::size_t count = std::min(j6.size(), out.size());
    if (count == 0) {
        return;
    }
    impl_->count_query();
    // Everything but the flange link and the tool keeps its place as J6
    // turns: checked once, and posed once for all the turns.
    const auto all_hit = [&] { std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count), std::uint8_t{1}); };
    if (std::isnan(padding)) {
        all_hit();
        return;
    }
    if (padding >= 0.0 && impl_->j2_settles(joints[1])) {
        all_hit();
        return;
    }
    Impl::Posed p;
    impl_->pose(joints, p);
    AnyWithin fixed{padding};
    if (!finite_frame(p.frames[4])) {
        fixed.not_finite();
    } else {
        impl_->walk(p, fixed, Impl::kFixedByJ6);
    }
    if (fixed.hit) {
        all_hit();
        return;
    }
    for (std::size_t r = 0; r < count; ++r) {
        impl_->turn_flange(p, j6[r]);
        AnyWithin moved{padding};
        if (!finite_frame(p.frames[5])) {
            moved.not_finite();
        } else {
            impl_->walk(p, moved, Impl::kMovedByJ6);
        }
        out[r] = moved.hit ? 1 : 0;
    }
}

Clearance CollisionChecker::clearance(const JointVector& joints) const noexcept {
    Nearest visitor;
    impl_->visit(joints, visitor);
    return visitor.best;
}

const JointVector& CollisionChecker::motion_radii() const noexcept {
    return impl_->radii;
}

bool CollisionChecker::move_collides(const JointVector& a, const JointVector& b, double padding,
                                     double resolution) const noexcept {
    // Longest path of any point, from the rotations of the chain (J3's is J2 + J3).
    std::array<double, 6> turn;
    for (std::size_t j = 0; j < 6; ++j) {
        turn[j] = (b[j] - a[j]) * kDegToRad;
    }
    turn[2] += turn[1];
    double travel = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        travel += impl_->kinematic_radii[j] * std::fabs(turn[j]);
    }
    if (!std::isfinite(travel) || !(resolution > 0.0) || std::isnan(padding)) {
        return true;
    }
    // Each of n equal pieces is checked at its middle, padded by the most any
    // point moves within the piece: a body is then within half of that of its
    // middle position all along, and two bodies within the whole of it. A
    // piece that fails is halved, and each half checked the same way with
    // half the padding, kMoveHalvings times at most: a move that passes a
    // solid closer than `resolution` but clear of it is not taken for a
    // contact (only one within resolution / 2^kMoveHalvings of it is).
    constexpr double kMaxPieces = 1 << 20;
    const double pieces = std::clamp(std::ceil(travel / resolution), 1.0, kMaxPieces);
    const double piece = travel / pieces;
    const auto count = static_cast<std::size_t>(pieces);
    const double step = 1.0 / pieces;
    const auto at = [&](double t) {
        JointVector q;
        for (std::size_t j = 0; j < 6; ++j) {
            q[j] = a[j] + t * (b[j] - a[j]);
        }
        return q;
    };
    for (std::size_t i = 0; i < count; ++i) {
        // Pieces still to look at: their start (fraction of the move) and halvings.
        struct Part {
            double from;
            int halvings;
        };
        std::array<Part, kMoveHalvings + 2> todo{};
        std::size_t size = 0;
        todo[size++] = Part{static_cast<double>(i) * step, 0};
        while (size > 0) {
            const Part part = todo[--size];
            const double scale = std::ldexp(1.0, -part.halvings);
            const double length = step * scale;
            if (!collides(at(part.from + 0.5 * length), padding + piece * scale)) {
                continue;
            }
            if (part.halvings == kMoveHalvings) {
                return true;
            }
            todo[size++] = Part{part.from + 0.5 * length, part.halvings + 1};
            todo[size++] = Part{part.from, part.halvings + 1};
        }
    }
    return false;
}

void collides_many(const CollisionChecker& checker, std::span<const JointVector> joints, std::span<std::uint8_t> out,
                   double padding, unsigned threads, const CancelCheck& cancel) {
    const std::size_t count = std::min(joints.size(), out.size());
    detail::BatchStop stop(cancel);
    detail::run_chunks(count, detail::effective_threads(count, threads), stop,
                       [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                           for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                               out[i] = checker.collides(joints[i], padding) ? 1 : 0;
                           }
                       });
}

void clearance_many(const CollisionChecker& checker, std::span<const JointVector> joints, std::span<Clearance> out,
                    unsigned threads, const CancelCheck& cancel) {
    const std::size_t count = std::min(joints.size(), out.size());
    detail::BatchStop stop(cancel);
    detail::run_chunks(count, detail::effective_threads(count, threads), stop,
                       [&](unsigned, std::size_t begin, std::size_t end, bool on_caller) {
                           for (std::size_t i = begin; i < end && stop.keep_going(on_caller); ++i) {
                               out[i] = checker.clearance(joints[i]);
                           }
                       });
}

}  // namespace ortholink
