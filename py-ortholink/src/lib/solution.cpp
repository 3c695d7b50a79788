// Python classes IkSolution and SolutionKind, and the inverse-kinematics
// methods of Crx.

#include <cstdint>
#include <string>

#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/ik.hpp"
#include "robot.hpp"
#include "text_format.hpp"

namespace ortholink::py {
namespace {

PyObject* new_solution(const IkSolution& solution) { return box(ClassId::IkSolution, IkSolution(solution)); }

PyObject* joints_array(const JointVector& joints) {
    ensure_numpy();
    const npy_intp shape[1] = {6};
    PyObject* array = new_float64_array(1, shape);
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < 6; ++i) {
        data[i] = joints[i];
    }
    return array;
}

PyObject* solution_joints(PyObject* self, void*) {
    return guard([&] {
        ensure_numpy();
        return joints_array(unbox<IkSolution>(self, ClassId::IkSolution).joints);
    });
}

PyObject* solution_residual(PyObject* self, void*) {
    return guard([&] { return check(PyFloat_FromDouble(unbox<IkSolution>(self, ClassId::IkSolution).residual)); });
}

PyObject* solution_theta(PyObject* self, void*) {
    return guard([&] { return check(PyFloat_FromDouble(unbox<IkSolution>(self, ClassId::IkSolution).theta)); });
}

PyObject* solution_kind(PyObject* self, void*) {
    return guard([&] {
        const auto kind = unbox<IkSolution>(self, ClassId::IkSolution).kind;
        return enum_member(ClassId::SolutionKind, static_cast<int>(kind));
    });
}

PyObject* solution_repr(PyObject* self) {
    return guard([&] {
        const IkSolution& solution = unbox<IkSolution>(self, ClassId::IkSolution);
        std::string text = "IkSolution(joints=[";
        for (std::size_t i = 0; i < 6; ++i) {
            if (i > 0) {
                text += ", ";
            }
            text += format_fixed4(solution.joints[i]);
        }
        text += "], residual=" + format_scientific3(solution.residual) + ", kind=";
        const auto kind = static_cast<int>(solution.kind);
        const EnumDescription& kinds = enum_description(ClassId::SolutionKind);
        if (kind < 0 || kind >= kinds.count) {
            throw Panic("solution carries an unknown kind");
        }
        text += kinds.members[kind];
        text += ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// Rebuilds a solution from its fields (used by pickle).
PyObject* solution_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"joints", "residual", "theta", "kind"};
        PyObject* values[4];
        bind_arguments("_from_state", args, nargs, kwnames, names, 4, values);
        const JointVector joints = joints_from_any(values[0], "joints");
        const double residual = float_from_any(values[1], "residual");
        const double theta = float_from_any(values[2], "theta");
        if (!is_instance(values[3], ClassId::SolutionKind)) {
            PyErr_Format(PyExc_TypeError, "argument 'kind': expected ortholink.SolutionKind, got %s",
                         type_name_of(values[3]).c_str());
            throw PyErrorSet{};
        }
        const auto kind = static_cast<SolutionKind>(enum_code(values[3]));
        return new_solution(IkSolution{joints, residual, theta, kind});
    });
}

PyObject* solution_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        const IkSolution& solution = unbox<IkSolution>(self, ClassId::IkSolution);
        Ref make = Ref::steal(check(PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(class_object(ClassId::IkSolution)), "_from_state")));
        Ref joints = Ref::steal(joints_array(solution.joints));
        Ref kind = Ref::steal(enum_member(ClassId::SolutionKind, static_cast<int>(solution.kind)));
        Ref args = Ref::steal(
            check(Py_BuildValue("(OddO)", joints.get(), solution.residual, solution.theta, kind.get())));
        return check(PyTuple_Pack(2, make.get(), args.get()));
    });
}

PyMethodDef solution_methods[] = {
    {"_from_state", as_method(solution_from_state), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(joints, residual, theta, kind)\n--\n\nRebuild a solution from its fields (for pickle)."},
    {"__reduce__", solution_reduce, METH_NOARGS, "Support for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef solution_properties[] = {
    {"joints", solution_joints, nullptr, "The six joint angles in FANUC controller degrees.", nullptr},
    {"residual", solution_residual, nullptr,
     "Largest absolute element difference between this solution's pose and the target.", nullptr},
    {"kind", solution_kind, nullptr, "The configuration category of the solution.", nullptr},
    {"theta", solution_theta, nullptr,
     "The angle on the wrist center's circle that produced the solution, kept for diagnostics.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot solution_slots[] = {
    {Py_tp_doc, const_cast<char*>("One inverse kinematics solution and its diagnostics.")},
    {Py_tp_methods, solution_methods},
    {Py_tp_getset, solution_properties},
    {Py_tp_repr, reinterpret_cast<void*>(solution_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<IkSolution>)},
    {0, nullptr},
};

PyType_Spec solution_spec{
    .name = "ortholink.IkSolution",
    .basicsize = static_cast<int>(sizeof(Boxed<IkSolution>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = solution_slots,
};


}  // namespace

PyObject* crx_ik(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"target"};
        PyObject* target;
        bind_arguments("ik", args, nargs, kwnames, names, 1, &target);
        const auto solutions = ik(robot, iso_from_any(target));
        const npy_intp shape[2] = {static_cast<npy_intp>(solutions.size()), 6};
        PyObject* array = new_float64_array(2, shape);
        auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
        for (std::size_t k = 0; k < solutions.size(); ++k) {
            for (std::size_t i = 0; i < 6; ++i) {
                data[6 * k + i] = solutions[k].joints[i];
            }
        }
        return array;
    });
}

PyObject* crx_ik_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"target"};
        PyObject* target;
        bind_arguments("ik_detailed", args, nargs, kwnames, names, 1, &target);
        const auto solutions = ik(robot, iso_from_any(target));
        Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(solutions.size()))));
        for (std::size_t k = 0; k < solutions.size(); ++k) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), new_solution(solutions[k]));  // steals
        }
        return list.release();
    });
}

PyObject* crx_ik_closest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        const Crx& robot = unbox<Crx>(self, ClassId::Crx);
        static const char* const names[] = {"target", "reference"};
        PyObject* values[2];
        bind_arguments("ik_closest", args, nargs, kwnames, names, 2, values);
        // The reference's type is checked before the target, its length after.
        const Vector1D reference = vector_from_any(values[1], "reference");
        const Pose target = iso_from_any(values[0]);
        const JointVector joints = joints_from_vector(reference);
        const auto best = ik_closest(robot, target, joints);
        if (!best) {
            Py_RETURN_NONE;
        }
        return new_solution(*best);
    });
}

const ClassDescription& ik_solution_class() {
    static const ClassDescription description{"IkSolution", &solution_spec, nullptr};
    return description;
}

const ClassDescription& solution_kind_class() {
    return enum_class<ClassId::SolutionKind>("ortholink.SolutionKind", "The configuration category of a solution.");
}

}  // namespace ortholink::py
