#include "ortholink/arm.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "chunks.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink {
namespace {

struct ModelData {
    JointVector lower;  // J3 is filled in from J2 and the elbow
    JointVector upper;
    ElbowLimit elbow;
    JointVector speed;
    double mounting_height;
};

// The maker's published limits (degrees), rated speeds (degrees per second)
// and base heights (millimetres), indexed by the model code.
// clang-format off
constexpr std::array<ModelData, kModelCount> kModels{{
    {{-200, -179.999, 0, -190, -179.999, -225}, {200, 179.999, 0, 190, 179.999, 225}, {-62.7, 242.7},
     {130, 130, 180, 225, 360, 360}, 161.0},
    {{-200, -179.9, 0, -190, -179.9, -225}, {200, 179.9, 0, 190, 179.9, 225}, {-68, 248},
     {150, 150, 180, 225, 225, 225}, 185.0},
    {{-190, -179.9, 0, -190, -179.9, -225}, {190, 179.9, 0, 190, 179.9, 225}, {-71, 251},
     {120, 120, 180, 180, 180, 180}, 245.0},
    {{-179.9, -179.9, 0, -190, -179.9, -225}, {179.9, 179.9, 0, 190, 179.9, 225}, {-270, 270},
     {120, 120, 180, 180, 180, 180}, 245.0},
    {{-179.9, -179.9, 0, -190, -179.9, -225}, {179.9, 179.9, 0, 190, 179.9, 225}, {-270, 270},
     {80, 80, 120, 112.5, 90, 112.5}, 245.0},
    {{-179.9, -179.9, 0, -190, -179.9, -225}, {179.9, 179.9, 0, 190, 179.9, 225}, {-270, 270},
     {80, 80, 120, 180, 180, 180}, 370.0},
}};
// clang-format on

constexpr double kTurn = 360.0;

const ModelData& data_of(CrxModel model) noexcept {
    return kModels[static_cast<std::size_t>(model) % kModelCount];
}

std::string short_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

bool elbow_allows(const Arm& arm, const JointVector& joints) noexcept {
    if (!arm.elbow) {
        return true;
    }
    const double elbow = joints[1] + joints[2];
    return arm.elbow->lower <= elbow && elbow <= arm.elbow->upper;
}

using Mat3 = std::array<std::array<double, 3>, 3>;

double det3(const Mat3& m) noexcept {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// The rotation nearest `m` (det m > 0) by Newton's iteration U ← ½(U + U⁻ᵀ),
// which converges quadratically from any non-singular start.
Mat3 nearest_rotation(const Mat3& m) noexcept {
    constexpr int kMaxIterations = 32;
    constexpr double kSettled = 1e-15;
    Mat3 u = m;
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        const double d = det3(u);
        // U⁻ᵀ is the cofactor matrix over the determinant.
        Mat3 cof;
        cof[0][0] = u[1][1] * u[2][2] - u[1][2] * u[2][1];
        cof[0][1] = u[1][2] * u[2][0] - u[1][0] * u[2][2];
        cof[0][2] = u[1][0] * u[2][1] - u[1][1] * u[2][0];
        cof[1][0] = u[0][2] * u[2][1] - u[0][1] * u[2][2];
        cof[1][1] = u[0][0] * u[2][2] - u[0][2] * u[2][0];
        cof[1][2] = u[0][1] * u[2][0] - u[0][0] * u[2][1];
        cof[2][0] = u[0][1] * u[1][2] - u[0][2] * u[1][1];
        cof[2][1] = u[0][2] * u[1][0] - u[0][0] * u[1][2];
        cof[2][2] = u[0][0] * u[1][1] - u[0][1] * u[1][0];
        double change = 0.0;
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = 0; c < 3; ++c) {
                const double next = 0.5 * (u[r][c] + cof[r][c] / d);
                change = std::max(change, std::fabs(next - u[r][c]));
                u[r][c] = next;
            }
        }
        if (change <= kSettled) {
            break;
        }
    }
    return u;
}

