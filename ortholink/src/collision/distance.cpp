// Distances between segments and solids. Each works in the frame of the solid
// (one inverse rotation of the segment), so the solids are axis-aligned and
// centred there.

#include "collision/distance.hpp"

#include <cmath>
#include <limits>

namespace ortholink::collision {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline Vec3 sub(const Vec3& a, const Vec3& b) noexcept {
    return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

inline double clamp01(double x) noexcept {
    return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
}

inline double norm(const Vec3& v) noexcept {
    return std::sqrt(dot(v, v));
}

inline double clamp(double x, double lo, double hi) noexcept {
    return x < lo ? lo : (x > hi ? hi : x);
}

inline Quat conjugate(const Quat& q) noexcept {
    return Quat{-q.x, -q.y, -q.z, q.w};
}

// The segment a-b in the frame of `pose`: its start and its direction
// (b - a), the direction rotated on its own so that a short segment far from
// the origin keeps its digits.
struct LocalSegment {
    Vec3 p;
    Vec3 d;
};

inline LocalSegment to_local(const Vec3& a, const Vec3& b, const Pose& pose) noexcept {
    const Quat inv = conjugate(pose.q);
    return LocalSegment{rotate(inv, sub(a, pose.t)), rotate(inv, sub(b, a))};
}

// Squared distance from q to the centred axis-aligned box of half sizes h.
inline double point_box_squared(const Vec3& q, const Vec3& h) noexcept {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double excess = std::fabs(q[i]) - h[i];
        if (excess > 0.0) {
            sum += excess * excess;
        }
    }
    return sum;
}

// Slope of the squared distance to the box along the segment, halved: the
// sum over the axes of (how far outside the slab) · d.
inline double box_slope(const Vec3& p, const Vec3& d, const Vec3& h, double t) noexcept {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double x = p[i] + t * d[i];
        sum += (x - clamp(x, -h[i], h[i])) * d[i];
    }
    return sum;
}

// Distance from the segment p + t·d, t in [0, 1], to the centred axis-aligned
// box of half sizes h (non-negative). The squared distance along the segment
// is convex and smooth, and a quadratic between the parameters where a
// coordinate crosses a face plane. Its slope only grows, so the last of those
// parameters with a falling slope and the first with a rising one bound a
// piece free of crossings, where the quadratic's minimum is the minimum; it
// is evaluated at a point of the segment.
double local_segment_box_distance(const Vec3& p, const Vec3& d, const Vec3& h) noexcept {
    double lo = 0.0;
    double hi = 1.0;
    if (box_slope(p, d, h, 0.0) >= 0.0) {
        hi = 0.0;
    } else if (box_slope(p, d, h, 1.0) <= 0.0) {
        lo = 1.0;
    } else {
        for (int i = 0; i < 3; ++i) {
            if (d[i] == 0.0) {
                continue;
            }
            const double inv = 1.0 / d[i];
            const double crossings[2] = {(-h[i] - p[i]) * inv, (h[i] - p[i]) * inv};
            for (const double t : crossings) {
                if (t > lo && t < hi) {
                    const double slope = box_slope(p, d, h, t);
                    if (slope < 0.0) {
                        lo = t;
                    } else if (slope > 0.0) {
                        hi = t;
                    } else {
                        lo = hi = t;
                    }
                }
            }
        }
    }
    double t = lo;
    if (hi > lo) {
        // The faces the piece is outside of, read at its middle.
        const double mid = 0.5 * (lo + hi);
        double num = 0.0;
        double den = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double x = p[i] + mid * d[i];
            if (x > h[i]) {
                num += (p[i] - h[i]) * d[i];
                den += d[i] * d[i];
            } else if (x < -h[i]) {
                num += (p[i] + h[i]) * d[i];
                den += d[i] * d[i];
            }
        }
        t = den > 0.0 ? clamp(-num / den, lo, hi) : mid;
    }
    const Vec3 q{p[0] + t * d[0], p[1] + t * d[1], p[2] + t * d[2]};
    return std::sqrt(point_box_squared(q, h));
}

