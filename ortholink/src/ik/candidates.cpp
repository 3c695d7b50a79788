#include "ik/candidates.hpp"

#include <algorithm>
#include <cmath>

#include "ik/axis_cluster.hpp"
#include "ik/trig_poly.hpp"
#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

// A root this close (radians) to an axis angle is already covered by it.
constexpr double kAxisCovered = 1e-5;
// Relative to z1: closer than this to the J1 axis both branches are refined.
constexpr double kNearAxisRelative = 0.01;
// A zero belongs to the other branch when this branch's residual is above
// kOtherBranch and the other one's below kOwnBranch (cosines, dimensionless).
constexpr double kOtherBranch = 0.01;
constexpr double kOwnBranch = 1e-6;
constexpr int kRefineSteps = 30;
constexpr double kSecantDelta = 1e-7;    // radians
constexpr double kRefineMaxStep = 0.05;  // radians
constexpr double kRefineStop = 1e-15;    // radians
// Largest branch residual (a cosine) of a refined candidate.
constexpr double kRefinedResidual = 1e-9;
// Relative to z1²: how far the elbow circle may miss at an unrefined root.
constexpr double kFallbackReachRelative = 1e-6;
// Relative to z1²: how far it may miss for the elbow of the stretched or
// folded arm to be tried as an extra.
constexpr double kShellReachRelative = 1e-2;

// Gauss–Newton steps on the horizontal components of o4(θ) = 0.
constexpr int kAxisGapSteps = 8;

// How close (mm) the circle of o4 really comes to the J1 axis near the axis
// angle θ: the horizontal distance after Gauss–Newton on the two horizontal
// components of o4 from θ. Where o4 reaches the axis this is a zero-residual
// problem and converges quadratically even where the squared distance has a
// quartic minimum (the flange z axis horizontal), which leaves the axis
// angle itself up to 1e-4 rad off; where o4 only passes near the axis no
// angle comes closer than that passage.
double axis_gap(const Setup& setup, double theta) noexcept {
    const double y1 = setup.robot->y1;
    double best = 0.0;
    for (int k = 0; k <= kAxisGapSteps; ++k) {
        double s = 0.0;
        double c = 0.0;
        ::sincos(theta, &s, &c);
        const double px = setup.o5[0] + y1 * (c * setup.x_axis[0] + s * setup.y_axis[0]);
        const double py = setup.o5[1] + y1 * (c * setup.x_axis[1] + s * setup.y_axis[1]);
        const double distance = std::hypot(px, py);
        best = k == 0 ? distance : std::min(best, distance);
        const double jx = y1 * (c * setup.y_axis[0] - s * setup.x_axis[0]);
        const double jy = y1 * (c * setup.y_axis[1] - s * setup.x_axis[1]);
        const double jj = jx * jx + jy * jy;
        if (!(jj > 0.0) || !(distance > 0.0)) {
            break;
        }
        theta -= (jx * px + jy * py) / jj;
    }
    return best;
}

void phase_axis(const Setup& setup, const AxisThetas& axis, Candidates& out) noexcept {
    const Crx& robot = *setup.robot;
    const double tol = kOnAxisRelative * robot.z1;
    for (const double theta : axis) {
        double s = 0.0;
        double c = 0.0;
        ::sincos(theta, &s, &c);
        const Vec3 p = setup.wrist_point(setup.direction(s, c));
        // Only a circle that reaches the axis (to rounding) gives elbows
        // with o4 on it, and a family; the candidates of one that only
        // passes within the on-axis tolerance are Regular.
        const bool on_axis = axis_gap(setup, theta) <= kOnAxisRoundingRelative * robot.z1;
        const double l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        if (l < tol) {
            if (const auto o3 = o3_on_origin(setup, theta)) {
                out.push_back(Candidate{*o3, p, theta, on_axis ? SolutionKind::SingularFamily : SolutionKind::Regular});
            }
            continue;
        }
        const double h = std::fabs(p[2]);
        double mu = 0.0;
        bool point_circle = true;
        if (h >= tol) {
            const double z1_sq = robot.z1 * robot.z1;
            mu = (h * h + (z1_sq - robot.x1 * robot.x1)) / (2.0 * h);
            const double rho = std::sqrt(std::max(z1_sq - mu * mu, 0.0));
            point_circle = rho < tol;
        }
        if (point_circle) {
            // The elbow is on the axis too: J1 is free.
            out.push_back(Candidate{Vec3{0.0, 0.0, std::signbit(p[2]) ? -mu : mu}, p, theta,
                                    on_axis ? SolutionKind::SingularFamily : SolutionKind::Regular});
            continue;
        }
        for (const Vec3& o3 : o3_on_axis(setup, theta)) {
            out.push_back(Candidate{o3, p, theta, on_axis ? SolutionKind::AxisDegenerate : SolutionKind::Regular});
        }
    }
}

