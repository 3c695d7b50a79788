// The checker against a plain walk over every checked pair, on arms whose
// envelopes are known sticks (so the answers do not depend on the fitted
// data), plus the rules of what is checked against what, the move check,
// and collision-free ik and plans.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "collision/distance.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/path.hpp"

namespace ortholink {
namespace {

using collision::segment_segment_distance;

Vec3 place(const Pose& pose, const Vec3& p) {
    const Vec3 r = rotate(pose.q, p);
    return Vec3{r[0] + pose.t[0], r[1] + pose.t[1], r[2] + pose.t[2]};
}

// Each link a capsule along the arm's centre line, thick enough to make
// folded poses collide: base a pillar, turret to flange sticks.
Arm stick_arm() {
    Arm arm = Arm::from_model(CrxModel::Crx10iA);
    const Crx& r = arm.robot;
    arm.envelopes[0].capsules = {Capsule{{0, 0, -245}, {0, 0, -200}, 90}};
    arm.envelopes[1].capsules = {Capsule{{0, 0, -100}, {0, 0, 0}, 80}};
    arm.envelopes[2].capsules = {Capsule{{0, 0, 0}, {0, 0, r.z1}, 70}};
    arm.envelopes[3].capsules = {Capsule{{0, 0, 0}, {0, 0, 0}, 75}};
    arm.envelopes[4].capsules = {Capsule{{160, 0, 0}, {r.x1 - 80, -r.y1, 0}, 55}, Capsule{{r.x1, -r.y1, 0}, {r.x1, -r.y1, 0}, 60}};
    arm.envelopes[5].capsules = {Capsule{{0, 0, 0}, {r.x2 - 100, 0, 0}, 50}};
    arm.envelopes[6].capsules = {Capsule{{0, 0, 0}, {0, 0, 0}, 45}};
    return arm;
}

std::vector<JointVector> random_rows(const Arm& arm, std::size_t count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<JointVector> rows;
    while (rows.size() < count) {
        JointVector q;
        for (std::size_t j = 0; j < 6; ++j) {
            q[j] = std::uniform_real_distribution<double>(arm.lower[j], arm.upper[j])(rng);
        }
        if (arm_within_limits(arm, q)) {
            rows.push_back(q);
        }
    }
    return rows;
}

// The smallest link-link distance over the checked pairs, by brute force.
double brute_clearance(const Arm& arm, const JointVector& q, const Scene& scene = {}) {
    const auto frames = fk_all(arm.robot, q);
    std::array<std::vector<Capsule>, kBodyCount> posed;
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        const Pose frame = k == 0 ? Pose{} : frames[k - 1];
        for (const Capsule& c : arm.envelopes[k].capsules) {
            posed[k].push_back(Capsule{place(frame, c.a), place(frame, c.b), c.radius});
        }
    }
    double best = std::numeric_limits<double>::infinity();
    for (const auto& pair : kSelfPairs) {
        for (const Capsule& a : posed[pair[0]]) {
            for (const Capsule& b : posed[pair[1]]) {
                best = std::min(best, segment_segment_distance(a.a, a.b, b.a, b.b) - a.radius - b.radius);
            }
        }
    }
    for (const std::uint8_t link : kSceneLinks) {
        for (const Capsule& a : posed[link]) {
            for (const Sphere& s : scene.spheres) {
                const Vec3 c = place(inverse(arm.base), s.center);
                best = std::min(best, collision::point_segment_distance(c, a.a, a.b) - a.radius - s.radius);
            }
        }
    }
    return best;
}

TEST(CollisionCheck, MatchesEveryPairWalkedByHand) {
    const Arm arm = stick_arm();
    const CollisionChecker checker(arm);
    int colliding = 0;
    for (const JointVector& q : random_rows(arm, 3000, 1)) {
        const double expected = brute_clearance(arm, q);
        const Clearance got = checker.clearance(q);
        ASSERT_NEAR(got.distance, expected, 1e-9);
        ASSERT_EQ(checker.collides(q), expected <= 0.0);
        ASSERT_EQ(checker.collides(q, 25.0), expected <= 25.0);
        colliding += expected <= 0.0 ? 1 : 0;
    }
    // The sticks collide in a good share of poses, as the real arm does.
    EXPECT_GT(colliding, 300);
    EXPECT_LT(colliding, 2700);
}

// Every model's own envelopes, fitted or estimated, leave the zero pose clear
// (as the real arms are) and the arm free in most of its joint range, as the
// fitted CRX-10iA is (about 29% of random rows collide). Estimates that only
// grew the radii once put the base into the upper arm at every pose.
TEST(CollisionCheck, EveryModelIsClearAtZeroAndMostlyFree) {
    for (const CrxModel model : {CrxModel::Crx3iA, CrxModel::Crx5iA, CrxModel::Crx10iA, CrxModel::Crx10iAL,
                                 CrxModel::Crx20iAL, CrxModel::Crx30iA}) {
        const Arm arm = Arm::from_model(model);
        const CollisionChecker checker(arm);
        EXPECT_GT(checker.clearance(JointVector{}).distance, 1.0) << model_name(model);
        int colliding = 0;
        const std::vector<JointVector> rows = random_rows(arm, 4000, 11);
        for (const JointVector& q : rows) {
            colliding += checker.collides(q) ? 1 : 0;
        }
        EXPECT_GT(colliding, 400) << model_name(model);
        EXPECT_LT(colliding, 2000) << model_name(model);
    }
    // Made-up robots: twice the CRX-10iA, and proportions far from both
    // meshed models (wrists much thinner or thicker than the lengths
    // suggest), whose estimates are thinned until the zero pose is clear.
    for (const Crx& robot : {Crx::from_params(1080.0, 1080.0, 320.0, 300.0), Crx::from_params(540.0, 540.0, 160.0, 225.0),
                             Crx::from_params(287.0, 301.0, 101.5, 91.0), Crx::from_params(540.0, 540.0, 112.0, 105.0)}) {
        EXPECT_GE(CollisionChecker(Arm::from_robot(robot)).clearance(JointVector{}).distance, 1.0 - 1e-9)
            << robot.z1 << " " << robot.x1 << " " << robot.x2 << " " << robot.y1;
    }
}

// A much longer forearm pulls the stretched elbow and forearm capsules apart;
// they are joined again, so nothing on the forearm axis goes unseen.
TEST(CollisionCheck, StretchedForearmsHaveNoHoles) {
    for (const Crx& robot : {Crx::from_params(540.0, 1500.0, 160.0, 150.0), Crx::from_params(1100.0, 1000.0, 160.0, 150.0),
                             Crx::from_params(540.0, 2500.0, 160.0, 150.0)}) {
        const Arm arm = Arm::from_robot(robot);
        const auto frames = fk_all(robot, JointVector{});
        for (double x = 0.0; x <= robot.x1; x += 10.0) {
            Scene ball;
            ball.spheres = {Sphere{place(frames[2], Vec3{x, 0.0, 0.0}), 5.0}};
            ASSERT_TRUE(CollisionChecker(arm, ball).collides(JointVector{})) << robot.x1 << " at " << x;
        }
    }
}

// The yes/no walk takes shortcuts the clearance walk does not (a table of
// J2 bins where base and upper arm surely overlap, lazily posed links,
// squared distances): on the fitted envelopes both must agree everywhere,
// J2 swept across the bins' edges included.
TEST(CollisionCheck, ShortcutsAgreeWithTheClearance) {
    for (const CrxModel model : {CrxModel::Crx5iA, CrxModel::Crx10iA, CrxModel::Crx30iA}) {
        const Arm arm = Arm::from_model(model);
        const CollisionChecker checker(arm);
        std::vector<JointVector> rows = random_rows(arm, 4000, 3);
        std::mt19937_64 rng(4);
        for (double j2 = arm.lower[1]; j2 <= arm.upper[1]; j2 += 0.0137) {
            JointVector q = rows[rng() % rows.size()];
            q[1] = j2;
            rows.push_back(q);
        }
        int colliding = 0;
        for (const JointVector& q : rows) {
            const double d = checker.clearance(q).distance;
            ASSERT_EQ(checker.collides(q), d <= 0.0) << model_name(model) << " J2 " << q[1];
            ASSERT_EQ(checker.collides(q, 10.0), d <= 10.0) << model_name(model) << " J2 " << q[1];
            colliding += d <= 0.0 ? 1 : 0;
        }
        EXPECT_GT(colliding, 1000) << model_name(model);
        // Out of the limits the table has no say; the walk still answers.
        JointVector beyond{0.0, arm.upper[1] + 5.0, 0.0, 0.0, 0.0, 0.0};
        EXPECT_EQ(checker.collides(beyond), checker.clearance(beyond).distance <= 0.0);
    }
}

// Turns of J6 checked together give each turn's own answer: with the fitted
// envelopes, a tool whose solids stand off the flange axis, a scene the
// flange and tool reach into, and padding; J2 swept so that the table of
// J2 bins is in play.
// A configuration the chain cannot place (a NaN joint, or one so large that
// the rotations overflow) is never clear: it collides, turn by turn too, and
// its clearance is NaN rather than the infinity of no pair measured.
TEST(CollisionCheck, UnplaceableJointsAreNeverClear) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    Scene scene;
    scene.boxes = {Box{Pose{Quat{}, Vec3{620, 0, -95}}, Vec3{300, 500, 300}}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const CollisionChecker& checker : {CollisionChecker(arm), CollisionChecker(arm, scene)}) {
        for (const JointVector& q : {JointVector{nan, 0, 0, 0, 0, 0}, JointVector{0, 0, 0, 0, 0, nan},
                                     JointVector{1e300, 1e300, 1e300, 1e300, 1e300, 1e300}}) {
            EXPECT_TRUE(checker.collides(q, 0.0));
            EXPECT_TRUE(std::isnan(checker.clearance(q).distance));
        }
        const JointVector clear{0, 0, 0, 0, -90, 0};
        ASSERT_FALSE(checker.collides(clear, 0.0));
        const std::vector<double> turns{0.0, nan, 90.0};
        std::vector<std::uint8_t> out(turns.size());
        checker.collides_turned(clear, turns, out, 0.0);
        EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 1, 0}));
        checker.collides_turned(JointVector{0, nan, 0, 0, -90, 0}, turns, out, 0.0);
        EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 1, 1}));
    }
}

