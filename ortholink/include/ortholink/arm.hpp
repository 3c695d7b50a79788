#pragma once
// The arm as installed: a robot with a tool on its flange, mounted somewhere
// in a cell, with the controller's joint limits and rated joint speeds.
// Plain values; nothing here allocates except the solution lists of ik.

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ortholink/batch.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

// Limits on J2 + J3 (degrees, inclusive): the angle between upper arm and
// forearm that the arm's mechanics limit.
struct ElbowLimit {
    double lower;
    double upper;

    friend bool operator==(const ElbowLimit&, const ElbowLimit&) = default;
};

struct Arm {
    Crx robot;
    std::optional<CrxModel> model;  // set when built from a model (meshes, URDF names)
    Pose base{};                    // the robot's base frame in the world frame
    Pose tool{};                    // the TCP in the flange frame
    JointVector lower{};            // controller degrees, inclusive
    JointVector upper{};
    std::optional<ElbowLimit> elbow;  // none: J2 + J3 is not limited
    JointVector max_speed{};          // rated joint speeds, degrees per second
    Scene tool_geometry{};            // spheres, capsules and boxes in the flange frame
    Envelopes envelopes{};            // the links' solids in the link frames
    // Joint accelerations, degrees per second squared; none: the default,
    // kDefaultAccelerationRate times max_speed (the maker publishes none).
    std::optional<JointVector> max_acceleration{};

    // The model's published limits and speeds, identity base and tool. The
    // maker limits J2 + J3 (the elbow), not J3 itself, so J3's own range is
    // the widest the J2 and elbow limits leave: elbow.lower - upper[1] ..
    // elbow.upper - lower[1]. The envelopes are the model's (model_envelopes).
    static Arm from_model(CrxModel model);
    // -180 .. 180 on every joint, no elbow limit, 180 degrees per second,
    // envelopes estimated from the robot's dimensions.
    static Arm from_robot(const Crx& robot);

    // Sets the elbow limit (none removes it). On an arm of a model, a limit
    // also sets J3's range as from_model does, from the J2 limits as they are.
    void set_elbow(std::optional<ElbowLimit> limit) noexcept;

    friend bool operator==(const Arm&, const Arm&) = default;
};

// Rated speed reached in half a second: a cobot's gentle default.
inline constexpr double kDefaultAccelerationRate = 2.0;  // per second

// The arm's joint accelerations, degrees per second squared.
JointVector arm_max_acceleration(const Arm& arm) noexcept;

// Mixes every field, so equal arms (0.0 and -0.0 alike) hash equal.
std::size_t hash_value(const Arm& arm) noexcept;

// "Arm(CrxModel.Crx10iA, base=identity, tool=xyzwpr[0, 0, 100, 0, 0, 0], lower=[...], ...)":
// a model by name, a robot by its dimensions, frames other than the identity
// as X, Y, Z, W, P, R, and every number in its shortest exact form.
std::string to_string(const Arm& arm);

// Why an arm's limits or speeds cannot be used (empty when they can): every
// limit and speed finite, lower <= upper, speeds (and accelerations) positive, and few enough
// whole turns within the limits that one solution expands to at most
// kMaxTurnVariants variants; the tool geometry only spheres, capsules and
// boxes, at most kMaxToolSolids of them, every solid sound (scene_problem);
// at most kMaxEnvelopeCapsules envelope capsules in all, each sound.
std::string arm_problem(const Arm& arm);

inline constexpr std::size_t kMaxToolSolids = 64;
inline constexpr std::size_t kMaxEnvelopeCapsules = 128;

// The inverse of a rigid transform.
Pose inverse(const Pose& pose) noexcept;

// Height of the J2 axis above the mounting face (the base_link of the
// maker's robot description), millimetres.
double mounting_height(CrxModel model) noexcept;

// The TCP pose in the world frame: base · fk(joints) · tool.
Pose arm_fk(const Arm& arm, const JointVector& joints) noexcept;

// out[i] = arm_fk(arm, joints[i]); `out` has the size of `joints`. Threads and
// `cancel` as for fk_many.
void arm_fk_many(const Arm& arm, std::span<const JointVector> joints, std::span<Pose> out, unsigned threads = 0,
                 const CancelCheck& cancel = {});

// arm_fk_many writing 4x4 matrices, as fk_many_matrices.
void arm_fk_many_matrices(const Arm& arm, std::span<const JointVector> joints, std::span<double> matrices,
                          unsigned threads = 0, const CancelCheck& cancel = {});

// True when every joint and J2 + J3 lie within the arm's limits (NaN is outside).
bool arm_within_limits(const Arm& arm, const JointVector& joints) noexcept;

// The flange pose that puts the TCP on `world_tcp`: base⁻¹ · world_tcp · tool⁻¹.
Pose arm_flange_target(const Arm& arm, const Pose& world_tcp) noexcept;

// Every joint vector within the limits that puts the TCP on `world_tcp`: the
// flange solutions in the solver's order, each followed by its whole-turn
// variants within the limits (J1 varying slowest, each joint's turns ascending).
// The arm must have no arm_problem (Arm's Python constructor refuses one):
// where a solution would expand to more than kMaxTurnVariants variants, or a
// limit is not finite, it and its variants are left out, so such an arm can
// seem to reach nothing.
std::vector<JointVector> arm_ik(const Arm& arm, const Pose& world_tcp);