// The solid cylinder of radius r about z, |z| <= half: the distance from a
// point to it and that distance's derivative along d.
struct CylinderSample {
    double f;
    double g;
};

inline CylinderSample cylinder_sample(const Vec3& p, const Vec3& d, double t, double r, double half) noexcept {
    const Vec3 q{p[0] + t * d[0], p[1] + t * d[1], p[2] + t * d[2]};
    const double rho = std::sqrt(q[0] * q[0] + q[1] * q[1]);
    double ex = 0.0;
    double ey = 0.0;
    if (rho > r) {
        const double k = 1.0 - r / rho;
        ex = q[0] * k;
        ey = q[1] * k;
    }
    const double ez = q[2] - clamp(q[2], -half, half);
    const double f = std::sqrt(ex * ex + ey * ey + ez * ez);
    const double g = f > 0.0 ? (ex * d[0] + ey * d[1] + ez * d[2]) / f : 0.0;
    return CylinderSample{f, g};
}

// True when the segment p + t·d, t in [0, 1], meets the cylinder.
bool segment_meets_cylinder(const Vec3& p, const Vec3& d, double r, double half) noexcept {
    double t0 = 0.0;
    double t1 = 1.0;
    if (d[2] == 0.0) {
        if (std::fabs(p[2]) > half) {
            return false;
        }
    } else {
        double a = (-half - p[2]) / d[2];
        double b = (half - p[2]) / d[2];
        if (a > b) {
            const double swap = a;
            a = b;
            b = swap;
        }
        t0 = a > 0.0 ? a : 0.0;
        t1 = b < 1.0 ? b : 1.0;
        if (t0 > t1) {
            return false;
        }
    }
    const double dd = d[0] * d[0] + d[1] * d[1];
    const double t = dd > 0.0 ? clamp(-(p[0] * d[0] + p[1] * d[1]) / dd, t0, t1) : t0;
    const double x = p[0] + t * d[0];
    const double y = p[1] + t * d[1];
    return x * x + y * y <= r * r;
}

// Separating-axis test of two boxes given by centres, unit axes and half
// sizes: the largest gap along the 15 candidate axes (positive when they are
// apart, a lower bound of their distance).
double box_box_gap(const Vec3& ca, const Vec3 (&ua)[3], const Vec3& ha, const Vec3& cb, const Vec3 (&ub)[3],
                   const Vec3& hb) noexcept {
    const Vec3 c = sub(cb, ca);
    double gap = -kInfinity;
    const auto along = [&](const Vec3& axis, double norm) {
        double ra = 0.0;
        double rb = 0.0;
        for (int i = 0; i < 3; ++i) {
            ra += ha[i] * std::fabs(dot(axis, ua[i]));
            rb += hb[i] * std::fabs(dot(axis, ub[i]));
        }
        const double g = (std::fabs(dot(axis, c)) - ra - rb) / norm;
        if (g > gap) {
            gap = g;
        }
    };
    for (int i = 0; i < 3; ++i) {
        along(ua[i], 1.0);
        along(ub[i], 1.0);
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const Vec3 axis = cross(ua[i], ub[j]);
            const double norm = std::sqrt(dot(axis, axis));
            // Nearly parallel edges: their axis is one of the face axes'.
            if (norm > 1e-9) {
                along(axis, norm);
            }
        }
    }
    return gap;
}

}  // namespace

double segment_segment_distance(const Vec3& p0, const Vec3& p1, const Vec3& q0, const Vec3& q1) noexcept {
    return std::sqrt(segment_segment_distance_squared(p0, p1, q0, q1));
}

