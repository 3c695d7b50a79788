// Arm.plan_path and its result class PathPlan.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "arm_binding.hpp"
#include "arrays.hpp"
#include "classes.hpp"
#include "collision_binding.hpp"
#include "convert.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/path.hpp"
#include "trajectory_binding.hpp"

namespace ortholink::py {
namespace {

// Rows handed to `check` per call: large enough that the call overhead does
// not matter, small enough to bound the temporary arrays.
constexpr std::size_t kCheckBatch = 65536;

const PathPlan& plan_of(PyObject* self) { return unbox<PathPlan>(self); }

PyObject* plan_repr(PyObject* self) { return to_python(to_string(plan_of(self))); }

std::vector<std::int64_t> indices_from_any(PyObject* object, const char* name, std::size_t bound) {
    auto indices = waypoint_indices(vector_from_any(object, name).values, bound);
    if (!indices) {
        fail(PyExc_ValueError, "inconsistent PathPlan state");
    }
    // Whole and in range; a plan stores them as integers, ascending, each once.
    integers_from_any(object, name, 1);
    for (std::size_t k = 1; k < indices->size(); ++k) {
        if ((*indices)[k] <= (*indices)[k - 1]) {
            fail(PyExc_ValueError, "argument '%s': expected ascending indices, each once, got %lld after %lld", name,
                 static_cast<long long>((*indices)[k]), static_cast<long long>((*indices)[k - 1]));
        }
    }
    return std::move(*indices);
}

// A duration or travel a plan can hold: not NaN, not negative; infinite only
// for a duration with a break (of a plan stored before break moves were timed).
double plan_amount(PyObject* object, const char* name, bool infinite_allowed) {
    const double value = float_from_any(object, name);
    if (!(value >= 0.0) || (std::isinf(value) && !infinite_allowed)) {
        fail(PyExc_ValueError, "argument '%s': expected a non-negative, finite number%s, got %s", name,
             infinite_allowed ? " (or inf with a break)" : "", float_repr(value).c_str());
    }
    return value;
}

PyObject* plan_tool_rotation(PyObject* self) {
    const std::vector<double>& values = plan_of(self).tool_rotation;
    return array_copy(NPY_DOUBLE, {static_cast<npy_intp>(values.size())}, values.data());
}

PyObject* segments_of(PyObject* self) {
    const auto& segments = plan_of(self).segments;
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(segments.size()))));
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const PathSegment& s = segments[k];
        PyObject* item = check(Py_BuildValue("(LLd)", static_cast<long long>(s.first),
                                             static_cast<long long>(s.last), s.time));
        check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item));  // steals
    }
    return list.release();
}

PyObject* segment_times_of(PyObject* self) {
    const auto& segments = plan_of(self).segments;
    std::vector<double> times;
    times.reserve(segments.size());
    for (const PathSegment& s : segments) {
        times.push_back(s.time);
    }
    return array_copy(NPY_DOUBLE, {static_cast<npy_intp>(times.size())}, times.data());
}

PyObject* approach_of(PyObject* self) {
    const auto& approach = plan_of(self).approach;
    if (!approach) {
        Py_RETURN_NONE;
    }
    return check(Py_BuildValue("(dd)", approach->travel, approach->time));
}

