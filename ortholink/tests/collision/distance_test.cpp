// The distance kernels against golden-section references on seeded random
// cases, degenerate ones mixed in: points for segments, parallel and crossing
// pairs, segments inside, touching and far from the solids, sizes from
// micrometres to kilometres. No result may exceed the reference (a distance
// attained on the shapes, so at least the true one) beyond rounding; the
// exact kernels must also come within rounding of it.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "collision/distance.hpp"
#include "collision/reference.hpp"

namespace ortholink::collision {
namespace {

namespace ref = reference;

// Relative to the largest coordinate or size of a case.
constexpr double kRelativeTolerance = 1e-9;

constexpr std::array<double, 5> kScales{1e-3, 1.0, 300.0, 1e5, 5e6};

std::string describe(const Vec3& v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g)", v[0], v[1], v[2]);
    return buf;
}

std::string describe(const Pose& p) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "q(%.17g, %.17g, %.17g, %.17g) t", p.q.x, p.q.y, p.q.z, p.q.w);
    return buf + describe(p.t);
}

double magnitude(const Vec3& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}

class Cases {
public:
    Cases() : rng_(ref::property_seed()) {}

    std::mt19937_64& rng() { return rng_; }

    double scale() { return kScales[std::uniform_int_distribution<std::size_t>(0, kScales.size() - 1)(rng_)]; }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }

    Vec3 point(double s) { return Vec3{uniform(-s, s), uniform(-s, s), uniform(-s, s)}; }

    Vec3 direction() {
        std::normal_distribution<double> n(0.0, 1.0);
        Vec3 v{n(rng_), n(rng_), n(rng_)};
        const double l = ref::norm(v);
        return Vec3{v[0] / l, v[1] / l, v[2] / l};
    }

    // A length that is sometimes zero.
    double size(double s) {
        switch (pick(6)) {
            case 0: return 0.0;
            case 1: return s * 1e-9;
            default: return uniform(0.0, s);
        }
    }

    Pose pose(double s) { return Pose{ref::random_rotation(rng_), point(s)}; }

private:
    std::mt19937_64 rng_;
};

Vec3 add(const Vec3& a, const Vec3& b, double k = 1.0) {
    return Vec3{a[0] + k * b[0], a[1] + k * b[1], a[2] + k * b[2]};
}

TEST(DistanceSegmentSegment, NeverAboveAndWithinRoundingOfTheReference) {
    Cases cases;
    const int count = ref::property_count(3000);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        Vec3 p0 = cases.point(s);
        Vec3 p1 = cases.point(s);
        Vec3 q0 = cases.point(s);
        Vec3 q1 = cases.point(s);
        const Vec3 u = cases.direction();
        switch (cases.pick(10)) {
            case 0: p1 = p0; break;                                                // a point and a segment
            case 1: p1 = p0, q1 = q0; break;                                       // two points
            case 2: q1 = add(q0, add(p1, p0, -1.0), cases.uniform(-2, 2)); break;  // parallel
            case 3:                                                                // collinear, overlapping or not
                q0 = add(p0, add(p1, p0, -1.0), cases.uniform(-1.5, 1.5));
                q1 = add(p0, add(p1, p0, -1.0), cases.uniform(-1.5, 1.5));
                break;
            case 4: {  // nearly parallel, crossing near their middles
                const Vec3 m = cases.point(s);
                p0 = add(m, u, -s);
                p1 = add(m, u, s);
                const Vec3 v = add(u, cases.direction(), 1e-7);
                q0 = add(m, v, -s * cases.uniform(0.2, 1.0));
                q1 = add(m, v, s * cases.uniform(0.2, 1.0));
                break;
            }
            case 5: {  // crossing exactly at a point of both
                const Vec3 m = cases.point(s);
                p0 = add(m, u, -s * cases.uniform(0, 1));
                p1 = add(m, u, s * cases.uniform(0, 1));
                const Vec3 v = cases.direction();
                q0 = add(m, v, -s * cases.uniform(0, 1));
                q1 = add(m, v, s * cases.uniform(0, 1));
                break;
            }
            case 6: q0 = p1; break;                                             // sharing an end
            case 7: q0 = add(q0, u, 1e3 * s), q1 = add(q1, u, 1e3 * s); break;  // far apart
            case 8: p1 = add(p0, u, s * 1e-9); break;                           // very short
            default: break;
        }
        const double got = segment_segment_distance(p0, p1, q0, q1);
        const double want = ref::segment_segment(p0, p1, q0, q1);
        const double tol = kRelativeTolerance * std::max({magnitude(p0), magnitude(p1), magnitude(q0), magnitude(q1)});
        ASSERT_LE(got, want + tol) << describe(p0) << describe(p1) << describe(q0) << describe(q1);
        ASSERT_NEAR(got, want, tol) << describe(p0) << describe(p1) << describe(q0) << describe(q1);
        // Symmetric in the two segments and in their directions.
        ASSERT_NEAR(segment_segment_distance(q1, q0, p1, p0), got, tol);
    }
}

