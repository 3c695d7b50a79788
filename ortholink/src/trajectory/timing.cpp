// The spline through the rows, with knots added on the straight moves between
// them where it would leave the arm's joint limits, then TOPP-RA on a grid
// over it: a backward pass finds, at every grid point, the largest squared
// path speed x = ṡ² from which the end can still be reached at rest; a
// forward pass then takes the largest path acceleration u = s̈ that stays
// within those sets. u is constant between grid points, so x
// is linear in s there and s(t) is a parabola. Limits hold at the grid points
// by construction (with kLimitMargin to spare) and between them by checking:
// an interval where the continuous motion, or a sample, exceeds a limit is
// halved and the whole pass repeated.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "chunks.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/text.hpp"
#include "ortholink/trajectory.hpp"
#include "trajectory/spline.hpp"

namespace ortholink {
namespace {

using timing::JointSpline;
using timing::PathPoint;

// Rows closer than this (degrees of arc length) are one knot.
constexpr double kSameRow = 1e-9;
// The first grid splits the path into at least this many intervals.
constexpr double kInitialIntervals = 1000.0;
// Where the continuous motion is checked within each interval.
constexpr std::array<double, 4> kCheckFractions{0.25, 0.5, 0.75, 1.0};
constexpr int kMaxRefinements = 30;
// Rounds of knots added on the straight moves between rows where the spline
// leaves the arm's joint limits. Each round takes a corner's overshoot down
// two- to fourfold: a few tens of rounds bring degrees below kLimitSnap.
constexpr int kMaxLimitKnotRounds = 64;
// Path derivatives below this are treated as zero (the arc length
// parameterisation keeps the largest above 1/√6).
constexpr double kTinyRate = 1e-12;

struct GridPoint {
    double s = 0.0;
    std::size_t segment = 0;
    PathPoint path;
    double tcp_rate = 0.0;  // TCP millimetres per degree of arc length
};

double tcp_rate_at(const Arm& arm, const PathPoint& p) {
    const Jacobian jacobian = arm_jacobian(arm, p.q);
    double sum = 0.0;
    for (std::size_t r = 0; r < 3; ++r) {
        double v = 0.0;
        for (std::size_t j = 0; j < 6; ++j) {
            v += jacobian[r][j] * p.dq[j];
        }
        sum += v * v;
    }
    return std::sqrt(sum) * kDegToRad;
}

GridPoint grid_point(const Arm& arm, const JointSpline& spline, const TrajectoryLimits& limits, double s,
                     std::size_t segment) {
    GridPoint g{s, segment, spline.at(segment, s), 0.0};
    if (limits.tcp_speed) {
        g.tcp_rate = tcp_rate_at(arm, g.path);
    }
    return g;
}

// Largest x the speed limits (scaled by `scale`) allow at a point.
double speed_bound(const GridPoint& g, const TrajectoryLimits& limits, double scale) {
    double bound = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < 6; ++j) {
        const double rate = std::fabs(g.path.dq[j]);
        if (rate > kTinyRate) {
            const double v = limits.max_speed[j] * scale / rate;
            bound = std::min(bound, v * v);
        }
    }
    if (limits.tcp_speed && g.tcp_rate > kTinyRate) {
        const double v = *limits.tcp_speed * scale / g.tcp_rate;
        bound = std::min(bound, v * v);
    }
    return bound;
}

// Bounds on u of the form u >= alpha + beta·x (lower) or u <= alpha + beta·x (upper).
struct Line {
    double alpha;
    double beta;
};

struct StageBounds {
    std::array<Line, 12> lower{};
    std::array<Line, 12> upper{};
    std::size_t count = 0;  // joint lines in each
    double x_cap = 0.0;     // speed limits and joints that cannot take u
};

// -A <= c1·u + c2·x <= A as bounds on u (or on x alone when c1 vanishes).
void add_acceleration(StageBounds& b, double c1, double c2, double a) {
    if (std::fabs(c1) > kTinyRate) {
        const Line low{-a / c1, -c2 / c1};
        const Line high{a / c1, -c2 / c1};
        b.lower[b.count] = c1 > 0.0 ? low : high;
        b.upper[b.count] = c1 > 0.0 ? high : low;
        ++b.count;
    } else if (std::fabs(c2) > 0.0) {
        b.x_cap = std::min(b.x_cap, a / std::fabs(c2));
    }
}

// The joint accelerations q'·u + q''·x of interval k at both of its ends: u is
// the interval's, and x at the far end is x + 2Δ·u. Holding them at both ends
// leaves only a second-order excursion inside.
StageBounds stage_bounds(const GridPoint& g, const GridPoint& next, const TrajectoryLimits& limits, double scale) {
    StageBounds b;
    b.x_cap = speed_bound(g, limits, scale);
    const double step = 2.0 * (next.s - g.s);
    for (std::size_t j = 0; j < 6; ++j) {
        const double a = limits.max_acceleration[j] * scale;
        add_acceleration(b, g.path.dq[j], g.path.ddq[j], a);
        add_acceleration(b, next.path.dq[j] + step * next.path.ddq[j], next.path.ddq[j], a);
    }
    return b;
}

struct Profile {
    std::vector<double> x;  // ṡ² at the grid points
    std::vector<double> u;  // s̈ on each interval
    std::vector<double> t;  // time at the grid points
};

template <class Poll>
Profile parameterise(const std::vector<GridPoint>& grid, const TrajectoryLimits& limits, const Poll& poll) {
    const std::size_t n = grid.size();
    const double scale = 1.0 - kLimitMargin;
    std::vector<StageBounds> bounds(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        poll();
        bounds[k] = stage_bounds(grid[k], grid[k + 1], limits, scale);
    }
    // Backward: the controllable sets [0, high[k]]. x = 0 with u = 0 is always
    // feasible, so only the upper end needs computing: eliminating u from
    // every pair (lower bound <= upper bound) leaves bounds on x.
    std::vector<double> high(n, 0.0);
    for (std::size_t k = n - 1; k-- > 0;) {
        poll();
        const double step = 2.0 * (grid[k + 1].s - grid[k].s);
        const StageBounds& b = bounds[k];
        std::array<Line, 13> lower{};
        std::array<Line, 13> upper{};
        std::copy_n(b.lower.begin(), b.count, lower.begin());
        std::copy_n(b.upper.begin(), b.count, upper.begin());
        lower[b.count] = Line{0.0, -1.0 / step};                 // x + step·u >= 0
        upper[b.count] = Line{high[k + 1] / step, -1.0 / step};  // x + step·u <= high[k + 1]
        double cap = b.x_cap;
        for (std::size_t i = 0; i <= b.count; ++i) {
            for (std::size_t m = 0; m <= b.count; ++m) {
                const double slope = lower[i].beta - upper[m].beta;
                if (slope > 0.0) {
                    cap = std::min(cap, (upper[m].alpha - lower[i].alpha) / slope);
                }
            }
        }
        high[k] = std::max(0.0, cap);
    }
    // Forward: the largest u that keeps the next point controllable.
    Profile p;
    p.x.assign(n, 0.0);
    p.u.assign(n - 1, 0.0);
    p.t.assign(n, 0.0);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        poll();
        const double step = 2.0 * (grid[k + 1].s - grid[k].s);
        const double x = p.x[k];
        const StageBounds& b = bounds[k];
        double u = (high[k + 1] - x) / step;
        double u_low = -x / step;
        for (std::size_t i = 0; i < b.count; ++i) {
            u = std::min(u, b.upper[i].alpha + b.upper[i].beta * x);
            u_low = std::max(u_low, b.lower[i].alpha + b.lower[i].beta * x);
        }
        u = std::max(u, u_low);  // only rounding makes them cross
        const double next = std::clamp(x + step * u, 0.0, high[k + 1]);
        p.x[k + 1] = next;
        p.u[k] = (next - x) / step;
        // Positive limits leave every controllable set more than {0} (at the
        // end too, the acceleration lines cross the rest line above x = 0);
        // only limits whose squared path speeds underflow leave none.
        const double speeds = std::sqrt(x) + std::sqrt(next);
        if (!(speeds > 0.0)) {
            throw TrajectoryError(
                "the limits are too low to time this path: the squared path speed they allow rounds to zero "
                "(raise max_speed, max_acceleration or tcp_speed)");
        }
        p.t[k + 1] = p.t[k] + step / speeds;
    }
    return p;
}

