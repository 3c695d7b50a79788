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

const IkSolution& solution_of(PyObject* self) { return unbox<IkSolution>(self, ClassId::IkSolution); }

PyObject* joints_array(const JointVector& joints) { return array_copy(NPY_DOUBLE, {6}, joints.data()); }

PyObject* solution_joints(PyObject* self) { return joints_array(solution_of(self).joints); }
PyObject* solution_residual(PyObject* self) { return check(PyFloat_FromDouble(solution_of(self).residual)); }
PyObject* solution_theta(PyObject* self) { return check(PyFloat_FromDouble(solution_of(self).theta)); }
PyObject* solution_kind(PyObject* self) {
    return enum_member(ClassId::SolutionKind, static_cast<int>(solution_of(self).kind));
}

PyObject* solution_repr(PyObject* self) {
    const IkSolution& solution = solution_of(self);
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
}

// Rebuilds a solution from its fields (used by pickle).
constexpr Signature<4> kSolutionState{"_from_state", {"joints", "residual", "theta", "kind"}};
PyObject* solution_from_state(PyObject*, const Arguments<4>& values) {
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
}

PyObject* solution_reduce(PyObject* self) {
    const IkSolution& solution = solution_of(self);
    Ref make = Ref::steal(
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::IkSolution)), "_from_state")));
    Ref joints = Ref::steal(joints_array(solution.joints));
    Ref kind = Ref::steal(enum_member(ClassId::SolutionKind, static_cast<int>(solution.kind)));
    Ref args =
        Ref::steal(check(Py_BuildValue("(OddO)", joints.get(), solution.residual, solution.theta, kind.get())));
    return check(PyTuple_Pack(2, make.get(), args.get()));
}

PyMethodDef solution_methods[] = {
    {"_from_state", fastcall<kSolutionState, solution_from_state>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(joints, residual, theta, kind)\n--\n\nRebuild a solution from its fields (for pickle)."},
    {"__reduce__", noargs<solution_reduce>, METH_NOARGS, "Support for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef solution_properties[] = {
    {"joints", getter<solution_joints>, nullptr, "The six joint angles in FANUC controller degrees.", nullptr},
    {"residual", getter<solution_residual>, nullptr,
     "Largest absolute element difference between this solution's pose and the target.", nullptr},
    {"kind", getter<solution_kind>, nullptr, "The configuration category of the solution.", nullptr},
    {"theta", getter<solution_theta>, nullptr,
     "The angle on the wrist center's circle that produced the solution, kept for diagnostics.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr Signature<1> kIk{"ik", {"target"}};
PyObject* ik_rows(PyObject* self, const Arguments<1>& a) {
    const auto solutions = ik(unbox<Crx>(self, ClassId::Crx), iso_from_any(a[0]));
    const npy_intp shape[2] = {static_cast<npy_intp>(solutions.size()), 6};
    PyObject* array = new_float64_array(2, shape);
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t k = 0; k < solutions.size(); ++k) {
        for (std::size_t i = 0; i < 6; ++i) {
            data[6 * k + i] = solutions[k].joints[i];
        }
    }
    return array;
}

constexpr Signature<1> kIkDetailed{"ik_detailed", {"target"}};
PyObject* ik_list(PyObject* self, const Arguments<1>& a) {
    const auto solutions = ik(unbox<Crx>(self, ClassId::Crx), iso_from_any(a[0]));
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(solutions.size()))));
    for (std::size_t k = 0; k < solutions.size(); ++k) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), new_solution(solutions[k]));  // steals
    }
    return list.release();
}

constexpr Signature<2> kIkClosest{"ik_closest", {"target", "reference"}};
PyObject* ik_nearest(PyObject* self, const Arguments<2>& a) {
    // The reference's type is checked before the target, its length after.
    const Vector1D reference = vector_from_any(a[1], "reference", 6);
    const Pose target = iso_from_any(a[0]);
    const JointVector joints = joints_from_vector(reference);
    const auto best = ik_closest(unbox<Crx>(self, ClassId::Crx), target, joints);
    if (!best) {
        Py_RETURN_NONE;
    }
    return new_solution(*best);
}

}  // namespace

PyObject* crx_ik(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kIk, ik_rows, ClassId::Crx>(self, args, nargs, kwnames);
}

PyObject* crx_ik_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kIkDetailed, ik_list, ClassId::Crx>(self, args, nargs, kwnames);
}

PyObject* crx_ik_closest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method<kIkClosest, ik_nearest, ClassId::Crx>(self, args, nargs, kwnames);
}

const ClassDescription& ik_solution_class() {
    static const HeapClass<IkSolution, 1> type(
        "ortholink.IkSolution", "One inverse kinematics solution and its diagnostics.", solution_methods,
        solution_properties, {{{Py_tp_repr, slot(unary<solution_repr>)}}});
    return type.description;
}

const ClassDescription& solution_kind_class() {
    return enum_class<ClassId::SolutionKind>("ortholink.SolutionKind", "The configuration category of a solution.");
}

}  // namespace ortholink::py
