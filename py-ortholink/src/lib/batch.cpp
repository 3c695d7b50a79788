// Batch methods of Crx (many poses or joint vectors per call, computed with the
// interpreter lock released) and the result class IkBatch.

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/batch.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/xyzwpr.hpp"
#include "robot.hpp"

namespace ortholink::py {

unsigned thread_count(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return 0;
    }
    // A bool is an int to Python, but threads=True is a mistake, not a count.
    if (PyBool_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "argument 'threads': expected an int or None, got bool");
        throw PyErrorSet{};
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        raise_with_argument_name("threads");
    }
    if (overflow != 0 || value < 1 || value > 1024) {
        PyErr_Format(PyExc_ValueError, "argument 'threads': expected a count from 1 to 1024, got %S", object);
        throw PyErrorSet{};
    }
    return static_cast<unsigned>(value);
}

namespace {

// Runs a core batch with the interpreter lock released, checking for Ctrl-C
// (and other signals) every few milliseconds; a raised signal handler stops
// the batch, its results are discarded and its exception propagates.
template <class Run>
void without_gil(Run&& run) {
    try {
        ReleaseGil unlocked;
        const auto interrupted = [&] { return unlocked.signal_raised(); };
        run(CancelCheck(interrupted));
    } catch (const BatchCancelled&) {
        throw PyErrorSet{};
    }
}

// Binds (required..., threads=None).
void bind_with_threads(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* const* names, Py_ssize_t required, PyObject** out, PyObject*& threads) {
    // bind_arguments knows only required parameters; peel the optional one off first.
    threads = nullptr;
    Py_ssize_t positional = nargs;
    Ref kept_names;
    std::vector<PyObject*> kept;
    if (nargs > required) {
        threads = args[required];
        positional = required;
    }
    kept.assign(args, args + positional);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    Ref names_list = Ref::steal(check(PyList_New(0)));
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (PyUnicode_CompareWithASCIIString(key, "threads") == 0) {
            if (threads != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'threads'", function);
                throw PyErrorSet{};
            }
            threads = args[nargs + k];
            continue;
        }
        check_status(PyList_Append(names_list.get(), key));
        kept.push_back(args[nargs + k]);
    }
    if (PyList_Size(names_list.get()) > 0) {
        kept_names = Ref::steal(check(PyList_AsTuple(names_list.get())));
    }
    if (nargs > required + 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", function, required + 1, nargs);
        throw PyErrorSet{};
    }
    bind_arguments(function, kept.data(), positional, kept_names.get(), names, required, out);
}

[[noreturn]] void raise_turns_fault(const TurnsStatus& status) {
    using Fault = TurnsStatus::Fault;
    const std::string value = float_repr(status.value);
    const std::string bound = float_repr(kMaxTurnMagnitude);
    const auto joint = static_cast<int>(status.joint + 1);
    switch (status.fault) {
        case Fault::infinite_limit:
            PyErr_Format(PyExc_ValueError,
                         "argument '%s': J%d limit is %s, expected a finite limit (an open range has infinitely many "
                         "whole-turn variants)",
                         status.upper ? "upper" : "lower", joint, value.c_str());
            break;
        case Fault::limit_too_large:
            PyErr_Format(PyExc_ValueError,
                         "argument '%s': J%d limit is %s, expected at most %s in magnitude (whole turns are not "
                         "exact beyond)",
                         status.upper ? "upper" : "lower", joint, value.c_str(), bound.c_str());
            break;
        case Fault::value_too_large:
            PyErr_Format(PyExc_ValueError,
                         "argument 'joints': J%d of row %zu is %s, expected at most %s in magnitude (whole turns "
                         "are not exact beyond)",
                         joint, status.solution, value.c_str(), bound.c_str());
            break;
        case Fault::too_many_for_one:
            PyErr_Format(PyExc_ValueError, "the limits allow more than %zu whole-turn variants of one solution",
                         kMaxTurnVariants);
            break;
        case Fault::too_many_in_total:
            PyErr_Format(PyExc_ValueError,
                         "the limits allow %zu whole-turn variants in total, more than the %zu rows expand_turns "
                         "returns",
                         static_cast<std::size_t>(status.count), kMaxTurnRows);
            break;
        case Fault::none:
            throw Panic("expand_turns reported a fault without one");
    }
    throw PyErrorSet{};
}

