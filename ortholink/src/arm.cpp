#include "ortholink/arm.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "chunks.hpp"
#include "ik/ik.hpp"
#include "ik/joints.hpp"
#include "ik/polish.hpp"
#include "ik/setup.hpp"
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
    // First: a model's J3 limits are made from the elbow's, so a NaN there shows in J3's too.
    if (arm.elbow && (!std::isfinite(arm.elbow->lower) || !std::isfinite(arm.elbow->upper))) {
        return "the elbow limits must be finite";
    }
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
        if (arm.max_acceleration && !(std::isfinite((*arm.max_acceleration)[i]) && (*arm.max_acceleration)[i] > 0.0)) {
            return "the acceleration of " + joint + " must be positive and finite";
        }
        variants *= std::floor((arm.upper[i] - arm.lower[i]) / kTurn) + 1.0;
    }
    if (arm.elbow && arm.elbow->lower > arm.elbow->upper) {
        return "the lower elbow limit is above the upper one";
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

double limit_slack(double limit) noexcept {
    const double magnitude = std::fabs(limit);
    const double spacing = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
    return std::max(kLimitSnap, 8.0 * spacing);
}

namespace {

bool snap_to_limits(const Arm& arm, JointVector& joints) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        joints[i] = std::clamp(joints[i], arm.lower[i], arm.upper[i]);
    }
    if (arm.elbow) {
        const double lower = arm.elbow->lower;
        const double upper = arm.elbow->upper;
        const double elbow = joints[1] + joints[2];
        if (elbow < lower - limit_slack(lower) || elbow > upper + limit_slack(upper)) {
            return false;
        }
        // J3 takes the correction: the elbow limit is on the forearm's angle.
        const double target = elbow < lower ? lower : upper;
        if (elbow < lower || elbow > upper) {
            double j3 = target - joints[1];
            for (int step = 0; step < 4 && joints[1] + j3 < lower; ++step) {
                j3 = std::nextafter(j3, std::numeric_limits<double>::infinity());
            }
            for (int step = 0; step < 4 && joints[1] + j3 > upper; ++step) {
                j3 = std::nextafter(j3, -std::numeric_limits<double>::infinity());
            }
            joints[2] = j3;
        }
    }
    return arm_within_limits(arm, joints);
}

// How far (degrees) beyond a limit a variant may lie for the solution to be
// sought on the limit: the duplicate distance. Where the Jacobian loses rank
// (J5 at 0 or 180, the arm stretched or folded) an accepted solution can be
// that far from the exact one, and an exact one on the limit is then lost to
// the limit filter (the home posture with J6 on its limit, solved with J6 a
// few 1e-6 degrees beyond it).
constexpr double kLimitReach = kDuplicateDistance / kDegToRad;

// The variant with the one joint beyond its limit put on the limit and the
// other joints refined, when that still reaches the solution's pose: the
// refined vector within the duplicate distance of the variant, and its pose
// error against the solution's pose within what acceptance leaves of it.
// `residual` gets the bound of its pose error that the two errors give.
bool on_limit(const Arm& arm, const IkSolution& solution, JointVector& variant, double& residual) noexcept {
    std::size_t held = 6;
    for (std::size_t i = 0; i < 6; ++i) {
        if (variant[i] < arm.lower[i] || variant[i] > arm.upper[i]) {
            if (held != 6) {
                return false;  // two joints beyond their limits: no such solution
            }
            held = i;
        }
    }
    if (held == 6) {
        return false;
    }
    JointVector start = variant;
    start[held] = std::clamp(start[held], arm.lower[held], arm.upper[held]);
    double error = 0.0;
    const JointVector refined =
        solver::refine_holding(arm.robot, start, held, fk(arm.robot, solution.joints), error);
    if (!(error <= kAcceptResidual - solution.residual) || joint_distance(refined, variant) > kDuplicateDistance) {
        return false;
    }
    variant = refined;
    residual = solution.residual + error;
    return snap_to_limits(arm, variant);
}

}  // namespace