// Determinant of a symmetric positive semi-definite 6x6 matrix by Gaussian
// elimination with partial pivoting.
double det6(std::array<std::array<double, 6>, 6> a) noexcept {
    double det = 1.0;
    for (std::size_t k = 0; k < 6; ++k) {
        std::size_t pivot = k;
        for (std::size_t r = k + 1; r < 6; ++r) {
            if (std::fabs(a[r][k]) > std::fabs(a[pivot][k])) {
                pivot = r;
            }
        }
        if (a[pivot][k] == 0.0) {
            return 0.0;
        }
        if (pivot != k) {
            std::swap(a[pivot], a[k]);
            det = -det;
        }
        det *= a[k][k];
        for (std::size_t r = k + 1; r < 6; ++r) {
            const double f = a[r][k] / a[k][k];
            for (std::size_t c = k; c < 6; ++c) {
                a[r][c] -= f * a[k][c];
            }
        }
    }
    return det;
}

std::string geometry_problem(const Arm& arm) {
    const Scene& tool = arm.tool_geometry;
    if (!tool.cylinders.empty() || !tool.half_spaces.empty() || !tool.clouds.empty()) {
        return "tool_geometry: only spheres, capsules and boxes can be mounted on the flange";
    }
    if (tool.spheres.size() + tool.capsules.size() + tool.boxes.size() > kMaxToolSolids) {
        return "tool_geometry: at most " + std::to_string(kMaxToolSolids) + " solids";
    }
    if (std::string problem = scene_problem(tool); !problem.empty()) {
        return "tool_geometry: " + problem;
    }
    std::size_t capsules = 0;
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        Scene link;
        link.capsules = arm.envelopes[k].capsules;
        capsules += link.capsules.size();
        if (std::string problem = scene_problem(link); !problem.empty()) {
            return "envelopes[" + std::to_string(k) + "]: " + problem;
        }
    }
    if (capsules > kMaxEnvelopeCapsules) {
        return "envelopes: at most " + std::to_string(kMaxEnvelopeCapsules) + " capsules in all";
    }
    return {};
}

}  // namespace

Arm Arm::from_model(CrxModel model) {
    const ModelData& data = data_of(model);
    Arm arm{Crx::from_model(model), model, Pose{}, Pose{}, data.lower, data.upper, std::nullopt, data.speed};
    arm.set_elbow(data.elbow);
    arm.envelopes = model_envelopes(model);
    return arm;
}

void Arm::set_elbow(std::optional<ElbowLimit> limit) noexcept {
    elbow = limit;
    // A model's maker limits J2 + J3, not J3: J3 gets the widest range the J2 and elbow limits leave.
    if (model && elbow) {
        lower[2] = elbow->lower - upper[1];
        upper[2] = elbow->upper - lower[1];
    }
}

Arm Arm::from_robot(const Crx& robot) {
    Arm arm{robot,
            std::nullopt,
            Pose{},
            Pose{},
            JointVector{-180, -180, -180, -180, -180, -180},
            JointVector{180, 180, 180, 180, 180, 180},
            std::nullopt,
            JointVector{180, 180, 180, 180, 180, 180}};
    arm.envelopes = estimated_envelopes(robot);
    return arm;
}

