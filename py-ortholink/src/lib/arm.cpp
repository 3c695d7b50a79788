// Python class Arm: a robot with its tool, its place in the cell, its joint
// limits and rated speeds.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "arm_binding.hpp"
#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/xyzwpr.hpp"
#include "robot.hpp"
#include "urdf.hpp"

namespace ortholink::py {
namespace {

[[noreturn]] void raise_value(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PyErrorSet{};
}

std::string number_text(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string short_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

// The message of a matrix that is not near enough a rigid transform.
std::string near_rigid_message(const NearRigidFailure& failure) {
    switch (failure.reason) {
        case NearRigidFailure::Reason::NonFinite:
            return "expected finite entries, got a matrix with NaN or infinity";
        case NearRigidFailure::Reason::LastRow:
            return "the last row is " + short_text(failure.distance) + " from 0 0 0 1 (tolerance " +
                   short_text(kLastRowTolerance) + ")";
        case NearRigidFailure::Reason::Reflection:
            return "the rotation part has determinant " + short_text(failure.distance) +
                   ", expected a rotation (determinant 1)";
        case NearRigidFailure::Reason::Rotation:
            return "the rotation part is " + short_text(failure.distance) + " from the nearest rotation (tolerance " +
                   short_text(kNearRotationTolerance) + ")";
    }
    return "not a rigid transform";
}

PyObject* vector_array(const JointVector& values) { return array_copy(NPY_DOUBLE, {6}, values.data()); }

const Arm& arm_of(PyObject* self) { return unbox<Arm>(self, ClassId::Arm); }

// Six values, or `fallback` for an absent or None argument.
JointVector six_or(PyObject* object, const char* name, const JointVector& fallback) {
    return object == nullptr || object == Py_None ? fallback : six_values(object, name);
}

Pose frame_or_identity(PyObject* object, const char* name) {
    return object == nullptr || object == Py_None ? Pose{} : near_rigid_pose(object, name);
}

std::optional<ElbowLimit> elbow_from_any(PyObject* object) {
    if (object == Py_None) {
        return std::nullopt;
    }
    const Vector1D values = vector_from_any(object, "elbow");
    if (values.values.size() != 2) {
        PyErr_Format(PyExc_ValueError, "argument 'elbow': expected (lower, upper), got %zd values",
                     static_cast<Py_ssize_t>(values.values.size()));
        throw PyErrorSet{};
    }
    return ElbowLimit{values.values[0], values.values[1]};
}

// Builds the arm from its arguments; `robot` is a Crx or a CrxModel.
Arm arm_from_arguments(PyObject* robot, PyObject* base, PyObject* tool, PyObject* lower, PyObject* upper,
                       PyObject* elbow, PyObject* max_speed) {
    Arm arm;
    if (is_instance(robot, ClassId::CrxModel)) {
        arm = Arm::from_model(model_from_any(robot, "robot"));
    } else if (is_instance(robot, ClassId::Crx)) {
        arm = Arm::from_robot(crx_from_object(robot, "robot"));
    } else {
        PyErr_Format(PyExc_TypeError, "argument 'robot': expected ortholink.Crx or ortholink.CrxModel, got %s",
                     type_name_of(robot).c_str());
        throw PyErrorSet{};
    }
    arm.base = frame_or_identity(base, "base");
    arm.tool = frame_or_identity(tool, "tool");
    if (elbow != nullptr) {
        arm.elbow = elbow_from_any(elbow);
        // A model's J3 range follows its elbow limit unless given.
        if (arm.model && arm.elbow) {
            arm.lower[2] = arm.elbow->lower - arm.upper[1];
            arm.upper[2] = arm.elbow->upper - arm.lower[1];
        }
    }
    arm.lower = six_or(lower, "lower", arm.lower);
    arm.upper = six_or(upper, "upper", arm.upper);
    arm.max_speed = six_or(max_speed, "max_speed", arm.max_speed);
    const std::string problem = arm_problem(arm);
    if (!problem.empty()) {
        raise_value(problem);
    }
    return arm;
}

constexpr const char* kArmParameterNames[] = {"robot", "base", "tool", "lower", "upper", "elbow", "max_speed"};

PyObject* arm_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        PyObject* bound[7];
        bind_call_arguments("Arm", args, kwargs, Parameters{kArmParameterNames, 7, 1, 1}, bound);
        return box(ClassId::Arm,
                   arm_from_arguments(bound[0], bound[1], bound[2], bound[3], bound[4], bound[5], bound[6]));
    });
}