// Secant-slope Newton on the residual of one branch, advanced one step at a
// time so that the refinements of all roots run side by side: they are
// independent, and their chains of library calls overlap that way.
struct Refinement {
    double theta0;                // the root
    double s;                     // branch
    std::optional<double> start;  // residual at the root, when already evaluated
    bool has_start;
    double theta;        // current angle, starting at the root
    bool extra = false;  // a root next to an axis angle
    int steps = 0;
    bool running = true;
    bool left_region = false;  // the branch stopped being defined

    void advance(const Setup& setup) noexcept {
        std::optional<double> g0;
        std::optional<double> g1;
        if (steps == 0 && has_start) {
            g0 = start;
            g1 = branch_residual(setup, theta + kSecantDelta, s);
        } else {
            const auto both = branch_residual_pair(setup, theta, theta + kSecantDelta, s);
            g0 = both[0];
            g1 = both[1];
        }
        ++steps;
        if (!g0 || !g1) {
            left_region = true;
            running = false;
            return;
        }
        const double slope = (*g1 - *g0) / kSecantDelta;
        if (slope == 0.0) {
            running = false;
            return;
        }
        const double step = std::clamp(-*g0 / slope, -kRefineMaxStep, kRefineMaxStep);
        theta = theta + step;
        running = !(std::fabs(step) < kRefineStop) && steps < kRefineSteps;
    }
};

// A root with what both of its branches share.
struct RootStart {
    double theta0;
    CirclePoint point0;
};

// A refinement that ends farther than this (radians) from its root, where
// the branch residual is at most kWanderedResidual (a cosine), also keeps the
// root's own elbow: at a double zero of the branch the secant steps converge
// only linearly, or wander off when rounding lifts the residual off zero.
constexpr double kWanderedDistance = 1e-6;
constexpr double kWanderedResidual = 1e-6;

// Roots closer than this (radians) form a cluster: a multiple zero of the
// residual, whose roots come out scattered about it, or nearby zeros of
// different branches that can pull each other's refinement.
constexpr double kClusterGap = 1e-3;
// Samples of each branch residual across a cluster, and bisection steps.
constexpr int kClusterSamples = 32;
constexpr int kClusterBisections = 60;
constexpr double kClusterStop = 1e-15;  // radians

// How far beyond its outer roots (radians) a cluster is searched: the roots
// of a nearly multiple zero are only as good as their spread, and a zero of a
// branch can lie several times their spread outside them (seen: 3.1).
double cluster_margin(double lo, double hi) noexcept {
    return std::max(5.0 * (hi - lo), 5e-4);
}

}  // namespace

double bisect_branch(const Setup& setup, double s, double a, double b, double ga, double gb) noexcept {
    return false_position([&](double theta) { return branch_residual(setup, theta, s); }, a, b, ga, gb,
                          kClusterBisections, kClusterStop);
}

