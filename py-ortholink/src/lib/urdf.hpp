#pragma once
// Method-table entries of Arm for ROS 2 / URDF interoperability (urdf.cpp).

#include "python.hpp"

namespace ortholink::py {

PyObject* arm_write_urdf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arm_on_mounting_face(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kArmWriteUrdfDoc[];
extern const char kArmOnMountingFaceDoc[];

}  // namespace ortholink::py
