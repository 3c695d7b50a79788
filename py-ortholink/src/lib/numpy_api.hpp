#pragma once
// NumPy's C array interface, imported on first use.

#include "python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ortholink_ARRAY_API
#ifndef ORTHOLINK_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace ortholink::py {

// Loads the array interface once; throws PyErrorSet on failure.
void ensure_numpy();

// Borrowed references to numpy.asarray and numpy.float64 (after ensure_numpy).
PyObject* numpy_asarray();
PyObject* numpy_float64();

// True for an array whose dtype is equivalent to native float64.
bool is_native_float64(PyArrayObject* array) noexcept;

// New C-contiguous float64 array of the given shape (a new reference).
PyObject* new_float64_array(int ndim, const npy_intp* shape);

}  // namespace ortholink::py