// Frames are pickled as their quaternion and translation, so they come back
// bit for bit (a matrix would be converted again).
PyObject* pose_state(const Pose& pose) {
    return check(Py_BuildValue("(ddddddd)", pose.q.x, pose.q.y, pose.q.z, pose.q.w, pose.t[0], pose.t[1], pose.t[2]));
}

Pose pose_from_state(PyObject* object, const char* name) {
    const Vector1D values = vector_from_any(object, name);
    if (values.values.size() != 7) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected 7 values, got %zd", name,
                     static_cast<Py_ssize_t>(values.values.size()));
        throw PyErrorSet{};
    }
    const auto& v = values.values;
    const Pose pose{Quat{v[0], v[1], v[2], v[3]}, Vec3{v[4], v[5], v[6]}};
    const double norm = v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3];
    if (!(std::fabs(norm - 1.0) <= 1e-12) || !std::isfinite(v[4]) || !std::isfinite(v[5]) || !std::isfinite(v[6])) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a unit quaternion and a finite translation", name);
        throw PyErrorSet{};
    }
    return pose;
}

// Rebuilds an arm from its fields (used by pickle).
constexpr Signature<8> kArmState{"_from_state",
                                 {"robot", "model", "base", "tool", "lower", "upper", "elbow", "max_speed"}};
PyObject* arm_from_state(PyObject*, const Arguments<8>& values) {
    Arm arm = Arm::from_robot(crx_from_object(values[0], "robot"));
    if (values[1] != Py_None) {
        arm.model = model_from_any(values[1], "model");
    }
    arm.base = pose_from_state(values[2], "base");
    arm.tool = pose_from_state(values[3], "tool");
    arm.lower = six_values(values[4], "lower");
    arm.upper = six_values(values[5], "upper");
    arm.elbow = elbow_from_any(values[6]);
    arm.max_speed = six_values(values[7], "max_speed");
    const std::string problem = arm_problem(arm);
    if (!problem.empty()) {
        raise_value(problem);
    }
    return box(ClassId::Arm, std::move(arm));
}

PyObject* arm_robot(PyObject* self) { return box(ClassId::Crx, Crx(arm_of(self).robot)); }

PyObject* arm_model(PyObject* self) {
    const Arm& arm = arm_of(self);
    if (!arm.model) {
        Py_RETURN_NONE;
    }
    return enum_member(ClassId::CrxModel, static_cast<int>(*arm.model));
}

template <Pose Arm::*Field>
PyObject* arm_frame(PyObject* self) {
    return pose_to_array(arm_of(self).*Field);
}

template <JointVector Arm::*Field>
PyObject* arm_vector(PyObject* self) {
    return vector_array(arm_of(self).*Field);
}

PyObject* elbow_tuple(const Arm& arm) {
    if (!arm.elbow) {
        Py_RETURN_NONE;
    }
    return check(Py_BuildValue("(dd)", arm.elbow->lower, arm.elbow->upper));
}

PyObject* arm_elbow(PyObject* self) { return elbow_tuple(arm_of(self)); }

PyObject* arm_reduce(PyObject* self) {
    const Arm& arm = arm_of(self);
    Ref restore = Ref::steal(
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::Arm)), "_from_state")));
    Ref robot = Ref::steal(arm_robot(self));
    Ref model = Ref::steal(arm_model(self));
    Ref base = Ref::steal(pose_state(arm.base));
    Ref tool = Ref::steal(pose_state(arm.tool));
    Ref lower = Ref::steal(vector_array(arm.lower));
    Ref upper = Ref::steal(vector_array(arm.upper));
    Ref elbow = Ref::steal(elbow_tuple(arm));
    Ref speed = Ref::steal(vector_array(arm.max_speed));
    Ref state = Ref::steal(check(PyTuple_Pack(8, robot.get(), model.get(), base.get(), tool.get(), lower.get(),
                                              upper.get(), elbow.get(), speed.get())));
    return check(PyTuple_Pack(2, restore.get(), state.get()));
}