TEST(DistanceSegmentSegment, KnownConfigurations) {
    // Skew lines through the z axis 3 apart, closest points inside both.
    EXPECT_DOUBLE_EQ(segment_segment_distance({-1, 0, 0}, {1, 0, 0}, {0, -1, 3}, {0, 1, 3}), 3.0);
    // The same, the second segment ending before the crossing: an end is closest.
    EXPECT_DOUBLE_EQ(segment_segment_distance({-1, 0, 0}, {1, 0, 0}, {0, 4, 3}, {0, 1, 3}), std::sqrt(10.0));
    // Parallel with a gap along their line.
    EXPECT_DOUBLE_EQ(segment_segment_distance({0, 0, 0}, {1, 0, 0}, {3, 4, 0}, {5, 4, 0}), std::sqrt(20.0));
    // Parallel and overlapping.
    EXPECT_DOUBLE_EQ(segment_segment_distance({0, 0, 0}, {2, 0, 0}, {1, 2, 0}, {5, 2, 0}), 2.0);
    EXPECT_EQ(segment_segment_distance({1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}), 0.0);
}

TEST(DistancePointSegment, NeverAboveAndWithinRoundingOfTheReference) {
    Cases cases;
    const int count = ref::property_count(3000);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const Vec3 a = cases.point(s);
        Vec3 b = cases.point(s);
        Vec3 p = cases.point(s);
        switch (cases.pick(4)) {
            case 0: b = a; break;
            case 1: p = ref::lerp(a, b, cases.uniform(-0.5, 1.5)); break;  // on the line
            default: break;
        }
        const double got = point_segment_distance(p, a, b);
        const double want = ref::point_segment(p, a, b);
        const double tol = kRelativeTolerance * std::max({magnitude(a), magnitude(b), magnitude(p)});
        ASSERT_LE(got, want + tol) << describe(p) << describe(a) << describe(b);
        ASSERT_NEAR(got, want, tol) << describe(p) << describe(a) << describe(b);
    }
}

TEST(DistanceHalfSpace, SignedByTheDeepestEnd) {
    const HalfSpace floor{{0.0, 0.0, 1.0}, 100.0};
    EXPECT_DOUBLE_EQ(segment_half_space_distance({0, 0, 150}, {10, 0, 130}, floor), 30.0);
    EXPECT_DOUBLE_EQ(segment_half_space_distance({0, 0, 150}, {10, 0, 100}, floor), 0.0);
    EXPECT_DOUBLE_EQ(segment_half_space_distance({0, 0, 150}, {10, 0, 60}, floor), -40.0);
    EXPECT_DOUBLE_EQ(segment_half_space_distance({0, 0, 90}, {10, 0, 95}, floor), -10.0);
    Cases cases;
    const int count = ref::property_count(1000);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const HalfSpace h{cases.direction(), cases.uniform(-s, s)};
        const Vec3 a = cases.point(s);
        const Vec3 b = cases.pick(4) == 0 ? a : cases.point(s);
        const double got = segment_half_space_distance(a, b, h);
        // The signed distance of a point is linear along the segment.
        const double want = ref::minimize([&](double t) { return dot(h.normal, ref::lerp(a, b, t)) - h.offset; });
        const double tol = kRelativeTolerance * std::max({magnitude(a), magnitude(b), std::fabs(h.offset)});
        ASSERT_LE(got, want + tol);
        ASSERT_NEAR(got, want, tol);
    }
}

