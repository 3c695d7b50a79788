// Python classes Crx and CrxModel.

#include <cstdint>

#include "classes.hpp"
#include "convert.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/robot.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

PyObject* new_crx(const Crx& robot) { return box(ClassId::Crx, Crx(robot)); }

PyObject* crx_from_params(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"z1", "x1", "x2", "y1"};
        PyObject* values[4];
        bind_arguments("from_params", args, nargs, kwnames, names, 4, values);
        double dims[4];
        for (int i = 0; i < 4; ++i) {
            dims[i] = float_from_any(values[i], names[i]);
        }
        return new_crx(Crx::from_params(dims[0], dims[1], dims[2], dims[3]));
    });
}

PyObject* crx_from_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"model"};
        PyObject* model;
        bind_arguments("from_model", args, nargs, kwnames, names, 1, &model);
        return new_crx(Crx::from_model(model_from_any(model, "model")));
    });
}

template <Crx (*Make)()>
PyObject* crx_named(PyObject*, PyObject*) {
    return guard([] { return new_crx(Make()); });
}

Crx make_20ial() { return Crx::new_10ia_l(); }

PyObject* crx_fk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"joints"};
        PyObject* joints;
        bind_arguments("fk", args, nargs, kwnames, names, 1, &joints);
        return pose_to_array(fk(robot, joints_from_any(joints, "joints")));
    });
}

PyObject* crx_fk_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"joints"};
        PyObject* joints;
        bind_arguments("fk_all", args, nargs, kwnames, names, 1, &joints);
        const auto frames = fk_all(robot, joints_from_any(joints, "joints"));
        return poses_to_array(frames);
    });
}

// Pickles as Crx.from_params(z1, x1, x2, y1).
PyObject* crx_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        Ref make = Ref::steal(
            check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::Crx)), "from_params")));
        Ref args = Ref::steal(check(Py_BuildValue("(dddd)", robot.z1, robot.x1, robot.x2, robot.y1)));
        return check(PyTuple_Pack(2, make.get(), args.get()));
    });
}

template <double Crx::*Field>
PyObject* crx_dimension(PyObject* self, void*) {
    return guard([&] { return check(PyFloat_FromDouble(unbox<Crx>(self, ClassId::Crx).*Field)); });
}

PyMethodDef crx_methods[] = {
    {"from_params", as_method(crx_from_params), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_params(z1, x1, x2, y1)\n--\n\nBuild a robot from its four link dimensions, in millimeters."},
    {"from_model", as_method(crx_from_model), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_model(model)\n--\n\nBuild a robot with the link dimensions of a FANUC CRX model."},
    {"crx3ia", crx_named<&Crx::new_3ia>, METH_NOARGS | METH_STATIC, "crx3ia()\n--\n\nThe CRX-3iA."},
    {"crx5ia", crx_named<&Crx::new_5ia>, METH_NOARGS | METH_STATIC, "crx5ia()\n--\n\nThe CRX-5iA."},
    {"crx10ia", crx_named<&Crx::new_10ia>, METH_NOARGS | METH_STATIC, "crx10ia()\n--\n\nThe CRX-10iA."},
    {"crx10ial", crx_named<&Crx::new_10ia_l>, METH_NOARGS | METH_STATIC, "crx10ial()\n--\n\nThe CRX-10iA/L."},
    {"crx20ial", crx_named<&make_20ial>, METH_NOARGS | METH_STATIC, "crx20ial()\n--\n\nThe CRX-20iA/L."},
    {"crx30ia", crx_named<&Crx::new_30ia>, METH_NOARGS | METH_STATIC, "crx30ia()\n--\n\nThe CRX-30iA."},
    {"fk", as_method(crx_fk), METH_FASTCALL | METH_KEYWORDS,
     "fk($self, joints)\n--\n\n"
     "Compute the pose of the flange for a set of joint angles.\n\n"
     "The joints are in degrees as they appear in the robot controller, and the returned 4x4\n"
     "matrix matches the controller in both position and orientation."},
    {"fk_all", as_method(crx_fk_all), METH_FASTCALL | METH_KEYWORDS,
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
    {"__reduce__", crx_reduce, METH_NOARGS, "Support for pickle and copy."},
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
     "the last joints reached."},
    {"expand_turns", as_method(crx_expand_turns), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "expand_turns(joints, lower, upper)\n--\n\n"
     "Every variant of the solutions that differs by whole turns per joint and lies within limits.\n\n"
     "`joints` is a (k, 6) or (6,) array of solutions in degrees; `lower` and `upper` are six limits\n"
     "in degrees, inclusive. Returns an (m, 6) array: solution by solution, J1 varying slowest and\n"
     "each joint's turns ascending. The limits are the caller's; none are assumed."},
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
     "`Arm.write_urdf`, and the maker's) measure joint_3 as the elbow angle, while the controller\n"
     "measures J3 from the upper arm. A (6,) array gives a (6,) array, an (n, 6) array an (n, 6)."},
    {"joints_from_urdf", as_method(crx_joints_from_urdf), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "joints_from_urdf(q)\n--\n\n"
     "URDF or ROS 2 joint positions (radians, joint_3 = J2 + J3) as controller joint angles in degrees.\n\n"
     "The inverse of `joints_to_urdf`; a (6,) array gives a (6,) array, an (n, 6) array an (n, 6)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef crx_properties[] = {
    {"z1", crx_dimension<&Crx::z1>, nullptr, "The height of the J3 origin above the J2 origin, in millimeters.",
     nullptr},
    {"x1", crx_dimension<&Crx::x1>, nullptr,
     "The length of the forearm, from the J3 origin to the J5 origin, in millimeters.", nullptr},
    {"x2", crx_dimension<&Crx::x2>, nullptr, "The distance from the J5 origin to the flange, in millimeters.",
     nullptr},
    {"y1", crx_dimension<&Crx::y1>, nullptr,
     "The lateral offset of the J5 origin from the forearm axis, in millimeters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot crx_slots[] = {
    {Py_tp_doc, const_cast<char*>("A FANUC CRX robot defined by the four link dimensions that distinguish the models.")},
    {Py_tp_methods, crx_methods},
    {Py_tp_getset, crx_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Crx>)},
    {0, nullptr},
};

PyType_Spec crx_spec{
    .name = "ortholink.Crx",
    .basicsize = static_cast<int>(sizeof(Boxed<Crx>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = crx_slots,
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
    static const ClassDescription description{"Crx", &crx_spec, nullptr};
    return description;
}

constexpr const char* kModelDoc =
    "One of the models in the FANUC CRX series.\n\n"
    "`LinkMeshes.load` uses the model to select geometry. Two models can share the same four link\n"
    "dimensions, so those dimensions alone do not identify the model represented by a `Crx`.";

const ClassDescription& crx_model_class() {
    static EnumType storage;
    static const ClassDescription description{
        "CrxModel", enum_type_spec(storage, "ortholink.CrxModel", kModelDoc),
        [](PyObject* type) { populate_enum(type, ClassId::CrxModel); }};
    return description;
}

}  // namespace ortholink::py