std::string vector_text(const JointVector& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < 6; ++i) {
        text += (i > 0 ? ", " : "") + number_text(values[i] + 0.0);  // -0 reads as 0
    }
    return text + "]";
}

std::string frame_text(const Pose& pose) {
    if (pose == Pose{}) {
        return "identity";
    }
    return "xyzwpr" + vector_text(xyzwpr_from_pose(pose));
}

PyObject* arm_repr(PyObject* self) {
    const Arm& arm = arm_of(self);
    std::string text = "Arm(";
    if (arm.model) {
        text += "CrxModel." + std::string(model_name(*arm.model));
    } else {
        text += "Crx(z1=" + number_text(arm.robot.z1) + ", x1=" + number_text(arm.robot.x1) +
                ", x2=" + number_text(arm.robot.x2) + ", y1=" + number_text(arm.robot.y1) + ")";
    }
    text += ", base=" + frame_text(arm.base) + ", tool=" + frame_text(arm.tool);
    text += ", lower=" + vector_text(arm.lower) + ", upper=" + vector_text(arm.upper) + ", elbow=";
    text += arm.elbow ? "(" + number_text(arm.elbow->lower) + ", " + number_text(arm.elbow->upper) + ")" : "None";
    text += ", max_speed=" + vector_text(arm.max_speed) + ")";
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* arm_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !is_instance(other, ClassId::Arm)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const bool equal = arm_of(self) == arm_of(other);
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    });
}

Py_hash_t arm_hash(PyObject* self) {
    return guard_with<Py_hash_t>(-1, [&] {
        const Arm& arm = arm_of(self);
        std::size_t seed = 0;
        // Adding 0.0 folds -0.0 into 0.0, which compares equal.
        const auto mix = [&](double value) {
            seed ^= std::hash<double>{}(value + 0.0) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
        };
        for (const double v : {arm.robot.z1, arm.robot.x1, arm.robot.x2, arm.robot.y1}) mix(v);
        for (const Pose* pose : {&arm.base, &arm.tool}) {
            for (const double v : {pose->q.x, pose->q.y, pose->q.z, pose->q.w, pose->t[0], pose->t[1], pose->t[2]}) {
                mix(v);
            }
        }
        for (std::size_t i = 0; i < 6; ++i) {
            mix(arm.lower[i]);
            mix(arm.upper[i]);
            mix(arm.max_speed[i]);
        }
        if (arm.elbow) {
            mix(arm.elbow->lower);
            mix(arm.elbow->upper);
        }
        mix(arm.model ? static_cast<double>(*arm.model) : -1.0);
        const auto hash = static_cast<Py_hash_t>(seed);
        return hash == -1 ? Py_hash_t{-2} : hash;
    });
}

constexpr Signature<1> kFk{"fk", {"joints"}};
PyObject* arm_fk_method(PyObject* self, const Arguments<1>& a) {
    return pose_to_array(arm_fk(arm_of(self), joints_from_any(a[0], "joints")));
}

constexpr Signature<2> kFkMany{"fk_many", {"joints", "threads"}, 1, 2};
PyObject* arm_fk_many_method(PyObject* self, const Arguments<2>& values) {
    const Arm arm = arm_of(self);
    const unsigned threads = thread_count(values[1]);
    bool single = false;
    const auto joints = rows_of_six(values[0], "joints", single);
    if (single) {
        PyErr_SetString(PyExc_TypeError, "argument 'joints': expected an (n, 6) array, got a single joint vector");
        throw PyErrorSet{};
    }
    std::vector<Pose> poses(joints.size());
    without_gil([&](const CancelCheck& cancel) {
        fk_many(arm.robot, joints, poses, threads, cancel);
        for (Pose& pose : poses) {
            pose = compose(arm.base, compose(pose, arm.tool));
        }
    });
    return poses_to_array(poses);
}

constexpr Signature<1> kIk{"ik", {"pose"}};
PyObject* arm_ik_method(PyObject* self, const Arguments<1>& a) {
    return joint_rows_array(arm_ik(arm_of(self), near_rigid_pose(a[0], "pose")));
}

