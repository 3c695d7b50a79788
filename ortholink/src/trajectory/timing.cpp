// TOPP-RA on a grid over the spline: a backward pass finds, at every grid
// point, the largest squared path speed x = ṡ² from which the end can still be
// reached at rest; a forward pass then takes the largest path acceleration
// u = s̈ that stays within those sets. u is constant between grid points, so x
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

Profile parameterise(const std::vector<GridPoint>& grid, const TrajectoryLimits& limits) {
    const std::size_t n = grid.size();
    const double scale = 1.0 - kLimitMargin;
    std::vector<StageBounds> bounds(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        bounds[k] = stage_bounds(grid[k], grid[k + 1], limits, scale);
    }
    // Backward: the controllable sets [0, high[k]]. x = 0 with u = 0 is always
    // feasible, so only the upper end needs computing: eliminating u from
    // every pair (lower bound <= upper bound) leaves bounds on x.
    std::vector<double> high(n, 0.0);
    for (std::size_t k = n - 1; k-- > 0;) {
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
        const double speeds = std::sqrt(x) + std::sqrt(next);
        if (!(speeds > 0.0)) {
            throw std::logic_error("the path speed vanished between grid points");
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

std::vector<double> sample_times(double duration, double period) {
    if (duration / period > static_cast<double>(kMaxTrajectorySamples)) {
        throw std::invalid_argument("more than " + std::to_string(kMaxTrajectorySamples) +
                                    " samples at this period (duration " + format_fixed4(duration) + " s)");
    }
    std::vector<double> times;
    for (std::size_t i = 0;; ++i) {
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
                     double period) {
    // Knots: the rows with joints, repeated ones merged, at their arc length.
    std::vector<double> knots;
    std::vector<JointVector> knot_rows;
    std::vector<std::ptrdiff_t> knot_of(rows.size(), -1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const JointVector& row = rows[i];
        if (!std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); })) {
            continue;
        }
        double chord = 0.0;
        if (!knot_rows.empty()) {
            for (std::size_t j = 0; j < 6; ++j) {
                chord += (row[j] - knot_rows.back()[j]) * (row[j] - knot_rows.back()[j]);
            }
            chord = std::sqrt(chord);
        }
        if (knot_rows.empty() || chord > kSameRow) {
            knots.push_back(knot_rows.empty() ? 0.0 : knots.back() + chord);
            knot_rows.push_back(row);
        }
        knot_of[i] = static_cast<std::ptrdiff_t>(knot_rows.size()) - 1;
    }
    const auto times_of = [&](const std::vector<double>& knot_times) {
        std::vector<double> out(rows.size(), std::numeric_limits<double>::quiet_NaN());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (knot_of[i] >= 0) out[i] = knot_times[static_cast<std::size_t>(knot_of[i])];
        }
        return out;
    };
    if (knot_rows.size() < 2) {
        return at_rest(knot_rows, times_of(std::vector<double>(knot_rows.size(), 0.0)), limits, period);
    }
    const JointSpline spline(knots, knot_rows);

    // The first grid: every knot, each interval split evenly to at most length / kInitialIntervals.
    const double longest = spline.length() / kInitialIntervals;
    std::vector<GridPoint> grid;
    for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
        const double h = knots[i + 1] - knots[i];
        const auto pieces = static_cast<std::size_t>(std::max(1.0, std::ceil(h / longest)));
        for (std::size_t m = 0; m < pieces; ++m) {
            const double s = m == 0 ? knots[i] : knots[i] + h * static_cast<double>(m) / static_cast<double>(pieces);
            grid.push_back(grid_point(arm, spline, limits, s, i));
        }
    }
    grid.push_back(grid_point(arm, spline, limits, knots.back(), knots.size() - 2));

    Profile profile;
    std::vector<double> times;
    std::vector<State> states;
    for (int round = 0;; ++round) {
        profile = parameterise(grid, limits);
        const std::size_t intervals = grid.size() - 1;
        std::vector<std::uint8_t> split(intervals, 0);
        for (std::size_t k = 0; k < intervals; ++k) {
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
        const double duration = profile.t.back();
        times = sample_times(duration, period);
        states.assign(times.size(), State{});
        std::size_t k = 0;
        for (std::size_t i = 0; i < times.size(); ++i) {
            while (k + 1 < intervals && profile.t[k + 1] <= times[i]) ++k;
            states[i] = i + 1 == times.size()
                            ? State{spline.at(grid.back().segment, grid.back().s), 0.0, profile.u.back()}
                            : state_at(spline, grid, profile, k, times[i] - profile.t[k]);
            if (!within_limits(arm, states[i], limits)) {
                split[k] = 1;
            }
        }
        if (std::find(split.begin(), split.end(), 1) == split.end() || round == kMaxRefinements) {
            break;
        }
        std::vector<GridPoint> finer;
        finer.reserve(grid.size() * 2);
        for (std::size_t m = 0; m < intervals; ++m) {
            finer.push_back(grid[m]);
            const double mid = 0.5 * (grid[m].s + grid[m + 1].s);
            if (split[m] != 0 && mid > grid[m].s && mid < grid[m + 1].s) {
                finer.push_back(grid_point(arm, spline, limits, mid, grid[m].segment));
            }
        }
        finer.push_back(grid.back());
        grid = std::move(finer);
    }

    Trajectory out;
    out.period = period;
    out.limits = limits;
    out.duration = profile.t.back();
    out.deviation = spline.chord_deviation();
    out.time = std::move(times);
    out.joints.resize(states.size());
    out.velocity.resize(states.size());
    out.acceleration.resize(states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        const State& st = states[i];
        for (std::size_t j = 0; j < 6; ++j) {
            out.joints[i][j] = st.path.q[j];
            out.velocity[i][j] = st.path.dq[j] * st.speed;
            out.acceleration[i][j] = st.path.dq[j] * st.acceleration + st.path.ddq[j] * st.speed * st.speed;
        }
    }
    // Knots are grid points: their times are the profile's.
    std::vector<double> knot_times(knots.size(), 0.0);
    std::size_t next = 0;
    for (std::size_t k = 0; k < grid.size() && next < knots.size(); ++k) {
        if (grid[k].s == knots[next]) knot_times[next++] = profile.t[k];
    }
    out.waypoint_times = times_of(knot_times);
    return out;
}

Trajectory time_plan(const Arm& arm, const PathPlan& plan, const TrajectoryLimits& limits, double period) {
    return time_rows(arm, plan.joints, limits, period);
}

std::string to_string(const Trajectory& trajectory) {
    return "Trajectory(samples=" + std::to_string(trajectory.time.size()) +
           ", duration=" + format_fixed4(trajectory.duration) + ", period=" + format_fixed4(trajectory.period) + ")";
}

}  // namespace ortholink
