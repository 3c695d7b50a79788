#pragma once
// The robot's body, its tool and its cell as simple solids, and the checks
// that tell whether a joint configuration puts any of them through another.
//
// Every link is enveloped by a few capsules (a sphere is a capsule whose two
// ends coincide) that contain every point of its visual mesh, so a check on
// the envelopes never misses a contact of the meshes; it may report one the
// meshes would just avoid. Distances are lower bounds of the distances of
// the solids they envelope.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ortholink/batch.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {

struct Arm;

// The base and the six moving links; body i moves with frame i - 1 of
// fk_all (the base with the robot's base frame).
inline constexpr std::size_t kBodyCount = 7;

// ---------------------------------------------------------------------------
// Solids. Millimetres, in the frame of whatever holds them.

// The points within `radius` of the segment a-b; a sphere when a == b.
struct Capsule {
    Vec3 a{};
    Vec3 b{};
    double radius = 0.0;

    friend bool operator==(const Capsule&, const Capsule&) = default;
};

struct Sphere {
    Vec3 center{};
    double radius = 0.0;

    friend bool operator==(const Sphere&, const Sphere&) = default;
};

// A box centred on its pose, edges along the pose's axes, `size` the full
// edge lengths.
struct Box {
    Pose pose{};
    Vec3 size{};

    friend bool operator==(const Box&, const Box&) = default;
};

// A solid cylinder centred on its pose, its axis the pose's z.
struct Cylinder {
    Pose pose{};
    double radius = 0.0;
    double length = 0.0;

    friend bool operator==(const Cylinder&, const Cylinder&) = default;
};

// The solid side of a plane: every x with dot(normal, x) <= offset. The
// normal is a unit vector pointing out of the solid (a floor at height h is
// normal (0, 0, 1), offset h).
struct HalfSpace {
    Vec3 normal{0.0, 0.0, 1.0};
    double offset = 0.0;

    friend bool operator==(const HalfSpace&, const HalfSpace&) = default;
};

// The spatial index of a point cloud: built once, read by every query from
// any thread.
class PointIndex;

// Points, each a ball of `radius`. The index is built by make_point_cloud and
// shared by copies; two clouds are equal when their points and radius are.
// A checker builds the index of a cloud that has none or whose index holds
// another number of points; points changed in place after make_point_cloud
// need a new make_point_cloud (the index keeps the old ones).
struct PointCloud {
    std::vector<Vec3> points;
    double radius = 0.0;
    std::shared_ptr<const PointIndex> index;

    friend bool operator==(const PointCloud& a, const PointCloud& b) noexcept {
        return a.radius == b.radius && a.points == b.points;
    }
};

// Builds the index of `points` (none may be NaN or infinite).
PointCloud make_point_cloud(std::vector<Vec3> points, double radius);

// Solids grouped by kind; the tool's geometry (spheres, capsules and boxes in
// the flange frame) and the cell (everything, in the arm's world frame).
struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Capsule> capsules;
    std::vector<Box> boxes;
    std::vector<Cylinder> cylinders;
    std::vector<HalfSpace> half_spaces;
    std::vector<PointCloud> clouds;

    bool empty() const noexcept {
        return spheres.empty() && capsules.empty() && boxes.empty() && cylinders.empty() && half_spaces.empty() &&
               clouds.empty();
    }

    friend bool operator==(const Scene&, const Scene&) = default;
};

// Largest dimension or coordinate a solid may have, millimetres.
inline constexpr double kMaxGeometry = 1e7;

// Why a scene cannot be used (empty when it can), naming the solid:
// "boxes[2]: size must be finite and non-negative, got [1, -2, 3]". Radii and
// sizes must be finite, non-negative and within kMaxGeometry, coordinates
// finite and within it, normals non-zero (they are normalised by
// normalized_scene).
std::string scene_problem(const Scene& scene);

// The same, with the points of the clouds looked at only when `each_point`
// (make_point_cloud requires them finite; a million are slow to look at).
std::string scene_problem(const Scene& scene, bool each_point);

// The scene with every half-space normal scaled to unit length.
Scene normalized_scene(Scene scene);

// "Scene(spheres=1, capsules=0, boxes=2, cylinders=0, half_spaces=1, points=[1000000])".
std::string to_string(const Scene& scene);

// ---------------------------------------------------------------------------
// Link envelopes.

struct LinkEnvelope {
    std::vector<Capsule> capsules;  // in the link's frame

    friend bool operator==(const LinkEnvelope&, const LinkEnvelope&) = default;
};

using Envelopes = std::array<LinkEnvelope, kBodyCount>;

// The envelopes fitted to the embedded meshes of the CRX-5iA and CRX-10iA;
// for the other models, those of the nearest meshed model stretched to the
// model's link dimensions (estimates: no mesh of those models was checked).
Envelopes model_envelopes(CrxModel model);

// Envelopes for a robot of any dimensions, stretched from the meshed model
// nearest in size (an estimate, as for the models without meshes).
Envelopes estimated_envelopes(const Crx& robot);

// True when the model's envelopes were fitted to its own meshes.
bool envelopes_fitted(CrxModel model) noexcept;

// ---------------------------------------------------------------------------
// What is checked against what.