struct State {
    PathPoint path;
    double speed = 0.0;         // ṡ
    double acceleration = 0.0;  // s̈
};

bool within_limits(const Arm& arm, const State& state, const TrajectoryLimits& limits) {
    const PathPoint& p = state.path;
    for (std::size_t j = 0; j < 6; ++j) {
        if (std::fabs(p.dq[j] * state.speed) > limits.max_speed[j] ||
            std::fabs(p.dq[j] * state.acceleration + p.ddq[j] * state.speed * state.speed) >
                limits.max_acceleration[j]) {
            return false;
        }
    }
    return !limits.tcp_speed || tcp_rate_at(arm, p) * state.speed <= *limits.tcp_speed;
}

// The state `tau` seconds into interval k.
State state_at(const JointSpline& spline, const std::vector<GridPoint>& grid, const Profile& profile, std::size_t k,
               double tau) {
    const double s0 = grid[k].s;
    const double speed0 = std::sqrt(profile.x[k]);
    const double u = profile.u[k];
    const double s = std::clamp(s0 + speed0 * tau + 0.5 * u * tau * tau, s0, grid[k + 1].s);
    return State{spline.at(grid[k].segment, s), std::max(0.0, speed0 + u * tau), u};
}

// 0, every period after it that is not within 1e-9 periods of the end, and
// the end.
std::vector<double> sample_times(double duration, double period) {
    if (!(duration > 0.0 && std::isfinite(duration))) {
        throw TrajectoryError("the limits give this path a duration of " + format_shortest(duration) +
                              " s, which cannot be sampled");
    }
    if (duration / period > static_cast<double>(kMaxTrajectorySamples)) {
        throw std::invalid_argument("more than " + std::to_string(kMaxTrajectorySamples) +
                                    " samples at this period (duration " + format_fixed4(duration) +
                                    " s: a longer period, or higher speed, acceleration or TCP speed limits, give fewer)");
    }
    std::vector<double> times{0.0};
    for (std::size_t i = 1;; ++i) {
        const double t = static_cast<double>(i) * period;
        if (t >= duration - 1e-9 * period) break;
        times.push_back(t);
    }
    times.push_back(duration);
    return times;
}

