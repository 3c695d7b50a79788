#include "ortholink/fk.hpp"

#include "chain.hpp"

namespace ortholink {

std::array<Pose, 6> fk_all(const Crx& robot, const JointVector& joints) noexcept {
    // The J3 rotation is about J2 + J3: J3 is the forearm's angle from the
    // horizontal, so turning J2 alone does not tilt the forearm.
    const std::array<double, 6> a = generic::joint_angles(joints);
    std::array<Quat, 6> q;
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k) {
        q[k] = generic::rotation_from_scaled_axis<Quat>(robot.axes[k], a[k]);
    }
    return generic::chain_frames<Pose>(robot, q);
}

Pose fk(const Crx& robot, const JointVector& joints) noexcept {
    return fk_all(robot, joints)[5];
}

}  // namespace ortholink
