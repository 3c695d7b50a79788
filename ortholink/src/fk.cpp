#include "ortholink/fk.hpp"

namespace ortholink {

std::array<Pose, 6> fk_all(const Crx& robot, const JointVector& joints) noexcept {
    const double t1 = joints[0] * kDegToRad;
    const double t2 = joints[1] * kDegToRad;
    const double t3 = joints[2] * kDegToRad;
    const double t4 = joints[3] * kDegToRad;
    const double t5 = joints[4] * kDegToRad;
    const double t6 = joints[5] * kDegToRad;

    // The controller's J3 is measured from the upper arm, so the rotation at
    // the J3 axis is J2 + J3.
    const Quat q1 = rotation_from_scaled_axis(robot.axes[0], t1);
    const Quat q2 = rotation_from_scaled_axis(robot.axes[1], t2);
    const Quat q3 = rotation_from_scaled_axis(robot.axes[2], t3 + t2);
    const Quat q4 = rotation_from_scaled_axis(robot.axes[3], t4);
    const Quat q5 = rotation_from_scaled_axis(robot.axes[4], t5);
    const Quat q6 = rotation_from_scaled_axis(robot.axes[5], t6);

    std::array<Pose, 6> frames;
    frames[0] = Pose{q1, Vec3{0.0, 0.0, 0.0}};
    frames[1] = Pose{quat_mul(q1, q2), Vec3{0.0, 0.0, 0.0}};
    frames[2] = Pose{quat_mul(frames[1].q, q3), rotate(frames[1].q, Vec3{0.0, 0.0, robot.z1})};
    frames[3] = Pose{quat_mul(frames[2].q, q4), frames[2].t};

    const Vec3 r5 = rotate(frames[3].q, Vec3{robot.x1, -robot.y1, 0.0});
    frames[4] = Pose{quat_mul(frames[3].q, q5),
                     Vec3{frames[3].t[0] + r5[0], frames[3].t[1] + r5[1], frames[3].t[2] + r5[2]}};

    const Vec3 r6 = rotate(frames[4].q, Vec3{robot.x2, 0.0, 0.0});
    frames[5] = Pose{quat_mul(quat_mul(frames[4].q, q6), kFlangeRotation),
                     Vec3{frames[4].t[0] + r6[0], frames[4].t[1] + r6[1], frames[4].t[2] + r6[2]}};
    return frames;
}

Pose fk(const Crx& robot, const JointVector& joints) noexcept {
    return fk_all(robot, joints)[5];
}

}  // namespace ortholink