Trajectory at_rest(const std::vector<JointVector>& knots, std::vector<double> waypoint_times,
                   const TrajectoryLimits& limits, double period) {
    Trajectory out;
    out.period = period;
    out.limits = limits;
    out.waypoint_times = std::move(waypoint_times);
    if (!knots.empty()) {
        out.time = {0.0};
        out.joints = {knots.front()};
        out.velocity = {JointVector{}};
        out.acceleration = {JointVector{}};
    }
    return out;
}

// The knots of the spline: the rows, and those added on the straight moves
// between them.
struct Knots {
    std::vector<double> s;
    std::vector<JointVector> q;
    std::vector<std::size_t> row;       // the row of each knot; of the one before it for added knots
    std::vector<std::uint8_t> added{};  // 1 for added knots
};

// One of the arm's position limits: a joint (0 .. 5) or the elbow, J2 + J3
// (6), with the bounds the spline is kept within: half the snap slack out.
struct PositionLimit {
    std::size_t which;
    double lower;
    double upper;
    JointVector weights;
    double kept_lower = lower - 0.5 * limit_slack(lower);
    double kept_upper = upper + 0.5 * limit_slack(upper);
};

std::vector<PositionLimit> position_limits(const Arm& arm) {
    std::vector<PositionLimit> out;
    for (std::size_t j = 0; j < 6; ++j) {
        JointVector weights{};
        weights[j] = 1.0;
        out.push_back({j, arm.lower[j], arm.upper[j], weights});
    }
    if (arm.elbow) {
        out.push_back({6, arm.elbow->lower, arm.elbow->upper, JointVector{0, 1, 1, 0, 0, 0}});
    }
    return out;
}

