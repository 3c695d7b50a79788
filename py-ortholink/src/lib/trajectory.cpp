// PathPlan.trajectory and its result class Trajectory.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "collision_binding.hpp"
#include "convert.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/trajectory.hpp"
#include "ortholink/urdf.hpp"
#include "trajectory_binding.hpp"

namespace ortholink::py {
namespace {

const Trajectory& trajectory_of(PyObject* self) { return unbox<Trajectory>(self); }

PyObject* trajectory_repr(PyObject* self) { return to_python(to_string(trajectory_of(self))); }

PyObject* float_array(const std::vector<double>& values) {
    return array_copy(NPY_DOUBLE, {static_cast<npy_intp>(values.size())}, values.data());
}

template <std::vector<double> Trajectory::*Field>
PyObject* floats(PyObject* self) {
    return float_array(trajectory_of(self).*Field);
}

PyObject* limit_speed(PyObject* self) { return to_python(trajectory_of(self).limits.max_speed); }
PyObject* limit_acceleration(PyObject* self) { return to_python(trajectory_of(self).limits.max_acceleration); }
PyObject* limit_tcp(PyObject* self) {
    const auto& tcp = trajectory_of(self).limits.tcp_speed;
    if (!tcp) {
        Py_RETURN_NONE;
    }
    return to_python(*tcp);
}

[[noreturn]] void bad_state() { fail(PyExc_ValueError, "inconsistent Trajectory state"); }

std::vector<JointVector> rows_of_length(PyObject* object, const char* name, std::size_t count) {
    bool single = false;
    auto rows = rows_of_six(object, name, single);
    if (single || rows.size() != count) bad_state();
    for (const JointVector& row : rows) {
        for (const double value : row) {
            if (!std::isfinite(value)) {
                fail(PyExc_ValueError, "argument '%s': expected finite values, got %s", name, float_repr(value).c_str());
            }
        }
    }
    return rows;
}

// A number a trajectory holds: finite, and positive or at least 0.
double state_number(PyObject* object, const char* name, bool positive) {
    const double value = float_from_any(object, name);
    if (!(std::isfinite(value) && (positive ? value > 0.0 : value >= 0.0))) {
        fail(PyExc_ValueError, "argument '%s': expected a %s, finite number, got %s", name,
             positive ? "positive" : "non-negative", float_repr(value).c_str());
    }
    return value;
}

JointVector state_limits(PyObject* object, const char* name) {
    const JointVector values = six_values(object, name);
    for (const double value : values) {
        if (!(std::isfinite(value) && value > 0.0)) {
            fail(PyExc_ValueError, "argument '%s': expected positive, finite limits, got %s", name,
                 float_repr(value).c_str());
        }
    }
    return values;
}

// Rebuilds a trajectory from its fields (used by pickle), refusing what no
// timing gives: samples from 0 to the duration at increasing times, finite
// samples, waypoint times within the motion (NaN for rows without joints) in
// the order of the rows, and positive limits and period.
constexpr Signature<11> kTrajectoryState{"_from_state",
                                         {"time", "joints", "velocity", "acceleration", "waypoint_times", "duration",
                                          "period", "deviation", "max_speed", "max_acceleration", "tcp_speed"}};
PyObject* trajectory_from_state(PyObject*, const Arguments<11>& values) {
    Trajectory t;
    t.time = vector_from_any(values[0], "time").values;
    t.joints = rows_of_length(values[1], "joints", t.time.size());
    t.velocity = rows_of_length(values[2], "velocity", t.time.size());
    t.acceleration = rows_of_length(values[3], "acceleration", t.time.size());
    t.waypoint_times = vector_from_any(values[4], "waypoint_times").values;
    t.duration = state_number(values[5], "duration", false);
    t.period = state_number(values[6], "period", true);
    t.deviation = state_number(values[7], "deviation", false);
    t.limits.max_speed = state_limits(values[8], "max_speed");
    t.limits.max_acceleration = state_limits(values[9], "max_acceleration");
    if (values[10] != Py_None) {
        t.limits.tcp_speed = state_number(values[10], "tcp_speed", true);
    }
    for (std::size_t i = 0; i < t.time.size(); ++i) {
        const double before = i == 0 ? 0.0 : t.time[i - 1];
        const bool ordered = i == 0 ? t.time[i] == 0.0 : t.time[i] > before;
        if (!(ordered && t.time[i] <= t.duration)) {
            fail(PyExc_ValueError,
                 "argument 'time': expected increasing times from 0 to the duration %s, got %s at sample %zu",
                 float_repr(t.duration).c_str(), float_repr(t.time[i]).c_str(), i);
        }
    }
    if (t.time.empty() ? t.duration != 0.0 : t.time.back() != t.duration) {
        fail(PyExc_ValueError, "argument 'duration': expected the time of the last sample, got %s",
             float_repr(t.duration).c_str());
    }
    double passed = 0.0;
    for (const double w : t.waypoint_times) {
        if (!std::isnan(w) && !(w >= passed && w <= t.duration)) {
            fail(PyExc_ValueError,
                 "argument 'waypoint_times': expected times within the motion, in the order of the rows (NaN for "
                 "rows without joints), got %s",
                 float_repr(w).c_str());
        }
        passed = std::isnan(w) ? passed : w;
    }
    return box(std::move(t));
}

// ROS 2 builtin_interfaces/Duration: whole seconds (int32) and nanoseconds
// below one second. Sample times are finite and not negative.
PyObject* ros_duration(double seconds) {
    constexpr double kMostSeconds = 2147483647.0;
    double whole = std::floor(seconds);
    double nanoseconds = std::round((seconds - whole) * 1e9);
    if (nanoseconds >= 1e9) {
        whole += 1.0;
        nanoseconds -= 1e9;
    }
    if (!(whole >= 0.0 && whole <= kMostSeconds)) {
        fail(PyExc_ValueError, "a sample at %s s is beyond what a ROS 2 Duration holds (2147483647 s)",
             float_repr(seconds).c_str());
    }
    return check(Py_BuildValue("{s:L,s:L}", "sec", static_cast<long long>(whole), "nanosec",
                               static_cast<long long>(nanoseconds)));
}

PyObject* float_list(const UrdfJoints& values) {
    return check(
        Py_BuildValue("[dddddd]", values[0], values[1], values[2], values[3], values[4], values[5]));
}

PyObject* to_joint_trajectory(PyObject* self) {
    const Trajectory& t = trajectory_of(self);
    Ref points = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(t.time.size()))));
    for (std::size_t i = 0; i < t.time.size(); ++i) {
        // The URDF map is linear, so rates convert as the angles do.
        Ref positions = Ref::steal(float_list(joints_to_urdf(t.joints[i])));
        Ref velocities = Ref::steal(float_list(joints_to_urdf(t.velocity[i])));
        Ref accelerations = Ref::steal(float_list(joints_to_urdf(t.acceleration[i])));
        Ref effort = Ref::steal(check(PyList_New(0)));
        Ref time = Ref::steal(ros_duration(t.time[i]));
        PyObject* point = check(Py_BuildValue("{s:O,s:O,s:O,s:O,s:O}", "positions", positions.get(), "velocities",
                                              velocities.get(), "accelerations", accelerations.get(), "effort",
                                              effort.get(), "time_from_start", time.get()));
        PyList_SetItem(points.get(), static_cast<Py_ssize_t>(i), point);  // steals
    }
    return check(Py_BuildValue("{s:{s:{s:i,s:i},s:s},s:[ssssss],s:O}", "header", "stamp", "sec", 0, "nanosec", 0,
                               "frame_id", "", "joint_names", "joint_1", "joint_2", "joint_3", "joint_4", "joint_5",
                               "joint_6", "points", points.get()));
}