void arm_widened_limits(const Arm& arm, JointVector& lower, JointVector& upper) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        lower[i] = arm.lower[i] - limit_slack(arm.lower[i]);
        upper[i] = arm.upper[i] + limit_slack(arm.upper[i]);
    }
}

bool arm_snap_to_limits(const Arm& arm, JointVector& joints) noexcept {
    JointVector widened_lower;
    JointVector widened_upper;
    arm_widened_limits(arm, widened_lower, widened_upper);
    if (!within_limits(joints, widened_lower, widened_upper)) {
        return false;
    }
    return snap_to_limits(arm, joints);
}

void arm_expand(const Arm& arm, std::span<const IkSolution> flange_solutions, std::vector<IkSolution>& out,
                const CancelCheck& cancel) {
    detail::BatchStop stop(cancel);
    // Variants a few ulps beyond a limit are the solver's rounding of one on
    // it: they are found within the widened limits and put on the limit.
    JointVector lower;
    JointVector upper;
    arm_widened_limits(arm, lower, upper);
    // Variants just beyond that, within the duplicate distance, are tried
    // on the limit too (see on_limit).
    JointVector reach_lower;
    JointVector reach_upper;
    for (std::size_t i = 0; i < 6; ++i) {
        reach_lower[i] = lower[i] - kLimitReach;
        reach_upper[i] = upper[i] + kLimitReach;
    }
    std::vector<JointVector> variants;
    for (const IkSolution& solution : flange_solutions) {
        variants.clear();
        // The limits were checked when the arm was made, and the slack stays
        // far below a turn, so this cannot overflow.
        append_turns(solution.joints, reach_lower, reach_upper, variants);
        for (JointVector& variant : variants) {
            // Wide limits give tens of thousands of variants per solution.
            if (!stop.keep_going(true)) {
                throw BatchCancelled{};
            }
            double residual = solution.residual;
            if (within_limits(variant, lower, upper) ? snap_to_limits(arm, variant)
                                                     : on_limit(arm, solution, variant, residual)) {
                out.push_back(IkSolution{variant, residual, solution.theta, solution.kind});
            }
        }
    }
}

std::vector<IkSolution> arm_ik_detailed(const Arm& arm, const Pose& world_tcp) {
    const auto flange = solver::ik_merged(arm.robot, arm_flange_target(arm, world_tcp));
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
                               arm_expand(arm, solver::ik_merged(arm.robot, arm_flange_target(arm, world_tcps[i])), solutions);
                           });
}

IkBatchResult arm_ik_many(const Arm& arm, std::span<const Pose> world_tcps, unsigned threads,
                          const CancelCheck& cancel) {
    detail::ResultSink sink(world_tcps.size());
    arm_ik_many(arm, world_tcps, sink, threads, cancel);
    return std::move(sink.result);
}