double point_segment_distance(const Vec3& p, const Vec3& a, const Vec3& b) noexcept {
    const Vec3 d = sub(b, a);
    const Vec3 w = sub(p, a);
    const double dd = dot(d, d);
    const double t = dd > 0.0 ? clamp01(dot(w, d) / dd) : 0.0;
    const Vec3 e{w[0] - t * d[0], w[1] - t * d[1], w[2] - t * d[2]};
    return std::sqrt(dot(e, e));
}

double segment_half_space_distance(const Vec3& a, const Vec3& b, const HalfSpace& half_space) noexcept {
    const double da = dot(half_space.normal, a);
    const double db = dot(half_space.normal, b);
    return (da < db ? da : db) - half_space.offset;
}

double segment_box_distance(const Vec3& a, const Vec3& b, const Box& box) noexcept {
    const LocalSegment s = to_local(a, b, box.pose);
    const Vec3 h{0.5 * box.size[0], 0.5 * box.size[1], 0.5 * box.size[2]};
    return local_segment_box_distance(s.p, s.d, h);
}

double segment_cylinder_distance(const Vec3& a, const Vec3& b, const Cylinder& cylinder) noexcept {
    const LocalSegment s = to_local(a, b, cylinder.pose);
    const Vec3& p = s.p;
    const Vec3& d = s.d;
    const double r = cylinder.radius;
    const double half = 0.5 * cylinder.length;
    if (segment_meets_cylinder(p, d, r, half)) {
        return 0.0;
    }
    // Apart, the distance along the segment is convex and smooth. Its
    // minimum lies in a bracket [lo, hi] whose ends slope down and up; the
    // tangents at the two ends meet below the function, so where they meet
    // is a lower bound, whose gap to the best value seen shrinks as either
    // end closes in. The slope's root is sought by false position, the
    // Illinois way: an end kept twice has its slope halved for the step.
    const CylinderSample s0 = cylinder_sample(p, d, 0.0, r, half);
    if (s0.g >= 0.0) {
        return s0.f;
    }
    const CylinderSample s1 = cylinder_sample(p, d, 1.0, r, half);
    if (s1.g <= 0.0) {
        return s1.f;
    }
    const double length = std::sqrt(dot(d, d));
    double lo = 0.0;
    double hi = 1.0;
    CylinderSample slo = s0;
    CylinderSample shi = s1;
    double glo = s0.g;  // the slopes the steps use
    double ghi = s1.g;
    int kept = 0;  // > 0: lo moved last, so many times in a row; < 0: hi
    double best = s0.f < s1.f ? s0.f : s1.f;
    double bound = 0.0;
    for (int iter = 0; iter < 100; ++iter) {
        const double meet = clamp((shi.f - slo.f + slo.g * lo - shi.g * hi) / (slo.g - shi.g), lo, hi);
        bound = slo.f + slo.g * (meet - lo);
        if (best - bound <= 1e-11 * (best + length)) {
            break;
        }
        double t = lo - glo * (hi - lo) / (ghi - glo);
        if (!(t > lo && t < hi)) {
            t = 0.5 * (lo + hi);
        }
        const CylinderSample st = cylinder_sample(p, d, t, r, half);
        if (st.f < best) {
            best = st.f;
        }
        if (st.g < 0.0) {
            lo = t;
            slo = st;
            glo = st.g;
            kept = kept > 0 ? kept + 1 : 1;
            if (kept >= 2) ghi *= 0.5;
        } else if (st.g > 0.0) {
            hi = t;
            shi = st;
            ghi = st.g;
            kept = kept < 0 ? kept - 1 : -1;
            if (kept <= -2) glo *= 0.5;
        } else {
            return st.f;
        }
    }
    if (bound > best) {
        bound = best;
    }
    return bound > 0.0 ? bound : 0.0;
}