// Rebuilds a plan from its fields (used by pickle). A state from before the
// free tool axis has no tool_rotation: such a plan turned no row. A state of a
// plan stored before the segments and the approach were kept has neither: its
// segments then come from the rows with NaN times, and it has no approach.
constexpr Signature<10> kPlanState{
    "_from_state",
    {"joints", "breaks", "unreachable", "duration", "travel", "nodes", "edges", "tool_rotation", "segment_times",
     "approach"},
    7,
    10,
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "None", "None", "None"}};
PyObject* plan_from_state(PyObject*, const Arguments<10>& values) {
    PathPlan plan;
    bool single = false;
    plan.joints = rows_of_six(values[0], "joints", single);
    if (single) {
        fail(PyExc_ValueError, "inconsistent PathPlan state");
    }
    plan.breaks = indices_from_any(values[1], "breaks", plan.joints.size());
    plan.unreachable = indices_from_any(values[2], "unreachable", plan.joints.size());
    // Exactly the unreachable rows are NaN rows; the others are finite.
    std::size_t next = 0;
    for (std::size_t i = 0; i < plan.joints.size(); ++i) {
        const bool unreachable =
            next < plan.unreachable.size() && plan.unreachable[next] == static_cast<std::int64_t>(i);
        next += unreachable ? 1 : 0;
        for (const double value : plan.joints[i]) {
            if (unreachable ? !std::isnan(value) : !std::isfinite(value)) {
                fail(PyExc_ValueError, "argument 'joints': expected %s in row %zu, as 'unreachable' says, got %s",
                     unreachable ? "NaN" : "finite angles", i, float_repr(value).c_str());
            }
        }
    }
    plan.segments = segment_ranges(plan.joints, plan.breaks);
    // Times of every stretch, or NaN for every one (not recorded).
    bool recorded = false;
    if (values[8] != nullptr && values[8] != Py_None) {
        const auto times = vector_from_any(values[8], "segment_times").values;
        if (times.size() != plan.segments.size()) {
            fail(PyExc_ValueError, "argument 'segment_times': expected %zu times, one per continuous stretch, got %zu",
                 plan.segments.size(), times.size());
        }
        recorded = !times.empty() && !std::isnan(times[0]);
        double sum = 0.0;
        for (std::size_t k = 0; k < times.size(); ++k) {
            if (recorded ? !(times[k] >= 0.0 && std::isfinite(times[k])) : !std::isnan(times[k])) {
                fail(PyExc_ValueError,
                     "argument 'segment_times': expected non-negative, finite seconds (or NaN for every stretch), "
                     "got %s",
                     float_repr(times[k]).c_str());
            }
            plan.segments[k].time = times[k];
            sum += recorded ? times[k] : 0.0;
        }
        plan.duration = plan_amount(values[3], "duration", !recorded && !plan.breaks.empty());
        // The stretches are part of the duration (the break moves are the rest).
        if (sum > plan.duration * (1.0 + 1e-9) + 1e-12) {
            fail(PyExc_ValueError, "argument 'segment_times': the stretches take %s s, more than the duration %s s",
                 float_repr(sum).c_str(), float_repr(plan.duration).c_str());
        }
    } else {
        plan.duration = plan_amount(values[3], "duration", !plan.breaks.empty());
    }
    if (values[9] != nullptr && values[9] != Py_None) {
        const auto approach = vector_from_any(values[9], "approach", 2).values;
        if (approach.size() != 2 || !(approach[0] >= 0.0 && std::isfinite(approach[0])) ||
            !(approach[1] >= 0.0 && std::isfinite(approach[1]))) {
            fail(PyExc_ValueError, "argument 'approach': expected None or (travel, time), non-negative and finite");
        }
        if (plan.segments.empty()) {
            fail(PyExc_ValueError, "argument 'approach': expected None for a plan that reaches no waypoint");
        }
        plan.approach = PathApproach{approach[0], approach[1]};
    }
    plan.travel = plan_amount(values[4], "travel", false);
    plan.nodes = count_from_any(values[5], "nodes");
    plan.edges = count_from_any(values[6], "edges");
    if (values[7] == nullptr || values[7] == Py_None) {
        plan.tool_rotation.assign(plan.joints.size(), 0.0);
        for (const std::int64_t row : plan.unreachable) {
            plan.tool_rotation[static_cast<std::size_t>(row)] = std::nan("");
        }
    } else {
        const Vector1D turns = vector_from_any(values[7], "tool_rotation", plan.joints.size());
        if (turns.length != plan.joints.size() || turns.values.size() != plan.joints.size()) {
            fail(PyExc_ValueError, "argument 'tool_rotation': expected %zu values, one per row, got %zu",
                 plan.joints.size(), turns.length);
        }
        // NaN exactly on the unreachable rows, as in joints.
        for (std::size_t i = 0; i < plan.joints.size(); ++i) {
            const bool unreachable = std::isnan(plan.joints[i][0]);
            if (unreachable ? !std::isnan(turns.values[i]) : !std::isfinite(turns.values[i])) {
                fail(PyExc_ValueError, "argument 'tool_rotation': expected %s in row %zu, as 'unreachable' says, got %s",
                     unreachable ? "NaN" : "a finite turn", i, float_repr(turns.values[i]).c_str());
            }
        }
        plan.tool_rotation = turns.values;
    }
    return box(std::move(plan));
}

const MethodTable plan_methods{
    def<kPlanState, plan_from_state>("Rebuild a plan from its fields (for pickle)."),
    reduce_def<ClassId::PathPlan, kFromState, member<&PathPlan::joints>, member<&PathPlan::breaks>,
               member<&PathPlan::unreachable>, member<&PathPlan::duration>, member<&PathPlan::travel>,
               member<&PathPlan::nodes>, member<&PathPlan::edges>, plan_tool_rotation, segment_times_of,
               approach_of>(),
};