std::filesystem::path path_argument(PyObject* object, const char* name) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(object, &converted)) {
        raise_with_argument_name(name);
    }
    Ref bytes = Ref::steal(converted);
    return std::filesystem::path(PyBytes_AsString(bytes.get()));
}

constexpr Signature<1> kToCsv{"to_csv", {"path"}};
PyObject* to_csv(PyObject* self, const Arguments<1>& values) {
    const std::filesystem::path path = path_argument(values[0], "path");
    const std::string text = trajectory_csv(trajectory_of(self));
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        const std::string shown = path.string();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, shown.c_str());
        throw PyErrorSet{};
    }
    Py_RETURN_NONE;
}

// Drawing lives in Python beside the extension, where matplotlib is optional.
constexpr Signature<1> kPlot{"plot", {"path"}, 0, 1};
PyObject* plot(PyObject* self, const Arguments<1>& values) {
    Ref module = Ref::steal(check(PyImport_ImportModule("ortholink_plot")));
    Ref function = Ref::steal(check(PyObject_GetAttrString(module.get(), "plot_trajectory")));
    PyObject* path = values[0] == nullptr ? Py_None : values[0];
    return check(PyObject_CallFunctionObjArgs(function.get(), self, path, nullptr));
}

const MethodTable trajectory_methods{
    def<kToCsv, to_csv, ClassId::Trajectory>(
        "Write the samples to a CSV file: a header line time,j1..j6,v1..v6,a1..a6, then one line per\n"
        "sample (seconds, controller degrees, degrees/s, degrees/s²), every number exact."),
    {"to_joint_trajectory", call<to_joint_trajectory, PyObject*>, METH_NOARGS,
     "to_joint_trajectory($self, /)\n--\n\n"
     "The samples as a plain dict shaped like ROS 2 trajectory_msgs/JointTrajectory.\n\n"
     "`header` (zero stamp, empty frame_id), `joint_names` (joint_1 .. joint_6, as `Arm.write_urdf`\n"
     "names them) and `points`: for each sample `positions`, `velocities` and `accelerations` in\n"
     "radians (joint_3 is J2 + J3, as `Crx.joints_to_urdf` gives it), an empty `effort` and\n"
     "`time_from_start` as {\"sec\": ..., \"nanosec\": ...}."},
    def<kPlot, plot, ClassId::Trajectory>(
        "Draw joint positions, velocities and accelerations against time with the limits, using\n"
        "matplotlib (not a dependency of ortholink). Returns the figure; with `path`, also saves it there."),
    def<kTrajectoryState, trajectory_from_state>("Rebuild a trajectory from its fields (for pickle)."),
    reduce_def<ClassId::Trajectory, kFromState, floats<&Trajectory::time>, member<&Trajectory::joints>,
               member<&Trajectory::velocity>, member<&Trajectory::acceleration>,
               floats<&Trajectory::waypoint_times>, member<&Trajectory::duration>, member<&Trajectory::period>,
               member<&Trajectory::deviation>, limit_speed, limit_acceleration, limit_tcp>(),
};