std::string arm_problem(const Arm& arm) {
    static constexpr const char* kJoint[] = {"J1", "J2", "J3", "J4", "J5", "J6"};
    double variants = 1.0;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::string joint = kJoint[i];
        if (!std::isfinite(arm.lower[i]) || !std::isfinite(arm.upper[i])) {
            return "the limits of " + joint + " must be finite";
        }
        // Beyond this whole turns are not exact and expand_turns refuses them.
        if (std::fabs(arm.lower[i]) > kMaxTurnMagnitude || std::fabs(arm.upper[i]) > kMaxTurnMagnitude) {
            return "the limits of " + joint + " must lie within -268435456 .. 268435456 degrees";
        }
        if (arm.lower[i] > arm.upper[i]) {
            return "the lower limit of " + joint + " is above its upper limit";
        }
        if (!(std::isfinite(arm.max_speed[i]) && arm.max_speed[i] > 0.0)) {
            return "the speed of " + joint + " must be positive and finite";
        }
        variants *= std::floor((arm.upper[i] - arm.lower[i]) / kTurn) + 1.0;
    }
    if (arm.elbow) {
        if (!std::isfinite(arm.elbow->lower) || !std::isfinite(arm.elbow->upper)) {
            return "the elbow limits must be finite";
        }
        if (arm.elbow->lower > arm.elbow->upper) {
            return "the lower elbow limit is above the upper one";
        }
    }
    if (variants > static_cast<double>(kMaxTurnVariants)) {
        return "the limits allow more than " + std::to_string(kMaxTurnVariants) +
               " whole-turn variants of one solution";
    }
    return geometry_problem(arm);
}

Pose inverse(const Pose& pose) noexcept {
    const Quat conjugate{-pose.q.x, -pose.q.y, -pose.q.z, pose.q.w};
    const Vec3 r = rotate(conjugate, pose.t);
    return Pose{conjugate, Vec3{-r[0], -r[1], -r[2]}};
}

double mounting_height(CrxModel model) noexcept {
    return data_of(model).mounting_height;
}

Pose arm_fk(const Arm& arm, const JointVector& joints) noexcept {
    return compose(arm.base, compose(fk(arm.robot, joints), arm.tool));
}

void arm_fk_many(const Arm& arm, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads,
                 const CancelCheck& cancel) {
    fk_many(arm.robot, joints, out, threads, cancel);
    for (Pose& pose : out) {
        pose = compose(arm.base, compose(pose, arm.tool));
    }
}

void arm_fk_many_matrices(const Arm& arm, std::span<const JointVector> joints, std::span<double> matrices,
                          unsigned threads, const CancelCheck& cancel) {
    detail::poses_into(std::min(joints.size(), matrices.size() / 16), threads, cancel, matrices.data(),
                       [&](std::size_t i) { return compose(arm.base, compose(fk(arm.robot, joints[i]), arm.tool)); });
}

bool arm_within_limits(const Arm& arm, const JointVector& joints) noexcept {
    return within_limits(joints, arm.lower, arm.upper) && elbow_allows(arm, joints);
}

Pose arm_flange_target(const Arm& arm, const Pose& world_tcp) noexcept {
    return compose(compose(inverse(arm.base), world_tcp), inverse(arm.tool));
}

void arm_expand(const Arm& arm, std::span<const IkSolution> flange_solutions, std::vector<IkSolution>& out) {
    JointVector joints_buffer[1];
    std::vector<JointVector> variants;
    for (const IkSolution& solution : flange_solutions) {
        joints_buffer[0] = solution.joints;
        variants.clear();
        // The limits were checked when the arm was made, so this cannot overflow.
        expand_turns(std::span<const JointVector>(joints_buffer, 1), arm.lower, arm.upper, variants);
        for (const JointVector& variant : variants) {
            if (elbow_allows(arm, variant)) {
                out.push_back(IkSolution{variant, solution.residual, solution.theta, solution.kind});
            }
        }
    }
}

std::vector<IkSolution> arm_ik_detailed(const Arm& arm, const Pose& world_tcp) {
    const auto flange = ik(arm.robot, arm_flange_target(arm, world_tcp));
    std::vector<IkSolution> out;
    out.reserve(flange.size() * 2);
    arm_expand(arm, flange, out);
    return out;
}

std::vector<JointVector> arm_ik(const Arm& arm, const Pose& world_tcp) {
    const auto detailed = arm_ik_detailed(arm, world_tcp);
    std::vector<JointVector> out(detailed.size());
    for (std::size_t i = 0; i < detailed.size(); ++i) {
        out[i] = detailed[i].joints;
    }
    return out;
}