// A point of the box, given in its frame by fractions of its half sizes.
Vec3 box_point(const Box& box, const Vec3& fraction) {
    return ref::from_frame(box.pose, Vec3{0.5 * box.size[0] * fraction[0], 0.5 * box.size[1] * fraction[1],
                                          0.5 * box.size[2] * fraction[2]});
}

// A segment near, in, on or far from a solid reaching `extent` from its
// centre: kind picks which; `inside(f)` maps fractions in [-1, 1]³ into the
// solid and `surface` puts a point on it.
struct SegmentCase {
    Vec3 a;
    Vec3 b;
};

template <class Inside, class Surface>
SegmentCase segment_near(Cases& cases, const Pose& pose, double extent, const Inside& inside, const Surface& surface) {
    const auto fractions = [&] { return Vec3{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)}; };
    const double e = std::max(extent, 1e-6);
    const auto around = [&](double k) { return add(pose.t, cases.point(k * e)); };
    switch (cases.pick(9)) {
        case 0: return {inside(fractions()), inside(fractions())};  // inside
        case 1: {                                                   // from inside out
            return {inside(fractions()), around(3.0)};
        }
        case 2: {  // touching at an end
            return {surface(), around(3.0)};
        }
        case 3: {  // zero length, near
            const Vec3 p = around(2.0);
            return {p, p};
        }
        case 4: {  // far away
            const Vec3 p = around(1e3);
            return {add(p, cases.direction(), 1e4 * e), add(p, cases.direction(), 1e4 * e)};
        }
        case 5: {  // just outside, along a direction of the pose's frame
            const Vec3 p = surface();
            Vec3 u{0, 0, 0};
            u[cases.pick(3)] = 1.0;
            const Vec3 along = rotate(pose.q, u);
            const Vec3 out = add(p, add(p, pose.t, -1.0), 1e-6);  // pushed out from the centre
            return {add(out, along, -e), add(out, along, e)};
        }
        default: return {around(2.0), around(2.0)};
    }
}

TEST(DistanceSegmentBox, NeverAboveAndWithinRoundingOfTheReference) {
    Cases cases;
    const int count = ref::property_count(3000);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const Box box{cases.pose(s), Vec3{cases.size(s), cases.size(s), cases.size(s)}};
        const double extent = 0.5 * ref::norm(box.size);
        const auto inside = [&](const Vec3& f) { return box_point(box, f); };
        const auto surface = [&] {
            Vec3 f{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)};
            f[cases.pick(3)] = cases.pick(2) == 0 ? -1.0 : 1.0;
            return box_point(box, f);
        };
        const SegmentCase c = segment_near(cases, box.pose, extent, inside, surface);
        const double got = segment_box_distance(c.a, c.b, box);
        const double want = ref::segment_box(c.a, c.b, box);
        const double tol = kRelativeTolerance * std::max({magnitude(c.a), magnitude(c.b), magnitude(box.pose.t), extent});
        ASSERT_LE(got, want + tol) << describe(c.a) << describe(c.b) << describe(box.pose) << describe(box.size);
        ASSERT_NEAR(got, want, tol) << describe(c.a) << describe(c.b) << describe(box.pose) << describe(box.size);
    }
}

