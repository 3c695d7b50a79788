#define ORTHOLINK_NUMPY_API_OWNER
#include "numpy_api.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "boundary.hpp"
#include "pyref.hpp"

namespace ortholink::py {
namespace {

// Bytes copied between two signal checks: about a millisecond of copying.
constexpr std::size_t kBytesPerSignalCheck = std::size_t{1} << 22;

bool loaded = false;
PyObject* asarray_function = nullptr;
PyObject* float64 = nullptr;
PyArray_Descr* float64_descr = nullptr;

}  // namespace

void ensure_numpy() {
    if (loaded) {
        return;
    }
    // NumPy's loader picks numpy._core on NumPy 2 and numpy.core before it.
    if (_import_array() < 0) {
        // Keep NumPy's own reason as the cause of ours.
        reraise(PyExc_ImportError, "Failed to access NumPy array API capsule", false, Cause::Original);
    }
    Ref numpy = Ref::steal(check(PyImport_ImportModule("numpy")));
    Ref function = Ref::steal(check(PyObject_GetAttrString(numpy.get(), "asarray")));
    Ref type = Ref::steal(check(PyObject_GetAttrString(numpy.get(), "float64")));
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (descr == nullptr) {
        throw PyErrorSet{};
    }
    if (!loaded) {
        asarray_function = function.release();
        float64 = type.release();
        float64_descr = descr;
        loaded = true;
    } else {
        Py_DECREF(descr);
    }
}

namespace {

Ref call_asarray(PyObject* object, PyObject* dtype) {
    ensure_numpy();
    Ref args = Ref::steal(check(PyTuple_Pack(1, object)));
    Ref kwargs;
    if (dtype != nullptr) {
        kwargs = Ref::steal(check(PyDict_New()));
        check_status(PyDict_SetItemString(kwargs.get(), "dtype", dtype));
    }
    return Ref::steal(check(PyObject_Call(asarray_function, args.get(), kwargs.get())));
}

}  // namespace

Ref asarray(PyObject* object) { return call_asarray(object, nullptr); }
Ref asarray_float64(PyObject* object) { return call_asarray(object, float64); }

void read_4x4(PyArrayObject* array, npy_intp index, double* out) noexcept {
    const int ndim = PyArray_NDIM(array);
    const char* data = PyArray_BYTES(array) + (ndim == 3 ? index * PyArray_STRIDE(array, 0) : 0);
    const npy_intp row_stride = PyArray_STRIDE(array, ndim - 2);
    const npy_intp col_stride = PyArray_STRIDE(array, ndim - 1);
    for (npy_intp r = 0; r < 4; ++r) {
        for (npy_intp c = 0; c < 4; ++c) {
            std::memcpy(&out[r * 4 + c], data + r * row_stride + c * col_stride, sizeof(double));
        }
    }
}

bool is_float64_array(PyObject* object, int ndim) noexcept {
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return (ndim < 0 || PyArray_NDIM(array) == ndim) && PyArray_EquivTypes(PyArray_DESCR(array), float64_descr) != 0;
}

PyObject* array_copy(int type, std::initializer_list<npy_intp> shape, const void* data) {
    ensure_numpy();
    Ref array = Ref::steal(
        check(PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), type)));
    auto* target = reinterpret_cast<PyArrayObject*>(array.get());
    const auto bytes = static_cast<std::size_t>(PyArray_NBYTES(target));
    auto* to = static_cast<char*>(PyArray_DATA(target));
    const auto* from = static_cast<const char*>(data);
    for (std::size_t at = 0; at < bytes; at += kBytesPerSignalCheck) {
        if (at > 0) {
            check_status(PyErr_CheckSignals());
        }
        std::memcpy(to + at, from + at, std::min(kBytesPerSignalCheck, bytes - at));
    }
    return array.release();
}

namespace {

constexpr const char* kBlockName = "ortholink.block";

void free_block(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kBlockName)); }

}  // namespace

PyObject* adopt_array(int type, std::initializer_list<npy_intp> shape, void* data) {
    ensure_numpy();
    const auto ndim = static_cast<int>(shape.size());
    auto* dims = const_cast<npy_intp*>(shape.begin());
    if (data == nullptr) {
        return check(PyArray_SimpleNew(ndim, dims, type));
    }
    PyObject* owner = PyCapsule_New(data, kBlockName, free_block);
    if (owner == nullptr) {
        std::free(data);
        throw PyErrorSet{};
    }
    PyObject* array = PyArray_SimpleNewFromData(ndim, dims, type, data);
    if (array == nullptr) {
        Py_DECREF(owner);
        throw PyErrorSet{};
    }
    // Takes the owner's reference, even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
        Py_DECREF(array);
        throw PyErrorSet{};
    }
    return array;
}

PyObject* new_float64_array(int ndim, const npy_intp* shape) {
    return check(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE));
}

}  // namespace ortholink::py