TEST(CollisionCheck, TurnsOfJ6AgreeWithSingleChecks) {
    Arm arm = Arm::from_model(CrxModel::Crx10iA);
    arm.tool_geometry.capsules = {Capsule{{40, 0, 0}, {120, 0, 180}, 25}};
    arm.tool_geometry.boxes = {Box{Pose{Quat{}, Vec3{-60, 30, 90}}, Vec3{50, 40, 120}}};
    Scene scene;
    scene.boxes = {Box{Pose{Quat{}, Vec3{650, 0, 200}}, Vec3{300, 500, 80}}};
    scene.half_spaces = {HalfSpace{{0, 0, 1}, -50.0}};
    std::vector<double> j6;
    for (double r = -180.0; r < 180.0; r += 10.0) {
        j6.push_back(r);
    }
    std::vector<std::uint8_t> together(j6.size());
    long hits = 0;
    long mixed = 0;  // rows where some turns collide and others do not
    for (const Scene& cell : {Scene{}, scene}) {
        const CollisionChecker checker(arm, cell);
        for (const JointVector& q : random_rows(arm, 1500, 21)) {
            for (const double padding : {0.0, 15.0}) {
                checker.collides_turned(q, j6, together, padding);
                int row_hits = 0;
                for (std::size_t r = 0; r < j6.size(); ++r) {
                    JointVector turned = q;
                    turned[5] = j6[r];
                    ASSERT_EQ(together[r] != 0, checker.collides(turned, padding)) << q[0] << " " << q[1] << " " << j6[r];
                    row_hits += together[r];
                }
                hits += row_hits;
                mixed += row_hits > 0 && row_hits < static_cast<int>(j6.size()) ? 1 : 0;
            }
        }
    }
    EXPECT_GT(hits, 10000);
    EXPECT_GT(mixed, 100);
    // Fewer outputs than turns: only as many are written.
    const CollisionChecker checker(arm);
    std::vector<std::uint8_t> two{7, 7};
    checker.collides_turned(JointVector{}, j6, two);
    EXPECT_NE(two[0], 7);
    checker.collides_turned(JointVector{}, {}, two);
}

