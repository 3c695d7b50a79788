// Static methods of Crx for joint limits and the controller's XYZWPR.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/pose.hpp"
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
    const char* limit = status.upper ? "upper" : "lower";
    switch (status.fault) {
        case Fault::infinite_limit:
            fail(PyExc_ValueError,
                 "argument '%s': J%d limit is %s, expected a finite limit (an open range has infinitely many "
                 "whole-turn variants)",
                 limit, joint, value.c_str());
        case Fault::limit_too_large:
            fail(PyExc_ValueError,
                 "argument '%s': J%d limit is %s, expected at most %s in magnitude (whole turns are not exact beyond)",
                 limit, joint, value.c_str(), bound.c_str());
        case Fault::value_too_large:
            fail(PyExc_ValueError,
                 "argument 'joints': J%d of row %zu is %s, expected at most %s in magnitude (whole turns are not "
                 "exact beyond)",
                 joint, status.solution, value.c_str(), bound.c_str());
        case Fault::too_many_for_one:
            fail(PyExc_ValueError, "the limits allow more than %zu whole-turn variants of one solution",
                 kMaxTurnVariants);
        case Fault::too_many_in_total:
            fail(PyExc_ValueError,
                 "the limits allow %zu whole-turn variants in total, more than the %zu rows expand_turns returns",
                 static_cast<std::size_t>(status.count), kMaxTurnRows);
        case Fault::none: break;
    }
    throw Panic("expand_turns reported a fault without one");
}

constexpr Signature<3> kExpandTurns{"expand_turns", {"joints", "lower", "upper"}};
PyObject* turn_variants(PyObject*, const Arguments<3>& a) {
    const LimitArguments limits = limit_arguments(a);
    // A NaN limit allows nothing, silently; it is refused as an infinite one is.
    for (std::size_t j = 0; j < 6; ++j) {
        for (const auto& [limit, values] : {std::pair{"lower", &limits.lower}, std::pair{"upper", &limits.upper}}) {
            if (std::isnan((*values)[j])) {
                fail(PyExc_ValueError, "argument '%s': J%zu limit is nan, expected a finite limit", limit, j + 1);
            }
        }
    }
    std::vector<JointVector> out;
    TurnsStatus status;
    without_gil([&](const CancelCheck& cancel) {
        status = expand_turns(limits.joints, limits.lower, limits.upper, out, nullptr, cancel);
    });
    if (!status) {
        raise_turns_fault(status);
    }
    return to_python(out);
}

constexpr Signature<3> kWithinLimits{"within_limits", {"joints", "lower", "upper"}};
PyObject* limits_mask(PyObject*, const Arguments<3>& a) {
    const LimitArguments limits = limit_arguments(a);
    return row_mask(limits.joints, limits.single,
                    [&](const JointVector& row) { return within_limits(row, limits.lower, limits.upper); });
}

constexpr Signature<1> kPoseFromXyzwpr{"pose_from_xyzwpr", {"xyzwpr"}};
PyObject* poses_of_rows(PyObject*, const Arguments<1>& a) {
    bool single = false;
    const auto rows = rows_of_six(a[0], "xyzwpr", single);
    // As for joint angles: beyond 2**28 degrees a turn is not exact, far
    // beyond, the rotation overflows to NaN.
    static constexpr const char* kAngle[] = {"W", "P", "R"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 3; j < 6; ++j) {
            if (std::isfinite(rows[i][j]) && std::fabs(rows[i][j]) > kMaxTurnMagnitude) {
                const std::string row = single ? std::string() : " of row " + std::to_string(i);
                fail(PyExc_ValueError, "argument 'xyzwpr': %s%s is %s, expected at most %s in magnitude", kAngle[j - 3],
                     row.c_str(), float_repr(rows[i][j]).c_str(), float_repr(kMaxTurnMagnitude).c_str());
            }
        }
    }
    std::vector<Pose> poses;
    poses.reserve(rows.size());
    for (const auto& row : rows) {
        check_signals_at(poses.size());
        poses.push_back(pose_from_xyzwpr(row));
    }
    return single ? to_python(poses[0]) : poses_to_array(poses);
}

constexpr Signature<1> kXyzwpr{"xyzwpr", {"pose"}};
PyObject* rows_of_poses(PyObject*, const Arguments<1>& a) {
    PyObject* value = a[0];
    ensure_numpy();
    // A stack of poses (an array, an array-like or nested sequences of 4x4
    // numbers) gives a stack of rows; anything else is one pose.
    Ref converted;
    if (!PyArray_Check(value) && (array_protocol(value) || PyList_Check(value) || PyTuple_Check(value))) {
        try {
            converted = float64_array(value, "pose");
        } catch (const PyErrorSet&) {
            if (!clear_conversion_failure()) throw;
        }
    }
    PyObject* candidate = converted ? converted.get() : value;
    const bool stack = PyArray_Check(candidate) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(candidate)) == 3;
    if (!stack) {
        return to_python(xyzwpr_from_pose(iso_from_any(value, "pose")));
    }
    const auto poses = poses_from_any(candidate, "pose");
    std::vector<JointVector> rows;
    rows.reserve(poses.size());
    for (const auto& pose : poses) {
        check_signals_at(rows.size());
        rows.push_back(xyzwpr_from_pose(pose));
    }
    return to_python(rows);
}