TEST(DistanceSegmentCylinder, NeverAboveAndTightBelowTheReference) {
    Cases cases;
    const int count = ref::property_count(3000);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const Cylinder cyl{cases.pose(s), cases.size(s), cases.size(s)};
        const double extent = std::hypot(cyl.radius, 0.5 * cyl.length);
        const auto inside = [&](const Vec3& f) {
            // f[0], f[1] as a point of the unit disc (folded in), f[2] along the axis.
            const double r = std::hypot(f[0], f[1]);
            const double k = r > 1.0 ? 1.0 / r : 1.0;
            return ref::from_frame(cyl.pose, Vec3{cyl.radius * f[0] * k, cyl.radius * f[1] * k, 0.5 * cyl.length * f[2]});
        };
        const auto surface = [&] {
            const double angle = cases.uniform(-M_PI, M_PI);
            if (cases.pick(2) == 0) {  // on the side
                return ref::from_frame(cyl.pose, Vec3{cyl.radius * std::cos(angle), cyl.radius * std::sin(angle),
                                                      0.5 * cyl.length * cases.uniform(-1, 1)});
            }
            const double r = cyl.radius * std::sqrt(cases.uniform(0, 1));  // on a cap
            return ref::from_frame(cyl.pose, Vec3{r * std::cos(angle), r * std::sin(angle),
                                                  (cases.pick(2) == 0 ? -0.5 : 0.5) * cyl.length});
        };
        const SegmentCase c = segment_near(cases, cyl.pose, extent, inside, surface);
        const double got = segment_cylinder_distance(c.a, c.b, cyl);
        const double want = ref::segment_cylinder(c.a, c.b, cyl);
        const double tol = kRelativeTolerance * std::max({magnitude(c.a), magnitude(c.b), magnitude(cyl.pose.t), extent});
        ASSERT_LE(got, want + tol) << describe(c.a) << describe(c.b) << describe(cyl.pose) << cyl.radius << " " << cyl.length;
        ASSERT_GE(got, want - 10.0 * tol) << describe(c.a) << describe(c.b) << describe(cyl.pose) << cyl.radius << " " << cyl.length;
    }
}

TEST(DistanceSegmentCylinder, KnownConfigurations) {
    const Cylinder c{Pose{}, 10.0, 40.0};  // radius 10, z in [-20, 20]
    EXPECT_EQ(segment_cylinder_distance({0, 0, -100}, {0, 0, 100}, c), 0.0);
    EXPECT_NEAR(segment_cylinder_distance({15, -50, 0}, {15, 50, 0}, c), 5.0, 1e-9);
    EXPECT_NEAR(segment_cylinder_distance({-50, 0, 23}, {50, 0, 23}, c), 3.0, 1e-9);
    // Past the rim: closest to the circle of radius 10 at z = 20.
    EXPECT_NEAR(segment_cylinder_distance({13, -50, 24}, {13, 50, 24}, c), 5.0, 1e-9);
    // Across the rim diagonally.
    EXPECT_NEAR(segment_cylinder_distance({30, 0, 0}, {0, 0, 50}, c), 400.0 / std::sqrt(3400.0), 1e-9);
}