const PropertyTable plan_properties{
    property<member<&PathPlan::joints>>(
        "joints", "One row of controller degrees per waypoint, an (n, 6) array; NaN rows where unreachable."),
    property<member<&PathPlan::breaks>>(
        "breaks", "Indices i (int64) where the move to waypoint i is not continuous: the arm stops and reconfigures."),
    property<member<&PathPlan::unreachable>>(
        "unreachable",
        "Indices (int64) of the waypoints without a solution within the limits (or that `check` allows)."),
    property<member<&PathPlan::duration>>(
        "duration",
        "Seconds of motion at the rated joint speeds from the first reached row to the last: the\n"
        "segments' times and the break moves between them (the approach is apart)."),
    property<member<&PathPlan::travel>>(
        "travel", "Summed joint motion in degrees over every move between consecutive reached rows."),
    property<member<&PathPlan::nodes>>("nodes", "Solutions the search considered."),
    property<member<&PathPlan::edges>>(
        "edges", "Continuous moves between solutions of consecutive waypoints the search considered."),
    property<plan_tool_rotation>(
        "tool_rotation",
        "Per row, the turn in degrees about the target's own z that the row reaches (float64, (n,)):\n"
        "row i reaches `targets[i] @ Rz(tool_rotation[i])`. Zeros without `free_axis`; NaN where unreachable."),
    property<segments_of>(
        "segments",
        "The continuous stretches, a list of (first, last, time): the first and last reached\n"
        "waypoint indices of each (ints, inclusive; unreachable waypoints between them are skipped)\n"
        "and the seconds of its moves at the rated speeds. A new stretch begins at each break; the\n"
        "break move into it is not part of any stretch's time. Empty when nothing is reached. A plan\n"
        "pickled before the stretches were timed has NaN times."),
    property<approach_of>(
        "approach",
        "The move from `start` to the first reached row as (travel, time): summed joint motion in\n"
        "degrees and seconds at the rated speeds; None without `start` (or reached row). It is not\n"
        "part of `duration`, `travel` or `breaks`."),
};

constexpr const char* kPlanDoc =
    "The plan of `Arm.plan_path`: one joint vector per waypoint, where it breaks, what it\n"
    "cannot reach, and how long it takes. Immutable; the arrays are fresh copies on every access.";

// True for a list or tuple holding nothing but bools.
bool is_bool_list(PyObject* object) {
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        return false;
    }
    Ref items = Ref::steal(check(PySequence_Tuple(object)));
    for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
        PyObject* item = PyTuple_GetItem(items.get(), i);
        if (!PyBool_Check(item) && !PyArray_IsScalar(item, Bool)) {
            return false;
        }
    }
    return true;
}

// Asks `check` about every node, in batches; returns one byte per node.
std::vector<std::uint8_t> allowed_nodes(PyObject* check_callable, const std::vector<JointVector>& nodes) {
    std::vector<std::uint8_t> keep(nodes.size(), 0);
    for (std::size_t begin = 0; begin < nodes.size(); begin += kCheckBatch) {
        const std::size_t end = std::min(nodes.size(), begin + kCheckBatch);
        const npy_intp shape[2] = {static_cast<npy_intp>(end - begin), 6};
        Ref rows = Ref::steal(new_float64_array(2, shape));
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())), nodes.data() + begin,
                    (end - begin) * sizeof(JointVector));
        Ref answer = Ref::steal(check(PyObject_CallFunctionObjArgs(check_callable, rows.get(), nullptr)));
        // Only an array, or a list or tuple of bools, is read: NumPy would
        // iterate any other object for as long as it claims to be.
        Ref mask = PyArray_Check(answer.get()) || is_bool_list(answer.get()) ? asarray(answer.get()) : answer;
        auto* array = reinterpret_cast<PyArrayObject*>(mask.get());
        if (!PyArray_Check(mask.get()) || PyArray_NDIM(array) != 1 ||
            PyArray_DIM(array, 0) != static_cast<npy_intp>(end - begin) || PyArray_TYPE(array) != NPY_BOOL) {
            const std::string got =
                PyArray_Check(mask.get())
                    ? std::string(PyArray_TYPE(array) == NPY_BOOL ? "a boolean" : "a non-boolean") + " array of " +
                          std::to_string(PyArray_NDIM(array)) + " dimensions" +
                          (PyArray_NDIM(array) == 1 ? " and length " + std::to_string(PyArray_DIM(array, 0)) : "")
                    : type_name_of(answer.get());
            fail(PyExc_ValueError, "argument 'check': expected a boolean mask of length %zd, got %s",
                 static_cast<Py_ssize_t>(end - begin), got.c_str());
        }
        for (std::size_t k = begin; k < end; ++k) {
            const auto offset = static_cast<npy_intp>(k - begin) * PyArray_STRIDE(array, 0);
            keep[k] = *reinterpret_cast<const npy_bool*>(PyArray_BYTES(array) + offset) != 0 ? 1 : 0;
        }
    }
    return keep;
}

