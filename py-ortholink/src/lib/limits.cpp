// Static methods of Crx for joint limits and the controller's XYZWPR.

#include <cstring>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/xyzwpr.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

// The (joints, lower, upper) of expand_turns and within_limits.
struct LimitArguments {
    std::vector<JointVector> joints;
    bool single = false;
    JointVector lower;
    JointVector upper;
};

LimitArguments limit_arguments(const Arguments<3>& a) {
    LimitArguments out;
    out.joints = rows_of_six(a[0], "joints", out.single);
    out.lower = six_values(a[1], "lower");
    out.upper = six_values(a[2], "upper");
    return out;
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

constexpr Signature<3> kExpandTurns{"expand_turns", {"joints", "lower", "upper"}};
PyObject* turn_variants(PyObject*, const Arguments<3>& a) {
    const LimitArguments limits = limit_arguments(a);
    std::vector<JointVector> out;
    const TurnsStatus status = expand_turns(limits.joints, limits.lower, limits.upper, out);
    if (!status) {
        raise_turns_fault(status);
    }
    return joint_rows_array(out);
}

constexpr Signature<3> kWithinLimits{"within_limits", {"joints", "lower", "upper"}};
PyObject* limits_mask(PyObject*, const Arguments<3>& a) {
    const LimitArguments limits = limit_arguments(a);
    if (limits.single) {
        return PyBool_FromLong(within_limits(limits.joints[0], limits.lower, limits.upper));
    }
    npy_intp shape[1] = {static_cast<npy_intp>(limits.joints.size())};
    PyObject* array = check(PyArray_SimpleNew(1, shape, NPY_BOOL));
    auto* out = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < limits.joints.size(); ++i) {
        out[i] = within_limits(limits.joints[i], limits.lower, limits.upper) ? NPY_TRUE : NPY_FALSE;
    }
    return array;
}

constexpr Signature<1> kPoseFromXyzwpr{"pose_from_xyzwpr", {"xyzwpr"}};
PyObject* poses_of_rows(PyObject*, const Arguments<1>& a) {
    bool single = false;
    const auto rows = rows_of_six(a[0], "xyzwpr", single);
    std::vector<Pose> poses;
    poses.reserve(rows.size());
    for (const auto& row : rows) {
        poses.push_back(pose_from_xyzwpr(row));
    }
    return single ? pose_to_array(poses[0]) : poses_to_array(poses);
}

constexpr Signature<1> kXyzwpr{"xyzwpr", {"pose"}};
PyObject* rows_of_poses(PyObject*, const Arguments<1>& a) {
    PyObject* value = a[0];
    ensure_numpy();
    // A stack of poses gives a stack of rows; anything else is one pose.
    const bool stack = PyArray_Check(value) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) == 3;
    if (!stack) {
        const Xyzwpr v = xyzwpr_from_pose(iso_from_any(value));
        return array_copy(NPY_DOUBLE, {6}, v.data());
    }
    const auto poses = poses_from_any(value, "pose");
    std::vector<JointVector> rows;
    rows.reserve(poses.size());
    for (const auto& pose : poses) {
        rows.push_back(xyzwpr_from_pose(pose));
    }
    return joint_rows_array(rows);
}

}  // namespace

PyObject* crx_expand_turns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kExpandTurns, turn_variants>(self, args, nargs, kwnames);
}

PyObject* crx_within_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kWithinLimits, limits_mask>(self, args, nargs, kwnames);
}

PyObject* crx_pose_from_xyzwpr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kPoseFromXyzwpr, poses_of_rows>(self, args, nargs, kwnames);
}

PyObject* crx_xyzwpr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kXyzwpr, rows_of_poses>(self, args, nargs, kwnames);
}

}  // namespace ortholink::py