namespace {

// A zero of one branch residual reached by refining a root.
struct BranchZero {
    double theta;
    double s;
};
// Filled on every call and read only where roots cluster: left
// uninitialised beyond `count`.
struct BranchZeros {
    std::array<BranchZero, 2 * kMaxRoots> items;
    std::size_t count = 0;
};

// A zero the scan finds this close (radians) to a refined zero of the same
// branch is that zero.
constexpr double kKnownZero = 1e-9;

// The zeros of both branch residuals within a cluster of roots and a margin
// each side, from their sign changes and dips on a grid; those the
// refinements reached already are left out.
void scan_cluster(const Setup& setup, double lo, double hi, const BranchZeros& known, Candidates& extras) noexcept {
    const double margin = cluster_margin(lo, hi);
    const double start = lo - margin;
    const double width = (hi - lo) + 2.0 * margin;
    const auto place = [&](double i) { return start + width * i / kClusterSamples; };
    // Both branches at each sample at once: they share the circle point.
    std::array<std::array<std::optional<double>, kClusterSamples + 1>, 2> sampled;
    for (int i = 0; i <= kClusterSamples; ++i) {
        const auto both = branch_residuals(setup, place(static_cast<double>(i)));
        sampled[0][i] = both[0];
        sampled[1][i] = both[1];
    }
    for (int b = 0; b < 2; ++b) {
        const double s = b == 0 ? 1.0 : -1.0;
        scan_zeros([&](double theta) { return branch_residual(setup, theta, s); }, place, kClusterSamples,
                   [&](double a, double c, double ga, double gc) { return bisect_branch(setup, s, a, c, ga, gc); },
                   [&](double root) {
                       for (std::size_t k = 0; k < known.count; ++k) {
                           if (known.items[k].s == s && std::fabs(known.items[k].theta - root) < kKnownZero) {
                               return;  // refined already: the same elbow, the same solutions
                           }
                       }
                       const auto point = branch_point(setup, root, s);
                       if (point && std::fabs(point->g) <= kRefinedResidual) {
                           extras.push_back(Candidate{point->o3, point->o4, root, SolutionKind::Regular});
                       }
                   },
                   sampled[b].data());
    }
}

// Refined zeros of one branch closer than this (radians) are the same zero.
constexpr double kSameZero = 1e-10;

// Zeros of the two branches closer than this (radians) are one crossing:
// both elbows solve at that angle (the J5 axis perpendicular to the arm plane).
constexpr double kCrossing = 1e-9;

// True when the refined zeros within [lo, hi] are at least `roots` distinct
// ones and each is a crossing of both branches: a cluster of such a structure
// (a double root with both branches through it, as wherever the flange points
// straight down) has no zero left to lose. Elsewhere the root finder can have
// merged or dropped roots of a nearly multiple zero, so the count alone does
// not tell.
bool zeros_account_for(const BranchZeros& zeros, double lo, double hi, std::size_t roots) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < zeros.count; ++i) {
        const BranchZero& z = zeros.items[i];
        if (!(z.theta >= lo && z.theta <= hi)) {
            continue;
        }
        bool repeated = false;
        bool crossing = false;
        for (std::size_t k = 0; k < zeros.count; ++k) {
            const BranchZero& other = zeros.items[k];
            const double gap = std::fabs(other.theta - z.theta);
            repeated = repeated || (k < i && other.s == z.s && gap < kSameZero);
            crossing = crossing || (other.s != z.s && gap < kCrossing);
        }
        if (!crossing) {
            return false;
        }
        count += repeated ? 0 : 1;
    }
    return count >= roots;
}

void scan_clusters(const Setup& setup, const ThetaRoots& found, const BranchZeros& zeros,
                   Candidates& extras) noexcept {
    // Insertion sort: at most eight roots.
    std::array<double, kMaxRoots> sorted{};
    const std::size_t n = found.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t k = i;
        for (; k > 0 && sorted[k - 1] > found[i]; --k) {
            sorted[k] = sorted[k - 1];
        }
        sorted[k] = found[i];
    }
    // Roots are in [-π, π); a cluster across -π is rare enough to leave.
    for (std::size_t i = 0; i + 1 < n;) {
        std::size_t j = i;
        while (j + 1 < n && sorted[j + 1] - sorted[j] < kClusterGap) {
            ++j;
        }
        // Each zero of the circle residual is a zero of one branch residual;
        // scanned unless the refinements already account for the cluster.
        const double margin = cluster_margin(sorted[i], sorted[j]);
        if (j > i && !zeros_account_for(zeros, sorted[i] - margin, sorted[j] + margin, j - i + 1)) {
            scan_cluster(setup, sorted[i], sorted[j], zeros, extras);
        }
        i = j + 1;
    }
}

// Largest residual (a cosine) of the elbow at a crossing of the reachable
// shell's edge for it to be tried.
constexpr double kShellEdgeResidual = 1e-5;
// (1 + 1e-12)², a little over: how far c² may exceed a² + b² for
// a·cos θ + b·sin θ = c still to count as touching.
constexpr double kTouchAllowance = 1.0000000000021;

