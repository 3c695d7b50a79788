#pragma once
// NumPy's C array interface, imported on first use.

#include <cstring>
#include <initializer_list>

#include "pyref.hpp"
#include "python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ortholink_ARRAY_API
#ifndef ORTHOLINK_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace ortholink::py {

// Loads the array interface once; throws PyErrorSet on failure.
void ensure_numpy();

// numpy.asarray(object), or numpy.asarray(object, dtype=numpy.float64);
// throws PyErrorSet on failure.
Ref asarray(PyObject* object);
Ref asarray_float64(PyObject* object);

// Element [i] of a one-dimensional float64 array, [i, j] of a two- or [i, j, k]
// of a three-dimensional one, whatever the strides.
inline double element(PyArrayObject* array, npy_intp i, npy_intp j = 0, npy_intp k = 0) noexcept {
    const char* address = PyArray_BYTES(array) + i * PyArray_STRIDE(array, 0);
    if (PyArray_NDIM(array) > 1) address += j * PyArray_STRIDE(array, 1);
    if (PyArray_NDIM(array) > 2) address += k * PyArray_STRIDE(array, 2);
    double value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// The 16 entries, row by row, of a (4, 4) float64 array, or of matrix `index`
// of an (n, 4, 4) one, whatever the strides. The shape is the caller's check.
void read_4x4(PyArrayObject* array, npy_intp index, double* out) noexcept;

// True for an array whose dtype is equivalent to native float64 and that has
// `ndim` dimensions (any number when negative).
bool is_float64_array(PyObject* object, int ndim = -1) noexcept;

// New C-contiguous float64 array of the given shape (a new reference).
PyObject* new_float64_array(int ndim, const npy_intp* shape);

// New C-contiguous array of `type` and `shape` holding a copy of the items
// at `data` (a new reference).
// Python's signal handlers run between slices of a large copy; one that
// raises (KeyboardInterrupt) discards the array.
PyObject* array_copy(int type, std::initializer_list<npy_intp> shape, const void* data);

// New C-contiguous array of `type` and `shape` over `data`, a block from
// std::malloc holding its items, which the array then owns (and which is
// freed here on failure). Null data gives a new empty array.
PyObject* adopt_array(int type, std::initializer_list<npy_intp> shape, void* data);

}  // namespace ortholink::py