TEST(CollisionCheck, NeighboursAreNotChecked) {
    Arm arm = stick_arm();
    ASSERT_FALSE(CollisionChecker(arm).collides(JointVector{}));
    // One huge sphere: only its non-adjacent pairs may report.
    arm.envelopes[3].capsules = {Capsule{{0, 0, 0}, {0, 0, 0}, 5000.0}};  // overlaps everything
    const CollisionChecker checker(arm);
    const Clearance c = checker.clearance(JointVector{});
    EXPECT_LT(c.distance, 0.0);
    EXPECT_EQ(c.first.kind, BodyId::Kind::Link);
    const auto a = c.first.index;
    const auto b = c.second.index;
    EXPECT_TRUE(a == 3 || b == 3);
    EXPECT_NE(a > b ? a - b : b - a, 1u);
    // With that link empty nothing touches.
    arm.envelopes[3].capsules.clear();
    EXPECT_FALSE(CollisionChecker(arm).collides(JointVector{}));
}

TEST(CollisionCheck, ToolIsCheckedAgainstEveryLinkButTheFlange) {
    Arm arm = stick_arm();
    arm.tool_geometry.spheres = {Sphere{{0, 0, 0}, 30.0}};  // inside the flange's own envelope
    const JointVector folded{0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(CollisionChecker(arm).collides(folded));
    arm.tool_geometry.boxes = {Box{Pose{Quat{}, Vec3{0, 0, -200}}, Vec3{20, 20, 20}}};  // back into the wrist
    const Clearance c = CollisionChecker(arm).clearance(folded);
    EXPECT_LT(c.distance, 0.0);
    EXPECT_EQ(body_name(c.second), "tool.boxes[0]");
    EXPECT_NE(body_name(c.first), "flange");
}

TEST(CollisionCheck, SceneIsInTheWorldFrame) {
    Arm arm = stick_arm();
    Scene scene;
    scene.spheres = {Sphere{{900, 300, 400}, 120.0}, Sphere{{-500, -800, 1200}, 200.0}};
    scene.boxes = {Box{Pose{Quat{}, Vec3{600, -600, 300}}, Vec3{300, 200, 500}}};
    scene.half_spaces = {HalfSpace{{0, 0, 1}, -150.0}};
    const auto rows = random_rows(arm, 2000, 2);
    std::vector<std::uint8_t> before(rows.size());
    collides_many(CollisionChecker(arm, scene), rows, before, 0.0);
    // Moving the robot and its cell together changes nothing.
    const Pose move{Quat{0.0, 0.0, std::sin(0.35), std::cos(0.35)}, Vec3{1000, -2000, 300}};
    arm.base = move;
    Scene moved = scene;
    for (Sphere& s : moved.spheres) s.center = place(move, s.center);
    for (Box& b : moved.boxes) b.pose = compose(move, b.pose);
    for (HalfSpace& h : moved.half_spaces) {
        h.normal = rotate(move.q, h.normal);
        h.offset += dot(h.normal, move.t);
    }
    std::vector<std::uint8_t> after(rows.size());
    collides_many(CollisionChecker(arm, moved), rows, after, 0.0, 2);
    EXPECT_EQ(before, after);
    int hits = 0;
    for (auto b : before) hits += b;
    EXPECT_GT(hits, 100);
    // The spheres alone against the hand walk.
    Scene spheres;
    spheres.spheres = moved.spheres;
    const CollisionChecker checker(arm, spheres);
    for (std::size_t i = 0; i < 300; ++i) {
        ASSERT_NEAR(checker.clearance(rows[i]).distance, brute_clearance(arm, rows[i], spheres), 1e-6);
    }
}

TEST(CollisionCheck, PointCloudAnswersAgreeWithItsClearance) {
    Arm arm = stick_arm();
    arm.tool_geometry.boxes = {Box{Pose{Quat{}, Vec3{0, 0, 80}}, Vec3{60, 60, 160}}};
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> u(-900, 900);
    std::vector<Vec3> points(5000);  // a cluttered shelf on one side
    for (Vec3& p : points) p = Vec3{600 + u(rng) / 3, u(rng), 600 + u(rng) / 3};
    Scene scene;
    scene.clouds.push_back(make_point_cloud(std::move(points), 3.0));
    const CollisionChecker checker(arm, scene);
    int hits = 0;
    for (const JointVector& q : random_rows(arm, 2000, 9)) {
        const double d = checker.clearance(q).distance;
        ASSERT_EQ(checker.collides(q), d <= 0.0);
        ASSERT_EQ(checker.collides(q, 30.0), d <= 30.0);
        hits += d <= 0.0 ? 1 : 0;
    }
    EXPECT_GT(hits, 100);
    EXPECT_LT(hits, 1990);
}

// What a C++ caller can hand the checker without the helpers: a cloud as a
// plain struct or grown after its index, a NaN padding, a broken solid. None
// may answer "clear" for what it cannot see.
TEST(CollisionCheck, HandMadeCloudsNaNPaddingAndBrokenSolids) {
    const Arm arm = stick_arm();
    const JointVector home{};
    const Vec3 on_arm = fk_all(arm.robot, home)[2].t;
    Scene indexed;
    indexed.clouds.push_back(make_point_cloud({on_arm}, 5.0));
    Scene bare;
    bare.clouds.push_back(PointCloud{{on_arm}, 5.0, {}});
    Scene grown;
    grown.clouds.push_back(make_point_cloud({Vec3{5000, 5000, 5000}}, 5.0));
    grown.clouds[0].points.push_back(on_arm);
    for (const Scene* scene : {&indexed, &bare, &grown}) {
        const CollisionChecker checker(arm, *scene);
        EXPECT_TRUE(checker.collides(home));
        EXPECT_LT(checker.clearance(home).distance, 0.0);
    }
    Scene unplaceable = bare;
    unplaceable.clouds[0].points.push_back(Vec3{std::nan(""), 0, 0});
    EXPECT_THROW(CollisionChecker(arm, unplaceable), std::invalid_argument);

    const CollisionChecker checker(arm, indexed);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(checker.collides(JointVector{90, 0, 0, 0, 0, 0}, nan));
    EXPECT_TRUE(checker.move_collides(JointVector{90, 0, 0, 0, 0, 0}, JointVector{100, 0, 0, 0, 0, 0}, nan));
    std::array<std::uint8_t, 2> turned{};
    checker.collides_turned(JointVector{90, 0, 0, 0, 0, 0}, std::array<double, 2>{0.0, 10.0}, turned, nan);
    EXPECT_EQ(turned, (std::array<std::uint8_t, 2>{1, 1}));

    Scene broken;
    broken.spheres = {Sphere{on_arm, nan}};
    try {
        const CollisionChecker refused(arm, broken);
        ADD_FAILURE() << "a NaN radius was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), ("the scene cannot be checked: " + scene_problem(broken)).c_str());
    }
}

TEST(CollisionCheck, TheBaseIsNotCheckedAgainstTheCell) {
    const Arm arm = stick_arm();
    Scene floor;
    floor.half_spaces = {HalfSpace{{0, 0, 1}, -200.0}};  // cuts the base pillar
    EXPECT_FALSE(CollisionChecker(arm, floor).collides(JointVector{}));
}

TEST(CollisionCheck, MotionRadiiBoundEveryPointsPath) {
    const Arm arm = stick_arm();
    const CollisionChecker checker(arm);
    const JointVector& radii = checker.motion_radii();
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> step(-20.0, 20.0);
    for (const JointVector& a : random_rows(arm, 500, 4)) {
        JointVector b = a;
        double bound = 0.0;
        for (std::size_t j = 0; j < 6; ++j) {
            b[j] += step(rng);
            bound += radii[j] * std::fabs(b[j] - a[j]) * kDegToRad;
        }
        // The straight-line displacement of every capsule end is at most its path.
        const auto fa = fk_all(arm.robot, a);
        const auto fb = fk_all(arm.robot, b);
        for (std::size_t k = 1; k < kBodyCount; ++k) {
            for (const Capsule& c : arm.envelopes[k].capsules) {
                for (const Vec3& p : {c.a, c.b}) {
                    const Vec3 pa = place(fa[k - 1], p);
                    const Vec3 pb = place(fb[k - 1], p);
                    const Vec3 d{pb[0] - pa[0], pb[1] - pa[1], pb[2] - pa[2]};
                    ASSERT_LE(std::sqrt(dot(d, d)), bound + 1e-9);
                }
            }
        }
    }
}

TEST(CollisionCheck, MovesReportEveryContactOnTheWay) {
    const Arm arm = stick_arm();
    Scene scene;
    scene.spheres = {Sphere{{700, 0, 700}, 100.0}};
    const CollisionChecker checker(arm, scene);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> step(-25.0, 25.0);
    int touching = 0;
    for (const JointVector& a : random_rows(arm, 1500, 6)) {
        JointVector b = a;
        for (double& v : b) v += step(rng);
        bool any = false;
        for (int i = 0; i <= 500 && !any; ++i) {
            JointVector q;
            for (std::size_t j = 0; j < 6; ++j) q[j] = a[j] + (b[j] - a[j]) * i / 500.0;
            any = checker.collides(q);
        }
        if (any) {
            ++touching;
            ASSERT_TRUE(checker.move_collides(a, b));
        }
    }
    EXPECT_GT(touching, 100);
    // A clear, short move away from everything passes.
    EXPECT_FALSE(checker.move_collides(JointVector{}, JointVector{1, 1, 1, 1, 1, 1}));

    // Moves that pass the sphere closer than the 4 mm sampling but clear of it
    // (dense clearance from 0.2 to 3 mm) are clear: the pieces whose padding
    // meets the sphere are halved until it does not. Closer than the finest
    // halving, or within a padding, they collide.
    int near_misses = 0;
    for (const JointVector& a : random_rows(arm, 1200, 16)) {
        JointVector b = a;
        for (double& v : b) v += step(rng);
        double least = std::numeric_limits<double>::infinity();
        for (int i = 0; i <= 1000; ++i) {
            JointVector q;
            for (std::size_t j = 0; j < 6; ++j) q[j] = a[j] + (b[j] - a[j]) * i / 1000.0;
            least = std::min(least, checker.clearance(q).distance);
        }
        if (least > 0.2 && least < 3.0) {
            ++near_misses;
            EXPECT_FALSE(checker.move_collides(a, b)) << least;
            EXPECT_TRUE(checker.move_collides(a, b, least + 0.01)) << least;
        }
    }
    EXPECT_GT(near_misses, 5);
}

TEST(CollisionFreeIk, KeepsExactlyTheClearSolutions) {
    const Arm arm = stick_arm();
    const CollisionChecker checker(arm);
    std::vector<Pose> targets;
    for (const JointVector& q : random_rows(arm, 300, 7)) {
        targets.push_back(arm_fk(arm, q));
    }
    const IkBatchResult batch = arm_ik_many_free(arm, checker, targets, 0.0, 2);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        std::vector<IkSolution> expected;
        for (const IkSolution& s : arm_ik_detailed(arm, targets[i])) {
            if (!checker.collides(s.joints)) {
                expected.push_back(s);
            }
        }
        const auto got = arm_ik_free(arm, checker, targets[i]);
        ASSERT_EQ(got.size(), expected.size());
        ASSERT_EQ(static_cast<std::size_t>(batch.offsets[i + 1] - batch.offsets[i]), expected.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].joints, expected[k].joints);
            EXPECT_EQ(batch.solutions[static_cast<std::size_t>(batch.offsets[i]) + k].joints, expected[k].joints);
        }
    }
}