double* data_of(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* joints_rows_array(const std::vector<JointVector>& rows) {
    const npy_intp shape[2] = {static_cast<npy_intp>(rows.size()), 6};
    PyObject* array = new_float64_array(2, shape);
    if (!rows.empty()) {
        std::memcpy(data_of(array), rows.data(), rows.size() * sizeof(JointVector));
    }
    return array;
}

// The batch result: the flattened solutions and the offsets of each target.
using BatchValue = IkBatchResult;

const BatchValue& batch_of(PyObject* self) { return unbox<BatchValue>(self, ClassId::IkBatch); }

PyObject* batch_joints(PyObject* self, void*) {
    return guard([&] {
        const auto& solutions = batch_of(self).solutions;
        const npy_intp shape[2] = {static_cast<npy_intp>(solutions.size()), 6};
        PyObject* array = new_float64_array(2, shape);
        double* out = data_of(array);
        for (std::size_t k = 0; k < solutions.size(); ++k) {
            std::memcpy(out + 6 * k, solutions[k].joints.data(), sizeof(JointVector));
        }
        return array;
    });
}

template <double IkSolution::*Field>
PyObject* batch_scalar(PyObject* self, void*) {
    return guard([&] {
        const auto& solutions = batch_of(self).solutions;
        const npy_intp shape[1] = {static_cast<npy_intp>(solutions.size())};
        PyObject* array = new_float64_array(1, shape);
        double* out = data_of(array);
        for (std::size_t k = 0; k < solutions.size(); ++k) {
            out[k] = solutions[k].*Field;
        }
        return array;
    });
}

PyObject* batch_kind(PyObject* self, void*) {
    return guard([&] {
        const auto& solutions = batch_of(self).solutions;
        npy_intp shape[1] = {static_cast<npy_intp>(solutions.size())};
        PyObject* array = check(PyArray_SimpleNew(1, shape, NPY_UINT8));
        auto* out = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
        for (std::size_t k = 0; k < solutions.size(); ++k) {
            out[k] = static_cast<std::uint8_t>(solutions[k].kind);
        }
        return array;
    });
}

PyObject* batch_offsets(PyObject* self, void*) {
    return guard([&] {
        const auto& offsets = batch_of(self).offsets;
        npy_intp shape[1] = {static_cast<npy_intp>(offsets.size())};
        PyObject* array = check(PyArray_SimpleNew(1, shape, NPY_INT64));
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), offsets.data(),
                    offsets.size() * sizeof(std::int64_t));
        return array;
    });
}

Py_ssize_t batch_length(PyObject* self) {
    return guard_with<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(batch_of(self).offsets.size() - 1); });
}

PyObject* batch_item(PyObject* self, Py_ssize_t index) {
    return guard([&] {
        const BatchValue& batch = batch_of(self);
        const auto count = static_cast<Py_ssize_t>(batch.offsets.size() - 1);
        // The sequence protocol has already added len() to a negative index.
        if (index < 0 || index >= count) {
            PyErr_SetString(PyExc_IndexError, "index out of range");
            throw PyErrorSet{};
        }
        const auto begin = static_cast<std::size_t>(batch.offsets[static_cast<std::size_t>(index)]);
        const auto end = static_cast<std::size_t>(batch.offsets[static_cast<std::size_t>(index) + 1]);
        const npy_intp shape[2] = {static_cast<npy_intp>(end - begin), 6};
        PyObject* array = new_float64_array(2, shape);
        double* out = data_of(array);
        for (std::size_t k = begin; k < end; ++k) {
            std::memcpy(out + 6 * (k - begin), batch.solutions[k].joints.data(), sizeof(JointVector));
        }
        return array;
    });
}

PyObject* batch_repr(PyObject* self) {
    return guard([&] {
        const BatchValue& batch = batch_of(self);
        return check(PyUnicode_FromFormat("IkBatch(targets=%zd, solutions=%zd)",
                                          static_cast<Py_ssize_t>(batch.offsets.size() - 1),
                                          static_cast<Py_ssize_t>(batch.solutions.size())));
    });
}