// The turns of a free_axis argument: None for none, else (lower, upper, step) in degrees.
std::vector<double> free_axis_argument(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return {};
    }
    const Vector1D values = vector_from_any(object, "free_axis", 3);
    if (values.length != 3 || values.values.size() != 3) {
        fail(PyExc_ValueError, "argument 'free_axis': expected (lower, upper, step) in degrees, got %zu values",
             values.length);
    }
    const double lower = values.values[0];
    const double upper = values.values[1];
    const double step = values.values[2];
    if (!std::isfinite(lower) || !std::isfinite(upper) || !std::isfinite(step)) {
        fail(PyExc_ValueError, "argument 'free_axis': expected finite degrees, got (%s, %s, %s)",
             float_repr(lower).c_str(), float_repr(upper).c_str(), float_repr(step).c_str());
    }
    // Beyond 2**28 degrees a sample is no longer the turn it names.
    if (std::fabs(lower) > kMaxTurnMagnitude || std::fabs(upper) > kMaxTurnMagnitude) {
        fail(PyExc_ValueError, "argument 'free_axis': expected lower and upper at most %s in magnitude, got (%s, %s)",
             float_repr(kMaxTurnMagnitude).c_str(), float_repr(lower).c_str(), float_repr(upper).c_str());
    }
    if (!(lower <= upper)) {
        fail(PyExc_ValueError, "argument 'free_axis': expected lower <= upper, got lower %s and upper %s",
             float_repr(lower).c_str(), float_repr(upper).c_str());
    }
    if (!(step > 0.0)) {
        fail(PyExc_ValueError, "argument 'free_axis': expected a positive step, got %s", float_repr(step).c_str());
    }
    auto rotations = free_axis_rotations(lower, upper, step);
    if (!rotations) {
        const double count = free_axis_sample_count(lower, upper, step);
        const std::string got = count < 1e15 ? std::to_string(static_cast<long long>(count)) : float_repr(count);
        fail(PyExc_ValueError, "argument 'free_axis': expected at most %zu samples, got %s (take a larger step)",
             kMaxFreeAxisSamples, got.c_str());
    }
    return std::move(*rotations);
}

constexpr Signature<8> kPlanPath{
    "plan_path",
    {"targets", "start", "max_step", "check", "scene", "collision_free", "free_axis", "max_step_per_mm"},
    1,
    2,
    {nullptr, nullptr, "10.0", nullptr, nullptr, "True", "None", "5.0"}};
PyObject* plan_path(PyObject* self, const Arguments<8>& values) {
    const Arm arm = unbox<Arm>(self);
    const auto targets = near_rigid_poses(values[0], "targets");
    std::optional<JointVector> start;
    if (values[1] != nullptr && values[1] != Py_None) {
        start = joints_from_any(values[1], "start");
        for (const double value : *start) {
            if (!std::isfinite(value)) {
                fail(PyExc_ValueError, "argument 'start': expected finite joint angles");
            }
        }
    }
    double max_step = 10.0;
    if (values[2] != nullptr) {
        max_step = float_from_any(values[2], "max_step");
        if (!(max_step > 0.0)) {
            fail(PyExc_ValueError, "argument 'max_step': expected a positive number of degrees, got %R", values[2]);
        }
    }
    double max_step_per_mm = kStepPerMm;
    if (values[7] != nullptr) {
        max_step_per_mm = float_from_any(values[7], "max_step_per_mm");
        if (!(max_step_per_mm > 0.0)) {
            fail(PyExc_ValueError,
                 "argument 'max_step_per_mm': expected a positive number of degrees per millimetre (or inf), got %R",
                 values[7]);
        }
    }
    PyObject* check_callable = values[3] == Py_None ? nullptr : values[3];
    if (check_callable != nullptr && !PyCallable_Check(check_callable)) {
        fail(PyExc_TypeError, "argument 'check': expected a callable, got %s", type_name_of(check_callable).c_str());
    }
    const Scene& scene = scene_argument(values[4], "scene");
    const bool collision_free = flag_from_any(values[5], "collision_free", true);
    const std::vector<double> rotations = free_axis_argument(values[6]);
    std::optional<CollisionChecker> checker;
    PathLayers layers;
    without_gil([&](const CancelCheck& cancel) {
        if (collision_free) {
            checker.emplace(arm, scene);
            layers = path_layers_free(arm, *checker, targets, rotations, 0.0, 0, cancel);
        } else {
            layers = path_layers(arm, targets, rotations, 0, cancel);
        }
    });
    if (check_callable != nullptr) {
        ensure_numpy();
        const auto keep = allowed_nodes(check_callable, layers.nodes);
        keep_nodes(layers, keep);
    }
    PathPlan plan;
    // `check` saw the solver's members only, so with it family members stay where they are.
    const bool move_families = check_callable == nullptr;
    without_gil([&](const CancelCheck& cancel) {
        plan = checker ? plan_over_layers_free(arm, layers, start, max_step, *checker, 0.0, cancel, move_families,
                                               max_step_per_mm)
                       : plan_over_layers(arm, layers, start, max_step, cancel, move_families, max_step_per_mm);
    });
    return box(std::move(plan));
}

}  // namespace

