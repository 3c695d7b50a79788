#pragma once
// Reading stacks of vectors and matrices from array-likes, for the batch methods.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "classes.hpp"
#include "convert.hpp"
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

// An (n, 6) array-like of joint angles; a lone vector is a TypeError.
std::vector<JointVector> joint_rows(PyObject* object, const char* name);

// An (n, 6) array-like of joint angles, as joint_rows reads it, kept as a
// view of the array's own memory when it is an aligned C-contiguous float64
// array (a large batch then reads its input in place), else as a copy.
class JointRowsView {
public:
    JointRowsView(PyObject* object, const char* name);
    std::span<const JointVector> rows() const noexcept;

private:
    Ref array_;
    std::vector<JointVector> copy_;
};
inline JointRowsView joint_rows_view(PyObject* object, const char* name) { return JointRowsView(object, name); }

// A new (n, 4, 4) float64 array for n poses, and its 16 n values, for a
// batch to write into.
PyObject* new_pose_stack(std::size_t count);
std::span<double> pose_stack_values(PyObject* stack);

// `keep(row)` as a bool for a lone vector, as a (k,) boolean array for rows.
template <class Keep>
PyObject* row_mask(const std::vector<JointVector>& rows, bool single, Keep keep) {
    if (single) {
        return PyBool_FromLong(keep(rows[0]));
    }
    std::vector<npy_bool> mask;
    mask.reserve(rows.size());
    for (const JointVector& row : rows) {
        check_signals_at(mask.size());
        mask.push_back(keep(row) ? NPY_TRUE : NPY_FALSE);
    }
    return array_copy(NPY_BOOL, {static_cast<npy_intp>(mask.size())}, mask.data());
}

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

// True when `object` is not an ndarray but offers its numbers to NumPy as
// one: the buffer protocol (a memoryview), __array__, or an array interface
// (other array libraries).
bool array_protocol(PyObject* object);

// An (n, 4, 4) array-like or a sequence of poses (arrays or objects with
// as_numpy()), each checked like an ik target; a bad one raises ValueError
// naming its index and nothing is computed.
std::vector<Pose> poses_from_any(PyObject* object, const char* name);

// "[2, 4, 4]": the shape of an array, for messages.
std::string shape_text(PyArrayObject* array);

// For a message about a pose: where an array of rows of six values is given,
// the pointer to Crx.pose_from_xyzwpr (with a leading space), else "".
const char* six_values_hint(PyArrayObject* array);

// The poses `make(values16, index)` gives for each matrix of an (n, 4, 4)
// float64 array.
template <class Make>
std::vector<Pose> stacked_poses(PyArrayObject* array, Make make) {
    std::vector<Pose> poses;
    poses.reserve(static_cast<std::size_t>(PyArray_DIM(array, 0)));
    double values[16];
    for (npy_intp i = 0; i < PyArray_DIM(array, 0); ++i) {
        check_signals_at(static_cast<std::size_t>(i));
        read_4x4(array, i, values);
        poses.push_back(make(values, i));
    }
    return poses;
}

// The poses `make(item, index)` gives for each item of a sequence (a string
// or a non-sequence argument `name` is a TypeError).
template <class Make>
std::vector<Pose> sequence_poses(PyObject* sequence, const char* name, Make make) {
    if (PyUnicode_Check(sequence) || !PySequence_Check(sequence)) {
        fail(PyExc_TypeError, "argument '%s': expected an (n, 4, 4) array or a sequence of poses, got %s", name,
             type_name_of(sequence).c_str());
    }
    std::vector<Pose> poses;
    // Grown item by item: the length is the object's claim; the items decide.
    for_each_item(sequence, name, [&](PyObject* item, Py_ssize_t i) { poses.push_back(make(item, i)); });
    return poses;
}

// The `threads` argument of the batch methods: 0 (automatic) for None or absent.
unsigned thread_count(PyObject* object);

}  // namespace ortholink::py