// Rebuilds a batch from its arrays (used by pickle).
PyObject* batch_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"joints", "residual", "theta", "kind", "offsets"};
        PyObject* values[5];
        bind_arguments("_from_state", args, nargs, kwnames, names, 5, values);
        bool single = false;
        const auto joints = rows_of_six(values[0], "joints", single);
        const Vector1D residual = vector_from_any(values[1], "residual");
        const Vector1D theta = vector_from_any(values[2], "theta");
        const Vector1D kind = vector_from_any(values[3], "kind");
        const Vector1D offsets = vector_from_any(values[4], "offsets");
        const std::size_t n = joints.size();
        bool valid = !single && residual.values.size() == n && theta.values.size() == n && kind.values.size() == n &&
                     !offsets.values.empty() && offsets.values.front() == 0.0 &&
                     offsets.values.back() == static_cast<double>(n);
        BatchValue batch;
        for (std::size_t i = 0; valid && i < offsets.values.size(); ++i) {
            valid = i == 0 || offsets.values[i] >= offsets.values[i - 1];
            batch.offsets.push_back(static_cast<std::int64_t>(offsets.values[i]));
        }
        for (std::size_t k = 0; valid && k < n; ++k) {
            const double code = kind.values[k];
            valid = code == 0.0 || code == 1.0 || code == 2.0;
            batch.solutions.push_back(IkSolution{joints[k], residual.values[k], theta.values[k],
                                                 static_cast<SolutionKind>(static_cast<int>(code))});
        }
        if (!valid) {
            PyErr_SetString(PyExc_ValueError, "inconsistent IkBatch state");
            throw PyErrorSet{};
        }
        return box(ClassId::IkBatch, std::move(batch));
    });
}

PyObject* batch_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        Ref restore = Ref::steal(check(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::IkBatch)), "_from_state")));
        Ref joints = Ref::steal(batch_joints(self, nullptr));
        Ref residual = Ref::steal(batch_scalar<&IkSolution::residual>(self, nullptr));
        Ref theta = Ref::steal(batch_scalar<&IkSolution::theta>(self, nullptr));
        Ref kind = Ref::steal(batch_kind(self, nullptr));
        Ref offsets = Ref::steal(batch_offsets(self, nullptr));
        if (!joints || !residual || !theta || !kind || !offsets) {
            throw PyErrorSet{};
        }
        Ref state = Ref::steal(
            check(PyTuple_Pack(5, joints.get(), residual.get(), theta.get(), kind.get(), offsets.get())));
        return check(PyTuple_Pack(2, restore.get(), state.get()));
    });
}

PyMethodDef batch_methods[] = {
    {"_from_state", as_method(batch_from_state), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(joints, residual, theta, kind, offsets)\n--\n\nRebuild a batch from its arrays (for pickle)."},
    {"__reduce__", batch_reduce, METH_NOARGS, "Support for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_properties[] = {
    {"joints", batch_joints, nullptr, "Every solution's joint angles in degrees, as a (k, 6) array.", nullptr},
    {"residual", batch_scalar<&IkSolution::residual>, nullptr, "Every solution's residual, as a (k,) array.",
     nullptr},
    {"theta", batch_scalar<&IkSolution::theta>, nullptr, "Every solution's circle angle in radians, as a (k,) array.",
     nullptr},
    {"kind", batch_kind, nullptr,
     "Every solution's `SolutionKind` code, as a (k,) uint8 array.\n\n"
     "The codes are those of `int(SolutionKind.X)`: 0 Regular, 1 AxisDegenerate, 2 SingularFamily.",
     nullptr},
    {"offsets", batch_offsets, nullptr,
     "Row offsets, an (n + 1,) int64 array: the solutions of target i are rows offsets[i]:offsets[i + 1].",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Every inverse kinematics solution of many targets, as flat arrays.\n\n"
                    "`len(batch)` is the number of targets and `batch[i]` the (k_i, 6) joints of target i, in the\n"
                    "order `ik` gives them. The arrays are fresh copies on every access.")},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_properties},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {Py_sq_item, reinterpret_cast<void*>(batch_item)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<BatchValue>)},
    {0, nullptr},
};

PyType_Spec batch_spec{
    .name = "ortholink.IkBatch",
    .basicsize = static_cast<int>(sizeof(Boxed<BatchValue>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = batch_slots,
};

}  // namespace

PyObject* crx_fk_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"joints"};
        PyObject* joints_arg;
        PyObject* threads_arg;
        bind_with_threads("fk_many", args, nargs, kwnames, names, 1, &joints_arg, threads_arg);
        const unsigned threads = thread_count(threads_arg);
        bool single = false;
        const auto joints = rows_of_six(joints_arg, "joints", single);
        if (single) {
            PyErr_SetString(PyExc_TypeError, "argument 'joints': expected an (n, 6) array, got a single joint vector");
            throw PyErrorSet{};
        }
        std::vector<Pose> poses(joints.size());
        without_gil([&](const CancelCheck& cancel) { fk_many(robot, joints, poses, threads, cancel); });
        return poses_to_array(poses);
    });
}