TEST(DistanceBoxBox, NeverAboveAndWithinRoundingOfTheReference) {
    Cases cases;
    const int count = ref::property_count(600);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const Box a{cases.pose(s), Vec3{cases.size(s), cases.size(s), cases.size(s)}};
        Box b{cases.pose(s), Vec3{cases.size(s), cases.size(s), cases.size(s)}};
        switch (cases.pick(6)) {
            case 0: b.pose.t = box_point(a, Vec3{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)}); break;
            case 1: {  // face to face, same orientation, touching or a hair or a rounding apart
                b.pose.q = a.pose.q;
                const int axis = cases.pick(3);
                Vec3 f{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)};
                f[axis] = 0.0;
                Vec3 local{0.5 * a.size[0] * f[0], 0.5 * a.size[1] * f[1], 0.5 * a.size[2] * f[2]};
                local[axis] = 0.5 * (a.size[axis] + b.size[axis]) + std::array<double, 3>{0.0, 1e-14 * s, 1e-6 * s}[cases.pick(3)];
                b.pose.t = ref::from_frame(a.pose, local);
                break;
            }
            case 2: b.pose.t = add(b.pose.t, cases.direction(), 1e3 * s); break;  // far
            default: break;
        }
        const double got = box_box_distance(a, b);
        const double want = ref::box_box(a, b);
        const double tol = kRelativeTolerance * std::max({magnitude(a.pose.t), magnitude(b.pose.t), ref::norm(a.size), ref::norm(b.size)});
        ASSERT_LE(got, want + tol) << describe(a.pose) << describe(a.size) << describe(b.pose) << describe(b.size);
        if (want > tol) {
            ASSERT_NEAR(got, want, tol) << describe(a.pose) << describe(a.size) << describe(b.pose) << describe(b.size);
        } else {
            // Meeting: minus an overlap no deeper than the boxes' reach.
            ASSERT_GE(got, -0.5 * (ref::norm(a.size) + ref::norm(b.size)) - tol);
        }
        ASSERT_NEAR(box_box_distance(b, a), got, tol);
        // Any two points of the boxes are at least that far apart.
        for (int k = 0; k < 20; ++k) {
            const Vec3 pa = box_point(a, Vec3{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)});
            const Vec3 pb = box_point(b, Vec3{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)});
            ASSERT_LE(got, ref::distance(pa, pb) + tol);
        }
    }
}

TEST(DistanceBoxBox, KnownConfigurations) {
    const Box unit{Pose{}, {2, 2, 2}};
    // Corner to corner along the diagonal, gap 1 on every axis.
    EXPECT_NEAR(box_box_distance(unit, Box{Pose{Quat{}, {3, 3, 3}}, {2, 2, 2}}), std::sqrt(3.0), 1e-12);
    // Face to face.
    EXPECT_NEAR(box_box_distance(unit, Box{Pose{Quat{}, {0.5, 0, 5}}, {2, 2, 2}}), 3.0, 1e-12);
    // Touching faces; overlapping, minus the shortest move that clears them
    // (one inside the other: 1 + 0.25 - 0.1 along x).
    EXPECT_EQ(box_box_distance(unit, Box{Pose{Quat{}, {2, 0, 0}}, {2, 2, 2}}), 0.0);
    EXPECT_NEAR(box_box_distance(unit, Box{Pose{Quat{}, {1.5, 0.2, 0}}, {2, 2, 2}}), -0.5, 1e-12);
    EXPECT_NEAR(box_box_distance(unit, Box{Pose{Quat{}, {0.1, 0, 0}}, {0.5, 0.5, 0.5}}), -1.15, 1e-12);
    // A box turned 45° about z, its edge towards the other's face.
    const double h = std::sqrt(0.5);
    EXPECT_NEAR(box_box_distance(unit, Box{Pose{Quat{0, 0, std::sin(M_PI / 8), std::cos(M_PI / 8)}, {4, 0, 0}}, {2 * h, 2 * h, 2}}),
                2.0, 1e-12);
}

// The distance of a box from a cylinder: 0 for a cylinder wholly inside
// the box, else the least over the box's faces of the (convex) distance of
// their points from the cylinder, by nested golden-section searches.
double reference_box_cylinder(const Box& box, const Cylinder& c) {
    if (ref::point_box(c.pose.t, box) == 0.0) {
        return 0.0;
    }
    double best = INFINITY;
    for (int axis = 0; axis < 3; ++axis) {
        for (const double side : {-0.5, 0.5}) {
            const int j = (axis + 1) % 3;
            const int k = (axis + 2) % 3;
            const auto at = [&](double s, double t) {
                Vec3 local{};
                local[axis] = side * box.size[axis];
                local[j] = (s - 0.5) * box.size[j];
                local[k] = (t - 0.5) * box.size[k];
                return ref::point_cylinder(ref::from_frame(box.pose, local), c);
            };
            best = std::fmin(best, ref::minimize([&](double s) { return ref::minimize([&](double t) { return at(s, t); }, 70); }, 70));
        }
    }
    return best;
}