double box_box_distance(const Box& a, const Box& b) noexcept {
    Vec3 ua[3];
    Vec3 ub[3];
    for (int i = 0; i < 3; ++i) {
        Vec3 e{0.0, 0.0, 0.0};
        e[i] = 1.0;
        ua[i] = rotate(a.pose.q, e);
        ub[i] = rotate(b.pose.q, e);
    }
    const Vec3 ha{0.5 * a.size[0], 0.5 * a.size[1], 0.5 * a.size[2]};
    const Vec3 hb{0.5 * b.size[0], 0.5 * b.size[1], 0.5 * b.size[2]};
    const double gap = box_box_gap(a.pose.t, ua, ha, b.pose.t, ub, hb);
    if (gap <= 0.0) {
        // Meeting: the least overlap along the candidate axes is how far one
        // box must move to clear the other (for polytopes these axes hold
        // the shortest such move).
        return gap;
    }
    // Apart, a closest pair has a point on an edge of one of the boxes, so
    // the distance is the least of the edges' distances to the other box.
    // That point's faces have normals spanning the direction to the other
    // box, so one of them has the other box partly beyond its plane: only
    // the edges of such faces are measured.
    double best = kInfinity;
    const auto edges_to = [&best](const Box& from, const Vec3(&u)[3], const Vec3& h, const Box& to, const Vec3(&v)[3],
                                  const Vec3& hv) {
        const Vec3 c = sub(to.pose.t, from.pose.t);
        bool beyond[3][2];  // [axis][0 for the face at -h, 1 for +h]
        for (int i = 0; i < 3; ++i) {
            const double centre = dot(u[i], c);
            const double reach = hv[0] * std::fabs(dot(u[i], v[0])) + hv[1] * std::fabs(dot(u[i], v[1])) +
                                 hv[2] * std::fabs(dot(u[i], v[2]));
            // Slack for rounding: a face taken in needlessly costs time only.
            const double slack = 1e-9 * (std::fabs(centre) + reach + h[i]);
            beyond[i][0] = reach - centre > h[i] - slack;
            beyond[i][1] = centre + reach > h[i] - slack;
        }
        for (int axis = 0; axis < 3; ++axis) {
            const int j = (axis + 1) % 3;
            const int k = (axis + 2) % 3;
            for (int corner = 0; corner < 4; ++corner) {
                const int side_j = corner & 1;
                const int side_k = (corner >> 1) & 1;
                if (!beyond[j][side_j] && !beyond[k][side_k]) {
                    continue;
                }
                const double sj = side_j != 0 ? h[j] : -h[j];
                const double sk = side_k != 0 ? h[k] : -h[k];
                Vec3 mid;
                for (int m = 0; m < 3; ++m) {
                    mid[m] = from.pose.t[m] + sj * u[j][m] + sk * u[k][m];
                }
                const Vec3 e0{mid[0] - h[axis] * u[axis][0], mid[1] - h[axis] * u[axis][1],
                              mid[2] - h[axis] * u[axis][2]};
                const Vec3 e1{mid[0] + h[axis] * u[axis][0], mid[1] + h[axis] * u[axis][1],
                              mid[2] + h[axis] * u[axis][2]};
                const double dist = segment_box_distance(e0, e1, to);
                if (dist < best) {
                    best = dist;
                }
            }
        }
    };
    edges_to(a, ua, ha, b, ub, hb);
    edges_to(b, ub, hb, a, ua, ha);
    return best;
}

