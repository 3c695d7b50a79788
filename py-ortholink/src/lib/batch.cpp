// Batch methods of Crx (many poses or joint vectors per call, computed with the
// interpreter lock released) and the result class IkBatch.

#include <cstdint>
#include <limits>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "interruptible.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/batch.hpp"
#include "robot.hpp"

namespace ortholink::py {

unsigned thread_count(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return 0;
    }
    // A bool is an int to Python, but threads=True is a mistake, not a count.
    if (PyBool_Check(object)) {
        fail(PyExc_TypeError, "argument 'threads': expected an int or None, got bool");
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        raise_with_argument_name("threads");
    }
    if (overflow != 0 || value < 1 || value > 1024) {
        fail(PyExc_ValueError, "argument 'threads': expected a count from 1 to 1024, got %S", object);
    }
    return static_cast<unsigned>(value);
}

namespace {

// The batch result: the flattened solutions and the offsets of each target.
using BatchValue = IkBatchResult;

const BatchValue& batch_of(PyObject* self) { return unbox<BatchValue>(self); }

// New (k, 6) array of the joints of solutions [begin, end).
PyObject* solution_rows(const BatchValue& batch, std::size_t begin, std::size_t end) {
    std::vector<JointVector> rows;
    for (std::size_t k = begin; k < end; ++k) {
        rows.push_back(batch.solutions[k].joints);
    }
    return to_python(rows);
}

PyObject* batch_joints(PyObject* self) {
    const BatchValue& batch = batch_of(self);
    return solution_rows(batch, 0, batch.solutions.size());
}

// New (k,) array of `Field` of every solution, of NumPy type `Type`.
template <auto Field, int Type>
PyObject* batch_field(PyObject* self) {
    const auto& solutions = batch_of(self).solutions;
    npy_intp shape[1] = {static_cast<npy_intp>(solutions.size())};
    PyObject* array = check(PyArray_SimpleNew(1, shape, Type));
    auto* out = static_cast<std::remove_cvref_t<decltype(solutions[0].*Field)>*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t k = 0; k < solutions.size(); ++k) {
        out[k] = solutions[k].*Field;
    }
    return array;
}
constexpr auto batch_residual = batch_field<&IkSolution::residual, NPY_DOUBLE>;
constexpr auto batch_theta = batch_field<&IkSolution::theta, NPY_DOUBLE>;
constexpr auto batch_kind = batch_field<&IkSolution::kind, NPY_UINT8>;

Py_ssize_t batch_length(PyObject* self) {
    return guard_with<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(batch_of(self).offsets.size() - 1); });
}

PyObject* batch_item(PyObject* self, Py_ssize_t index) {
    return guard([&] {
        const BatchValue& batch = batch_of(self);
        const auto count = static_cast<Py_ssize_t>(batch.offsets.size() - 1);
        // The sequence protocol has already added len() to a negative index.
        if (index < 0 || index >= count) {
            fail(PyExc_IndexError, "index out of range");
        }
        const auto begin = static_cast<std::size_t>(batch.offsets[static_cast<std::size_t>(index)]);
        const auto end = static_cast<std::size_t>(batch.offsets[static_cast<std::size_t>(index) + 1]);
        return solution_rows(batch, begin, end);
    });
}

PyObject* batch_repr(PyObject* self) { return to_python(to_string(batch_of(self))); }

// Rebuilds a batch from its arrays (used by pickle).
constexpr Signature<5> kBatchState{"_from_state", {"joints", "residual", "theta", "kind", "offsets"}};
PyObject* batch_from_state(PyObject*, const Arguments<5>& values) {
    bool single = false;
    const auto joints = rows_of_six(values[0], "joints", single);
    const Vector1D residual = vector_from_any(values[1], "residual");
    const Vector1D theta = vector_from_any(values[2], "theta");
    // Codes and offsets are whole numbers: a float or a bool is a damaged state.
    const Integers kind = integers_from_any(values[3], "kind", 1);
    const Integers offsets = integers_from_any(values[4], "offsets", 1);
    auto batch = batch_from_fields(joints, residual.values, theta.values, kind.values, offsets.values);
    if (single || !batch) {
        fail(PyExc_ValueError, "inconsistent IkBatch state");
    }
    return box(std::move(*batch));
}

const MethodTable batch_methods{
    def<kBatchState, batch_from_state>("Rebuild a batch from its arrays (for pickle)."),
    reduce_def<ClassId::IkBatch, kFromState, batch_joints, batch_residual, batch_theta, batch_kind,
               member<&BatchValue::offsets>>(),
};