// A body of a check: a link, a solid of the tool, or a solid of the scene.
struct BodyId {
    enum class Kind : std::uint8_t { Link,
                                     Tool,
                                     Scene };
    enum class Shape : std::uint8_t { Capsule,
                                      Sphere,
                                      Box,
                                      Cylinder,
                                      HalfSpace,
                                      Points };
    Kind kind = Kind::Link;
    Shape shape = Shape::Capsule;
    std::uint32_t index = 0;  // link 0..6, or the solid's index within its kind

    friend bool operator==(const BodyId&, const BodyId&) = default;
};

// "base_link", "link_1" … "link_5", "flange" (the URDF's link names), or
// "tool.spheres[0]", "scene.boxes[2]", "scene.points[0]" and so on.
std::string body_name(BodyId body);

// The link pairs checked against each other: every pair but the six adjacent
// ones (0-1 … 5-6), which touch by design. Ordered most often colliding
// first, so that a colliding configuration is found early.
inline constexpr std::array<std::array<std::uint8_t, 2>, 15> kSelfPairs{{
    {0, 2},
    {0, 3},
    {1, 5},
    {0, 5},
    {1, 4},
    {1, 6},
    {2, 5},
    {2, 6},
    {0, 6},
    {0, 4},
    {1, 3},
    {2, 4},
    {3, 5},
    {3, 6},
    {4, 6},
}};

// Links the tool is checked against: all but the flange it is mounted on.
inline constexpr std::array<std::uint8_t, 6> kToolLinks{0, 1, 2, 3, 4, 5};

// Links the scene is checked against: all but the base, which stands on its
// mounting (a floor or a table under it would always touch it).
inline constexpr std::array<std::uint8_t, 6> kSceneLinks{1, 2, 3, 4, 5, 6};

// The smallest distance over the checked pairs and a pair that attains it.
// Negative when two solids overlap.
struct Clearance {
    double distance = 0.0;
    BodyId first{};
    BodyId second{};
};

// An arm with a scene, ready to answer many queries: the envelopes, the
// tool's solids and the scene's, flattened for speed. Holds a copy of the
// scene's point indexes, not of the arm.
class CollisionChecker {
public:
    // Throws std::invalid_argument naming the solid when the scene has a
    // scene_problem (the clouds' points aside; see PointCloud).
    CollisionChecker(const Arm& arm, const Scene& scene);
    explicit CollisionChecker(const Arm& arm);
    ~CollisionChecker();
    CollisionChecker(CollisionChecker&&) noexcept;
    CollisionChecker& operator=(CollisionChecker&&) noexcept;

    // True when some checked pair is at most `padding` apart; a NaN padding
    // (or joint) collides.
    bool collides(const JointVector& joints, double padding = 0.0) const noexcept;

    // out[r] = collides(joints with J6 = j6[r], padding), for the first
    // min(j6.size(), out.size()) turns: what does not move with J6 is
    // checked once.
    void collides_turned(const JointVector& joints, std::span<const double> j6, std::span<std::uint8_t> out,
                         double padding = 0.0) const noexcept;

    // The smallest distance of the checked pairs.
    Clearance clearance(const JointVector& joints) const noexcept;

    // How far any point of any link or of the tool can move, at most, per
    // radian of each joint (mm per radian). A straight joint-space move by
    // delta moves no point further than sum_j radii[j] * |delta_j|.
    const JointVector& motion_radii() const noexcept;

    // True unless the straight joint-space move from `a` to `b` keeps every
    // checked pair more than `padding` apart: configurations sampled so that
    // no point moves more than `resolution` mm between samples, each checked
    // with `resolution` more padding, so no contact between samples escapes;
    // where that padding meets a solid the stretch is halved and checked
    // again (kMoveHalvings times at most), so only a move that comes within
    // padding + resolution / 2^kMoveHalvings of a contact collides.
    bool move_collides(const JointVector& a, const JointVector& b, double padding = 0.0,
                       double resolution = kMoveResolution) const noexcept;

    // Millimetres any point may move between two checked samples of a move.
    static constexpr double kMoveResolution = 4.0;
    static constexpr int kMoveHalvings = 6;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// out[i] = checker.collides(joints[i], padding); threads and cancel as fk_many.
void collides_many(const CollisionChecker& checker, std::span<const JointVector> joints, std::span<std::uint8_t> out,
                   double padding, unsigned threads = 0, const CancelCheck& cancel = {});

// out[i] = checker.clearance(joints[i]).
void clearance_many(const CollisionChecker& checker, std::span<const JointVector> joints, std::span<Clearance> out,
                    unsigned threads = 0, const CancelCheck& cancel = {});

// ---------------------------------------------------------------------------
// Solutions that keep the arm clear.

// arm_ik_detailed without the solutions that collide (checker.collides with
// `padding`). Each flange solution is checked once: its whole-turn variants
// have its geometry.
std::vector<IkSolution> arm_ik_free(const Arm& arm, const CollisionChecker& checker, const Pose& world_tcp,
                                    double padding = 0.0);

// arm_ik_many without the solutions that collide; threads and cancel as
// arm_ik_many.
IkBatchResult arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                               double padding = 0.0, unsigned threads = 0, const CancelCheck& cancel = {});

// arm_ik_many_free handing the solutions to `out`, as ik_many does.
void arm_ik_many_free(const Arm& arm, const CollisionChecker& checker, std::span<const Pose> world_tcps,
                      IkBatchSink& out, double padding = 0.0, unsigned threads = 0, const CancelCheck& cancel = {});

}  // namespace ortholink