namespace {

// Support points (the farthest point along a direction) of the solids, for
// the distance of a box from a cylinder.
Vec3 box_support(const Box& box, const Vec3 (&u)[3], const Vec3& h, const Vec3& d) noexcept {
    Vec3 p = box.pose.t;
    for (int i = 0; i < 3; ++i) {
        const double s = dot(d, u[i]) < 0.0 ? -h[i] : h[i];
        for (int m = 0; m < 3; ++m) {
            p[m] += s * u[i][m];
        }
    }
    return p;
}

Vec3 cylinder_support(const Cylinder& c, const Vec3& d) noexcept {
    const Vec3 local = rotate(conjugate(c.pose.q), d);
    const double radial = std::hypot(local[0], local[1]);
    Vec3 p{0.0, 0.0, local[2] < 0.0 ? -0.5 * c.length : 0.5 * c.length};
    if (radial > 0.0) {
        p[0] = c.radius * local[0] / radial;
        p[1] = c.radius * local[1] / radial;
    }
    const Vec3 r = rotate(c.pose.q, p);
    return Vec3{r[0] + c.pose.t[0], r[1] + c.pose.t[1], r[2] + c.pose.t[2]};
}

// The point of the hull of `w` (1 to 4 points) nearest the origin: every
// face of the simplex is tried (its affine hull's nearest point, kept when
// it lies within the face), and the nearest of those is the hull's. `used`
// gets the points of the face it lies in.
struct Nearest {
    Vec3 point;
    double squared;
    unsigned used;  // bit k: w[k]
};

Nearest nearest_in_hull(const std::array<Vec3, 4>& w, int count) noexcept {
    Nearest best{w[0], dot(w[0], w[0]), 1U};
    for (unsigned subset = 1; subset < (1U << count); ++subset) {
        int index[4];
        int n = 0;
        for (int k = 0; k < count; ++k) {
            if ((subset >> k) & 1U) {
                index[n++] = k;
            }
        }
        const Vec3& o = w[index[0]];
        Vec3 e[3];
        for (int j = 1; j < n; ++j) {
            e[j - 1] = sub(w[index[j]], o);
        }
        if (n == 4) {
            // The solid tetrahedron holds the origin or not (its faces are
            // tried as the smaller subsets): Cramer's rule for the origin's
            // barycentric coordinates, none where it is too flat to tell.
            const double volume = dot(e[0], cross(e[1], e[2]));
            if (!(std::fabs(volume) > 1e-9 * norm(e[0]) * norm(e[1]) * norm(e[2]))) {
                continue;
            }
            const Vec3 minus_o{-o[0], -o[1], -o[2]};
            const double l1 = dot(minus_o, cross(e[1], e[2])) / volume;
            const double l2 = dot(e[0], cross(minus_o, e[2])) / volume;
            const double l3 = dot(e[0], cross(e[1], minus_o)) / volume;
            if (l1 >= 0.0 && l2 >= 0.0 && l3 >= 0.0 && l1 + l2 + l3 <= 1.0) {
                return Nearest{Vec3{0.0, 0.0, 0.0}, 0.0, subset};
            }
            continue;
        }
        // Minimise |w0 + sum_j l_j (w_j - w0)|: the Gram system of the edges.
        const int m = n - 1;
        double g[3][3];
        double rhs[3];
        for (int i = 0; i < m; ++i) {
            for (int j = 0; j < m; ++j) {
                g[i][j] = dot(e[i], e[j]);
            }
            rhs[i] = -dot(e[i], o);
        }
        // Gaussian elimination with partial pivoting; a degenerate face is skipped.
        double lambda[3] = {0.0, 0.0, 0.0};
        bool solved = true;
        for (int c = 0; c < m && solved; ++c) {
            int pivot = c;
            for (int r = c + 1; r < m; ++r) {
                if (std::fabs(g[r][c]) > std::fabs(g[pivot][c])) {
                    pivot = r;
                }
            }
            double scale = 0.0;
            for (int j = 0; j < m; ++j) {
                scale = std::fmax(scale, std::fabs(g[c][j]));
            }
            if (!(std::fabs(g[pivot][c]) > 1e-12 * scale)) {
                solved = false;
                break;
            }
            for (int j = 0; j < m; ++j) {
                std::swap(g[c][j], g[pivot][j]);
            }
            std::swap(rhs[c], rhs[pivot]);
            for (int r = c + 1; r < m; ++r) {
                const double f = g[r][c] / g[c][c];
                for (int j = c; j < m; ++j) {
                    g[r][j] -= f * g[c][j];
                }
                rhs[r] -= f * rhs[c];
            }
        }
        if (!solved) {
            continue;
        }
        for (int c = m - 1; c >= 0; --c) {
            double v = rhs[c];
            for (int j = c + 1; j < m; ++j) {
                v -= g[c][j] * lambda[j];
            }
            lambda[c] = v / g[c][c];
        }
        double first = 1.0;
        bool inside = true;
        for (int j = 0; j < m; ++j) {
            inside = inside && lambda[j] >= 0.0;
            first -= lambda[j];
        }
        if (!inside || first < 0.0) {
            continue;
        }
        Vec3 p = o;
        for (int j = 0; j < m; ++j) {
            for (int k = 0; k < 3; ++k) {
                p[k] += lambda[j] * e[j][k];
            }
        }
        const double squared = dot(p, p);
        if (squared < best.squared) {
            best = Nearest{p, squared, subset};
        }
    }
    return best;
}

// Iterations of the distance search; the relative gap between its bounds
// at which it stops.
constexpr int kHullSteps = 64;
constexpr double kHullGap = 1e-12;

}  // namespace

