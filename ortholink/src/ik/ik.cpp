#include "ik/ik.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "ik/axis_cluster.hpp"
#include "ik/candidates.hpp"
#include "ik/crowded_scan.hpp"
#include "ik/joints.hpp"
#include "ik/plane_sweep.hpp"
#include "ik/polish.hpp"
#include "ik/setup.hpp"
#include "ortholink/fk.hpp"

namespace ortholink {
namespace {

// Room for the usual largest count of solutions.
constexpr std::size_t kSolutionReserve = 16;

// joint_distance(a, b) < limit, without the terms after the first that
// reaches the limit.
bool closer_than(const JointVector& a, const JointVector& b, double limit) noexcept {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::fabs(solver::wrap_angle((a[i] - b[i]) * kDegToRad)) >= limit) {
            return false;
        }
    }
    return true;
}

// True when an earlier candidate has exactly the same elbow and wrist point.
bool repeats_earlier(const solver::Candidates& candidates, std::size_t i) noexcept {
    for (std::size_t k = 0; k < i; ++k) {
        if (candidates[k].o3 == candidates[i].o3 && candidates[k].o4 == candidates[i].o4) {
            return true;
        }
    }
    return false;
}

// A refined vector rejected with a small pose error, kept for a second try.
struct Rescue {
    JointVector joints;
    double theta;
    SolutionKind kind;
};

// Relative to z1: how close o4 must be to the J1 axis for an AxisDegenerate
// solution to lie on it. Rounding leaves it within about 1e-12·z1 there;
// the axis angles take points within 1e-6·z1 as on the axis, and polishing
// takes their vectors onto solutions that can lie anywhere in between.
constexpr double kTrulyOnAxisRelative = 1e-9;
// Relative to z1: o4 this close to the origin of an equal-arm robot leaves
// the elbow free on its circle to well within the acceptance threshold.
// Refinement there stalls short of the members (the Jacobian loses rank in
// several directions at once), so the probe below cannot tell.
constexpr double kAtOriginRelative = 1e-8;

// How far (degrees) a SingularFamily solution is moved along its family to
// see that the target keeps it (farther when refinement stalls at a member:
// the representative can lie 1e-7 mm off the family's exact place, and the
// Jacobian loses rank there), and how far (radians) from the start the
// refined member must stay, and how near the moved start.
constexpr std::array<double, 3> kFamilyProbes{5.0, 30.0, 90.0};
constexpr double kFamilyKept = 2.5 * kDegToRad;
constexpr double kFamilySlack = 0.01 * kDegToRad;

// True when `start` refines to a solution at least kFamilyKept from q and
// near the start (not some other solution of the target).
bool member_solves(const Crx& robot, const JointVector& start, const JointVector& q,
                   const solver::PreparedTarget& prepared, solver::JointRotations& rotations) noexcept {
    solver::PolishTrace trace;
    JointVector member = solver::polish_joints(robot, start, prepared, rotations, &trace);
    double error = trace.final_error;
    if (error > kAcceptResidual && error <= solver::kRescueError) {
        // Where the Jacobian loses rank ordinary steps stall short.
        double sharpened = 0.0;
        member = solver::sharpen_joints(robot, member, prepared, rotations, sharpened);
        error = sharpened;
    }
    return error <= kAcceptResidual && joint_distance(member, q) >= kFamilyKept &&
           joint_distance(member, start) <= kFamilySlack;
}