// "J1 is 190.5000, its limits -190.0000 .. 190.0000", with `verb` for "is".
std::string beyond(const PositionLimit& limit, const char* verb, double value) {
    return std::string(limit.which < 6 ? "J" + std::to_string(limit.which + 1) : "J2 + J3") + " " + verb + " " +
           format_fixed4(value) + ", its limits " + format_fixed4(limit.lower) + " .. " + format_fixed4(limit.upper);
}

// The rows with joints as knots, repeated ones merged, at their arc length,
// each put on the limits it is within kLimitSnap of; `knot_of` gets each row's
// knot (-1 for rows without joints).
Knots row_knots(const Arm& arm, std::span<const JointVector> rows, std::vector<std::ptrdiff_t>& knot_of) {
    Knots knots;
    knot_of.assign(rows.size(), -1);
    const std::vector<PositionLimit> limits = position_limits(arm);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        JointVector row = rows[i];
        if (!std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); })) {
            continue;
        }
        if (!arm_within_limits(arm, row) && !arm_snap_to_limits(arm, row)) {
            std::string why = "outside them";
            for (const PositionLimit& limit : limits) {
                double value = 0.0;
                for (std::size_t j = 0; j < 6; ++j) value += limit.weights[j] * rows[i][j];
                if (value < limit.lower - limit_slack(limit.lower) || value > limit.upper + limit_slack(limit.upper)) {
                    why = beyond(limit, "is", value);
                    break;
                }
            }
            throw TrajectoryError("row " + std::to_string(i) + " is outside the arm's joint limits: " + why);
        }
        double chord = 0.0;
        if (!knots.q.empty()) {
            for (std::size_t j = 0; j < 6; ++j) {
                chord += (row[j] - knots.q.back()[j]) * (row[j] - knots.q.back()[j]);
            }
            chord = std::sqrt(chord);
        }
        if (knots.q.empty() || chord > kSameRow) {
            knots.s.push_back(knots.q.empty() ? 0.0 : knots.s.back() + chord);
            knots.q.push_back(row);
            knots.row.push_back(i);
            knots.added.push_back(0);
        }
        knot_of[i] = static_cast<std::ptrdiff_t>(knots.q.size()) - 1;
    }
    return knots;
}

// Millimetres any point of the arm can be from where the straight move
// between the ends of knot interval `segment` puts it at the same fraction of
// the way: the spline is within departure() of that move on every joint.
double spline_departure_mm(const CollisionChecker& checker, const JointSpline& spline, std::size_t segment) {
    const JointVector& radii = checker.motion_radii();
    double out = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        JointVector unit{};
        unit[j] = 1.0;
        out += radii[j] * kDegToRad * spline.departure(segment, unit);
    }
    return out;
}

// True when the spline over knot interval `segment` comes into contact:
// checked, as a straight move is, at the middles of pieces in which no point
// moves more than `resolution` mm (bounded from the joints' rates, see
// slope_bound), each padded by the most a point moves within its piece.
// `contact` gets the pair first found.
bool spline_collides(const CollisionChecker& checker, const JointSpline& spline, std::size_t segment,
                     double resolution, Clearance& contact) {
    const JointVector slope = spline.slope_bound(segment);
    const JointVector& radii = checker.motion_radii();
    const double from = spline.knots()[segment];
    const double h = spline.knots()[segment + 1] - from;
    double travel = 0.0;
    for (std::size_t j = 0; j < 6; ++j) {
        travel += radii[j] * kDegToRad * slope[j] * h;
    }
    if (!std::isfinite(travel)) {
        return true;
    }
    constexpr double kMaxPieces = 1 << 20;
    const double pieces = std::clamp(std::ceil(travel / resolution), 1.0, kMaxPieces);
    const double piece = travel / pieces;
    const auto count = static_cast<std::size_t>(pieces);
    for (std::size_t i = 0; i < count; ++i) {
        const JointVector q = spline.at(segment, from + h * ((static_cast<double>(i) + 0.5) / pieces)).q;
        if (checker.collides(q, piece)) {
            contact = checker.clearance(q);
            return true;
        }
    }
    return false;
}

// Millimetres a point may move between two checked places of the spline:
// finer than a plan's move check, so that knots added next to a contact
// that a straight move passes closely soon clear it.
constexpr double kSplineResolution = 1.0;