const PropertyTable trajectory_properties{
    property<floats<&Trajectory::time>>("time", "Sample times in seconds from 0: every `period`, and the end."),
    property<member<&Trajectory::joints>>("joints", "Joint angles at the samples, controller degrees, (m, 6)."),
    property<member<&Trajectory::velocity>>("velocity", "Joint velocities at the samples, degrees per second, (m, 6)."),
    property<member<&Trajectory::acceleration>>(
        "acceleration", "Joint accelerations at the samples, degrees per second squared, (m, 6)."),
    property<floats<&Trajectory::waypoint_times>>(
        "waypoint_times", "When the motion passes each row of the plan, seconds; NaN for unreachable rows."),
    property<member<&Trajectory::duration>>("duration", "Seconds from the first row to the last."),
    property<member<&Trajectory::period>>("period", "Seconds between samples."),
    property<member<&Trajectory::deviation>>(
        "deviation",
        "A bound, in degrees, on any joint's distance from the straight joint move between\n"
        "consecutive rows (at the same fraction of the way) along the whole motion."),
    property<limit_speed>("max_speed", "The joint speed limits used, degrees per second, (6,)."),
    property<limit_acceleration>("max_acceleration", "The joint acceleration limits used, degrees/s², (6,)."),
    property<limit_tcp>("tcp_speed", "The TCP speed limit used, mm/s, or None."),
};

constexpr const char* kTrajectoryDoc =
    "The timed motion of `PathPlan.trajectory`: joints, velocities and accelerations sampled every\n"
    "`period` seconds and at the end, at rest on the plan's first and last rows. Immutable; the\n"
    "arrays are fresh copies on every access.";

// A positive, finite number argument.
double positive(PyObject* object, const char* name, const char* unit) {
    const double value = float_from_any(object, name);
    if (!(std::isfinite(value) && value > 0.0)) {
        fail(PyExc_ValueError, "argument '%s': expected a positive, finite number of %s, got %R", name, unit, object);
    }
    return value;
}

constexpr Signature<6> kTrajectory{"trajectory",
                                   {"arm", "max_acceleration", "tcp_speed", "period", "scene", "collision_free"},
                                   1,
                                   1,
                                   {nullptr, nullptr, nullptr, "0.008", nullptr, "True"}};