void arm_ik_many(const Arm& arm, std::span<const Pose> world_tcps, IkBatchSink& out, unsigned threads,
                 const CancelCheck& cancel) {
    detail::solve_in_order(world_tcps.size(), threads, cancel, out,
                           [&](std::size_t i, std::vector<IkSolution>& solutions) {
                               arm_expand(arm, ik(arm.robot, arm_flange_target(arm, world_tcps[i])), solutions);
                           });
}

IkBatchResult arm_ik_many(const Arm& arm, std::span<const Pose> world_tcps, unsigned threads,
                          const CancelCheck& cancel) {
    detail::ResultSink sink(world_tcps.size());
    arm_ik_many(arm, world_tcps, sink, threads, cancel);
    return std::move(sink.result);
}

std::optional<JointVector> arm_ik_closest(const Arm& arm, const Pose& world_tcp, const JointVector& reference) {
    for (const double value : reference) {
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
    }
    std::optional<JointVector> best;
    double best_motion = std::numeric_limits<double>::infinity();
    for (const JointVector& candidate : arm_ik(arm, world_tcp)) {
        double motion = 0.0;
        for (std::size_t i = 0; i < 6; ++i) {
            motion = std::max(motion, std::fabs(candidate[i] - reference[i]));
        }
        if (motion < best_motion) {
            best_motion = motion;
            best = candidate;
        }
    }
    return best;
}

Jacobian arm_jacobian(const Arm& arm, const JointVector& joints) noexcept {
    const auto frames = fk_all(arm.robot, joints);
    const Vec3 tcp_local = compose(frames[5], arm.tool).t;
    // Column i for the rotation applied at joint i: the J3 rotation applied is
    // J2 + J3, so J2's column adds J3's.
    std::array<Vec3, 6> linear{};
    std::array<Vec3, 6> angular{};
    for (std::size_t i = 0; i < 6; ++i) {
        // Joint i turns about its axis as seen in the parent frame.
        const Quat parent = i == 0 ? Quat{} : frames[i - 1].q;
        const Vec3 axis = rotate(arm.base.q, rotate(parent, arm.robot.axes[i]));
        const Vec3 origin = frames[i].t;
        const Vec3 arm_vector = rotate(arm.base.q, Vec3{tcp_local[0] - origin[0], tcp_local[1] - origin[1],
                                                        tcp_local[2] - origin[2]});
        linear[i] = cross(axis, arm_vector);
        angular[i] = axis;
    }
    for (std::size_t r = 0; r < 3; ++r) {
        linear[1][r] += linear[2][r];
        angular[1][r] += angular[2][r];
    }
    Jacobian j{};
    for (std::size_t c = 0; c < 6; ++c) {
        for (std::size_t r = 0; r < 3; ++r) {
            j[r][c] = linear[c][r];
            j[r + 3][c] = angular[c][r];
        }
    }
    return j;
}

double arm_manipulability(const Arm& arm, const JointVector& joints) noexcept {
    Jacobian j = arm_jacobian(arm, joints);
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 6; ++c) {
            j[r][c] *= 1e-3;
        }
    }
    std::array<std::array<double, 6>, 6> product{};
    for (std::size_t r = 0; r < 6; ++r) {
        for (std::size_t c = 0; c < 6; ++c) {
            double sum = 0.0;
            for (std::size_t k = 0; k < 6; ++k) {
                sum += j[r][k] * j[c][k];
            }
            product[r][c] = sum;
        }
    }
    // Rounding can leave the determinant of a singular J·Jᵀ slightly negative.
    return std::sqrt(std::max(det6(product), 0.0));
}