// The spline through the knots, kept within the arm's position limits: every
// interval where it leaves one by more than half the snap slack gets a knot
// halfway along its straight move, which is within every limit (each bounds
// a linear function of the joints, and both ends are within it), and the
// spline is rebuilt, for at most kMaxLimitKnotRounds rounds. The spline's
// departure from the straight moves shrinks with the intervals about it.
// With a checker, an interval whose straight move is clear and whose spline
// comes into contact gets a knot likewise, so the path keeps the plan's
// moves clear.
template <class Poll>
JointSpline spline_within_limits(const Arm& arm, Knots& knots, const CollisionChecker* checker, const Poll& poll) {
    const std::vector<PositionLimit> limits = position_limits(arm);
    // Per knot interval, whether its straight move is clear: not known yet,
    // clear or not (an added knot's halves are parts of their row's move).
    enum : std::uint8_t { kUnknown,
                          kClear,
                          kContact };
    std::vector<std::uint8_t> move_clear(checker != nullptr ? knots.q.size() - 1 : 0, kUnknown);
    // The spline is clear where the straight move keeps every pair apart by
    // twice the most a point can be off it (each body of a pair moves by
    // that); it is looked at itself only where that fails and the move is
    // clear.
    const auto contact_on = [&](const JointSpline& spline, std::size_t k, Clearance& contact) {
        const double off = spline_departure_mm(*checker, spline, k);
        if (std::isfinite(off) && !checker->move_collides(knots.q[k], knots.q[k + 1], 2.0 * off)) {
            return false;
        }
        if (move_clear[k] == kUnknown) {
            move_clear[k] = checker->move_collides(knots.q[k], knots.q[k + 1]) ? kContact : kClear;
        }
        return move_clear[k] == kClear && spline_collides(*checker, spline, k, kSplineResolution, contact);
    };
    for (int round = 0;; ++round) {
        JointSpline spline(knots.s, knots.q);
        std::vector<std::uint8_t> outside(knots.s.size() - 1, 0);
        std::size_t first = outside.size();
        std::string why;
        for (std::size_t k = 0; k < outside.size(); ++k) {
            poll();
            Clearance contact;
            if (checker != nullptr && contact_on(spline, k, contact)) {
                outside[k] = 1;
                if (first == outside.size()) {
                    first = k;
                    why = "comes into contact (" + body_name(contact.first) + " with " + body_name(contact.second) +
                          ") where the straight move between them is clear, and knots added on that move do not "
                          "clear it";
                }
                continue;
            }
            for (const PositionLimit& limit : limits) {
                const double lower = limit.kept_lower;
                const double upper = limit.kept_upper;
                double q0 = 0.0;
                double q1 = 0.0;
                for (std::size_t j = 0; j < 6; ++j) {
                    q0 += limit.weights[j] * knots.q[k][j];
                    q1 += limit.weights[j] * knots.q[k + 1][j];
                }
                // Well within (the 1e-6 is far above the bound's rounding), or by the exact range.
                const double departure = spline.departure(k, limit.weights) + 1e-6;
                if (std::min(q0, q1) - departure >= lower && std::max(q0, q1) + departure <= upper) {
                    continue;
                }
                const auto [low, high] = spline.range(k, limit.weights);
                const bool below = low < lower;
                if (below || high > upper) {
                    outside[k] = 1;
                    if (first == outside.size()) {
                        first = k;
                        why = "leaves the arm's joint limits (" + beyond(limit, "reaches", below ? low : high) +
                              "), and knots added on the straight move between them do not bring it within";
                    }
                    break;
                }
            }
        }
        if (first == outside.size()) {
            return spline;
        }
        Knots finer;
        std::vector<std::uint8_t> finer_clear;
        bool split = false;
        for (std::size_t k = 0; k < knots.s.size(); ++k) {
            finer.s.push_back(knots.s[k]);
            finer.q.push_back(knots.q[k]);
            finer.row.push_back(knots.row[k]);
            finer.added.push_back(knots.added[k]);
            if (k + 1 == knots.s.size()) {
                continue;
            }
            if (checker != nullptr) {
                finer_clear.push_back(move_clear[k]);
            }
            if (outside[k] == 0) {
                continue;
            }
            const double mid = 0.5 * (knots.s[k] + knots.s[k + 1]);
            if (!(mid > knots.s[k] && mid < knots.s[k + 1]) || round == kMaxLimitKnotRounds) {
                continue;
            }
            JointVector q{};
            for (std::size_t j = 0; j < 6; ++j) {
                const double a = knots.q[k][j];
                const double b = knots.q[k + 1][j];
                q[j] = std::clamp(a + 0.5 * (b - a), std::min(a, b), std::max(a, b));
            }
            finer.s.push_back(mid);
            finer.q.push_back(q);
            finer.row.push_back(knots.row[k]);
            finer.added.push_back(1);
            if (checker != nullptr) {
                finer_clear.push_back(move_clear[k]);
            }
            split = true;
        }
        if (!split) {
            std::size_t next = first + 1;
            while (knots.added[next] != 0) ++next;  // the last knot is a row
            throw TrajectoryError("the path between rows " + std::to_string(knots.row[first]) + " and " +
                                  std::to_string(knots.row[next]) + " " + why);
        }
        knots = std::move(finer);
        move_clear = std::move(finer_clear);
    }
}

}  // namespace