// True when the kind of a solution holds: o4 on the J1 axis for
// AxisDegenerate; for SingularFamily a family through it, J1 and J4 coaxial
// or (on an equal-arm robot with o4 at the origin) the elbow turned about
// the J5 axis, whose member a few degrees away still solves the target once
// the other joints are refined. Next to a family, where the axis angles see
// one within their tolerance, the members fall back onto the solution or fail.
bool kind_holds(const solver::Setup& setup, const IkSolution& s, const solver::PreparedTarget& prepared,
                solver::JointRotations& rotations) noexcept {
    if (s.kind == SolutionKind::Regular) {
        return true;
    }
    const Crx& robot = *setup.robot;
    const std::array<Pose, 6> frames = fk_all(robot, s.joints);
    const Vec3 d = rotate(frames[4].q, Vec3{0.0, 1.0, 0.0});
    const Vec3 o4{frames[4].t[0] + robot.y1 * d[0], frames[4].t[1] + robot.y1 * d[1], frames[4].t[2] + robot.y1 * d[2]};
    if (s.kind == SolutionKind::AxisDegenerate) {
        return std::hypot(o4[0], o4[1]) <= kTrulyOnAxisRelative * robot.z1;
    }
    const Vec3& o3 = frames[2].t;
    const double tol = solver::kOnAxisRelative * robot.z1;
    const bool origin = std::fabs(robot.z1 - robot.x1) <= tol && std::sqrt(dot(o4, o4)) < tol;
    if (origin && std::sqrt(dot(o4, o4)) <= kAtOriginRelative * robot.z1) {
        return true;
    }
    for (const double probe : kFamilyProbes) {
        for (const double sign : {1.0, -1.0}) {
            JointVector start = s.joints;
            start[0] += probe;
            start[3] += sign * probe;
            if (member_solves(robot, start, s.joints, prepared, rotations)) {
                return true;
            }
        }
        if (!origin) {
            continue;
        }
        // The elbow turned about d (through the origin) by the probe angle.
        double sn = 0.0;
        double cs = 0.0;
        ::sincos(probe * kDegToRad, &sn, &cs);
        const Vec3 across = cross(d, o3);
        const double along = dot(d, o3) * (1.0 - cs);
        const Vec3 turned{o3[0] * cs + across[0] * sn + d[0] * along, o3[1] * cs + across[1] * sn + d[1] * along,
                          o3[2] * cs + across[2] * sn + d[2] * along};
        const auto [primary, mirror] = solver::joints_from_points(setup, turned, o4);
        if (member_solves(robot, primary, s.joints, prepared, rotations) ||
            member_solves(robot, mirror, s.joints, prepared, rotations)) {
            return true;
        }
    }
    return false;
}

// Relative to z1: a regular candidate whose wrist point is this close to the
// J1 axis is where the roots of the regular residual crowd (both of its
// branches were refined) and can lose solutions.
constexpr double kCrowdedRelative = 5e-4;

// The elbow of branch s in the plane of the J1 axis and o4, for an o4 off
// the axis by however little; nothing where the elbow circle misses by more
// than the unrefined roots' allowance.
std::optional<Vec3> in_plane_elbow(const Crx& robot, const Vec3& o4, double s) noexcept {
    const double rho_h = std::hypot(o4[0], o4[1]);
    const double l = std::sqrt(o4[0] * o4[0] + o4[1] * o4[1] + o4[2] * o4[2]);
    if (!(rho_h > 0.0) || !(l >= solver::kOnAxisRelative * robot.z1)) {
        return std::nullopt;
    }
    const double z1_sq = robot.z1 * robot.z1;
    const double mu = ((z1_sq - robot.x1 * robot.x1) + l * l) / (2.0 * l);
    const double q = z1_sq - mu * mu;
    if (!(q >= -1e-6 * z1_sq)) {
        return std::nullopt;
    }
    return solver::branch_elbow(o4, rho_h, l, mu, std::sqrt(std::max(q, 0.0)), s);
}

// Relative to z1: the stretch scanned where regular roots crowd next to
// the base origin (o4 this close to it, and its angular half-width this over
// y1).
constexpr double kScanCrowdRelative = 0.01;
// Roots closer than this (radians) are one.
constexpr double kDistinctRoots = 1e-9;

bool near_axis(const solver::Candidate& c, double limit) noexcept {
    return c.kind == SolutionKind::Regular && std::hypot(c.o4[0], c.o4[1]) < limit;
}

}  // namespace

double joint_distance(const JointVector& a, const JointVector& b) noexcept {
    double largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = std::fabs(solver::wrap_angle((a[i] - b[i]) * kDegToRad));
        if (d > largest) {
            largest = d;
        }
    }
    return largest;
}