const PropertyTable batch_properties{
    property<batch_joints>("joints", "Every solution's joint angles in degrees, as a (k, 6) array."),
    property<batch_residual>("residual", "Every solution's residual, as a (k,) array."),
    property<batch_theta>("theta", "Every solution's circle angle in radians, as a (k,) array."),
    property<batch_kind>(
        "kind",
        "Every solution's `SolutionKind` code, as a (k,) uint8 array.\n\n"
        "The codes are those of `int(SolutionKind.X)`: 0 Regular, 1 AxisDegenerate, 2 SingularFamily."),
    property<member<&BatchValue::offsets>>(
        "offsets",
        "Row offsets, an (n + 1,) int64 array: the solutions of target i are rows offsets[i]:offsets[i + 1]."),
};

constexpr const char* kBatchDoc =
    "Every inverse kinematics solution of many targets, as flat arrays.\n\n"
    "`len(batch)` is the number of targets and `batch[i]` the (k_i, 6) joints of target i, in the\n"
    "order `ik` gives them. The arrays are fresh copies on every access.";

// fk_many and ik_many take an optional thread count after their input.
constexpr Signature<2> kFkMany{"fk_many", {"joints", "threads"}, 1, 2};
PyObject* fk_rows(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const unsigned threads = thread_count(a[1]);
    const auto joints = joint_rows(a[0], "joints");
    std::vector<Pose> poses(joints.size());
    without_gil([&](const CancelCheck& cancel) { fk_many(robot, joints, poses, threads, cancel); });
    return poses_to_array(poses);
}

constexpr Signature<2> kIkMany{"ik_many", {"targets", "threads"}, 1, 2};
PyObject* ik_batch(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const unsigned threads = thread_count(a[1]);
    const auto targets = poses_from_any(a[0], "targets");
    BatchValue batch;
    without_gil([&](const CancelCheck& cancel) { batch = ik_many(robot, targets, threads, cancel); });
    return box(std::move(batch));
}

constexpr Signature<2> kIkPath{"ik_path", {"targets", "start"}};
PyObject* ik_path_rows(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const JointVector start = joints_from_any(a[1], "start");
    const auto targets = poses_from_any(a[0], "targets");
    std::vector<std::optional<JointVector>> path;
    without_gil([&](const CancelCheck& cancel) { path = ik_path(robot, targets, start, cancel); });
    std::vector<JointVector> rows(path.size());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < path.size(); ++i) {
        rows[i] = path[i] ? *path[i] : JointVector{nan, nan, nan, nan, nan, nan};
    }
    return to_python(rows);
}

}  // namespace

const MethodTable crx_batch_methods{
    def<kFkMany, fk_rows, ClassId::Crx>(
        "The flange pose of every row of an (n, 6) array of joint angles, as an (n, 4, 4) array.\n\n"
        "Computed without holding the interpreter lock, on up to `threads` threads for large inputs\n"
        "(None: one per core, at most 8). The result is the same whatever the thread count."),
    def<kIkMany, ik_batch, ClassId::Crx>(
        "Every solution of every target, as an `IkBatch`.\n\n"
        "`targets` is an (n, 4, 4) array-like or a sequence of poses (arrays or objects with an\n"
        "`as_numpy()` method). Each target is checked as `ik` checks one; a bad one raises ValueError\n"
        "naming its index and nothing is computed. The solutions of target i are those of `ik`, in\n"
        "the same order, whatever the thread count."),
    def<kIkPath, ik_path_rows, ClassId::Crx>(
        "Follow a path of poses, taking at each the solution nearest the previous joints.\n\n"
        "The choice is that of `ik_closest`, starting from the joint vector `start`. Returns an (n, 6)\n"
        "array; a row of NaN marks an unreachable target, and the next target is then measured from\n"
        "the last joints reached.\n\n"
        "Rows are unwrapped: each is the whole-turn variant of its solution nearest the previous row\n"
        "(the first nearest `start`), so a joint turning past 180 degrees goes on to 190 instead of\n"
        "jumping to -170. A NaN joint in `start` is left out of the first choice, as in `ik_closest`."),
};

const ClassDescription& ik_batch_class() {
    static const HeapClass<BatchValue, 3> type("ortholink.IkBatch", kBatchDoc, {batch_methods}, batch_properties,
                                               {{{Py_tp_repr, slot(call<batch_repr>)},
                                                 {Py_sq_length, slot(batch_length)},
                                                 {Py_sq_item, slot(batch_item)}}});
    return type.description;
}

}  // namespace ortholink::py