// The same solutions, each carrying the residual, circle angle and kind of
// the flange solution it is a variant of.
std::vector<IkSolution> arm_ik_detailed(const Arm& arm, const Pose& world_tcp);

// A joint or elbow value at most this far beyond a limit (degrees; or 8
// spacings of doubles at the limit, where that is more) counts as on it. The
// solver rounds a configuration that lies exactly on a limit to either side
// of it, by up to a few thousand spacings (2.5e-10 degrees) where it is least
// well conditioned; moving a joint by 1e-9 degrees moves the TCP of the
// largest CRX by under 3e-8 mm.
inline constexpr double kLimitSnap = 1e-9;

// How far beyond `limit` a value still counts as on it: kLimitSnap, or 8
// spacings of doubles at the limit where that is more.
double limit_slack(double limit) noexcept;

// Puts joints within kLimitSnap of a limit onto it (J3 takes the elbow's
// correction); false when the joints are farther outside, and then they may
// have been changed.
bool arm_snap_to_limits(const Arm& arm, JointVector& joints) noexcept;

// The arm's joint limits widened by that much: where arm_expand looks for variants.
void arm_widened_limits(const Arm& arm, JointVector& lower, JointVector& upper) noexcept;

// The whole-turn variants of flange solutions that lie within the arm's
// limits, appended to `out` in arm_ik's order; a variant within
// kLimitSnap of a limit is kept and put onto it.
// `cancel` is asked every few milliseconds (BatchCancelled).
void arm_expand(const Arm& arm, std::span<const IkSolution> flange_solutions, std::vector<IkSolution>& out,
                const CancelCheck& cancel = {});

// arm_ik_detailed of every target, flattened as ik_many flattens them.
// `cancel` is asked as ik_many asks it.
IkBatchResult arm_ik_many(const Arm& arm, std::span<const Pose> world_tcps, unsigned threads = 0,
                          const CancelCheck& cancel = {});

// arm_ik_many handing the solutions to `out`, as ik_many does.
void arm_ik_many(const Arm& arm, std::span<const Pose> world_tcps, IkBatchSink& out, unsigned threads = 0,
                 const CancelCheck& cancel = {});

// For a flange solution of a continuous family (J1 and J4 coaxial, where
// q + t·(1, 0, 0, ±1, 0, 0) is one pose; or, with equal arm lengths, the arm
// folded onto the shoulder, where the elbow is free on a circle): the member
// within the limits, whole turns included, with the smallest largest-joint
// motion from `reference` (joints of the reference that are not finite are
// left out). None for a solution of no family, or when no member lies
// within the limits. Every member returned gives the solution's pose to 1e-9.
// Whether a flange solution is a member of such a family (cheap: a test of
// the arm's geometry, then one forward kinematics for the coaxial case).
bool arm_in_family(const Arm& arm, const JointVector& joints) noexcept;

std::optional<JointVector> arm_family_nearest(const Arm& arm, const Pose& flange_target, const JointVector& joints,
                                              const JointVector& reference);

// The solution with the smallest largest-joint motion from `reference`,
// measured without wrapping (first on ties), over the solutions of arm_ik
// and, for solutions of a continuous family, the member nearest the
// reference (arm_family_nearest). Joints of the reference that are not
// finite are left out, as ik_closest does; none when there is no solution.
// With a checker, only the solutions (and members) it finds clear count.
std::optional<IkSolution> arm_ik_closest(const Arm& arm, const Pose& world_tcp, const JointVector& reference,
                                         const CollisionChecker* checker = nullptr);

// Geometric Jacobian at the TCP in the world frame: rows 0-2 linear velocity
// (mm per rad), rows 3-5 angular velocity (rad per rad); column j is the
// derivative with respect to controller joint Jj in radians.
using Jacobian = std::array<std::array<double, 6>, 6>;
Jacobian arm_jacobian(const Arm& arm, const JointVector& joints) noexcept;

// Yoshikawa's sqrt(det(J·Jᵀ)) with the linear rows in metres.
double arm_manipulability(const Arm& arm, const JointVector& joints) noexcept;

// Poses read from files, CAD or cameras are rigid only to their precision.
// The rotation block R is accepted when its polar stretch P = Uᵀ·R (U the
// nearest rotation) is within kNearRotationTolerance of the identity and the
// last row within kLastRowTolerance of 0 0 0 1; it is then replaced by U.
// The stretch is ½(RᵀR − I) to first order, so rounding every entry to six
// decimals (at most 5e-7 each) always passes.
inline constexpr double kNearRotationTolerance = 1e-6;
inline constexpr double kLastRowTolerance = 1e-9;

struct NearRigidFailure {
    enum class Reason {
        NonFinite,
        Reflection,
        Rotation,
        LastRow,
    };
    Reason reason;
    double distance;  // largest entry of P − I, or of the last row's difference
};

// The rigid transform nearest a row-major 4x4 matrix, or why there is none.
std::optional<Pose> pose_from_near_rigid(const double* values16, NearRigidFailure& failure) noexcept;

// Why the matrix was refused, with the distance and tolerance to three
// digits: "the last row is 0.002 from 0 0 0 1 (tolerance 1e-09)".
std::string near_rigid_message(const NearRigidFailure& failure);

}  // namespace ortholink