PyObject* plan_trajectory(PyObject* self, const Arguments<6>& values) {
    const PathPlan& plan = unbox<PathPlan>(self);
    const Arm& arm = unbox_argument<Arm>(values[0], "arm");
    TrajectoryLimits limits;
    limits.max_speed = arm.max_speed;
    limits.max_acceleration = arm_max_acceleration(arm);
    if (values[1] != nullptr && values[1] != Py_None) {
        limits.max_acceleration = six_values(values[1], "max_acceleration");
        for (const double a : limits.max_acceleration) {
            if (!(std::isfinite(a) && a > 0.0)) {
                fail(PyExc_ValueError, "argument 'max_acceleration': expected positive, finite accelerations");
            }
        }
    }
    if (values[2] != nullptr && values[2] != Py_None) {
        limits.tcp_speed = positive(values[2], "tcp_speed", "millimetres per second");
    }
    const double period = values[3] == nullptr ? 0.008 : positive(values[3], "period", "seconds");
    const Scene& scene = scene_argument(values[4], "scene");
    const bool collision_free = flag_from_any(values[5], "collision_free", true);
    const std::string problem = trajectory_problem(plan);
    if (!problem.empty()) {
        fail(PyExc_ValueError, "%s", problem.c_str());
    }
    Trajectory trajectory;
    try {
        without_gil([&](const CancelCheck& cancel) {
            std::optional<CollisionChecker> checker;
            if (collision_free) {
                checker.emplace(arm, scene);
            }
            trajectory = time_plan(arm, plan, limits, period, cancel, checker ? &*checker : nullptr);
        });
    } catch (const std::invalid_argument& error) {
        // Too many samples: the period's, when the caller chose it.
        if (values[3] != nullptr) {
            fail(PyExc_ValueError, "argument 'period': %s", error.what());
        }
        fail(PyExc_ValueError, "%s", error.what());
    } catch (const TrajectoryError& error) {
        fail(PyExc_ValueError, "%s", error.what());
    }
    return box(std::move(trajectory));
}

}  // namespace

const MethodTable plan_trajectory_methods{
    def<kTrajectory, plan_trajectory, ClassId::PathPlan>(
        "The fastest motion along the plan on `arm` within its limits, as a `Trajectory`.\n\n"
        "The rows are joined by the natural cubic spline through them, parameterised by joint-space\n"
        "arc length: it passes through every row and stays within `Trajectory.deviation` degrees of\n"
        "the straight moves between them. Where it would leave the joint limits of `arm` (its elbow\n"
        "limit too), knots are added on the straight moves between the rows until it keeps within\n"
        "them. The motion along it is time-optimal (TOPP-RA) under the joint speeds `arm.max_speed`,\n"
        "the joint accelerations `max_acceleration` (degrees/s², six; None: `arm.max_acceleration`)\n"
        "and, when given, a TCP speed limit `tcp_speed` (mm/s), starting and ending at rest on the\n"
        "first and last rows. It is sampled at 0, every `period` seconds and at the end; every sample\n"
        "is within the joint limits and within every rate limit (to 1e-6 relative). Unreachable rows\n"
        "are skipped. A plan with a break after its first row is refused with ValueError naming the\n"
        "breaks: the arm stops and reconfigures there, so time each continuous part as its own plan.\n"
        "A plan without a reachable row, rows outside the joint limits, limits too low for any\n"
        "representable speed, and a motion of more than 10,000,000 samples are refused with\n"
        "ValueError. The move from `start` is not part of the motion.\n\n"
        "With `collision_free` (the default) the motion keeps clear wherever the plan's moves are: the\n"
        "spline can cut a corner of the straight moves into an obstacle, so where the straight move\n"
        "between two rows is clear of the arm itself, its tool and `scene` (a `Scene`; pass the one the\n"
        "plan was made with) and the spline is not, knots are added on that move until it is, as for\n"
        "the limits (ValueError if they do not clear it). A move that collides itself, as in a plan made\n"
        "with `collision_free=False`, is left as it is. `collision_free=False` checks nothing."),
};

const ClassDescription& trajectory_class() {
    static const HeapClass<Trajectory, 1> type("ortholink.Trajectory", kTrajectoryDoc, {trajectory_methods},
                                               trajectory_properties, {{{Py_tp_repr, slot(call<trajectory_repr>)}}});
    return type.description;
}

}  // namespace ortholink::py