// Poses per call at most: 64 MiB of matrices.
constexpr double kMaxInterpolated = 1u << 20;

constexpr Signature<4> kInterpolatePoses{
    "interpolate_poses", {"a", "b", "n", "step"}, 2, 3, {nullptr, nullptr, "None", "None"}};
PyObject* poses_between(PyObject*, const Arguments<4>& values) {
    const Pose a = iso_from_any(values[0], "a");
    const Pose b = iso_from_any(values[1], "b");
    const bool has_n = values[2] != nullptr && values[2] != Py_None;
    const bool has_step = values[3] != nullptr && values[3] != Py_None;
    if (has_n == has_step) {
        fail(PyExc_TypeError, "interpolate_poses() takes either n or step");
    }
    double count = 0.0;
    if (has_n) {
        // An int or a NumPy integer (a count computed with NumPy); not a bool or a float.
        if (PyBool_Check(values[2]) || PyArray_IsScalar(values[2], Bool) || !PyIndex_Check(values[2])) {
            fail(PyExc_TypeError, "argument 'n': expected an int, got %s", type_name_of(values[2]).c_str());
        }
        const Ref index = Ref::steal(check(PyNumber_Index(values[2])));
        int overflow = 0;
        const long n = PyLong_AsLongAndOverflow(index.get(), &overflow);
        if (overflow != 0 || n < 2 || static_cast<double>(n) > kMaxInterpolated) {
            fail(PyExc_ValueError, "argument 'n': expected a count from 2 to %ld, got %S",
                 static_cast<long>(kMaxInterpolated), values[2]);
        }
        count = static_cast<double>(n);
    } else {
        const Vector1D step = vector_from_any(values[3], "step");
        if (step.values.size() != 2 || !(step.values[0] > 0.0) || !(step.values[1] > 0.0) ||
            !std::isfinite(step.values[0]) || !std::isfinite(step.values[1])) {
            fail(PyExc_ValueError, "argument 'step': expected (millimetres, degrees), both positive and finite");
        }
        count = interpolation_count(a, b, step.values[0], step.values[1]);
        if (count > kMaxInterpolated) {
            // Python's formatting has no float conversions.
            char needed[32];
            std::snprintf(needed, sizeof needed, "%.0f", count);
            fail(PyExc_ValueError, "argument 'step': the steps need %s poses, more than %ld", needed,
                 static_cast<long>(kMaxInterpolated));
        }
    }
    return poses_to_array(interpolate_poses(a, b, static_cast<std::size_t>(count)));
}

}  // namespace

const MethodTable crx_limits_methods{
    def<kExpandTurns, turn_variants>(
        "Every variant of the solutions that differs by whole turns per joint and lies within limits.\n\n"
        "`joints` is a (k, 6) or (6,) array of solutions in degrees; `lower` and `upper` are six limits\n"
        "in degrees, inclusive. Returns an (m, 6) array: solution by solution, J1 varying slowest and\n"
        "each joint's turns ascending. The limits are the caller's; none are assumed.\n\n"
        "Limits must be finite, and values and limits at most 2**28 degrees in magnitude (beyond, a\n"
        "whole turn is no longer exact). One solution may give at most 65,536 variants and one call\n"
        "4,194,304 rows; more raises ValueError before anything is built."),
    def<kWithinLimits, limits_mask>(
        "Whether joint vectors lie within limits (degrees, inclusive; NaN is outside).\n\n"
        "A (k, 6) array gives a (k,) boolean array; a single vector of six gives a bool."),
    def<kPoseFromXyzwpr, poses_of_rows>(
        "The 4x4 pose of the controller's (X, Y, Z, W, P, R), in millimetres and degrees.\n\n"
        "W, P and R are rotations about the fixed X, Y and Z axes, applied in that order. An (n, 6)\n"
        "array gives an (n, 4, 4) array."),
    def<kXyzwpr, rows_of_poses>(
        "The controller's (X, Y, Z, W, P, R) of a pose, in millimetres and degrees.\n\n"
        "At P = +-90 degrees only W - R (or W + R) is determined; W is then reported as 0. An\n"
        "(n, 4, 4) array gives an (n, 6) array."),
    def<kInterpolatePoses, poses_between>(
        "Poses from `a` to `b`, both included, as an (n, 4, 4) array.\n\n"
        "The translation moves linearly and the rotation by spherical interpolation along the shorter\n"
        "arc, in equal steps of both (interpolating X, Y, Z, W, P, R is wrong for the rotation). Give\n"
        "either `n`, the number of poses (at least 2), or `step=(millimetres, degrees)`, the largest\n"
        "step of translation and of rotation angle: then the fewest poses that keep to both."),
};

}  // namespace ortholink::py