TEST(CollisionFreePlan, EveryContinuousMoveIsClear) {
    const Arm arm = stick_arm();
    Scene scene;
    scene.spheres = {Sphere{{500, 350, 900}, 150.0}};
    const CollisionChecker checker(arm, scene);
    const JointVector start{0, 10, -10, 0, -80, 0};
    const Pose a = arm_fk(arm, start);
    std::vector<Pose> line;
    for (int i = 0; i < 300; ++i) {
        Pose p = a;
        p.t[1] += 2.0 * i;
        line.push_back(p);
    }
    const PathLayers layers = path_layers_free(arm, checker, line);
    const PathPlan plan = plan_over_layers_free(arm, layers, start, 10.0, checker);
    const PathPlan unchecked = plan_over_layers(arm, path_layers(arm, line), start, 10.0);
    const JointVector* previous = &start;
    std::size_t b = 0;
    int moves = 0;
    for (std::size_t row = 0; row < plan.joints.size(); ++row) {
        if (std::isnan(plan.joints[row][0])) continue;
        EXPECT_FALSE(checker.collides(plan.joints[row]));
        const bool is_break = b < plan.breaks.size() && plan.breaks[b] == static_cast<std::int64_t>(row);
        b += is_break ? 1 : 0;
        if (!is_break) {
            EXPECT_FALSE(checker.move_collides(*previous, plan.joints[row])) << row;
            ++moves;
        }
        previous = &plan.joints[row];
    }
    EXPECT_GT(moves, 200);
    EXPECT_EQ(unchecked.joints.size(), plan.joints.size());
}

