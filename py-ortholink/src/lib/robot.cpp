// Python classes Crx and CrxModel.

#include <cmath>
#include <cstdint>

#include "classes.hpp"
#include "convert.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/robot.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

PyObject* new_crx(const Crx& robot) { return box(ClassId::Crx, Crx(robot)); }

constexpr Signature<4> kFromParams{"from_params", {"z1", "x1", "x2", "y1"}};
PyObject* crx_from_params(PyObject*, const Arguments<4>& a) {
    double dims[4];
    for (std::size_t i = 0; i < 4; ++i) {
        dims[i] = float_from_any(a[i], kFromParams.names[i]);
    }
    // The solver needs a real arm: with a zero, negative or non-finite length
    // ik finds nothing (or almost nothing) on poses that fk reaches.
    for (std::size_t i = 0; i < 4; ++i) {
        if (!(std::isfinite(dims[i]) && dims[i] > 0.0)) {
            PyErr_Format(PyExc_ValueError, "argument '%s': expected a positive, finite length in millimeters, got %s",
                         kFromParams.names[i], float_repr(dims[i]).c_str());
            throw PyErrorSet{};
        }
    }
    return new_crx(Crx::from_params(dims[0], dims[1], dims[2], dims[3]));
}

constexpr Signature<1> kFromModel{"from_model", {"model"}};
PyObject* crx_from_model(PyObject*, const Arguments<1>& a) {
    return new_crx(Crx::from_model(model_from_any(a[0], "model")));
}

template <Crx (*Make)()>
PyObject* crx_named(PyObject*) {
    return new_crx(Make());
}

Crx make_20ial() { return Crx::new_10ia_l(); }

constexpr Signature<1> kFk{"fk", {"joints"}};
PyObject* crx_fk(PyObject* self, const Arguments<1>& a) {
    const Crx& robot = unbox<Crx>(self, ClassId::Crx);
    return pose_to_array(fk(robot, joints_from_any(a[0], "joints")));
}

constexpr Signature<1> kFkAll{"fk_all", {"joints"}};
PyObject* crx_fk_all(PyObject* self, const Arguments<1>& a) {
    const Crx& robot = unbox<Crx>(self, ClassId::Crx);
    return poses_to_array(fk_all(robot, joints_from_any(a[0], "joints")));
}

// Pickles as Crx.from_params(z1, x1, x2, y1).
PyObject* crx_reduce(PyObject* self) {
    const Crx& robot = unbox<Crx>(self, ClassId::Crx);
    Ref make = Ref::steal(
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::Crx)), "from_params")));
    Ref args = Ref::steal(check(Py_BuildValue("(dddd)", robot.z1, robot.x1, robot.x2, robot.y1)));
    return check(PyTuple_Pack(2, make.get(), args.get()));
}

template <double Crx::*Field>
PyObject* crx_dimension(PyObject* self) {
    return check(PyFloat_FromDouble(unbox<Crx>(self, ClassId::Crx).*Field));
}