bool solver::offer_solution(std::vector<IkSolution>& solutions, const JointVector& q, double error, double theta,
                            SolutionKind kind) {
    // The pose error skips NaN entries, so a vector with a NaN or infinite
    // joint can score 0 against a target it does not reach.
    if (error > kAcceptResidual || !std::all_of(q.begin(), q.end(), [](double v) { return std::isfinite(v); })) {
        return false;
    }
    for (const IkSolution& kept : solutions) {
        if (closer_than(q, kept.joints, kDuplicateDistance)) {
            return false;  // the one found first stays
        }
    }
    solutions.push_back(IkSolution{q, error, theta, kind});
    return true;
}

std::vector<IkSolution> ik(const Crx& robot, const Pose& target) {
    return solver::solve(robot, target, false);
}

std::vector<IkSolution> solver::ik_merged(const Crx& robot, const Pose& target) {
    return solve(robot, target, true);
}

std::vector<IkSolution> solver::solve(const Crx& robot, const Pose& target, bool merge_axis) {
    std::vector<IkSolution> solutions;
    solutions.reserve(kSolutionReserve);
    const solver::Setup setup(robot, target);
    solver::Candidates extras;
    solver::AxisThetas axis;
    // Built only when merging: ordinary calls pay nothing for it.
    std::optional<solver::AxisClusters> clusters;
    if (merge_axis) {
        clusters.emplace();
    }
    const solver::Candidates candidates =
        solver::candidates(setup, extras, axis, clusters ? &*clusters : nullptr);
    const solver::PreparedTarget prepared = solver::prepare_target(target);
    solver::JointRotations rotations;
    // Left uninitialised: ordinary targets never fill it, so they pay nothing.
    std::array<Rescue, 2 * solver::kMaxCandidates> rescues;
    std::size_t rescue_count = 0;
    // Candidates of the axis angles that lie on no family, or neither of
    // whose vectors reached the target, in candidate order.
    std::array<const solver::Candidate*, solver::kMaxCandidates> unmet_axis;
    std::size_t unmet_axis_count = 0;
    const double on_axis_sq = solver::kOnAxisRelative * robot.z1 * (solver::kOnAxisRelative * robot.z1);

    // Candidates go through reconstruction and the first evaluation of their
    // starts a batch at a time, each step for the whole batch before the
    // next: the candidates are independent, and their long chains of library
    // calls overlap that way. Solutions are still offered in candidate order.
    std::size_t next = 0;
    while (next < candidates.size()) {
        std::array<solver::PointPair, solver::kMaxJointBatch> points;
        std::array<const solver::Candidate*, solver::kMaxJointBatch> batch;
        std::size_t count = 0;
        for (; next < candidates.size() && count < solver::kMaxJointBatch; ++next) {
            if (repeats_earlier(candidates, next)) {
                continue;  // same points, same joints: both would be dropped as duplicates
            }
            batch[count] = &candidates[next];
            points[count] = solver::PointPair{&candidates[next].o3, &candidates[next].o4};
            ++count;
        }
        std::array<solver::JointPair, solver::kMaxJointBatch> joints;
        solver::joints_from_points(setup, points.data(), count, joints.data());
        std::array<std::array<std::array<Quat, 6>, 2>, solver::kMaxJointBatch> start_rotations;
        for (std::size_t i = 0; i < count; ++i) {
            start_rotations[i] = solver::joint_rotation_pair(robot, joints[i].primary, joints[i].mirror);
        }
        for (std::size_t i = 0; i < count; ++i) {
            // The traces' final errors are the pose errors of the returned
            // vectors by the same residual, so forward kinematics is not rerun.
            std::array<solver::PolishTrace, 2> traces;
            const auto polished = solver::polish_pair(robot, {joints[i].primary, joints[i].mirror},
                                                      start_rotations[i], prepared, rotations, traces);
            // An axis angle's candidates are non-Regular, or Regular where
            // the circle of o4 only passes the axis (no other candidate has
            // o4 within the on-axis tolerance of it).
            const Vec3& o4 = batch[i]->o4;
            const bool unmet = batch[i]->kind != SolutionKind::Regular
                                   ? traces[0].final_error > kAcceptResidual && traces[1].final_error > kAcceptResidual
                                   : o4[0] * o4[0] + o4[1] * o4[1] < on_axis_sq;
            if (unmet) {
                unmet_axis[unmet_axis_count++] = batch[i];
            }
            for (int m = 0; m < 2; ++m) {
                double error = traces[m].final_error;
                JointVector q = polished[m];
                if (error > solver::kSharpenFrom && error <= kAcceptResidual) {
                    // Accepted but not converged: a solution where the
                    // Jacobian loses rank, still up to 1e-5 rad off (more
                    // on the stretched or folded arm with J5 at 0 or 180,
                    // where the error grows with the fourth power of the
                    // distance: the rescue takes those onto that place).
                    double sharpened_error = 0.0;
                    const JointVector sharpened = solver::rescue_joints(robot, q, prepared, rotations, sharpened_error);
                    if (sharpened_error < error) {
                        q = sharpened;
                        error = sharpened_error;
                    }
                }
                if (!solver::offer_solution(solutions, q, error, batch[i]->theta, batch[i]->kind) &&
                    error > kAcceptResidual && error <= solver::kRescueError && rescue_count < rescues.size()) {
                    rescues[rescue_count++] = Rescue{q, batch[i]->theta, batch[i]->kind};
                }
            }
        }
    }
    // Vectors left just short of acceptance get a second refinement. They are
    // offered after all the others, so that a rescued vector can never displace
    // one accepted directly as a duplicate.
    for (std::size_t k = 0; k < rescue_count; ++k) {
        const Rescue& rescue = rescues[k];
        double error = 0.0;
        const JointVector q = solver::rescue_joints(robot, rescue.joints, prepared, rotations, error);
        solver::offer_solution(solutions, q, error, rescue.theta, rescue.kind);
    }
    // A solution on or next to the stretched or folded arm with J5 at 0 or
    // 180 is also taken onto that place: it can hold an exact solution a few
    // 1e-4 rad from the one found, or one that a vector converged there in
    // pose error still misses by 1e-5 rad (the error grows with the fourth
    // power of the distance).
    const auto offer_snapped = [&](const JointVector& q, double theta, SolutionKind kind) {
        // Cheap test first: J5 within a degree of 0 or 180.
        if (!(std::fabs(std::fabs(q[4]) - 90.0) >= 89.0)) {
            return;
        }
        JointVector snapped;
        double error = 0.0;
        if (solver::snap_stretched(robot, q, prepared, rotations, snapped, error)) {
            solver::offer_solution(solutions, snapped, error, theta, kind);
        }
    };
    const std::size_t ordinary = solutions.size();
    // Then the configurations usually redundant; rare, so one at a time.
    const auto offer_extra = [&](const solver::Candidate& extra, bool skip_known) {
        // The sweep's elbows lie in the plane of their o4, however close to
        // the axis (skip_known marks them).
        const auto [primary, mirror] = skip_known ? solver::joints_in_plane_of_o4(setup, extra.o3, extra.o4)
                                                  : solver::joints_from_points(setup, extra.o3, extra.o4);
        for (const JointVector& start : {primary, mirror}) {
            if (skip_known && std::any_of(solutions.begin(), solutions.end(), [&](const IkSolution& kept) {
                    return closer_than(start, kept.joints, kDuplicateDistance);
                })) {
                continue;  // an accurate start on a solution already kept
            }
            solver::PolishTrace trace;
            JointVector q = solver::polish_joints(robot, start, prepared, rotations, &trace);
            double error = trace.final_error;
            if (error > solver::kSharpenFrom && error <= (skip_known ? kAcceptResidual : solver::kRescueError)) {
                double refined_error = 0.0;
                const JointVector refined = solver::rescue_joints(robot, q, prepared, rotations, refined_error);
                if (refined_error < error) {
                    q = refined;
                    error = refined_error;
                }
            }
            if (error <= kAcceptResidual) {
                offer_snapped(q, extra.theta, extra.kind);  // first, so that it stands for both
            }
            solver::offer_solution(solutions, q, error, extra.theta, extra.kind);
        }
    };
    for (std::size_t i = 0; i < extras.size(); ++i) {
        if (!repeats_earlier(extras, i)) {
            offer_extra(extras[i], false);
        }
    }
    // Next to a merged cluster of axis angles, the ordinary solutions with o4
    // within the on-axis tolerance (which the roots leave out).
    if (clusters) {
        for (const solver::AxisCluster& cluster : *clusters) {
            solver::Candidates scanned;
            solver::scan_axis_cluster(setup, cluster, scanned);
            for (std::size_t i = 0; i < scanned.size(); ++i) {
                offer_extra(scanned[i], true);
            }
        }
    }
    // o4 within the on-axis tolerance of the J1 axis but not on it (the arm
    // upright with J2 a few 1e-5 degrees off 0, next to the coaxial J1/J4
    // family; the wrist point 1e-4 mm from the axis): the arm plane is still
    // the one through o4, which the axis angle's elbow (on the axis, or on a
    // circle about it) does not fix, so its J1 can miss the solution. The arm
    // is also tried in that plane where the circle of o4 only passes the
    // axis, and where an axis candidate missed the target. What it finds is
    // Regular. (Where the circle reaches the axis and the candidate reached
    // the target, the plane of a rounded o4 would only repeat members of a
    // family.)
    for (std::size_t i = 0; i < unmet_axis_count; ++i) {
        const solver::Candidate& c = *unmet_axis[i];
        if (solver::off_axis_plane(setup, c.o4)) {
            offer_extra(solver::Candidate{c.o3, c.o4, c.theta, SolutionKind::Regular}, true);
        }
    }
    // Where o4 passes close to the J1 axis the regular roots crowd and can
    // lose solutions; the arm-plane sweep finds them. Where o4 reaches the
    // axis (a solution of the axis angles was kept) the target leaves a
    // continuous family or is already solved there, and the sweep would only
    // add more members of the family.
    // A solution of the axis angles counts only where the target really
    // leaves a family: where o4 merely passes within the on-axis tolerance of
    // the axis, the axis angles' elbows stand for nearby solutions they do
    // not reach.
    const bool family = std::any_of(solutions.begin(), solutions.end(), [&](const IkSolution& s) {
        return s.kind != SolutionKind::Regular && kind_holds(setup, s, prepared, rotations);
    });
    if (!family) {
        // Axis angles whose o4 is within the on-axis tolerance but not on
        // the axis: the regular elbows in the plane of that o4 (the upright
        // arm a hair off the J1 axis, whose family representative has J1 at
        // 0).
        for (const solver::Candidate& c : candidates) {
            if (c.kind == SolutionKind::Regular || !(std::hypot(c.o4[0], c.o4[1]) > 0.0)) {
                continue;
            }
            for (const double s : {1.0, -1.0}) {
                if (const auto elbow = in_plane_elbow(robot, c.o4, s)) {
                    offer_extra(solver::Candidate{*elbow, c.o4, c.theta, SolutionKind::Regular}, true);
                }
            }
        }
    }
    const double crowded = kCrowdedRelative * robot.z1;
    const bool crowded_roots =
        std::any_of(candidates.begin(), candidates.end(), [&](const solver::Candidate& c) { return near_axis(c, crowded); }) ||
        std::any_of(extras.begin(), extras.end(), [&](const solver::Candidate& c) { return near_axis(c, crowded); });
    if (!family && (crowded_roots || solver::passes_near_axis(setup))) {
        solver::Candidates swept;
        if (merge_axis) {
            solver::sweep_arm_plane_lean(setup, axis, swept);
        } else {
            solver::sweep_arm_plane(setup, axis, swept);
        }
        for (std::size_t i = 0; i < swept.size(); ++i) {
            if (!repeats_earlier(swept, i)) {
                offer_extra(swept[i], true);
            }
        }
    }
    // Just off the fold of the equal-arm models the circle of o4 passes a few
    // millimetres from the base, and the roots there crowd so that the root
    // finder can lose a zero several of their spreads away: the branch
    // residuals are scanned across that stretch, wherever two roots with o4
    // within 0.01·z1 of the base origin lie within it.
    if (!family) {
        const double crowd = kScanCrowdRelative * robot.z1;
        const double half_width = kScanCrowdRelative * robot.z1 / robot.y1;
        std::array<double, 2 * solver::kMaxCandidates> crowded_thetas;
        std::size_t crowded_count = 0;
        for (const solver::Candidates* list : {&candidates, static_cast<const solver::Candidates*>(&extras)}) {
            for (const solver::Candidate& c : *list) {
                if (c.kind == SolutionKind::Regular && std::sqrt(dot(c.o4, c.o4)) < crowd) {
                    crowded_thetas[crowded_count++] = solver::wrap_angle(c.theta);
                }
            }
        }
        std::array<double, 4> scanned;
        std::size_t scanned_count = 0;
        for (std::size_t i = 0; i < crowded_count && scanned_count < scanned.size(); ++i) {
            const double centre = crowded_thetas[i];
            const bool pair = std::any_of(crowded_thetas.begin(), crowded_thetas.begin() + crowded_count, [&](double t) {
                const double gap = std::fabs(solver::wrap_angle(t - centre));
                return gap > kDistinctRoots && gap < half_width;
            });
            const bool done = std::any_of(scanned.begin(), scanned.begin() + scanned_count, [&](double t) {
                return std::fabs(solver::wrap_angle(t - centre)) < 0.5 * half_width;
            });
            if (!pair || done) {
                continue;
            }
            scanned[scanned_count++] = centre;
            solver::Candidates found;
            solver::scan_crowded(setup, centre, half_width, found);
            for (std::size_t k = 0; k < found.size(); ++k) {
                if (!repeats_earlier(found, k)) {
                    offer_extra(found[k], true);
                }
            }
        }
    }
    // On the equal-arm models just off the fold, the elbow turns over a whole
    // circle where o4 passes the base origin, and the residual changes on the
    // scale of that passage, which can lie far (in its own widths) from where
    // o4 passes the J1 axis: sampled about it too. Offered after the rest, so
    // that it can only add solutions.
    if (!family) {
        solver::Candidates passing;
        solver::scan_origin_passage(setup, passing);
        for (std::size_t i = 0; i < passing.size(); ++i) {
            if (!repeats_earlier(passing, i)) {
                offer_extra(passing[i], true);
            }
        }
    }
    // Last, the solutions of the ordinary candidates taken onto the
    // stretched or folded arm (the extras were, before they were offered).
    for (std::size_t i = 0; i < ordinary; ++i) {
        const IkSolution s = solutions[i];
        offer_snapped(s.joints, s.theta, s.kind);
    }
    // A kind other than Regular says what the target is: o4 on the J1 axis,
    // or a continuous family. Where polishing took a vector of the axis
    // angles onto a solution that is neither, it is an ordinary one.
    for (IkSolution& s : solutions) {
        if (!kind_holds(setup, s, prepared, rotations)) {
            s.kind = SolutionKind::Regular;
        }
    }
    return solutions;
}

std::optional<IkSolution> ik_closest(const Crx& robot, const Pose& target, const JointVector& reference) {
    const std::vector<IkSolution> solutions = ik(robot, target);
    if (solutions.empty()) {
        return std::nullopt;
    }
    std::size_t best = 0;
    double best_distance = joint_distance(solutions[0].joints, reference);
    for (std::size_t i = 1; i < solutions.size(); ++i) {
        const double d = joint_distance(solutions[i].joints, reference);
        if (best_distance > d) {  // ties keep the earlier solution
            best = i;
            best_distance = d;
        }
    }
    return solutions[best];
}

}  // namespace ortholink