constexpr Signature<2> kIkMany{"ik_many", {"poses", "threads"}, 1, 2};
PyObject* arm_ik_many_method(PyObject* self, const Arguments<2>& values) {
    const Arm arm = arm_of(self);
    const unsigned threads = thread_count(values[1]);
    const auto poses = near_rigid_poses(values[0], "poses");
    IkBatchResult batch;
    without_gil([&](const CancelCheck& cancel) { batch = arm_ik_many(arm, poses, threads, cancel); });
    return box(ClassId::IkBatch, std::move(batch));
}

constexpr Signature<2> kIkClosest{"ik_closest", {"pose", "reference"}};
PyObject* arm_ik_closest_method(PyObject* self, const Arguments<2>& values) {
    const Arm& arm = arm_of(self);
    const Pose pose = near_rigid_pose(values[0], "pose");
    const JointVector reference = joints_from_any(values[1], "reference");
    const auto best = arm_ik_closest(arm, pose, reference);
    if (!best) {
        Py_RETURN_NONE;
    }
    return vector_array(*best);
}

constexpr Signature<1> kJacobian{"jacobian", {"joints"}};
PyObject* arm_jacobian_method(PyObject* self, const Arguments<1>& a) {
    const Jacobian j = arm_jacobian(arm_of(self), joints_from_any(a[0], "joints"));
    return array_copy(NPY_DOUBLE, {6, 6}, j.data());
}

constexpr Signature<1> kManipulability{"manipulability", {"joints"}};
PyObject* arm_manipulability_method(PyObject* self, const Arguments<1>& a) {
    return check(PyFloat_FromDouble(arm_manipulability(arm_of(self), joints_from_any(a[0], "joints"))));
}

constexpr Signature<1> kWithinLimits{"within_limits", {"joints"}};
PyObject* arm_within_limits_method(PyObject* self, const Arguments<1>& a) {
    const Arm& arm = arm_of(self);
    bool single = false;
    const auto joints = rows_of_six(a[0], "joints", single);
    if (single) {
        return PyBool_FromLong(arm_within_limits(arm, joints[0]));
    }
    npy_intp shape[1] = {static_cast<npy_intp>(joints.size())};
    PyObject* array = check(PyArray_SimpleNew(1, shape, NPY_BOOL));
    auto* out = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < joints.size(); ++i) {
        out[i] = arm_within_limits(arm, joints[i]) ? NPY_TRUE : NPY_FALSE;
    }
    return array;
}