// The approach from start is checked: of two first rows with equally fast
// plans, the one whose approach runs through the box loses.
TEST(CollisionFreePlan, ApproachThatCollidesLosesToAClearOne) {
    const Arm arm = Arm::from_model(CrxModel::Crx10iA);
    Scene scene;
    scene.boxes = {Box{Pose{Quat{}, Vec3{510, -8, 957}}, Vec3{250, 250, 250}}};
    const CollisionChecker checker(arm, scene);
    const JointVector start{89.0, -55.6, 99.6, 96.1, -86.0, 95.6};
    ASSERT_FALSE(checker.collides(start));
    const Pose a = arm_fk(arm, JointVector{0, 10, -10, 0, -80, 0});
    std::vector<Pose> line;
    for (int i = 0; i < 200; ++i) {
        Pose p = a;
        p.t[1] += 600.0 * i / 199.0;
        line.push_back(p);
    }
    const PathPlan unchecked = plan_over_layers(arm, path_layers(arm, line), start, 10.0);
    ASSERT_TRUE(checker.move_collides(start, unchecked.joints[0]));
    const PathPlan plan = plan_over_layers_free(arm, path_layers_free(arm, checker, line), start, 10.0, checker);
    EXPECT_FALSE(checker.move_collides(start, plan.joints[0]));
    EXPECT_TRUE(plan.breaks.empty());
    EXPECT_NEAR(plan.duration, unchecked.duration, 1e-9 * unchecked.duration);
    ASSERT_TRUE(plan.approach && unchecked.approach);
    EXPECT_GT(plan.approach->travel, unchecked.approach->travel);
}

}  // namespace
}  // namespace ortholink
