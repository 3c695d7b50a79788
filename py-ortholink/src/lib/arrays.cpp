#include "arrays.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink::py {
std::string shape_text(PyArrayObject* array) {
    std::string text = "[";
    for (int d = 0; d < PyArray_NDIM(array); ++d) {
        text += (d > 0 ? ", " : "") + std::to_string(PyArray_DIM(array, d));
    }
    return text + "]";
}

const char* six_values_hint(PyArrayObject* array) {
    const int ndim = PyArray_NDIM(array);
    return ndim > 0 && PyArray_DIM(array, ndim - 1) == 6 ? " (for X, Y, Z, W, P, R use Crx.pose_from_xyzwpr)" : "";
}

namespace {

// Items of a long list NumPy reads between two signal checks.
constexpr Py_ssize_t kItemsPerSlice = 16384;

// NumPy does not answer Ctrl-C while it reads a list, so a long one is read
// slice by slice into one array, with a signal check between slices. Slices
// that fail or disagree in shape give no array: the whole list is then left
// to NumPy, whose result and message stay the ones it always gave.
Ref sliced_float64(PyObject* list) {
    const Py_ssize_t count = PyList_Size(list);
    Ref out;
    std::size_t written = 0;
    for (Py_ssize_t begin = 0; begin < count; begin += kItemsPerSlice) {
        check_status(PyErr_CheckSignals());
        const Ref slice = Ref::steal(check(PyList_GetSlice(list, begin, std::min(count, begin + kItemsPerSlice))));
        Ref part;
        try {
            part = asarray_float64(slice.get());
        } catch (const PyErrorSet&) {
            if (!clear_conversion_failure()) throw;
            return Ref{};
        }
        auto* array = reinterpret_cast<PyArrayObject*>(part.get());
        const int ndim = PyArray_NDIM(array);
        if (!out) {
            std::vector<npy_intp> shape(PyArray_DIMS(array), PyArray_DIMS(array) + ndim);
            shape[0] = count;
            out = Ref::steal(new_float64_array(ndim, shape.data()));
        }
        auto* whole = reinterpret_cast<PyArrayObject*>(out.get());
        if (ndim != PyArray_NDIM(whole) ||
            !std::equal(PyArray_DIMS(array) + 1, PyArray_DIMS(array) + ndim, PyArray_DIMS(whole) + 1)) {
            return Ref{};
        }
        const auto bytes = static_cast<std::size_t>(PyArray_NBYTES(array));
        std::memcpy(static_cast<char*>(PyArray_DATA(whole)) + written, PyArray_DATA(array), bytes);
        written += bytes;
    }
    return out;
}

}  // namespace

Ref float64_array(PyObject* object, const char* name) {
    ensure_numpy();
    if (is_float64_array(object)) {
        return Ref::borrow(object);
    }
    const Ref source = sequence_snapshot(object, name);
    if (PyList_Check(source.get()) && PyList_Size(source.get()) > 2 * kItemsPerSlice) {
        if (Ref sliced = sliced_float64(source.get())) {
            return sliced;
        }
    }
    Ref converted;
    try {
        converted = asarray_float64(source.get());
    } catch (const PyErrorSet&) {
        raise_with_argument_name(name);
    }
    if (!PyArray_Check(converted.get())) {
        fail(PyExc_TypeError, "argument '%s': expected a float64 array, got %s", name,
             type_name_of(converted.get()).c_str());
    }
    return converted;
}

std::vector<JointVector> rows_of_six(PyObject* object, const char* name, bool& single) {
    Ref owned = float64_array(object, name);
    auto* array = reinterpret_cast<PyArrayObject*>(owned.get());
    const int ndim = PyArray_NDIM(array);
    if (ndim != 1 && ndim != 2) {
        fail(PyExc_TypeError, "argument '%s': expected a one- or two-dimensional float64 array, got %d dimensions",
             name, ndim);
    }
    single = ndim == 1;
    const npy_intp columns = PyArray_DIM(array, single ? 0 : 1);
    if (columns != 6) {
        fail(PyExc_ValueError, "argument '%s': %s, got shape %s", name,
             single ? "Expected 6 values" : "Expected an (n, 6) array", shape_text(array).c_str());
    }
    const npy_intp rows = single ? 1 : PyArray_DIM(array, 0);
    std::vector<JointVector> out(static_cast<std::size_t>(rows));
    for (npy_intp r = 0; r < rows; ++r) {
        check_signals_at(static_cast<std::size_t>(r));
        for (npy_intp c = 0; c < 6; ++c) {
            out[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] =
                single ? element(array, c) : element(array, r, c);
        }
    }
    return out;
}

std::vector<JointVector> joint_rows(PyObject* object, const char* name) {
    bool single = false;
    auto rows = rows_of_six(object, name, single);
    if (single) {
        fail(PyExc_TypeError, "argument '%s': expected an (n, 6) array, got a single joint vector", name);
    }
    return rows;
}

JointRowsView::JointRowsView(PyObject* object, const char* name) {
    static_assert(sizeof(JointVector) == 6 * sizeof(double));
    ensure_numpy();
    if (is_float64_array(object, 2)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        if (PyArray_DIM(array, 1) == 6 && PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array)) {
            array_ = Ref::borrow(object);
            return;
        }
    }
    copy_ = joint_rows(object, name);
}