// Where o4 crosses the edge of the reachable shell (the arm stretched, or
// folded on robots with z1 != x1) the two elbow branches meet, and a solution
// there is a zero of neither branch residual in the ordinary sense: the
// branches stop existing on one side, and the circle residual is so flat
// that its roots scatter far from it. |o4|² is a first-degree trigonometric
// polynomial of the circle angle, so the crossings come in closed form; each
// whose in-line elbow keeps the forearm perpendicular to the J5 axis is an
// extra.
void shell_edges(const Setup& setup, Candidates& extras) noexcept {
    const Crx& robot = *setup.robot;
    const double y1 = robot.y1;
    // |o4|² = |o5|² + y1² + a·cos θ + b·sin θ
    const double a = 2.0 * y1 * dot(setup.o5, setup.x_axis);
    const double b = 2.0 * y1 * dot(setup.o5, setup.y_axis);
    const double base = dot(setup.o5, setup.o5) + y1 * y1;
    const double tol = kOnAxisRelative * robot.z1;
    for (const double edge : {robot.z1 + robot.x1, std::fabs(robot.z1 - robot.x1)}) {
        if (edge < tol) {
            continue;  // folded onto the origin: a family, found on the axis
        }
        const double c = edge * edge - base;
        // A circle that only touches the sphere (the arm stretched towards
        // the target at full reach) may miss it by rounding: the allowance
        // is that of solve_linear_trig.
        if (!(c * c <= (a * a + b * b) * kTouchAllowance)) {
            continue;  // the circle stays inside or outside that sphere
        }
        const LinearTrigSolution crossings = solve_linear_trig(a, b, c);
        if (crossings.any_angle) {
            continue;
        }
        for (const double theta : crossings.angles) {
            const CirclePoint point = circle_point(setup, theta);
            if (!(point.rho_h >= tol) || !(point.l >= tol)) {
                continue;
            }
            const double z1_sq = robot.z1 * robot.z1;
            const double mu = std::clamp((point.l * point.l + (z1_sq - robot.x1 * robot.x1)) / (2.0 * point.l),
                                         -robot.z1, robot.z1);
            const Vec3 o3 = branch_elbow(point.p, point.rho_h, point.l, mu, 0.0, 1.0);
            const Vec3 arm{o3[0] - point.p[0], o3[1] - point.p[1], o3[2] - point.p[2]};
            if (std::fabs(dot(arm, point.d) / robot.x1) <= kShellEdgeResidual) {
                extras.push_back(Candidate{o3, point.p, theta, SolutionKind::Regular});
            }
        }
    }
}

