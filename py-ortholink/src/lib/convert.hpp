#pragma once
// Conversions between loosely typed Python arguments and core values, and the
// creation of result arrays.

#include <span>
#include <string>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "pyref.hpp"
#include "python.hpp"

namespace ortholink::py {

// Values of a one-dimensional float64 argument, read in logical order.
struct Vector1D {
    Ref array;                // the NumPy array, when one was used or created
    std::vector<double> values;
};

// Converts `object` to a one-dimensional float64 vector. A TypeError is
// re-raised as "argument '<name>': <message>"; other errors propagate.
Vector1D vector_from_any(PyObject* object, const char* name);

// Six joint angles from a converted vector ("Expected 6 joint angles, got N").
JointVector joints_from_vector(const Vector1D& vector);

// Both steps, for an argument called `name`.
JointVector joints_from_any(PyObject* object, const char* name);

// The 16 values, row by row, of a 4x4 array or an object with as_numpy()
// (the shape errors of iso_from_any).
void matrix_from_any(PyObject* object, double* values16);

// A rigid transform from a 4x4 array or an object with as_numpy().
Pose iso_from_any(PyObject* object);

// New (4, 4) array of one pose; new (k, 4, 4) array of k poses.
PyObject* pose_to_array(const Pose& pose);
PyObject* poses_to_array(std::span<const Pose> poses);

// Float protocol for a named scalar argument (TypeError prefixed with the name).
double float_from_any(PyObject* object, const char* name);

// Python's repr of a float ("1e+19", "-inf", "0.5").
std::string float_repr(double value);

// Re-raises a pending TypeError as "argument '<name>': <message>".
[[noreturn]] void raise_with_argument_name(const char* name);

}  // namespace ortholink::py