std::span<const JointVector> JointRowsView::rows() const noexcept {
    if (!array_) {
        return copy_;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    return {static_cast<const JointVector*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_DIM(array, 0))};
}

PyObject* new_pose_stack(std::size_t count) {
    ensure_numpy();
    const npy_intp shape[3] = {static_cast<npy_intp>(count), 4, 4};
    return new_float64_array(3, shape);
}

std::span<double> pose_stack_values(PyObject* stack) {
    auto* array = reinterpret_cast<PyArrayObject*>(stack);
    return {static_cast<double*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_SIZE(array))};
}

namespace {

// True when a list or tuple holds a bool at any depth (NumPy would read it as 0 or 1).
bool holds_bool(PyObject* object, int depth) {
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        return PyBool_Check(object) || PyArray_IsScalar(object, Bool);
    }
    if (depth == 0) {
        return false;
    }
    const Py_ssize_t count = PySequence_Size(object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(check(PySequence_GetItem(object, i)));
        if (holds_bool(item.get(), depth - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

Integers integers_from_any(PyObject* object, const char* name, int ndim) {
    ensure_numpy();
    const Ref source = sequence_snapshot(object, name, false);
    Ref any;
    try {
        any = asarray(source.get());
    } catch (const PyErrorSet&) {
        raise_with_argument_name(name);
    }
    auto* array = reinterpret_cast<PyArrayObject*>(any.get());
    std::string got;
    if (!PyArray_Check(any.get())) {
        got = type_name_of(any.get());
    } else if (PyArray_NDIM(array) != ndim || (!PyArray_ISINTEGER(array) && PyArray_SIZE(array) != 0)) {
        Ref dtype = Ref::steal(check(PyObject_GetAttrString(any.get(), "dtype")));
        Ref text = Ref::steal(check(PyObject_Str(dtype.get())));
        const char* dtype_name = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
        got = "a " + std::to_string(PyArray_NDIM(array)) + "-dimensional array of " +
              (dtype_name != nullptr ? dtype_name : "?");
    } else if (holds_bool(source.get(), ndim)) {
        got = "a bool among the items";
    }
    if (!got.empty()) {
        fail(PyExc_TypeError, "argument '%s': expected a %d-dimensional array of integers, got %s", name, ndim,
             got.c_str());
    }
    Ref cast = Ref::steal(check(PyArray_FromAny(any.get(), PyArray_DescrFromType(NPY_INT64), ndim, ndim,
                                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST,
                                                nullptr)));
    auto* values = reinterpret_cast<PyArrayObject*>(cast.get());
    Integers result;
    result.shape.assign(PyArray_DIMS(values), PyArray_DIMS(values) + ndim);
    const auto* data = static_cast<const std::int64_t*>(PyArray_DATA(values));
    result.values.assign(data, data + PyArray_SIZE(values));
    return result;
}

bool array_protocol(PyObject* object) {
    if (PyArray_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object)) {
        return false;
    }
    return PyObject_CheckBuffer(object) != 0 || PyObject_HasAttrString(object, "__array__") != 0 ||
           PyObject_HasAttrString(object, "__array_interface__") != 0 ||
           PyObject_HasAttrString(object, "__array_struct__") != 0;
}

std::vector<Pose> poses_from_any(PyObject* object, const char* name) {
    ensure_numpy();
    // Array-likes of numbers go through NumPy; anything else (objects with
    // as_numpy(), mixed sequences) is read pose by pose.
    const Ref source = sequence_snapshot(object, name);
    object = source.get();
    Ref stacked;
    try {
        stacked = float64_array(object, name);
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(stacked.get())) != 3) {
            if (PyArray_Check(object)) {
                // A ValueError, as Arm.ik_many raises for the same array.
                auto* array = reinterpret_cast<PyArrayObject*>(stacked.get());
                fail(PyExc_ValueError, "argument '%s': expected an (n, 4, 4) array, got shape %s%s", name,
                     shape_text(array).c_str(), six_values_hint(array));
            }
            stacked = Ref{};
        }
    } catch (const PyErrorSet&) {
        if (PyArray_Check(object) || !clear_conversion_failure()) {
            throw;
        }
        stacked = Ref{};
    }
    if (stacked) {
        auto* array = reinterpret_cast<PyArrayObject*>(stacked.get());
        if (PyArray_DIM(array, 1) != 4 || PyArray_DIM(array, 2) != 4) {
            fail(PyExc_ValueError, "Expected an (n, 4, 4) array of transformation matrices, got shape %s",
                 shape_text(array).c_str());
        }
        return stacked_poses(array, [](const double* values, npy_intp i) {
            std::string_view error;
            const auto pose = row_slice_to_iso(values, 16, error);
            if (!pose) {
                fail(PyExc_ValueError, "target %zd: %s", static_cast<Py_ssize_t>(i), std::string(error).c_str());
            }
            return *pose;
        });
    }
    return sequence_poses(object, name, [&](PyObject* item, Py_ssize_t i) {
        try {
            return iso_from_any(item, name);
        } catch (const PyErrorSet&) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                throw;
            }
            reraise(PyExc_ValueError, "target " + std::to_string(i) + ": ", true, Cause::None);
        }
    });
}

}  // namespace ortholink::py
