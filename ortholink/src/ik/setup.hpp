#pragma once
// Per-target record of the solver and the residuals along the circle of the
// wrist point o4(θ) = o5 + y1·d(θ), d(θ) = cos θ·x_axis + sin θ·y_axis.

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "ik/lanes.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::solver {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// Relative to z1: a point this close to the J1 axis (or the origin) is on it.
inline constexpr double kOnAxisRelative = 1e-6;

// Maps an angle to [-π, π): fmod(x + π, 2π), plus 2π when negative, minus π.
// Every wrapped angle and angular difference of the solver goes through here
// so that equal inputs wrap to equal bits.
inline double wrap_angle(double x) noexcept {
    // fmod is exact and returns its first argument unchanged when that is
    // already smaller than the modulus, so the common case skips the call.
    // Between one and two moduli it is a single subtraction, which is exact
    // there too (the operands are within a factor of two); at exactly minus
    // one modulus that gives +0 where fmod gives -0, and both wrap to -π.
    const double shifted = x + kPi;
    const double magnitude = std::fabs(shifted);
    double r = shifted;
    if (magnitude >= kTwoPi) {
        if (magnitude < 2.0 * kTwoPi) {
            r = shifted > 0.0 ? shifted - kTwoPi : shifted + kTwoPi;
        } else {
            r = std::fmod(shifted, kTwoPi);
        }
    }
    if (r < 0.0) {
        r = r + kTwoPi;
    }
    return r - kPi;
}

// A list that never allocates: the solver's lists have small known bounds.
// push_back beyond the capacity is dropped and reported as false.
template <class T, std::size_t N>
class FixedVector {
public:
    bool push_back(const T& value) noexcept {
        if (size_ == N) {
            return false;
        }
        items_[size_++] = value;
        return true;
    }
    void clear() noexcept { size_ = 0; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    static constexpr std::size_t capacity() noexcept { return N; }
    const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    const T* begin() const noexcept { return items_.data(); }
    const T* end() const noexcept { return items_.data() + size_; }

private:
    std::array<T, N> items_{};
    std::size_t size_ = 0;
};

struct Setup {
    const Crx* robot;  // not owned; must outlive the setup
    Pose target;
    Vec3 o5;      // J5 origin implied by the target, mm
    Vec3 o6;      // flange origin, mm
    Vec3 x_axis;  // flange x axis in base coordinates
    Vec3 y_axis;  // flange y axis in base coordinates

    Setup(const Crx& robot_ref, const Pose& target_pose) noexcept;

    // Regular residual of the circle angle: a degree-4 trigonometric
    // polynomial that vanishes where the elbow fixed by the arm plane, the
    // forearm length and the perpendicularity to the J5 axis is at z1 from
    // the origin. Lengths are scaled by 1/z1.
    [[nodiscard]] double f(double theta) const noexcept;
    // The same with sin θ and cos θ already known.
    [[nodiscard]] double f_sc(double s, double c) const noexcept;
    // The same for two angles at once, lane by lane.
    [[nodiscard]] V2 f_sc(V2 s, V2 c) const noexcept;

    // d(θ) for the given sine and cosine (one or two lanes).
    template <class S>
    [[nodiscard]] std::array<S, 3> direction(S s, S c) const noexcept {
        return std::array<S, 3>{s * y_axis[0] + c * x_axis[0], s * y_axis[1] + c * x_axis[1],
                                s * y_axis[2] + c * x_axis[2]};
    }
    // o4 for a direction d.
    template <class S>
    [[nodiscard]] std::array<S, 3> wrist_point(const std::array<S, 3>& d) const noexcept {
        const double y1 = robot->y1;
        return std::array<S, 3>{o5[0] + y1 * d[0], o5[1] + y1 * d[1], o5[2] + y1 * d[2]};
    }
};

// o4 at one circle angle with its distances: what both elbow branches share.
template <class S>
struct BasicCirclePoint {
    std::array<S, 3> d;  // d(θ)
    std::array<S, 3> p;  // o4(θ)
    S rho_h;             // distance from the J1 axis, hypot(p_x, p_y)
    S l;                 // distance from the origin
};
using CirclePoint = BasicCirclePoint<double>;

CirclePoint circle_point(const Setup& setup, double theta) noexcept;

// Elbow of one branch for a circle angle, with the points it came from.
struct BranchPoint {
    Vec3 o3;
    Vec3 o4;
    double g;  // ((o3 - o4)·d)/x1, zero where the branch is a solution
};

// The elbow of branch s (+1 or -1) at θ, or nothing when o4 is within
// 1e-6·z1 of the J1 axis or the origin, or the two spheres do not meet.
std::optional<BranchPoint> branch_point(const Setup& setup, double theta, double s) noexcept;

// Just the residual of branch_point.
std::optional<double> branch_residual(const Setup& setup, double theta, double s) noexcept;

// branch_residual at two angles at once (the same values).
std::array<std::optional<double>, 2> branch_residual_pair(const Setup& setup, double theta_a, double theta_b,
                                                          double s) noexcept;

// branch_residual for s = +1 and s = -1 at once (the same values).
std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, double theta) noexcept;
std::array<std::optional<double>, 2> branch_residuals(const Setup& setup, const CirclePoint& point) noexcept;

// Elbow of branch s for a wrist point p off the J1 axis (horizontal distance
// rho_h, norm l), given μ and the circle radius r in the arm plane.
Vec3 branch_elbow(const Vec3& p, double rho_h, double l, double mu, double r, double s) noexcept;

}  // namespace ortholink::solver