namespace {

// Largest pose change (matrix entries, mm) of a family member from the
// solution it was found from: members are moved exactly, so anything more
// means the solution was not really a member.
constexpr double kFamilyPose = 1e-9;
// Angle (degrees) by which a solution is moved to test that J1 and J4 are coaxial.
constexpr double kCoaxialProbe = 30.0;
// How far (degrees) the other joints may move to keep the pose of a member
// of a coaxial family that is not exactly coaxial: with the arm upright a
// few 1e-6 degrees off the J1 axis, J1 and J4 still turn together over
// their whole range while J2, J3 and J5 follow by about as much.
constexpr double kCoaxialFollow = 0.01;
// How far (sine) from upright the upper arm and forearm may be for a
// solution to be tried as a member of a coaxial family: a member that keeps
// the pose to kFamilyPose lies within a few 1e-4 degrees of it, and the
// representative the solver returns a few times that.
constexpr double kNearUpright = 2e-5;
// Samples of the folded arm's elbow circle, then golden-section steps about the best.
constexpr int kCircleSamples = 360;
constexpr int kCircleRefineSteps = 60;

enum class Family : std::uint8_t { None,
                                   Coaxial,
                                   Folded };

struct FamilyOf {
    Family family = Family::None;
    double sign = 0.0;  // coaxial: J4 turns by sign·t when J1 turns by t
};

// Largest turn (degrees) of J1 between two refinements when a solution is
// walked along a coaxial family that is not exact.
constexpr double kCoaxialWalkStep = 10.0;

// The solution q (of `pose`) with J1 turned by t and J4 by sign·t: exactly
// when that keeps the pose; else walked there in steps of at most
// kCoaxialWalkStep, the other joints refined after each to keep the pose
// within acceptance, moving by at most kCoaxialFollow each time (off the
// exact family its own pose error grows with the square of the offset; the
// steps keep each refinement's start close, where Gauss-Newton on the four
// other joints converges). Nothing when a refinement cannot keep the pose.
std::optional<JointVector> coaxial_member(const Crx& robot, const JointVector& q, double t, double sign,
                                          const Pose& pose) noexcept {
    JointVector moved = q;
    moved[0] += t;
    moved[3] += sign * t;
    if (solver::pose_error(solver::residuals(robot, moved, pose)) <= kFamilyPose) {
        return moved;
    }
    const int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(t) / kCoaxialWalkStep)));
    JointVector walked = q;
    for (int k = 1; k <= steps; ++k) {
        // Each step from q, so the walk ends on q's J1 + t and J4 + sign·t exactly.
        const double turned = t * static_cast<double>(k) / static_cast<double>(steps);
        JointVector start = walked;
        start[0] = q[0] + turned;
        start[3] = q[3] + sign * turned;
        double error = 0.0;
        walked = solver::refine_holding_pair(robot, start, 0, 3, pose, error);
        if (!(error <= kAcceptResidual) || joint_distance(walked, start) > kCoaxialFollow * kDegToRad) {
            return std::nullopt;
        }
    }
    return walked;
}

// Which continuous family a flange solution belongs to. J4 and J6 at J5 = 0
// or 180 are parallel but y1 apart, so they make no family on a CRX.
FamilyOf family_of(const Crx& robot, const JointVector& q) noexcept {
    const double upper_arm = q[1] * kDegToRad;
    const double forearm = (q[1] + q[2]) * kDegToRad;
    // Upper arm and forearm both along the J1 axis.
    if (std::fabs(std::sin(upper_arm)) < kNearUpright && std::fabs(std::cos(forearm)) < kNearUpright) {
        const Pose pose = fk(robot, q);
        for (const double sign : {1.0, -1.0}) {
            // Both ways: off the exact family a walk can fail one way only.
            if (coaxial_member(robot, q, kCoaxialProbe, sign, pose) ||
                coaxial_member(robot, q, -kCoaxialProbe, sign, pose)) {
                return {Family::Coaxial, sign};
            }
        }
    }
    // Equal arms folded onto the shoulder: the elbow is free on a circle.
    if (std::fabs(robot.z1 - robot.x1) <= solver::kOnAxisRelative * robot.z1) {
        const auto frames = fk_all(robot, q);
        const Vec3 reach = rotate(frames[3].q, Vec3{robot.x1, 0.0, 0.0});
        const Vec3 o4{frames[2].t[0] + reach[0], frames[2].t[1] + reach[1], frames[2].t[2] + reach[2]};
        if (std::sqrt(dot(o4, o4)) < solver::kOnAxisRelative * robot.z1) {
            return {Family::Folded, 0.0};
        }
    }
    return {};
}

// The whole turns k with lower <= value + 360k <= upper, as [first, last]
// (last < first when none).
std::pair<double, double> turns_within(double value, double lower, double upper) noexcept {
    double first = std::ceil((lower - value) / kTurn);
    double last = std::floor((upper - value) / kTurn);
    while (value + kTurn * first < lower) first += 1.0;
    while (value + kTurn * (first - 1.0) >= lower) first -= 1.0;
    while (value + kTurn * last > upper) last -= 1.0;
    while (value + kTurn * (last + 1.0) <= upper) last += 1.0;
    return {first, last};
}