double box_cylinder_distance(const Box& box, const Cylinder& cylinder) noexcept {
    // Within the cylinder's bounding box the distance is at least that box's.
    const Box bound{cylinder.pose, Vec3{2.0 * cylinder.radius, 2.0 * cylinder.radius, cylinder.length}};
    // Where the solids meet, the boxes' overlap stands for theirs.
    const double outer = box_box_distance(box, bound);
    Vec3 u[3];
    for (int i = 0; i < 3; ++i) {
        Vec3 e{0.0, 0.0, 0.0};
        e[i] = 1.0;
        u[i] = rotate(box.pose.q, e);
    }
    const Vec3 h{0.5 * box.size[0], 0.5 * box.size[1], 0.5 * box.size[2]};
    // Gilbert-Johnson-Keerthi on the difference of the two solids: v, the
    // hull point of the support points found nearest the origin, bounds the
    // distance from above, and along v the difference reaches no nearer
    // than the last support point's projection, a bound from below.
    const double scale = norm(box.size) + 2.0 * cylinder.radius + cylinder.length + norm(sub(box.pose.t, cylinder.pose.t));
    const auto support_of = [&](const Vec3& v) {
        const Vec3 minus_v{-v[0], -v[1], -v[2]};
        return sub(box_support(box, u, h, minus_v), cylinder_support(cylinder, v));
    };
    // Start from the support point towards the cylinder's centre.
    const Vec3 apart = sub(box.pose.t, cylinder.pose.t);
    std::array<Vec3, 4> w{support_of(dot(apart, apart) > 0.0 ? apart : u[0])};
    int count = 1;
    Vec3 v = w[0];
    double lower = std::fmax(outer, 0.0);
    for (int step = 0; step < kHullSteps; ++step) {
        const double vv = dot(v, v);
        if (vv <= (kHullGap * scale) * (kHullGap * scale)) {
            return std::fmin(outer, 0.0);  // the origin is in the difference: the solids meet
        }
        const Vec3 support = support_of(v);
        const double vw = dot(v, support);
        const double length = std::sqrt(vv);
        if (vw > 0.0) {
            lower = std::fmax(lower, vw / length);
        }
        if (vv - vw <= kHullGap * vv || lower >= (1.0 - kHullGap) * length) {
            break;  // the bounds have met
        }
        w[count++] = support;
        const Nearest nearest = nearest_in_hull(w, count);

        // Keep the points of the face the nearest point lies in.
        int kept = 0;
        for (int k = 0; k < count; ++k) {
            if ((nearest.used >> k) & 1U) {
                w[kept++] = w[k];
            }
        }
        count = kept;
        if (count == 4) {
            return std::fmin(outer, 0.0);  // a tetrahedron about the origin: the solids meet
        }
        if (!(nearest.squared < vv)) {
            break;  // no progress left in rounding
        }
        v = nearest.point;
    }
    return lower;
}

}  // namespace ortholink::collision
