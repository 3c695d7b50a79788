// Python class IkSolution and the inverse-kinematics methods of Crx.

#include <cmath>
#include <cstdint>

#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/ik.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

PyObject* new_solution(const IkSolution& solution) { return box(IkSolution(solution)); }

const IkSolution& solution_of(PyObject* self) { return unbox<IkSolution>(self); }

PyObject* solution_kind(PyObject* self) {
    return enum_member(ClassId::SolutionKind, static_cast<int>(solution_of(self).kind));
}

PyObject* solution_repr(PyObject* self) { return to_python(to_string(solution_of(self))); }

// Rebuilds a solution from its fields (used by pickle).
constexpr Signature<4> kSolutionState{"_from_state", {"joints", "residual", "theta", "kind"}};
PyObject* solution_from_state(PyObject*, const Arguments<4>& values) {
    const JointVector joints = joints_from_any(values[0], "joints");
    const double residual = float_from_any(values[1], "residual");
    const double theta = float_from_any(values[2], "theta");
    // What a solution holds: finite joints and angle, a residual of at least 0.
    for (const double value : joints) {
        if (!std::isfinite(value)) {
            fail(PyExc_ValueError, "argument 'joints': expected finite joint angles, got %s", float_repr(value).c_str());
        }
    }
    if (!(residual >= 0.0 && std::isfinite(residual))) {
        fail(PyExc_ValueError, "argument 'residual': expected a non-negative, finite number, got %s",
             float_repr(residual).c_str());
    }
    if (!std::isfinite(theta)) {
        fail(PyExc_ValueError, "argument 'theta': expected a finite angle, got %s", float_repr(theta).c_str());
    }
    expect_argument(values[3], ClassId::SolutionKind, "kind");
    const auto kind = static_cast<SolutionKind>(enum_code(values[3]));
    return new_solution(IkSolution{joints, residual, theta, kind});
}

const MethodTable solution_methods{
    def<kSolutionState, solution_from_state>("Rebuild a solution from its fields (for pickle)."),
    reduce_def<ClassId::IkSolution, kFromState, member<&IkSolution::joints>, member<&IkSolution::residual>,
               member<&IkSolution::theta>, solution_kind>(),
};

const PropertyTable solution_properties{
    property<member<&IkSolution::joints>>("joints", "The six joint angles in FANUC controller degrees."),
    property<member<&IkSolution::residual>>(
        "residual", "Largest absolute element difference between this solution's pose and the target."),
    property<solution_kind>("kind", "The configuration category of the solution."),
    property<member<&IkSolution::theta>>(
        "theta", "The angle on the wrist center's circle that produced the solution, kept for diagnostics."),
};

constexpr Signature<1> kIk{"ik", {"target"}};
PyObject* ik_rows(PyObject* self, const Arguments<1>& a) {
    std::vector<JointVector> rows;
    for (const IkSolution& solution : ik(unbox<Crx>(self), iso_from_any(a[0]))) {
        rows.push_back(solution.joints);
    }
    return to_python(rows);
}

constexpr Signature<1> kIkDetailed{"ik_detailed", {"target"}};
PyObject* ik_list(PyObject* self, const Arguments<1>& a) {
    const auto solutions = ik(unbox<Crx>(self), iso_from_any(a[0]));
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
    const auto best = ik_closest(unbox<Crx>(self), target, joints);
    if (!best) {
        Py_RETURN_NONE;
    }
    return new_solution(*best);
}

}  // namespace

const MethodTable crx_ik_methods{
    def<kIk, ik_rows, ClassId::Crx>(
        "Every joint configuration which puts the flange at `target`, as an (n, 6) array.\n\n"
        "The target may be a 4x4 array or any object with an `as_numpy()` method returning one. An\n"
        "unreachable target gives an array with no rows. Use `ik_detailed` when the residual or the\n"
        "kind of each solution matters."),
    def<kIkDetailed, ik_list, ClassId::Crx>("The same solutions as `ik`, each carrying its residual and its kind."),
    def<kIkClosest, ik_nearest, ClassId::Crx>(
        "The solution whose joints are nearest to `reference`, or None if the target is unreachable.\n\n"
        "A caller following a path can pass the robot's current joint vector as `reference` to reach\n"
        "the next pose with the least joint movement, which keeps the arm from reconfiguring during\n"
        "the move."),
};

const ClassDescription& ik_solution_class() {
    static const HeapClass<IkSolution, 1> type(
        "ortholink.IkSolution", "One inverse kinematics solution and its diagnostics.", {solution_methods},
        solution_properties, {{{Py_tp_repr, slot(call<solution_repr>)}}});
    return type.description;
}

}  // namespace ortholink::py