// |value - reference|, or 0 for a reference that is not finite (left out).
double motion_term(double value, double reference) noexcept {
    return std::isfinite(reference) ? std::fabs(value - reference) : 0.0;
}

// Largest joint motion, leaving out the reference joints that are not finite.
double motion_from(const JointVector& joints, const JointVector& reference) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < 6; ++i) {
        largest = std::max(largest, motion_term(joints[i], reference[i]));
    }
    return largest;
}

// Turns J2, J3, J5, J6 (and J1, J4 unless `skip_j1_j4`) of q to their
// variants within the limits nearest the reference (the nearest to q itself
// for a reference joint that is not finite), J2 and J3 together so that the
// elbow limit holds. Returns the largest motion of those joints, or infinity
// when no variant lies within the limits.
double nearest_variant(const Arm& arm, JointVector& q, const JointVector& reference, bool skip_j1_j4) noexcept {
    constexpr double kNone = std::numeric_limits<double>::infinity();
    double largest = 0.0;
    for (const std::size_t i : {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{5}}) {
        if (skip_j1_j4 && (i == 0 || i == 3)) {
            continue;
        }
        const auto [first, last] = turns_within(q[i], arm.lower[i], arm.upper[i]);
        if (!(first <= last)) {
            return kNone;
        }
        const double wanted = std::isfinite(reference[i]) ? std::nearbyint((reference[i] - q[i]) / kTurn) : 0.0;
        q[i] += kTurn * std::clamp(wanted, first, last);
        largest = std::max(largest, motion_term(q[i], reference[i]));
    }
    const auto [first2, last2] = turns_within(q[1], arm.lower[1], arm.upper[1]);
    const auto [first3, last3] = turns_within(q[2], arm.lower[2], arm.upper[2]);
    double best = kNone;
    JointVector chosen = q;
    for (double k2 = first2; k2 <= last2; k2 += 1.0) {
        for (double k3 = first3; k3 <= last3; k3 += 1.0) {
            JointVector trial = q;
            trial[1] += kTurn * k2;
            trial[2] += kTurn * k3;
            if (!elbow_allows(arm, trial)) {
                continue;
            }
            const double motion = std::max(motion_term(trial[1], reference[1]), motion_term(trial[2], reference[2]));
            if (motion < best) {
                best = motion;
                chosen = trial;
            }
        }
    }
    if (best == kNone) {
        return kNone;
    }
    q = chosen;
    return std::max(largest, best);
}

