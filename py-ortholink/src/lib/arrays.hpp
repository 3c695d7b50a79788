#pragma once
// Reading stacks of vectors and matrices from array-likes, for the batch methods.

#include <cstdint>
#include <vector>

#include "numpy_api.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "pyref.hpp"

namespace ortholink::py {

// A float64 array made from `object` (the object itself when it already is
// one). A failed conversion is a TypeError prefixed with the argument name.
Ref float64_array(PyObject* object, const char* name);

// An (n, 6) or (6,) array-like of joint angles (or XYZWPR values), read row
// by row; `single` tells whether a lone vector was given.
std::vector<JointVector> rows_of_six(PyObject* object, const char* name, bool& single);

// New (n, 6) float64 array of `rows`.
PyObject* joint_rows_array(const std::vector<JointVector>& rows);

// An array of whole numbers (a NumPy integer array, or Python ints), as
// int64 values in C order, for state such as offsets and face indices.
// Bools and floats (even 2.0) are refused with TypeError naming the argument,
// as is a dimension count other than `ndim`; an empty array of any kind is
// accepted.
struct Integers {
    std::vector<std::int64_t> values;
    std::vector<npy_intp> shape;
};
Integers integers_from_any(PyObject* object, const char* name, int ndim);

// Six values of a one-dimensional argument such as a limit vector.
JointVector six_values(PyObject* object, const char* name);

// An (n, 4, 4) array-like or a sequence of poses (arrays or objects with
// as_numpy()), each checked like an ik target; a bad one raises ValueError
// naming its index and nothing is computed.
std::vector<Pose> poses_from_any(PyObject* object, const char* name);

// The `threads` argument of the batch methods: 0 (automatic) for None or absent.
unsigned thread_count(PyObject* object);

}  // namespace ortholink::py
