#define ORTHOLINK_NUMPY_API_OWNER
#include "numpy_api.hpp"

#include "boundary.hpp"
#include "pyref.hpp"

namespace ortholink::py {
namespace {

bool loaded = false;
PyObject* asarray = nullptr;
PyObject* float64 = nullptr;
PyArray_Descr* float64_descr = nullptr;

void raise_capsule_failure() {
    // Keep NumPy's own reason as the cause of ours.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_ImportError, "Failed to access NumPy array API capsule");
    if (cause) {
        PyObject* ours_type = nullptr;
        PyObject* ours = nullptr;
        PyObject* ours_traceback = nullptr;
        PyErr_Fetch(&ours_type, &ours, &ours_traceback);
        PyErr_NormalizeException(&ours_type, &ours, &ours_traceback);
        PyException_SetCause(ours, cause.release());
        PyErr_Restore(ours_type, ours, ours_traceback);
    }
    throw PyErrorSet{};
}

}  // namespace

void ensure_numpy() {
    if (loaded) {
        return;
    }
    // NumPy's loader picks numpy._core on NumPy 2 and numpy.core before it.
    if (_import_array() < 0) {
        raise_capsule_failure();
    }
    Ref numpy = Ref::steal(check(PyImport_ImportModule("numpy")));
    Ref function = Ref::steal(check(PyObject_GetAttrString(numpy.get(), "asarray")));
    Ref type = Ref::steal(check(PyObject_GetAttrString(numpy.get(), "float64")));
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (descr == nullptr) {
        throw PyErrorSet{};
    }
    if (!loaded) {
        asarray = function.release();
        float64 = type.release();
        float64_descr = descr;
        loaded = true;
    } else {
        Py_DECREF(descr);
    }
}

PyObject* numpy_asarray() { return asarray; }
PyObject* numpy_float64() { return float64; }

bool is_native_float64(PyArrayObject* array) noexcept {
    return PyArray_EquivTypes(PyArray_DESCR(array), float64_descr) != 0;
}

PyObject* new_float64_array(int ndim, const npy_intp* shape) {
    return check(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE));
}

}  // namespace ortholink::py