PyMethodDef arm_methods[] = {
    {"fk", fastcall<kFk, arm_fk_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "fk($self, joints)\n--\n\n"
     "The pose of the TCP in the world frame for a set of joint angles (degrees): base · flange · tool."},
    {"fk_many", fastcall<kFkMany, arm_fk_many_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "fk_many($self, joints, threads=None)\n--\n\n"
     "The TCP pose of every row of an (n, 6) array of joint angles, as an (n, 4, 4) array.\n\n"
     "Computed without holding the interpreter lock, on up to `threads` threads for large inputs\n"
     "(None: one per core, at most 8)."},
    {"ik", fastcall<kIk, arm_ik_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "ik($self, pose)\n--\n\n"
     "Every joint vector within the limits that puts the TCP on `pose`, as an (n, 6) array.\n\n"
     "The solutions of the flange pose base⁻¹ · pose · tool⁻¹ in the order `Crx.ik` gives them,\n"
     "each followed by its whole-turn variants that the limits allow (J1 varying slowest, each\n"
     "joint's turns ascending); limits are inclusive. A pose whose rotation part is within 1e-6\n"
     "of a rotation (rounded or float32 values) is solved for the nearest rotation."},
    {"ik_many", fastcall<kIkMany, arm_ik_many_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "ik_many($self, poses, threads=None)\n--\n\n"
     "The solutions of `ik` for every pose, as an `IkBatch`.\n\n"
     "Each solution carries the residual, circle angle and kind of the flange solution it is a\n"
     "whole-turn variant of. Computed without holding the interpreter lock."},
    {"ik_closest", fastcall<kIkClosest, arm_ik_closest_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "ik_closest($self, pose, reference)\n--\n\n"
     "The solution of `ik` with the smallest largest-joint motion from `reference`, or None.\n\n"
     "Motion is real joint motion in degrees, without wrapping (350 degrees is 350 degrees), so\n"
     "the answer is a move the controller can make. The first of equal candidates wins; a\n"
     "reference that is not finite gives None."},
    {"jacobian", fastcall<kJacobian, arm_jacobian_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "jacobian($self, joints)\n--\n\n"
     "The (6, 6) geometric Jacobian at the TCP in the world frame.\n\n"
     "Rows 0-2 are the TCP's linear velocity (mm per rad), rows 3-5 its angular velocity (rad per\n"
     "rad); column j is the derivative with respect to controller joint Jj in radians (J2's column\n"
     "includes the J3 axis it carries: J3 is the forearm's angle from the horizontal, so J2 alone\n"
     "moves the forearm without tilting it)."},
    {"manipulability", fastcall<kManipulability, arm_manipulability_method, ClassId::Arm>(),
     METH_FASTCALL | METH_KEYWORDS,
     "manipulability($self, joints)\n--\n\n"
     "Yoshikawa's measure sqrt(det(J·Jᵀ)) of `jacobian`, with the linear rows in metres.\n\n"
     "Zero at a singularity."},
    {"within_limits", fastcall<kWithinLimits, arm_within_limits_method, ClassId::Arm>(), METH_FASTCALL | METH_KEYWORDS,
     "within_limits($self, joints)\n--\n\n"
     "Whether joint vectors lie within the joint and elbow limits (inclusive; NaN is outside).\n\n"
     "A vector of six gives a bool; a (k, 6) array gives a (k,) boolean array."},
    {"plan_path", as_method(arm_plan_path), METH_FASTCALL | METH_KEYWORDS,
     "plan_path($self, targets, start=None, *, max_step=10.0, check=None)\n--\n\n"
     "The best continuous joint path through TCP poses, over every solution branch, as a `PathPlan`.\n\n"
     "At each of the `targets` every solution within the limits is a candidate, whole-turn variants\n"
     "included. Two solutions of consecutive waypoints connect when no joint moves more than\n"
     "`max_step` degrees; any other move is a break, where the arm must stop and reconfigure. The\n"
     "plan has the fewest breaks and then the shortest duration at the rated speeds `max_speed`\n"
     "(an exact shortest path over the layers of solutions, not a greedy choice). With `start`, the\n"
     "first row is reached from it: that move counts, and a move over `max_step` is a break at 0.\n\n"
     "A waypoint without a solution is listed in `unreachable`, gets a NaN row and is skipped: the\n"
     "next reached waypoint connects to the last reached one by the same rule (a break only if that\n"
     "move is over `max_step`). `check`, when given, is called with (k, 6) arrays of candidate joint\n"
     "vectors, in batches, and returns a boolean mask of those allowed (a collision check, a\n"
     "keep-out zone); the others are dropped before the search."},
    {"_from_state", fastcall<kArmState, arm_from_state>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(robot, model, base, tool, lower, upper, elbow, max_speed)\n--\n\n"
     "Rebuild an arm from its fields (for pickle)."},
    {"__reduce__", noargs<arm_reduce>, METH_NOARGS, "Support for pickle and copy."},
    {"write_urdf", as_method(arm_write_urdf), METH_FASTCALL | METH_KEYWORDS, kArmWriteUrdfDoc},
    {"on_mounting_face", as_method(arm_on_mounting_face), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     kArmOnMountingFaceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef arm_properties[] = {
    {"robot", getter<arm_robot>, nullptr, "The robot, as a `Crx`.", nullptr},
    {"model", getter<arm_model>, nullptr, "The `CrxModel` the arm was made from, or None for a `Crx`.", nullptr},
    {"base", getter<arm_frame<&Arm::base>>, nullptr, "The robot's base frame in the world frame, a 4x4 array.",
     nullptr},
    {"tool", getter<arm_frame<&Arm::tool>>, nullptr, "The TCP in the flange frame, a 4x4 array.", nullptr},
    {"lower", getter<arm_vector<&Arm::lower>>, nullptr, "The lower joint limits in controller degrees, a (6,) array.",
     nullptr},
    {"upper", getter<arm_vector<&Arm::upper>>, nullptr, "The upper joint limits in controller degrees, a (6,) array.",
     nullptr},
    {"elbow", getter<arm_elbow>, nullptr, "The (lower, upper) limits on J2 + J3 in degrees, or None.", nullptr},
    {"max_speed", getter<arm_vector<&Arm::max_speed>>, nullptr,
     "The rated joint speeds in degrees per second, a (6,) array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kArmDoc =
    "Arm(robot, *, base=None, tool=None, lower=None, upper=None, elbow=None, max_speed=None)\n--\n\n"
    "A robot as installed: its tool, its place in the cell, its joint limits and rated speeds.\n\n"
    "`robot` is a `Crx` or a `CrxModel`. `base` is the pose of the robot's base frame in the world\n"
    "frame and `tool` the pose of the TCP in the flange frame (4x4, identity when omitted).\n"
    "`lower` and `upper` are six joint limits in controller degrees (inclusive), `elbow` the\n"
    "(lower, upper) limits in degrees on J2 + J3, the angle between upper arm and forearm, and\n"
    "`max_speed` the rated joint speeds in degrees per second.\n\n"
    "Omitted or None, the limits and speeds of a `CrxModel` are the maker's published ones; its\n"
    "elbow limit is the maker's J3 limit, and J3's own range is whatever the J2 and elbow limits\n"
    "allow (elbow lower - J2 upper .. elbow upper - J2 lower), so it cuts nothing the elbow\n"
    "allows. A `Crx` gets -180 .. 180 on every joint, no elbow limit and 180 degrees per second.\n"
    "`elbow=None` given explicitly removes the elbow limit. Arms are immutable and compare equal\n"
    "when every field is equal.";

}  // namespace

Pose near_rigid_pose(PyObject* object, const char* name) {
    double values[16];
    matrix_from_any(object, values);
    NearRigidFailure failure{};
    const auto pose = pose_from_near_rigid(values, failure);
    if (!pose) {
        raise_value("argument '" + std::string(name) + "': " + near_rigid_message(failure));
    }
    return *pose;
}

std::vector<Pose> near_rigid_poses(PyObject* object, const char* name) {
    ensure_numpy();
    std::vector<Pose> poses;
    const auto add = [&](const double* values, Py_ssize_t index) {
        NearRigidFailure failure{};
        const auto pose = pose_from_near_rigid(values, failure);
        if (!pose) {
            raise_value("argument '" + std::string(name) + "': pose " + std::to_string(index) + ": " +
                        near_rigid_message(failure));
        }
        poses.push_back(*pose);
    };
    // Arrays of numbers are read as a stack; other sequences pose by pose.
    Ref stacked;
    if (PyArray_Check(object)) {
        stacked = float64_array(object, name);
    } else if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected an (n, 4, 4) array or a sequence of poses, got %s",
                     type_name_of(object).c_str());
        raise_with_argument_name(name);
    }
    if (stacked) {
        auto* array = reinterpret_cast<PyArrayObject*>(stacked.get());
        if (PyArray_NDIM(array) != 3 || PyArray_DIM(array, 1) != 4 || PyArray_DIM(array, 2) != 4) {
            std::string shape = "[";
            for (int d = 0; d < PyArray_NDIM(array); ++d) {
                shape += (d > 0 ? ", " : "") + std::to_string(PyArray_DIM(array, d));
            }
            raise_value("argument '" + std::string(name) + "': expected an (n, 4, 4) array, got shape " + shape + "]");
        }
        const npy_intp count = PyArray_DIM(array, 0);
        poses.reserve(static_cast<std::size_t>(count));
        double values[16];
        for (npy_intp i = 0; i < count; ++i) {
            read_4x4(array, i, values);
            add(values, i);
        }
        return poses;
    }
    const Py_ssize_t count = PySequence_Size(object);
    check_status(count < 0 ? -1 : 0);
    poses.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(check(PySequence_GetItem(object, i)));
        double values[16];
        matrix_from_any(item.get(), values);
        add(values, i);
    }
    return poses;
}

const Arm& arm_from_object(PyObject* object) { return arm_of(object); }

const ClassDescription& arm_class() {
    static const HeapClass<Arm, 4> type("ortholink.Arm", kArmDoc, arm_methods, arm_properties,
                                        {{{Py_tp_new, slot(arm_new)},
                                          {Py_tp_repr, slot(unary<arm_repr>)},
                                          {Py_tp_richcompare, slot(arm_richcompare)},
                                          {Py_tp_hash, slot(arm_hash)}}},
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
    return type.description;
}

}  // namespace ortholink::py