// The coaxial member q + t·(1, 0, 0, sign, 0, 0), whole turns included,
// nearest the reference: J1 = u and J4 = c + sign·u + 360n with
// c = q4 - sign·q1, so for each n the motion of the two joints is
// max(|u - r1|, |u - sign·(r4 - c - 360n)|), least at the midpoint (clamped
// to the range the limits leave u).
std::optional<JointVector> coaxial_nearest(const Arm& arm, const JointVector& q, double sign,
                                           const JointVector& reference) {
    const Pose pose = fk(arm.robot, q);
    JointVector rest = q;
    const double rest_motion = nearest_variant(arm, rest, reference, true);
    if (!std::isfinite(rest_motion)) {
        return std::nullopt;
    }
    const double c = q[3] - sign * q[0];
    const double lo1 = arm.lower[0];
    const double hi1 = arm.upper[0];
    const double lo4 = arm.lower[3];
    const double hi4 = arm.upper[3];
    // sign·u spans [min_su, max_su] over J1's range.
    const double min_su = std::min(sign * lo1, sign * hi1);
    const double max_su = std::max(sign * lo1, sign * hi1);
    const double first = std::ceil((lo4 - max_su - c) / kTurn) - 1.0;
    const double last = std::floor((hi4 - min_su - c) / kTurn) + 1.0;
    std::optional<JointVector> best;
    double best_motion = std::numeric_limits<double>::infinity();
    for (double n = first; n <= last; n += 1.0) {
        const double shift = c + kTurn * n;
        // lo4 <= shift + sign·u <= hi4 as a range of u.
        const double a = sign * (lo4 - shift);
        const double b = sign * (hi4 - shift);
        const double u_lo = std::max(lo1, std::min(a, b));
        const double u_hi = std::min(hi1, std::max(a, b));
        if (!(u_lo <= u_hi)) {
            continue;
        }
        const bool has1 = std::isfinite(reference[0]);
        const bool has4 = std::isfinite(reference[3]);
        const double aim1 = reference[0];
        const double aim4 = sign * (reference[3] - shift);
        double u = q[0];
        if (has1 && has4) {
            u = 0.5 * (aim1 + aim4);
        } else if (has1) {
            u = aim1;
        } else if (has4) {
            u = aim4;
        }
        u = std::clamp(u, u_lo, u_hi);
        JointVector member = rest;
        member[0] = u;
        member[3] = std::clamp(shift + sign * u, lo4, hi4);
        if (solver::pose_error(solver::residuals(arm.robot, member, pose)) > kFamilyPose) {
            // Off the exact family the other joints follow J1 and J4 a
            // little; then the whole turns of the nearest variant are put back.
            const auto followed = coaxial_member(arm.robot, q, u - q[0], sign, pose);
            if (!followed) {
                continue;
            }
            for (const std::size_t j : {1, 2, 4, 5}) {
                member[j] = (*followed)[j] + (rest[j] - q[j]);
            }
            if (!arm_snap_to_limits(arm, member)) {
                continue;
            }
        }
        const double motion = std::max({rest_motion, motion_term(member[0], reference[0]),
                                        motion_term(member[3], reference[3])});
        if (motion < best_motion) {
            best_motion = motion;
            best = member;
        }
    }
    return best;
}

// The folded member nearest the reference: the elbow goes round the circle
// of radius z1 about the shoulder perpendicular to the J5 axis, and each
// elbow gives two members (the solver's primary and mirror). The circle is
// sampled, then the best sample refined by golden section.
std::optional<JointVector> folded_nearest(const Arm& arm, const Pose& flange_target, const JointVector& q,
                                          const JointVector& reference) {
    const Crx& robot = arm.robot;
    const solver::Setup setup(robot, flange_target);
    const auto frames = fk_all(robot, q);
    const Vec3 o3 = frames[2].t;
    const Vec3 reach = rotate(frames[3].q, Vec3{robot.x1, 0.0, 0.0});
    const Vec3 o4{o3[0] + reach[0], o3[1] + reach[1], o3[2] + reach[2]};
    const Vec3 a5 = rotate(frames[4].q, robot.axes[4]);
    const double r = std::sqrt(dot(o3, o3));
    const Vec3 e1{o3[0] / r, o3[1] / r, o3[2] / r};
    Vec3 e2 = cross(a5, e1);
    const double n2 = std::sqrt(dot(e2, e2));
    if (!(n2 > 0.5)) {
        return std::nullopt;
    }
    e2 = Vec3{e2[0] / n2, e2[1] / n2, e2[2] / n2};
    const auto member_at = [&](double phi, int branch, JointVector& out) {
        const double c = std::cos(phi);
        const double s = std::sin(phi);
        const Vec3 elbow{robot.z1 * (c * e1[0] + s * e2[0]), robot.z1 * (c * e1[1] + s * e2[1]),
                         robot.z1 * (c * e1[2] + s * e2[2])};
        const auto pair = solver::joints_from_points(setup, elbow, o4);
        out = branch == 0 ? pair.first : pair.second;
        return nearest_variant(arm, out, reference, false);
    };
    constexpr double kTwoPi = 6.283185307179586;
    const double step = kTwoPi / kCircleSamples;
    double best_motion = std::numeric_limits<double>::infinity();
    double best_phi = 0.0;
    int best_branch = 0;
    JointVector scratch;
    for (int branch = 0; branch < 2; ++branch) {
        for (int k = 0; k < kCircleSamples; ++k) {
            const double motion = member_at(step * k, branch, scratch);
            if (motion < best_motion) {
                best_motion = motion;
                best_phi = step * k;
                best_branch = branch;
            }
        }
    }
    if (!std::isfinite(best_motion)) {
        return std::nullopt;
    }
    constexpr double kGolden = 0.6180339887498949;
    double lo = best_phi - step;
    double hi = best_phi + step;
    for (int k = 0; k < kCircleRefineSteps; ++k) {
        const double m1 = hi - kGolden * (hi - lo);
        const double m2 = lo + kGolden * (hi - lo);
        if (member_at(m1, best_branch, scratch) <= member_at(m2, best_branch, scratch)) {
            hi = m2;
        } else {
            lo = m1;
        }
    }
    JointVector refined;
    const double refined_motion = member_at(0.5 * (lo + hi), best_branch, refined);
    if (!(refined_motion <= best_motion)) {
        member_at(best_phi, best_branch, refined);
    }
    // The points are rounded; polishing puts the member back on the pose.
    JointVector polished = solver::polish_joints(robot, refined, flange_target);
    if (!arm_snap_to_limits(arm, polished)) {
        return std::nullopt;
    }
    return polished;
}

}  // namespace