const MethodTable arm_path_methods{
    def<kPlanPath, plan_path, ClassId::Arm>(
        "The best continuous joint path through TCP poses, over every solution branch, as a `PathPlan`.\n\n"
        "At each of the `targets` every solution within the limits is a candidate, whole-turn variants\n"
        "included. Two solutions of consecutive waypoints connect when no joint moves more than\n"
        "`max_step` degrees, nor more than 1 degree plus `max_step_per_mm` degrees per millimetre of\n"
        "TCP travel between the two waypoints (a degree of TCP rotation counts as a millimetre; inf\n"
        "turns this off): a large step for a small TCP motion is a branch switch, not a motion along\n"
        "the path. Any other move is a break, where the arm stops and reconfigures by a\n"
        "point-to-point move. The plan has the fewest breaks and then the shortest `duration` at the\n"
        "rated speeds `max_speed`, break moves included (an exact shortest path over the layers of\n"
        "solutions, not a greedy choice); `PathPlan.segments` times each continuous stretch.\n\n"
        "With `start` (the joints the arm stands at), the move to the first row is the approach,\n"
        "reported apart in `PathPlan.approach`: never a break, and never a reason for one later, since\n"
        "the first row is chosen for the path alone. Plans that take the same time (within 1e-9) go to\n"
        "the shorter approach (summed degrees, then seconds), then to the first row nearest home (the\n"
        "zero joints, clamped into the limits; summed degrees of J1-J3, then of J4-J6), so without\n"
        "`start` the plan starts in the posture nearest zero.\n\n"
        "A waypoint without a solution is listed in `unreachable`, gets a NaN row and is skipped: the\n"
        "next reached waypoint connects to the last reached one by the same rule. `check`, when given,\n"
        "is called with (k, 6) arrays of candidate joint vectors, in batches, and returns a boolean\n"
        "mask of those allowed (a collision check, a keep-out zone); the others are dropped before\n"
        "the search.\n\n"
        "With `collision_free` (the default) the plan keeps the arm clear of itself, its tool and\n"
        "`scene` (a `Scene`): solutions that collide are dropped, and every continuous move the plan\n"
        "uses is checked along its joint-space interpolation, at a resolution that bounds how far any\n"
        "point moves between checks and padded by it, so no contact between rows is missed; a move\n"
        "that collides is left out and the search repeated. The approach is checked too: one that\n"
        "collides is taken only when every first row of a plan with as few breaks needs one. Break\n"
        "moves are not checked.\n"
        "`collision_free=False` plans as without collision checks.\n\n"
        "`free_axis=(lower, upper, step)`, in degrees, frees the turn about each target's own z (a\n"
        "round torch, nozzle or spindle): every waypoint may turn by lower, lower + step, ... and\n"
        "upper itself (when the step does not divide the range the last gap is shorter; turns a\n"
        "whole turn apart are sampled once, as the smallest), at most 3600 samples. The solutions of every\n"
        "sample join the waypoint's candidates, under the same rules (limits, `check`, the scene);\n"
        "the turn each row takes is `PathPlan.tool_rotation`, and of equal plans the smaller turns win."),
};

const ClassDescription& path_plan_class() {
    static const HeapClass<PathPlan, 1> type("ortholink.PathPlan", kPlanDoc, {plan_methods, plan_trajectory_methods}, plan_properties,
                                             {{{Py_tp_repr, slot(call<plan_repr>)}}});
    return type.description;
}

}  // namespace ortholink::py
