// Python class Crx.

#include <cmath>
#include <cstdint>
#include <string>

#include "classes.hpp"
#include "convert.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/robot.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

constexpr Signature<4> kFromParams{"from_params", {"z1", "x1", "x2", "y1"}};
constexpr double kShortestLength = 1e-3;
PyObject* crx_from_params(PyObject*, const Arguments<4>& a) {
    double dims[4];
    for (std::size_t i = 0; i < 4; ++i) {
        dims[i] = float_from_any(a[i], kFromParams.names[i]);
    }
    // The solver needs a real arm: with a zero, negative or non-finite length
    // ik finds nothing (or almost nothing) on poses that fk reaches.
    for (std::size_t i = 0; i < 4; ++i) {
        if (!(std::isfinite(dims[i]) && dims[i] > 0.0)) {
            fail(PyExc_ValueError, "argument '%s': expected a positive, finite length in millimeters, got %s",
                 kFromParams.names[i], float_repr(dims[i]).c_str());
        }
        if (dims[i] > kLongestLength) {
            fail(PyExc_ValueError, "argument '%s': expected a length of at most %s millimeters, got %s",
                 kFromParams.names[i], float_repr(kLongestLength).c_str(), float_repr(dims[i]).c_str());
        }
        // Below a micrometre the solver's absolute tolerances (1e-8 mm) are
        // no longer small against the arm, and far below, its squares underflow.
        if (dims[i] < kShortestLength) {
            fail(PyExc_ValueError, "argument '%s': expected a length of at least %s millimeters, got %s",
                 kFromParams.names[i], float_repr(kShortestLength).c_str(), float_repr(dims[i]).c_str());
        }
    }
    return box(Crx::from_params(dims[0], dims[1], dims[2], dims[3]));
}

constexpr Signature<1> kFromModel{"from_model", {"model"}};
PyObject* crx_from_model(PyObject*, const Arguments<1>& a) {
    return box(Crx::from_model(model_from_any(a[0], "model")));
}

// The static method `name()` returning the robot `Make` builds.
template <Crx (*Make)()>
PyMethodDef named(const char* name, const char* model) {
    static const std::string doc = std::string(name) + "()\n--\n\nThe " + model + ".";
    constexpr auto make = [](PyObject*) { return box(Make()); };
    return {name, call<make, PyObject*>, METH_NOARGS | METH_STATIC, doc.c_str()};
}

Crx make_20ial() { return Crx::new_10ia_l(); }

constexpr Signature<1> kFk{"fk", {"joints"}};
PyObject* crx_fk(PyObject* self, const Arguments<1>& a) {
    return to_python(fk(unbox<Crx>(self), joints_from_any(a[0], "joints")));
}

constexpr Signature<1> kFkAll{"fk_all", {"joints"}};
PyObject* crx_fk_all(PyObject* self, const Arguments<1>& a) {
    return poses_to_array(fk_all(unbox<Crx>(self), joints_from_any(a[0], "joints")));
}

// Pickles as Crx.from_params(z1, x1, x2, y1).
constexpr char kRebuiltBy[] = "from_params";

const MethodTable crx_methods{
    def<kFromParams, crx_from_params>("Build a robot from its four link dimensions, in millimeters."),
    def<kFromModel, crx_from_model>("Build a robot with the link dimensions of a FANUC CRX model."),
    named<&Crx::new_3ia>("crx3ia", "CRX-3iA"),
    named<&Crx::new_5ia>("crx5ia", "CRX-5iA"),
    named<&Crx::new_10ia>("crx10ia", "CRX-10iA"),
    named<&Crx::new_10ia_l>("crx10ial", "CRX-10iA/L"),
    named<&make_20ial>("crx20ial", "CRX-20iA/L"),
    named<&Crx::new_30ia>("crx30ia", "CRX-30iA"),
    def<kFk, crx_fk, ClassId::Crx>(
        "Compute the pose of the flange for a set of joint angles.\n\n"
        "The joints are in degrees as they appear in the robot controller, and the returned 4x4\n"
        "matrix matches the controller in both position and orientation."),
    def<kFkAll, crx_fk_all, ClassId::Crx>(
        "Compute the pose of every frame in the kinematic chain, as a (6, 4, 4) array.\n\n"
        "The last of the six is the flange and matches `fk`. The others are at the kinematic link\n"
        "origins, which have no corresponding values in the controller."),
    reduce_def<ClassId::Crx, kRebuiltBy, member<&Crx::z1>, member<&Crx::x1>, member<&Crx::x2>, member<&Crx::y1>>(),
};

const PropertyTable crx_properties{
    property<member<&Crx::z1>>("z1", "The height of the J3 origin above the J2 origin, in millimeters."),
    property<member<&Crx::x1>>("x1", "The length of the forearm, from the J3 origin to the J5 origin, in millimeters."),
    property<member<&Crx::x2>>("x2", "The distance from the J5 origin to the flange, in millimeters."),
    property<member<&Crx::y1>>("y1", "The lateral offset of the J5 origin from the forearm axis, in millimeters."),
};

}  // namespace

CrxModel model_from_any(PyObject* object, const char* name) {
    expect_argument(object, ClassId::CrxModel, name);
    return static_cast<CrxModel>(enum_code(object));
}

const ClassDescription& crx_class() {
    static const HeapClass<Crx> type(
        "ortholink.Crx", "A FANUC CRX robot defined by the four link dimensions that distinguish the models.",
        {crx_methods, crx_ik_methods, crx_batch_methods, crx_limits_methods, crx_urdf_methods}, crx_properties);
    return type.description;
}

}  // namespace ortholink::py