std::string trajectory_problem(const PathPlan& plan) {
    std::int64_t first = -1;
    for (std::size_t i = 0; i < plan.joints.size(); ++i) {
        if (std::isfinite(plan.joints[i][0])) {
            first = static_cast<std::int64_t>(i);
            break;
        }
    }
    std::string listed;
    std::size_t count = 0;
    for (const std::int64_t b : plan.breaks) {
        if (b > first) {
            listed += (count++ > 0 ? ", " : "") + std::to_string(b);
        }
    }
    if (count == 0) {
        return {};
    }
    return std::string("the plan breaks at waypoint") + (count > 1 ? "s " : " ") + listed +
           ": a break is a stop and reconfiguration that no smooth motion follows; time the continuous parts as "
           "separate plans";
}

Trajectory time_rows(const Arm& arm, std::span<const JointVector> rows, const TrajectoryLimits& limits,
                     double period, const CancelCheck& cancel, const CollisionChecker* checker) {
    detail::BatchStop stop(cancel);
    const auto poll = [&] {
        if (!stop.keep_going(true)) {
            throw BatchCancelled{};
        }
    };
    std::vector<std::ptrdiff_t> knot_of;
    Knots knots = row_knots(arm, rows, knot_of);
    const auto times_of = [&](const std::vector<double>& knot_times) {
        // The rows' knots, in order among the added ones.
        std::vector<std::size_t> row_knot;
        for (std::size_t k = 0; k < knots.added.size(); ++k) {
            if (knots.added[k] == 0) row_knot.push_back(k);
        }
        std::vector<double> out(rows.size(), std::numeric_limits<double>::quiet_NaN());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (knot_of[i] >= 0) out[i] = knot_times[row_knot[static_cast<std::size_t>(knot_of[i])]];
        }
        return out;
    };
    if (knots.q.empty()) {
        throw TrajectoryError("there is no row to time: every row is unreachable");
    }
    if (knots.q.size() < 2) {
        return at_rest(knots.q, times_of(std::vector<double>(knots.q.size(), 0.0)), limits, period);
    }
    const JointSpline spline = spline_within_limits(arm, knots, checker, poll);

    // The first grid: every knot, each interval split evenly to at most length / kInitialIntervals.
    const double longest = spline.length() / kInitialIntervals;
    std::vector<GridPoint> grid;
    for (std::size_t i = 0; i + 1 < knots.s.size(); ++i) {
        const double h = knots.s[i + 1] - knots.s[i];
        const auto pieces = static_cast<std::size_t>(std::max(1.0, std::ceil(h / longest)));
        for (std::size_t m = 0; m < pieces; ++m) {
            poll();
            const double s =
                m == 0 ? knots.s[i] : knots.s[i] + h * static_cast<double>(m) / static_cast<double>(pieces);
            grid.push_back(grid_point(arm, spline, limits, s, i));
        }
    }
    grid.push_back(grid_point(arm, spline, limits, knots.s.back(), knots.s.size() - 2));

    Profile profile;
    Trajectory out;
    for (int round = 0;; ++round) {
        profile = parameterise(grid, limits, poll);
        const std::size_t intervals = grid.size() - 1;
        std::vector<std::uint8_t> split(intervals, 0);
        for (std::size_t k = 0; k < intervals; ++k) {
            poll();
            const double step = grid[k + 1].s - grid[k].s;
            for (const double f : kCheckFractions) {
                const double s = grid[k].s + f * step;
                const double x = std::max(0.0, profile.x[k] + 2.0 * profile.u[k] * f * step);
                const State state{spline.at(grid[k].segment, s), std::sqrt(x), profile.u[k]};
                if (!within_limits(arm, state, limits)) {
                    split[k] = 1;
                    break;
                }
            }
        }
        out.time = sample_times(profile.t.back(), period);
        // Filled as they are computed (not zeroed first): the pages of the
        // largest motions take a while to come in, and polls answer meanwhile.
        const std::size_t samples = out.time.size();
        for (auto* values : {&out.joints, &out.velocity, &out.acceleration}) {
            values->clear();
            values->reserve(samples);
        }
        std::size_t k = 0;
        for (std::size_t i = 0; i < samples; ++i) {
            poll();
            while (k + 1 < intervals && profile.t[k + 1] <= out.time[i]) ++k;
            const State st = i + 1 == samples
                                 ? State{spline.at(grid.back().segment, grid.back().s), 0.0, profile.u.back()}
                                 : state_at(spline, grid, profile, k, out.time[i] - profile.t[k]);
            if (!within_limits(arm, st, limits)) {
                split[k] = 1;
            }
            JointVector velocity{};
            JointVector acceleration{};
            for (std::size_t j = 0; j < 6; ++j) {
                velocity[j] = st.path.dq[j] * st.speed;
                acceleration[j] = st.path.dq[j] * st.acceleration + st.path.ddq[j] * st.speed * st.speed;
            }
            out.joints.push_back(st.path.q);
            out.velocity.push_back(velocity);
            out.acceleration.push_back(acceleration);
        }
        if (std::find(split.begin(), split.end(), 1) == split.end() || round == kMaxRefinements) {
            break;
        }
        std::vector<GridPoint> finer;
        finer.reserve(grid.size() * 2);
        for (std::size_t m = 0; m < intervals; ++m) {
            poll();
            finer.push_back(grid[m]);
            const double mid = 0.5 * (grid[m].s + grid[m + 1].s);
            if (split[m] != 0 && mid > grid[m].s && mid < grid[m + 1].s) {
                finer.push_back(grid_point(arm, spline, limits, mid, grid[m].segment));
            }
        }
        finer.push_back(grid.back());
        grid = std::move(finer);
    }

    out.period = period;
    out.limits = limits;
    out.duration = profile.t.back();
    out.deviation = spline.chord_deviation();
    // The spline keeps within half the snap slack of the limits; a sample
    // beyond one by less than the slack is put on it.
    for (JointVector& q : out.joints) {
        poll();
        if (!arm_within_limits(arm, q) && !arm_snap_to_limits(arm, q)) {
            throw TrajectoryError("the timed path leaves the arm's joint limits");
        }
    }
    // Knots are grid points: their times are the profile's.
    std::vector<double> knot_times(knots.s.size(), 0.0);
    std::size_t next = 0;
    for (std::size_t k = 0; k < grid.size() && next < knots.s.size(); ++k) {
        if (grid[k].s == knots.s[next]) knot_times[next++] = profile.t[k];
    }
    out.waypoint_times = times_of(knot_times);
    return out;
}

Trajectory time_plan(const Arm& arm, const PathPlan& plan, const TrajectoryLimits& limits, double period,
                     const CancelCheck& cancel, const CollisionChecker* checker) {
    return time_rows(arm, plan.joints, limits, period, cancel, checker);
}

std::string to_string(const Trajectory& trajectory) {
    return "Trajectory(samples=" + std::to_string(trajectory.time.size()) +
           ", duration=" + format_fixed4(trajectory.duration) + ", period=" + format_fixed4(trajectory.period) + ")";
}

}  // namespace ortholink
