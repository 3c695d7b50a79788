#pragma once
// The forward-kinematics chain and the rotation matrix of a quaternion,
// written once over the scalar type (see Lanes in ortholink/pose.hpp): plain
// forward kinematics runs them on doubles, the solver also on two lanes.

#include <array>

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::generic {

// The kinematic rotation angles (radians) of a joint vector (degrees): the
// rotation at the J3 axis is J2 + J3, each converted first.
template <class S>
[[gnu::always_inline]] inline std::array<S, 6> joint_angles(const std::array<S, 6>& joints) noexcept {
    std::array<S, 6> a;
    for (int k = 0; k < 6; ++k) {
        a[k] = joints[k] * kDegToRad;
    }
    a[2] = a[2] + a[1];
    return a;
}

// Frames 1..6 from the six joint rotations; P is an aggregate {q, t}.
template <class P, class Q>
[[gnu::always_inline]] inline std::array<P, 6> chain_frames(const Crx& robot, const std::array<Q, 6>& q) noexcept {
    using S = decltype(Q::x);
    using L = Lanes<S>;
    using V = std::array<S, 3>;
    const S zero{};
    const Q flange{L::uniform(kFlangeRotation.x), L::uniform(kFlangeRotation.y), L::uniform(kFlangeRotation.z),
                   L::uniform(kFlangeRotation.w)};
    std::array<P, 6> frames;
    frames[0] = P{q[0], V{zero, zero, zero}};
    frames[1] = P{quat_mul(q[0], q[1]), V{zero, zero, zero}};
    frames[2] = P{quat_mul(frames[1].q, q[2]), rotate(frames[1].q, V{zero, zero, L::uniform(robot.z1)})};
    frames[3] = P{quat_mul(frames[2].q, q[3]), frames[2].t};
    const V r5 = rotate(frames[3].q, V{L::uniform(robot.x1), L::uniform(-robot.y1), zero});
    frames[4] = P{quat_mul(frames[3].q, q[4]),
                  V{frames[3].t[0] + r5[0], frames[3].t[1] + r5[1], frames[3].t[2] + r5[2]}};
    const V r6 = rotate(frames[4].q, V{L::uniform(robot.x2), zero, zero});
    frames[5] = P{quat_mul(quat_mul(frames[4].q, q[5]), flange),
                  V{frames[4].t[0] + r6[0], frames[4].t[1] + r6[1], frames[4].t[2] + r6[2]}};
    return frames;
}

// Frame 6 of chain_frames with J6 at `j6` degrees, from frames 5 and 6 of a
// chain that differs in J6 alone (the flange's origin does not move with
// J6): the values chain_frames gives, bit for bit.
[[gnu::always_inline]] inline Pose turned_flange(const Crx& robot, const Pose& frame5, const Pose& frame6,
                                                 double j6) noexcept {
    const Quat q6 = rotation_from_scaled_axis<Quat>(robot.axes[5], j6 * kDegToRad);
    return Pose{quat_mul(quat_mul(frame5.q, q6), kFlangeRotation), frame6.t};
}

// Rotation matrix of a unit quaternion, row-major. The same formula serves
// the actual and the target pose so that equal rotations cancel exactly.
template <class Q>
[[gnu::always_inline]] inline auto rotation_matrix(const Q& q) noexcept {
    using S = decltype(Q::x);
    const S x = q.x;
    const S y = q.y;
    const S z = q.z;
    const S w = q.w;
    // clang-format off
    return std::array<S, 9>{
        w * w + x * x - y * y - z * z, 2.0 * x * y - 2.0 * w * z,     2.0 * w * y + 2.0 * x * z,
        2.0 * w * z + 2.0 * x * y,     w * w - x * x + y * y - z * z, 2.0 * y * z - 2.0 * w * x,
        2.0 * x * z - 2.0 * w * y,     2.0 * w * x + 2.0 * y * z,     w * w - x * x - y * y + z * z,
    };
    // clang-format on
}

}  // namespace ortholink::generic