PyMethodDef crx_methods[] = {
    {"from_params", fastcall<kFromParams, crx_from_params>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_params(z1, x1, x2, y1)\n--\n\nBuild a robot from its four link dimensions, in millimeters."},
    {"from_model", fastcall<kFromModel, crx_from_model>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_model(model)\n--\n\nBuild a robot with the link dimensions of a FANUC CRX model."},
    {"crx3ia", noargs<crx_named<&Crx::new_3ia>>, METH_NOARGS | METH_STATIC, "crx3ia()\n--\n\nThe CRX-3iA."},
    {"crx5ia", noargs<crx_named<&Crx::new_5ia>>, METH_NOARGS | METH_STATIC, "crx5ia()\n--\n\nThe CRX-5iA."},
    {"crx10ia", noargs<crx_named<&Crx::new_10ia>>, METH_NOARGS | METH_STATIC, "crx10ia()\n--\n\nThe CRX-10iA."},
    {"crx10ial", noargs<crx_named<&Crx::new_10ia_l>>, METH_NOARGS | METH_STATIC, "crx10ial()\n--\n\nThe CRX-10iA/L."},
    {"crx20ial", noargs<crx_named<&make_20ial>>, METH_NOARGS | METH_STATIC, "crx20ial()\n--\n\nThe CRX-20iA/L."},
    {"crx30ia", noargs<crx_named<&Crx::new_30ia>>, METH_NOARGS | METH_STATIC, "crx30ia()\n--\n\nThe CRX-30iA."},
    {"fk", fastcall<kFk, crx_fk, ClassId::Crx>(), METH_FASTCALL | METH_KEYWORDS,
     "fk($self, joints)\n--\n\n"
     "Compute the pose of the flange for a set of joint angles.\n\n"
     "The joints are in degrees as they appear in the robot controller, and the returned 4x4\n"
     "matrix matches the controller in both position and orientation."},
    {"fk_all", fastcall<kFkAll, crx_fk_all, ClassId::Crx>(), METH_FASTCALL | METH_KEYWORDS,
     "fk_all($self, joints)\n--\n\n"
     "Compute the pose of every frame in the kinematic chain, as a (6, 4, 4) array.\n\n"
     "The last of the six is the flange and matches `fk`. The others are at the kinematic link\n"
     "origins, which have no corresponding values in the controller."},
    {"ik", as_method(crx_ik), METH_FASTCALL | METH_KEYWORDS,
     "ik($self, target)\n--\n\n"
     "Every joint configuration which puts the flange at `target`, as an (n, 6) array.\n\n"
     "The target may be a 4x4 array or any object with an `as_numpy()` method returning one. An\n"
     "unreachable target gives an array with no rows. Use `ik_detailed` when the residual or the\n"
     "kind of each solution matters."},
    {"ik_detailed", as_method(crx_ik_detailed), METH_FASTCALL | METH_KEYWORDS,
     "ik_detailed($self, target)\n--\n\nThe same solutions as `ik`, each carrying its residual and its kind."},
    {"ik_closest", as_method(crx_ik_closest), METH_FASTCALL | METH_KEYWORDS,
     "ik_closest($self, target, reference)\n--\n\n"
     "The solution whose joints are nearest to `reference`, or None if the target is unreachable.\n\n"
     "A caller following a path can pass the robot's current joint vector as `reference` to reach\n"
     "the next pose with the least joint movement, which keeps the arm from reconfiguring during\n"
     "the move."},
    {"__reduce__", noargs<crx_reduce>, METH_NOARGS, "Support for pickle and copy."},
    {"fk_many", as_method(crx_fk_many), METH_FASTCALL | METH_KEYWORDS,
     "fk_many($self, joints, threads=None)\n--\n\n"
     "The flange pose of every row of an (n, 6) array of joint angles, as an (n, 4, 4) array.\n\n"
     "Computed without holding the interpreter lock, on up to `threads` threads for large inputs\n"
     "(None: one per core, at most 8). The result is the same whatever the thread count."},
    {"ik_many", as_method(crx_ik_many), METH_FASTCALL | METH_KEYWORDS,
     "ik_many($self, targets, threads=None)\n--\n\n"
     "Every solution of every target, as an `IkBatch`.\n\n"
     "`targets` is an (n, 4, 4) array-like or a sequence of poses (arrays or objects with an\n"
     "`as_numpy()` method). Each target is checked as `ik` checks one; a bad one raises ValueError\n"
     "naming its index and nothing is computed. The solutions of target i are those of `ik`, in\n"
     "the same order, whatever the thread count."},
    {"ik_path", as_method(crx_ik_path), METH_FASTCALL | METH_KEYWORDS,
     "ik_path($self, targets, start)\n--\n\n"
     "Follow a path of poses, taking at each the solution nearest the previous joints.\n\n"
     "The choice is that of `ik_closest`, starting from the joint vector `start`. Returns an (n, 6)\n"
     "array; a row of NaN marks an unreachable target, and the next target is then measured from\n"
     "the last joints reached.\n\n"
     "Rows are unwrapped: each is the whole-turn variant of its solution nearest the previous row\n"
     "(the first nearest `start`), so a joint turning past 180 degrees goes on to 190 instead of\n"
     "jumping to -170. A NaN joint in `start` is left out of the first choice, as in `ik_closest`."},
    {"expand_turns", as_method(crx_expand_turns), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "expand_turns(joints, lower, upper)\n--\n\n"
     "Every variant of the solutions that differs by whole turns per joint and lies within limits.\n\n"
     "`joints` is a (k, 6) or (6,) array of solutions in degrees; `lower` and `upper` are six limits\n"
     "in degrees, inclusive. Returns an (m, 6) array: solution by solution, J1 varying slowest and\n"
     "each joint's turns ascending. The limits are the caller's; none are assumed.\n\n"
     "Limits must be finite, and values and limits at most 2**28 degrees in magnitude (beyond, a\n"
     "whole turn is no longer exact). One solution may give at most 65,536 variants and one call\n"
     "4,194,304 rows; more raises ValueError before anything is built."},
    {"within_limits", as_method(crx_within_limits), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "within_limits(joints, lower, upper)\n--\n\n"
     "Whether joint vectors lie within limits (degrees, inclusive; NaN is outside).\n\n"
     "A (k, 6) array gives a (k,) boolean array; a single vector of six gives a bool."},
    {"pose_from_xyzwpr", as_method(crx_pose_from_xyzwpr), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "pose_from_xyzwpr(xyzwpr)\n--\n\n"
     "The 4x4 pose of the controller's (X, Y, Z, W, P, R), in millimetres and degrees.\n\n"
     "W, P and R are rotations about the fixed X, Y and Z axes, applied in that order. An (n, 6)\n"
     "array gives an (n, 4, 4) array."},
    {"xyzwpr", as_method(crx_xyzwpr), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "xyzwpr(pose)\n--\n\n"
     "The controller's (X, Y, Z, W, P, R) of a pose, in millimetres and degrees.\n\n"
     "At P = +-90 degrees only W - R (or W + R) is determined; W is then reported as 0. An\n"
     "(n, 4, 4) array gives an (n, 6) array."},
    {"joints_to_urdf", as_method(crx_joints_to_urdf), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "joints_to_urdf(joints)\n--\n\n"
     "Controller joint angles (degrees) as the joint positions of a URDF or ROS 2 description.\n\n"
     "Radians, and the third value is J2 + J3: ROS descriptions of these arms (ours from\n"
     "`Arm.write_urdf`, and the maker's) turn joint_3 by the angle between upper arm and forearm,\n"
     "while the controller's J3 is the forearm's angle from the horizontal. A (6,) array gives a\n"
     "(6,) array, an (n, 6) array an (n, 6)."},
    {"joints_from_urdf", as_method(crx_joints_from_urdf), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "joints_from_urdf(q)\n--\n\n"
     "URDF or ROS 2 joint positions (radians, joint_3 = J2 + J3) as controller joint angles in degrees.\n\n"
     "The inverse of `joints_to_urdf`; a (6,) array gives a (6,) array, an (n, 6) array an (n, 6)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef crx_properties[] = {
    {"z1", getter<crx_dimension<&Crx::z1>>, nullptr, "The height of the J3 origin above the J2 origin, in millimeters.",
     nullptr},
    {"x1", getter<crx_dimension<&Crx::x1>>, nullptr,
     "The length of the forearm, from the J3 origin to the J5 origin, in millimeters.", nullptr},
    {"x2", getter<crx_dimension<&Crx::x2>>, nullptr, "The distance from the J5 origin to the flange, in millimeters.",
     nullptr},
    {"y1", getter<crx_dimension<&Crx::y1>>, nullptr,
     "The lateral offset of the J5 origin from the forearm axis, in millimeters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

CrxModel model_from_any(PyObject* object, const char* name) {
    if (!is_instance(object, ClassId::CrxModel)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected ortholink.CrxModel, got %s", name,
                     type_name_of(object).c_str());
        throw PyErrorSet{};
    }
    return static_cast<CrxModel>(enum_code(object));
}

const Crx& crx_from_object(PyObject* object, const char* name) {
    if (!is_instance(object, ClassId::Crx)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected ortholink.Crx, got %s", name,
                     type_name_of(object).c_str());
        throw PyErrorSet{};
    }
    return reinterpret_cast<Boxed<Crx>*>(object)->value;
}

const ClassDescription& crx_class() {
    static const HeapClass<Crx> type(
        "ortholink.Crx", "A FANUC CRX robot defined by the four link dimensions that distinguish the models.",
        crx_methods, crx_properties);
    return type.description;
}

constexpr const char* kModelDoc =
    "One of the models in the FANUC CRX series.\n\n"
    "`LinkMeshes.load` uses the model to select geometry. Two models can share the same four link\n"
    "dimensions, so those dimensions alone do not identify the model represented by a `Crx`.";

const ClassDescription& crx_model_class() { return enum_class<ClassId::CrxModel>("ortholink.CrxModel", kModelDoc); }

}  // namespace ortholink::py
