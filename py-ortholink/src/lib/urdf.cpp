// ROS 2 / URDF interoperability: joint conventions of Crx and, on Arm, the
// URDF export.

#include <cstring>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/urdf.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

// (6,) in, (6,) out; (k, 6) in, (k, 6) out.
template <class Convert>
PyObject* convert_rows(PyObject* value, const char* name, Convert convert) {
    bool single = false;
    const auto rows = rows_of_six(value, name, single);
    const npy_intp shape[2] = {static_cast<npy_intp>(rows.size()), 6};
    PyObject* array = single ? new_float64_array(1, shape + 1) : new_float64_array(2, shape);
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto converted = convert(rows[i]);
        std::memcpy(out + 6 * i, converted.data(), sizeof converted);
    }
    return array;
}

}  // namespace

PyObject* crx_joints_to_urdf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"joints"};
        PyObject* value;
        bind_arguments("joints_to_urdf", args, nargs, kwnames, names, 1, &value);
        return convert_rows(value, "joints", [](const JointVector& j) { return joints_to_urdf(j); });
    });
}

PyObject* crx_joints_from_urdf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"q"};
        PyObject* value;
        bind_arguments("joints_from_urdf", args, nargs, kwnames, names, 1, &value);
        return convert_rows(value, "q", [](const UrdfJoints& q) { return joints_from_urdf(q); });
    });
}

}  // namespace ortholink::py
