#pragma once
// Helpers shared by the solver tests: the key points of a known joint vector,
// independent pose comparison, and the seeded sample counts.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ik/setup.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink::solver::support {

inline const std::array<CrxModel, kModelCount> kAllModels{CrxModel::Crx3iA, CrxModel::Crx5iA,
                                                          CrxModel::Crx10iA, CrxModel::Crx10iAL,
                                                          CrxModel::Crx20iAL, CrxModel::Crx30iA};

// Elbow, wrist point and circle angle of a joint vector, read off its frames.
struct KeyPoints {
    Vec3 o3;
    Vec3 o4;
    double theta;  // in [-π, π)
};

inline KeyPoints key_points(const Crx& robot, const JointVector& joints) {
    const auto frames = fk_all(robot, joints);
    // o4 is the J5 origin moved by y1 along the J5 frame's y axis (towards the forearm axis).
    const Vec3 y5 = rotate(frames[4].q, Vec3{0.0, 1.0, 0.0});
    KeyPoints k;
    k.o3 = frames[2].t;
    for (int i = 0; i < 3; ++i) {
        k.o4[i] = frames[4].t[i] + robot.y1 * y5[i];
    }
    const Setup setup(robot, frames[5]);
    const Vec3 d{y5[0], y5[1], y5[2]};
    k.theta = std::atan2(dot(d, setup.y_axis), dot(d, setup.x_axis));
    return k;
}

// Largest element difference of the two homogeneous matrices, computed
// apart from the solver's own residual.
inline double matrix_error(const Pose& a, const Pose& b) {
    double ma[16];
    double mb[16];
    iso_into(a, ma);
    iso_into(b, mb);
    double worst = 0.0;
    for (int i = 0; i < 12; ++i) {
        worst = std::fmax(worst, std::fabs(ma[i] - mb[i]));
    }
    return worst;
}

inline double distance3(const Vec3& a, const Vec3& b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// Wrapped difference in degrees, so that 180 and -180 compare equal.
inline double angle_diff_deg(double a, double b) {
    return wrap_angle((a - b) * kDegToRad) * kRadToDeg;
}

inline void expect_joints_deg(const JointVector& got, const JointVector& want, double tol_deg,
                              const std::string& what) {
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(angle_diff_deg(got[i], want[i]), 0.0, tol_deg) << what << " J" << i + 1 << ": " << got[i];
    }
}

// Nearest solution (joint distance) to `joints`, or a large value.
inline double nearest(const std::vector<IkSolution>& solutions, const JointVector& joints) {
    double best = 1e300;
    for (const auto& s : solutions) {
        best = std::fmin(best, joint_distance(s.joints, joints));
    }
    return best;
}

inline std::uint64_t env_u64(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    return std::strtoull(value, nullptr, 10);
}

// ORTHOLINK_PROPERTY_SEED and ORTHOLINK_PROPERTY_COUNT override the defaults.
inline std::uint64_t property_seed() {
    return env_u64("ORTHOLINK_PROPERTY_SEED", 20240611ULL);
}
inline int property_count(int fallback) {
    return static_cast<int>(env_u64("ORTHOLINK_PROPERTY_COUNT", static_cast<std::uint64_t>(fallback)));
}

}  // namespace ortholink::solver::support
