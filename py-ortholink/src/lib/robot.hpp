#pragma once
// Shared by the class families that take robots and models as arguments.

#include "ortholink/robot.hpp"
#include "python.hpp"

namespace ortholink::py {

// The model held by a CrxModel argument (TypeError naming `name` otherwise).
CrxModel model_from_any(PyObject* object, const char* name);

// The robot held by a Crx argument (TypeError naming `name` otherwise).
const Crx& crx_from_object(PyObject* object, const char* name);

// Method-table entries of Crx.ik, Crx.ik_detailed and Crx.ik_closest.
PyObject* crx_ik(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_ik_detailed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_ik_closest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Batch methods of Crx.
PyObject* crx_fk_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_ik_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_ik_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_expand_turns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_within_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_pose_from_xyzwpr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_xyzwpr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ROS 2 / URDF joint conventions of Crx.
PyObject* crx_joints_to_urdf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crx_joints_from_urdf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ortholink::py