PyObject* crx_ik_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"targets"};
        PyObject* targets_arg;
        PyObject* threads_arg;
        bind_with_threads("ik_many", args, nargs, kwnames, names, 1, &targets_arg, threads_arg);
        const unsigned threads = thread_count(threads_arg);
        const auto targets = poses_from_any(targets_arg, "targets");
        BatchValue batch;
        without_gil([&](const CancelCheck& cancel) { batch = ik_many(robot, targets, threads, cancel); });
        return box(ClassId::IkBatch, std::move(batch));
    });
}

PyObject* crx_ik_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"targets", "start"};
        PyObject* values[2];
        bind_arguments("ik_path", args, nargs, kwnames, names, 2, values);
        const JointVector start = joints_from_any(values[1], "start");
        const auto targets = poses_from_any(values[0], "targets");
        std::vector<std::optional<JointVector>> path;
        without_gil([&](const CancelCheck& cancel) { path = ik_path(robot, targets, start, cancel); });
        std::vector<JointVector> rows(path.size());
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < path.size(); ++i) {
            rows[i] = path[i] ? *path[i] : JointVector{nan, nan, nan, nan, nan, nan};
        }
        return joints_rows_array(rows);
    });
}

PyObject* crx_expand_turns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"joints", "lower", "upper"};
        PyObject* values[3];
        bind_arguments("expand_turns", args, nargs, kwnames, names, 3, values);
        bool single = false;
        const auto joints = rows_of_six(values[0], "joints", single);
        const JointVector lower = six_values(values[1], "lower");
        const JointVector upper = six_values(values[2], "upper");
        std::vector<JointVector> out;
        const TurnsStatus status = expand_turns(joints, lower, upper, out);
        if (!status) {
            raise_turns_fault(status);
        }
        return joints_rows_array(out);
    });
}

PyObject* crx_within_limits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"joints", "lower", "upper"};
        PyObject* values[3];
        bind_arguments("within_limits", args, nargs, kwnames, names, 3, values);
        bool single = false;
        const auto joints = rows_of_six(values[0], "joints", single);
        const JointVector lower = six_values(values[1], "lower");
        const JointVector upper = six_values(values[2], "upper");
        if (single) {
            return PyBool_FromLong(within_limits(joints[0], lower, upper));
        }
        npy_intp shape[1] = {static_cast<npy_intp>(joints.size())};
        PyObject* array = check(PyArray_SimpleNew(1, shape, NPY_BOOL));
        auto* out = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
        for (std::size_t i = 0; i < joints.size(); ++i) {
            out[i] = within_limits(joints[i], lower, upper) ? NPY_TRUE : NPY_FALSE;
        }
        return array;
    });
}

PyObject* crx_pose_from_xyzwpr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"xyzwpr"};
        PyObject* value;
        bind_arguments("pose_from_xyzwpr", args, nargs, kwnames, names, 1, &value);
        bool single = false;
        const auto rows = rows_of_six(value, "xyzwpr", single);
        std::vector<Pose> poses;
        poses.reserve(rows.size());
        for (const auto& row : rows) {
            poses.push_back(pose_from_xyzwpr(row));
        }
        return single ? pose_to_array(poses[0]) : poses_to_array(poses);
    });
}

PyObject* crx_xyzwpr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"pose"};
        PyObject* value;
        bind_arguments("xyzwpr", args, nargs, kwnames, names, 1, &value);
        ensure_numpy();
        // A stack of poses gives a stack of rows; anything else is one pose.
        const bool stack = PyArray_Check(value) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) == 3;
        if (!stack) {
            const Xyzwpr v = xyzwpr_from_pose(iso_from_any(value));
            const npy_intp shape[1] = {6};
            PyObject* array = new_float64_array(1, shape);
            std::memcpy(data_of(array), v.data(), sizeof v);
            return array;
        }
        const auto poses = poses_from_any(value, "pose");
        std::vector<JointVector> rows;
        rows.reserve(poses.size());
        for (const auto& pose : poses) {
            rows.push_back(xyzwpr_from_pose(pose));
        }
        return joints_rows_array(rows);
    });
}

const ClassDescription& ik_batch_class() {
    static const ClassDescription description{"IkBatch", &batch_spec, nullptr};
    return description;
}

}  // namespace ortholink::py