void phase_roots(const Setup& setup, const AxisThetas& axis, Candidates& out, Candidates* extras) noexcept {
    const Crx& robot = *setup.robot;
    const double tol = kOnAxisRelative * robot.z1;
    const double z1_sq = robot.z1 * robot.z1;

    std::array<RootStart, kMaxRoots> roots;
    std::array<Refinement, 2 * kMaxRoots> tasks;
    std::array<std::size_t, 2 * kMaxRoots> root_of;
    std::size_t root_count = 0;
    std::size_t task_count = 0;
    const ThetaRoots found = theta_roots(TrigPoly::from_setup(setup));
    for (const double theta0 : found) {
        const bool covered = std::any_of(axis.begin(), axis.end(), [&](double alpha) {
            return std::fabs(wrap_angle(theta0 - alpha)) < kAxisCovered;
        });
        if (covered && extras == nullptr) {
            continue;
        }
        const CirclePoint point0 = circle_point(setup, theta0);
        std::optional<double> r_plus;
        std::optional<double> r_minus;
        const bool evaluated = point0.rho_h > kNearAxisRelative * robot.z1;
        if (evaluated) {
            const auto both = branch_residuals(setup, point0);
            r_plus = both[0];
            r_minus = both[1];
        }
        roots[root_count] = RootStart{theta0, point0};
        for (const double s : {1.0, -1.0}) {
            const auto& own = s > 0.0 ? r_plus : r_minus;
            const auto& other = s > 0.0 ? r_minus : r_plus;
            if (own && other && std::fabs(*own) > kOtherBranch && std::fabs(*other) < kOwnBranch) {
                continue;  // the zero belongs to the other branch
            }
            tasks[task_count] = Refinement{theta0, s, own, evaluated, theta0, covered};
            root_of[task_count] = root_count;
            ++task_count;
        }
        ++root_count;
    }

    for (bool running = task_count > 0; running;) {
        running = false;
        for (std::size_t t = 0; t < task_count; ++t) {
            if (tasks[t].running) {
                tasks[t].advance(setup);
                running = running || tasks[t].running;
            }
        }
    }

    // Validate at the final angles, then append in root order, branch +1
    // before -1.
    std::array<std::optional<BranchPoint>, 2 * kMaxRoots> refined;
    for (std::size_t t = 0; t < task_count; ++t) {
        if (!tasks[t].left_region) {
            refined[t] = branch_point(setup, tasks[t].theta, tasks[t].s);
        }
    }
    BranchZeros zeros;
    for (std::size_t t = 0; t < task_count; ++t) {
        const Refinement& task = tasks[t];
        Candidates& list = task.extra ? *extras : out;
        const auto& point = refined[t];
        if (point && std::fabs(point->g) <= kRefinedResidual) {
            zeros.items[zeros.count++] = BranchZero{task.theta, task.s};
        }
        // A refinement that wandered off to another zero (the branch only
        // touches zero at its root, as where the elbow circle shrinks to a
        // point) leaves its root to the unrefined fallback, as an extra.
        bool wandered = false;
        if (extras != nullptr && std::fabs(task.theta - task.theta0) > kWanderedDistance) {
            // Only where the branch nearly vanishes at the root; elsewhere
            // the refinement just left a root of the other branch.
            const std::optional<double> g0 = task.has_start ? task.start : branch_residual(setup, task.theta0, task.s);
            wandered = g0 && std::fabs(*g0) <= kWanderedResidual;
        }
        if (point && std::fabs(point->g) <= kRefinedResidual) {
            list.push_back(Candidate{point->o3, point->o4, task.theta, SolutionKind::Regular});
            if (!wandered) {
                continue;
            }
        }
        Candidates& unrefined = wandered && point && std::fabs(point->g) <= kRefinedResidual ? *extras : list;
        // Keep the unrefined root if the elbow nearly exists there; the
        // driver judges it after polishing.
        const CirclePoint& p0 = roots[root_of[t]].point0;
        if (!(p0.rho_h >= tol)) {
            continue;
        }
        double mu = 0.0;
        double q = -1.0;
        if (!(p0.l < tol)) {
            mu = ((z1_sq - robot.x1 * robot.x1) + p0.l * p0.l) / (2.0 * p0.l);
            q = z1_sq - mu * mu;
        }
        if (q >= -kFallbackReachRelative * z1_sq) {
            const Vec3 o3 = branch_elbow(p0.p, p0.rho_h, p0.l, mu, std::sqrt(std::max(q, 0.0)), task.s);
            unrefined.push_back(Candidate{o3, p0.p, task.theta0, SolutionKind::Regular});
        } else if (extras != nullptr && q >= -kShellReachRelative * z1_sq && task.s > 0.0) {
            // Just outside the shell: the elbow in line with the wrist point,
            // the same for both branches.
            const Vec3 o3 = branch_elbow(p0.p, p0.rho_h, p0.l, std::clamp(mu, -robot.z1, robot.z1), 0.0, task.s);
            extras->push_back(Candidate{o3, p0.p, task.theta0, SolutionKind::Regular});
        }
    }
    if (extras != nullptr) {
        scan_clusters(setup, found, zeros, *extras);
        shell_edges(setup, *extras);
    }
}

}  // namespace

bool off_axis_plane(const Setup& setup, const Vec3& o4) noexcept {
    const double h = std::hypot(o4[0], o4[1]);
    return h > kAxisPlaneRelative * setup.robot->z1 && h < kOnAxisRelative * setup.robot->z1;
}

Candidates candidates(const Setup& setup) noexcept {
    Candidates out;
    const AxisThetas axis = axis_thetas(setup);
    phase_axis(setup, axis, out);
    phase_roots(setup, axis, out, nullptr);
    return out;
}

Candidates candidates(const Setup& setup, Candidates& extras, AxisThetas& axis) noexcept {
    return candidates(setup, extras, axis, nullptr);
}

Candidates candidates(const Setup& setup, Candidates& extras, AxisThetas& axis, AxisClusters* clusters) noexcept {
    Candidates out;
    extras.clear();
    axis = axis_thetas(setup);
    if (clusters != nullptr) {
        merge_axis_clusters(setup, axis, *clusters);
    }
    phase_axis(setup, axis, out);
    phase_roots(setup, axis, out, &extras);
    return out;
}

Candidates candidates(const Setup& setup, Candidates& extras) noexcept {
    AxisThetas axis;
    return candidates(setup, extras, axis);
}

}  // namespace ortholink::solver
