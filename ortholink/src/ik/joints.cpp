#include "ik/joints.hpp"

#include <cmath>

namespace ortholink::solver {
namespace {

using Mat3 = std::array<std::array<double, 3>, 3>;

// R·Rx(α), R·Ry(α), R·Rz(α): the products with the elementary rotations,
// skipping the terms that multiply their exact zeros and ones.
Mat3 times_rot_x(const Mat3& r, double angle) noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(angle, &s, &c);
    Mat3 out;
    for (int i = 0; i < 3; ++i) {
        out[i] = {r[i][0], r[i][1] * c + r[i][2] * s, r[i][2] * c - r[i][1] * s};
    }
    return out;
}

Mat3 times_rot_y(const Mat3& r, double angle) noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(angle, &s, &c);
    Mat3 out;
    for (int i = 0; i < 3; ++i) {
        out[i] = {r[i][0] * c - r[i][2] * s, r[i][1], r[i][0] * s + r[i][2] * c};
    }
    return out;
}

Mat3 rot_z(double angle) noexcept {
    double s = 0.0;
    double c = 0.0;
    ::sincos(angle, &s, &c);
    return Mat3{{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

// Rᵀ·v: v expressed in the frame R.
Vec3 in_frame(const Mat3& r, const Vec3& v) noexcept {
    return Vec3{r[0][0] * v[0] + r[1][0] * v[1] + r[2][0] * v[2], r[0][1] * v[0] + r[1][1] * v[1] + r[2][1] * v[2],
                r[0][2] * v[0] + r[1][2] * v[1] + r[2][2] * v[2]};
}

Vec3 sub(const Vec3& a, const Vec3& b) noexcept {
    return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

// R·C, C the half turn about (1, 0, 1)/√2 from the J6 frame to the flange
// ([[0, 0, 1], [0, -1, 0], [1, 0, 0]]).
Mat3 times_flange(const Mat3& r) noexcept {
    Mat3 out;
    for (int i = 0; i < 3; ++i) {
        out[i] = {r[i][2], -r[i][1], r[i][0]};
    }
    return out;
}

// hypot(x, y) > limit. The squares decide it without hypot unless the two
// sides are within a relative 1e-12, far wider than the few rounding errors
// of either form; elsewhere (limits that are not ordinary positive numbers)
// hypot decides.
bool farther_than(double x, double y, double limit) noexcept {
    constexpr double kAbove = 1.0 + 1e-12;
    constexpr double kBelow = 1.0 - 1e-12;
    if (limit > 1e-100 && limit < 1e100) {
        const double sq = x * x + y * y;
        const double limit_sq = limit * limit;
        if (sq > limit_sq * kAbove) {
            return true;
        }
        if (sq < limit_sq * kBelow) {
            return false;
        }
    }
    return std::hypot(x, y) > limit;
}

}  // namespace

void joints_from_points(const Setup& setup, const PointPair* points, std::size_t count, JointPair* out) noexcept {
    const double tol = kOnAxisRelative * setup.robot->z1;
    // Each step runs for every pair before the next step: the pairs are
    // independent, and their long chains of library calls overlap this way.
    std::array<double, kMaxJointBatch> t1;
    std::array<double, kMaxJointBatch> t2;
    std::array<double, kMaxJointBatch> a3;
    std::array<double, kMaxJointBatch> t4;
    std::array<double, kMaxJointBatch> t5;
    std::array<double, kMaxJointBatch> t6;
    std::array<Mat3, kMaxJointBatch> r;
    count = count < kMaxJointBatch ? count : kMaxJointBatch;

    for (std::size_t i = 0; i < count; ++i) {
        // J1 from the azimuth of o4 (so o4 lies on the positive side of the
        // arm plane), else of the elbow, else free.
        const Vec3& o3 = *points[i].o3;
        const Vec3& o4 = *points[i].o4;
        t1[i] = 0.0;
        if (points[i].plane_of_o4) {
            // Both points lie in the plane; the one farther from the axis
            // gives its azimuth more accurately.
            const bool elbow = o3[0] * o3[0] + o3[1] * o3[1] > o4[0] * o4[0] + o4[1] * o4[1];
            const Vec3& far = elbow ? o3 : o4;
            t1[i] = std::atan2(far[1], far[0]);
            if (elbow && (o3[0] * o4[0] + o3[1] * o4[1]) < 0.0) {
                t1[i] = std::atan2(-far[1], -far[0]);  // o4 on the positive side, as below
            }
        } else if (farther_than(o4[0], o4[1], tol)) {
            t1[i] = std::atan2(o4[1], o4[0]);
        } else if (farther_than(o3[0], o3[1], tol)) {
            t1[i] = std::atan2(o3[1], o3[0]);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = rot_z(t1[i]);
        const Vec3 p = in_frame(r[i], *points[i].o3);
        t2[i] = std::atan2(p[0], p[2]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = times_rot_y(r[i], t2[i]);
        const Vec3 e = in_frame(r[i], sub(*points[i].o4, *points[i].o3));
        a3[i] = std::atan2(e[2], e[0]);  // kinematic J3 angle, J2 + J3
    }
    // The J3, J4 and J5 axes are -y, -x and -y of their frames.
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = times_rot_y(r[i], -a3[i]);
        const Vec3 w = in_frame(r[i], sub(setup.o5, *points[i].o4));
        t4[i] = std::atan2(w[2], -w[1]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = times_rot_x(r[i], -t4[i]);
        const Vec3 v = in_frame(r[i], sub(setup.o6, setup.o5));
        t5[i] = std::atan2(v[2], v[0]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = times_rot_y(r[i], -t5[i]);
        const Vec3 n = in_frame(times_flange(r[i]), setup.x_axis);
        t6[i] = -std::atan2(n[1], n[0]);
    }

    for (std::size_t i = 0; i < count; ++i) {
        const double w1 = wrap_angle(t1[i]);
        const double w2 = wrap_angle(t2[i]);
        const double w3 = wrap_angle(a3[i]);
        const double w4 = wrap_angle(t4[i]);

        JointVector& primary = out[i].primary;
        primary[0] = w1 * kRadToDeg;
        primary[1] = w2 * kRadToDeg;
        primary[2] = w3 * kRadToDeg - primary[1];
        primary[3] = w4 * kRadToDeg;
        primary[4] = wrap_angle(t5[i]) * kRadToDeg;
        primary[5] = wrap_angle(t6[i]) * kRadToDeg;

        // Half a turn about J1 with J2 negated and the forearm angle reflected
        // puts o3 and o4 back in place; J4 + π undoes the forearm's half turn.
        JointVector& mirror = out[i].mirror;
        mirror[0] = wrap_angle(w1 - kPi) * kRadToDeg;
        mirror[1] = wrap_angle(-w2) * kRadToDeg;
        mirror[2] = wrap_angle(kPi - w3) * kRadToDeg - mirror[1];
        mirror[3] = wrap_angle(w4 - kPi) * kRadToDeg;
        mirror[4] = primary[4];
        mirror[5] = primary[5];
    }
}

std::pair<JointVector, JointVector> joints_from_points(const Setup& setup, const Vec3& o3, const Vec3& o4) noexcept {
    const PointPair points{&o3, &o4};
    JointPair out;
    joints_from_points(setup, &points, 1, &out);
    return {out.primary, out.mirror};
}

std::pair<JointVector, JointVector> joints_in_plane_of_o4(const Setup& setup, const Vec3& o3, const Vec3& o4) noexcept {
    const PointPair points{&o3, &o4, true};
    JointPair out;
    joints_from_points(setup, &points, 1, &out);
    return {out.primary, out.mirror};
}

}  // namespace ortholink::solver