TEST(DistanceBoxCylinder, NeverAboveAndWithinRoundingOfTheReference) {
    Cases cases;
    const int count = ref::property_count(300);
    for (int i = 0; i < count; ++i) {
        const double s = cases.scale();
        const Box box{cases.pose(s), Vec3{cases.size(s), cases.size(s), cases.size(s)}};
        Cylinder c{cases.pose(s), cases.size(s), cases.size(s)};
        switch (cases.pick(5)) {
            case 0: c.pose.t = box_point(box, Vec3{cases.uniform(-1, 1), cases.uniform(-1, 1), cases.uniform(-1, 1)}); break;
            case 1: {  // side by side, axis along a face, a hair apart
                c.pose.q = box.pose.q;
                Vec3 local{cases.uniform(-0.5, 0.5) * box.size[0], 0.5 * box.size[1] + c.radius, 0.0};
                local[1] += std::array<double, 3>{0.0, 1e-9 * s, 1e-3 * s}[cases.pick(3)];
                c.pose.t = ref::from_frame(box.pose, local);
                break;
            }
            case 2: c.pose.t = add(c.pose.t, cases.direction(), 1e3 * s); break;  // far
            default: break;
        }
        const double got = box_cylinder_distance(box, c);
        const double want = reference_box_cylinder(box, c);
        const double tol = kRelativeTolerance * std::max({magnitude(box.pose.t), magnitude(c.pose.t), ref::norm(box.size), c.radius, c.length});
        ASSERT_LE(got, want + tol) << describe(box.pose) << describe(box.size) << describe(c.pose) << " r " << c.radius << " l " << c.length;
        if (want > tol) {
            ASSERT_NEAR(got, want, tol) << describe(box.pose) << describe(box.size) << describe(c.pose) << " r " << c.radius << " l " << c.length;
        } else {
            ASSERT_LE(got, tol);
        }
    }
}

TEST(DistanceBoxCylinder, KnownConfigurations) {
    const Cylinder c{Pose{}, 10.0, 40.0};  // radius 10, z in [-20, 20]
    // Face to the curved side, edge to the curved side, face to a cap, corner to the rim.
    EXPECT_NEAR(box_cylinder_distance(Box{Pose{Quat{}, {20, 0, 0}}, {10, 10, 10}}, c), 5.0, 1e-9);
    EXPECT_NEAR(box_cylinder_distance(Box{Pose{Quat{}, {20, 20, 0}}, {10, 10, 10}}, c), std::hypot(15.0, 15.0) - 10.0, 1e-9);
    EXPECT_NEAR(box_cylinder_distance(Box{Pose{Quat{}, {0, 0, 30}}, {4, 4, 4}}, c), 8.0, 1e-9);
    EXPECT_NEAR(box_cylinder_distance(Box{Pose{Quat{}, {20, 20, 30}}, {2, 2, 2}}, c), std::hypot(std::hypot(19.0, 19.0) - 10.0, 9.0), 1e-9);
    // Where its bounding box is nearer: a box off the cylinder's side, by the corner of that box.
    EXPECT_GT(box_cylinder_distance(Box{Pose{Quat{}, {14, 14, 0}}, {2, 2, 2}}, c), 0.0);
    // Meeting: minus the overlap with the bounding box (the box inside: 5 + 2 - 0).
    EXPECT_LT(box_cylinder_distance(Box{Pose{Quat{}, {12, 0, 0}}, {6, 6, 6}}, c), 0.0);
    EXPECT_NEAR(box_cylinder_distance(Box{Pose{Quat{}, {0, 0, 0}}, {4, 4, 4}}, c), -12.0, 1e-12);
    EXPECT_EQ(box_cylinder_distance(Box{Pose{Quat{}, {15, 0, 0}}, {10, 10, 10}}, c), 0.0);
}

}  // namespace
}  // namespace ortholink::collision