bool arm_in_family(const Arm& arm, const JointVector& joints) noexcept {
    return family_of(arm.robot, joints).family != Family::None;
}

std::optional<JointVector> arm_family_nearest(const Arm& arm, const Pose& flange_target, const JointVector& joints,
                                              const JointVector& reference) {
    const FamilyOf family = family_of(arm.robot, joints);
    std::optional<JointVector> member;
    if (family.family == Family::Coaxial) {
        // Moved exactly, or refined off the exact family: a solution of the target either way.
        member = coaxial_nearest(arm, joints, family.sign, reference);
        if (member && !(solver::pose_error(solver::residuals(arm.robot, *member, flange_target)) <= kAcceptResidual)) {
            return std::nullopt;
        }
        return member;
    }
    if (family.family == Family::Folded) {
        member = folded_nearest(arm, flange_target, joints, reference);
    }
    // A member that does not give the solution's pose is not used.
    if (member && solver::pose_error(solver::residuals(arm.robot, *member, fk(arm.robot, joints))) > kFamilyPose) {
        return std::nullopt;
    }
    return member;
}

std::optional<IkSolution> arm_ik_closest(const Arm& arm, const Pose& world_tcp, const JointVector& reference,
                                         const CollisionChecker* checker) {
    const Pose flange = arm_flange_target(arm, world_tcp);
    const auto solutions = solver::ik_merged(arm.robot, flange);
    std::optional<IkSolution> best;
    double best_motion = std::numeric_limits<double>::infinity();
    std::vector<IkSolution> variants;
    for (const IkSolution& solution : solutions) {
        // Whole-turn variants share the solution's geometry; a family member does not.
        if (checker != nullptr && checker->collides(solution.joints)) {
            continue;
        }
        variants.clear();
        arm_expand(arm, std::span<const IkSolution>(&solution, 1), variants);
        for (const IkSolution& candidate : variants) {
            const double motion = motion_from(candidate.joints, reference);
            if (motion < best_motion) {
                best_motion = motion;
                best = candidate;
            }
        }
        if (const auto member = arm_family_nearest(arm, flange, solution.joints, reference)) {
            const double motion = motion_from(*member, reference);
            if (motion < best_motion && (checker == nullptr || !checker->collides(*member))) {
                best_motion = motion;
                const double residual = solver::pose_error(solver::residuals(arm.robot, *member, flange));
                best = IkSolution{*member, residual, solution.theta, solution.kind};
            }
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
    if (arm.max_acceleration) {
        for (const double v : *arm.max_acceleration) mix(v);
    }
    return seed;
}

JointVector arm_max_acceleration(const Arm& arm) noexcept {
    if (arm.max_acceleration) {
        return *arm.max_acceleration;
    }
    JointVector out{};
    for (std::size_t i = 0; i < 6; ++i) {
        out[i] = kDefaultAccelerationRate * arm.max_speed[i];
    }
    return out;
}

}  // namespace ortholink