std::optional<Pose> pose_from_near_rigid(const double* m, NearRigidFailure& failure) noexcept {
    for (std::size_t i = 0; i < 16; ++i) {
        if (!std::isfinite(m[i])) {
            failure = {NearRigidFailure::Reason::NonFinite, std::numeric_limits<double>::quiet_NaN()};
            return std::nullopt;
        }
    }
    const double last_row = std::max({std::fabs(m[12]), std::fabs(m[13]), std::fabs(m[14]), std::fabs(m[15] - 1.0)});
    if (last_row > kLastRowTolerance) {
        failure = {NearRigidFailure::Reason::LastRow, last_row};
        return std::nullopt;
    }
    // A matrix that is rigid to the strict tolerance is read exactly as Crx reads it.
    double exact[16];
    std::copy(m, m + 16, exact);
    exact[12] = exact[13] = exact[14] = 0.0;
    exact[15] = 1.0;
    std::string_view error;
    if (auto pose = row_slice_to_iso(exact, 16, error)) {
        return pose;
    }
    const Mat3 r{{{m[0], m[1], m[2]}, {m[4], m[5], m[6]}, {m[8], m[9], m[10]}}};
    const double d = det3(r);
    if (!(d > 0.0)) {
        failure = {NearRigidFailure::Reason::Reflection, d};
        return std::nullopt;
    }
    const Mat3 u = nearest_rotation(r);
    // The stretch P = Uᵀ·R.
    double stretch = 0.0;
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) {
            const double p = u[0][a] * r[0][b] + u[1][a] * r[1][b] + u[2][a] * r[2][b];
            stretch = std::max(stretch, std::fabs(p - (a == b ? 1.0 : 0.0)));
        }
    }
    if (!(stretch <= kNearRotationTolerance)) {
        failure = {NearRigidFailure::Reason::Rotation, stretch};
        return std::nullopt;
    }
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) {
            exact[4 * a + b] = u[a][b];
        }
    }
    if (auto pose = row_slice_to_iso(exact, 16, error)) {
        return pose;
    }
    failure = {NearRigidFailure::Reason::Rotation, stretch};
    return std::nullopt;
}

std::string near_rigid_message(const NearRigidFailure& failure) {
    switch (failure.reason) {
        case NearRigidFailure::Reason::NonFinite:
            return "expected finite entries, got a matrix with NaN or infinity";
        case NearRigidFailure::Reason::LastRow:
            return "the last row is " + short_text(failure.distance) + " from 0 0 0 1 (tolerance " +
                   short_text(kLastRowTolerance) + ")";
        case NearRigidFailure::Reason::Reflection:
            return "the rotation part has determinant " + short_text(failure.distance) +
                   ", expected a rotation (determinant 1)";
        case NearRigidFailure::Reason::Rotation:
            return "the rotation part is " + short_text(failure.distance) + " from the nearest rotation (tolerance " +
                   short_text(kNearRotationTolerance) + ")";
    }
    return "not a rigid transform";
}

std::size_t hash_value(const Arm& arm) noexcept {
    std::size_t seed = 0;
    // Adding 0.0 folds -0.0 into 0.0, which compares equal.
    const auto mix = [&](double value) {
        seed ^= std::hash<double>{}(value + 0.0) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    for (const double v : {arm.robot.z1, arm.robot.x1, arm.robot.x2, arm.robot.y1}) mix(v);
    for (const Pose* pose : {&arm.base, &arm.tool}) {
        for (const double v : {pose->q.x, pose->q.y, pose->q.z, pose->q.w, pose->t[0], pose->t[1], pose->t[2]}) {
            mix(v);
        }
    }
    for (std::size_t i = 0; i < 6; ++i) {
        mix(arm.lower[i]);
        mix(arm.upper[i]);
        mix(arm.max_speed[i]);
    }
    if (arm.elbow) {
        mix(arm.elbow->lower);
        mix(arm.elbow->upper);
    }
    mix(arm.model ? static_cast<double>(*arm.model) : -1.0);
    return seed;
}

}  // namespace ortholink
