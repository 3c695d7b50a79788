#include "convert.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "numpy_api.hpp"
#include "ortholink/limits.hpp"
#include "ortholink/matrix.hpp"

namespace ortholink::py {
namespace {

constexpr const char* kNot2dMessage = "Expected a 4x4 array, or an object with an as_numpy() method";

// Reads a one-dimensional float64 array in logical order (any stride).
void read_array_1d(PyArrayObject* array, std::vector<double>& out) {
    out.resize(static_cast<std::size_t>(PyArray_DIM(array, 0)));
    for (npy_intp i = 0; i < PyArray_DIM(array, 0); ++i) {
        check_signals_at(static_cast<std::size_t>(i));
        out[static_cast<std::size_t>(i)] = element(array, i);
    }
}

// Reads every item of a sequence with the float protocol. Returns false (with
// no error set) when an item is not a number or the length cannot be read;
// any other failure propagates. A sequence of a length other than `expected`
// and longer than kLongestUnexpectedRead only has its length taken.
bool read_sequence(PyObject* object, std::vector<double>& out, std::size_t& length, std::size_t expected,
                   const char* name) {
    const Py_ssize_t count = PySequence_Size(object);
    if (count < 0) {
        if (!clear_conversion_failure()) throw PyErrorSet{};
        return false;
    }
    length = static_cast<std::size_t>(count);
    if (expected != kAnyLength && length != expected && length > kLongestUnexpectedRead) {
        out.clear();
        return true;
    }
    // Grown item by item: the length is the object's claim, not a promise.
    out.clear();
    out.reserve(std::min<std::size_t>(length, 4096));
    const bool is_list = PyList_Check(object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        check_signals_at(static_cast<std::size_t>(i));
        // An item's __float__ may change a list, so its length is asked each time.
        Ref owned = is_list && i < PyList_Size(object) ? Ref::borrow(PyList_GetItem(object, i))
                                                       : Ref::steal(PySequence_GetItem(object, i));
        PyObject* item = owned.get();
        if (item == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                raise_missing_item(name, i, count);
            }
            if (!clear_conversion_failure()) throw PyErrorSet{};
            return false;
        }
        if (!PyFloat_CheckExact(item) && !PyLong_CheckExact(item)) {
            refuse_non_number(item, name);
        }
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            if (!clear_conversion_failure()) throw PyErrorSet{};
            return false;
        }
        out.push_back(value);
        if (i == 0) check_believable_length(length, name);
    }
    check_unchanged_length(object, count, name);
    return true;
}

// A claimed length above this cannot be true: the items would not fit in
// memory even as bare pointers.
std::size_t longest_believable_length() {
    static const std::size_t longest = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) {
            return std::size_t{1} << 40;
        }
        return static_cast<std::size_t>(pages) * (static_cast<std::size_t>(page_size) / sizeof(void*));
    }();
    return longest;
}

constexpr int kDeepestSnapshot = 32;  // NumPy's largest dimension count

Ref snapshot(PyObject* object, const char* name, bool numbers, int depth) {
    if (PyFloat_CheckExact(object) || PyLong_CheckExact(object) || PyUnicode_Check(object)) {
        return Ref::borrow(object);
    }
    if (PyArray_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
        if (numbers) refuse_non_number(object, name);
        return Ref::borrow(object);
    }
    if (PyObject_CheckBuffer(object)) {
        // A memoryview or array.array: NumPy reads its buffer, whatever its dimensions.
        Ref array;
        try {
            array = asarray(object);
        } catch (const PyErrorSet&) {
            raise_with_argument_name(name);
        }
        if (numbers) refuse_non_number(array.get(), name);
        return array;
    }
    if (numbers) refuse_non_number(object, name);
    if (depth == 0 || !PySequence_Check(object) ||
        (!PyList_Check(object) && !PyTuple_Check(object) &&
         (PyObject_HasAttrString(object, "__array__") || PyObject_HasAttrString(object, "__array_interface__")))) {
        return Ref::borrow(object);
    }
    Ref list = Ref::steal(check(PyList_New(0)));
    for_each_item(object, name, [&](PyObject* item, Py_ssize_t) {
        const Ref copy = snapshot(item, name, numbers, depth - 1);
        check_status(PyList_Append(list.get(), copy.get()));
    });
    return list;
}

}  // namespace

void raise_with_argument_name(const char* name) {
    PyObject* type = PyErr_Occurred();
    if (type != PyExc_TypeError && type != PyExc_ValueError) {
        throw PyErrorSet{};
    }
    reraise(type, std::string("argument '") + name + "': ", true, Cause::OriginalCause);
}

void check_believable_length(std::size_t length, const char* name) {
    if (length > longest_believable_length()) {
        fail(PyExc_ValueError, "argument '%s': expected a sequence whose length fits in memory, got a length of %zu",
             name, length);
    }
}

void raise_missing_item(const char* name, Py_ssize_t index, Py_ssize_t length) {
    fail(PyExc_ValueError, "argument '%s': expected %zd items as its length says, got none at index %zd", name,
         length, index);
}

void check_unchanged_length(PyObject* sequence, Py_ssize_t length, const char* name) {
    const Py_ssize_t now = PySequence_Size(sequence);
    check_status(now < 0 ? -1 : 0);
    if (now != length) {
        fail(PyExc_ValueError, "argument '%s': expected a sequence that keeps its length while read, got %zd then %zd",
             name, length, now);
    }
}

Ref sequence_snapshot(PyObject* object, const char* name, bool numbers) {
    ensure_numpy();
    return snapshot(object, name, numbers, kDeepestSnapshot);
}

void refuse_non_number(PyObject* object, const char* name) {
    // The checks below read NumPy's tables, which a first call may not have loaded yet.
    ensure_numpy();
    std::string got;
    if (PyArray_Check(object)) {
        PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
        if (std::strchr("bcMmSV", descr->kind) != nullptr) {
            Ref text = Ref::steal(check(PyObject_Str(reinterpret_cast<PyObject*>(descr))));
            const char* dtype = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
            got = std::string("an array of ") + (dtype != nullptr ? dtype : "?");
        }
    } else if (PyBool_Check(object) || PyComplex_Check(object) || object == Py_None || PyBytes_Check(object) ||
               PyByteArray_Check(object) || PyArray_IsScalar(object, Bool) ||
               PyArray_IsScalar(object, ComplexFloating) || PyArray_IsScalar(object, Datetime) ||
               PyArray_IsScalar(object, Timedelta) || PyArray_IsScalar(object, Character)) {
        got = type_name_of(object, false);
    }
    if (!got.empty()) {
        fail(PyExc_TypeError, "argument '%s': expected real numbers, got %s", name, got.c_str());
    }
}

bool clear_conversion_failure() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

Vector1D vector_from_any(PyObject* object, const char* name, std::size_t expected) {
    Vector1D result;
    ensure_numpy();
    if (is_float64_array(object, 1)) {
        read_array_1d(reinterpret_cast<PyArrayObject*>(object), result.values);
        result.length = result.values.size();
        return result;
    }
    refuse_non_number(object, name);
    if (!PyUnicode_Check(object) && !PyArray_Check(object) && !PyObject_CheckBuffer(object) &&
        PySequence_Check(object) && read_sequence(object, result.values, result.length, expected, name)) {
        return result;
    }
    const Ref source = sequence_snapshot(object, name);
    Ref converted = Ref::steal(nullptr);
    try {
        converted = asarray_float64(source.get());
    } catch (const PyErrorSet&) {
        raise_with_argument_name(name);
    }
    PyObject* array_object = converted.get();
    if (!is_float64_array(array_object, 1)) {
        const std::string got = PyArray_Check(array_object)
                                    ? std::to_string(PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array_object))) +
                                          "-dimensional array"
                                    : type_name_of(array_object, false);
        fail(PyExc_TypeError, "argument '%s': expected a one-dimensional float64 array, got %s from %s", name,
             got.c_str(), type_name_of(object, false).c_str());
    }
    read_array_1d(reinterpret_cast<PyArrayObject*>(array_object), result.values);
    result.length = result.values.size();
    return result;
}

JointVector joints_from_vector(const Vector1D& vector, const char* name) {
    if (vector.length != 6 || vector.values.size() != 6) {
        if (name != nullptr) {
            fail(PyExc_ValueError, "argument '%s': expected 6 values, got %zu", name, vector.length);
        }
        fail(PyExc_ValueError, "Expected 6 joint angles, got %zu", vector.length);
    }
    JointVector joints;
    std::copy(vector.values.begin(), vector.values.end(), joints.begin());
    return joints;
}

JointVector joints_from_any(PyObject* object, const char* name) {
    const JointVector joints = joints_from_vector(vector_from_any(object, name, 6));
    refuse_unturnable(std::span<const JointVector>(&joints, 1), name, true);
    return joints;
}

// Beyond 2**28 degrees a whole turn is not exact, and far beyond, the
// rotations overflow to NaN: such a finite angle is a mistake, not a pose.
void refuse_unturnable(std::span<const JointVector> rows, const char* name, bool single) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < 6; ++j) {
            if (!(std::isfinite(rows[i][j]) && std::fabs(rows[i][j]) > kMaxTurnMagnitude)) {
                continue;
            }
            const std::string value = float_repr(rows[i][j]);
            const std::string most = float_repr(kMaxTurnMagnitude);
            if (single) {
                fail(PyExc_ValueError, "argument '%s': J%zu is %s, expected at most %s in magnitude", name, j + 1,
                     value.c_str(), most.c_str());
            }
            fail(PyExc_ValueError, "argument '%s': J%zu of row %zu is %s, expected at most %s in magnitude", name, j + 1,
                 i, value.c_str(), most.c_str());
        }
    }
}

JointVector six_values(PyObject* object, const char* name) {
    return joints_from_vector(vector_from_any(object, name, 6), name);
}

void matrix_from_any(PyObject* object, double* values, const char* name) {
    ensure_numpy();
    Ref source = Ref::borrow(object);
    // An ndarray has no as_numpy(), so the lookup (and its AttributeError) is skipped.
    if (!PyArray_CheckExact(object)) {
        Ref method = Ref::steal(PyObject_GetAttrString(object, "as_numpy"));
        if (method) {
            source = Ref::steal(check(PyObject_CallNoArgs(method.get())));
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            throw PyErrorSet{};
        }
    }

    source = sequence_snapshot(source.get(), name);
    Ref array = source;
    if (!is_float64_array(source.get(), 2)) {
        // Only a failure to read the object as numbers becomes the message
        // below; an interrupt or a lack of memory propagates as it is.
        try {
            array = asarray_float64(source.get());
        } catch (const PyErrorSet&) {
            if (!clear_conversion_failure()) throw;
            array = Ref{};
        }
        if (!array || !is_float64_array(array.get(), 2)) {
            // Six values are most likely X, Y, Z, W, P, R.
            const bool six = array && PyArray_Check(array.get()) &&
                             PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) == 1 &&
                             PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) == 6;
            if (six) {
                fail(PyExc_ValueError, "argument '%s': %s, got 6 values (for X, Y, Z, W, P, R use Crx.pose_from_xyzwpr)",
                     name, kNot2dMessage);
            }
            fail(PyExc_ValueError, "%s", kNot2dMessage);
        }
    }

    auto* matrix = reinterpret_cast<PyArrayObject*>(array.get());
    const npy_intp rows = PyArray_DIM(matrix, 0);
    const npy_intp cols = PyArray_DIM(matrix, 1);
    if (rows != 4 || cols != 4) {
        fail(PyExc_ValueError, "Expected a 4x4 transformation matrix, got shape [%zd, %zd]",
             static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols));
    }
    read_4x4(matrix, 0, values);
}

Pose iso_from_any(PyObject* object, const char* name) {
    double values[16];
    matrix_from_any(object, values, name);
    std::string_view error;
    const auto pose = row_slice_to_iso(values, 16, error);
    if (!pose) {
        const std::string message(error);
        fail(PyExc_ValueError, "%s", message.c_str());
    }
    return *pose;
}

PyObject* to_python(const JointVector& values) { return array_copy(NPY_DOUBLE, {6}, values.data()); }

PyObject* to_python(const std::vector<JointVector>& rows) {
    return array_copy(NPY_DOUBLE, {static_cast<npy_intp>(rows.size()), 6}, rows.data());
}

PyObject* to_python(const std::vector<std::int64_t>& values) {
    return array_copy(NPY_INT64, {static_cast<npy_intp>(values.size())}, values.data());
}

PyObject* to_python(const Pose& pose) {
    ensure_numpy();
    const npy_intp shape[2] = {4, 4};
    PyObject* array = new_float64_array(2, shape);
    iso_into(pose, static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
    return array;
}

PyObject* poses_to_array(std::span<const Pose> poses) {
    ensure_numpy();
    const npy_intp shape[3] = {static_cast<npy_intp>(poses.size()), 4, 4};
    Ref array = Ref::steal(new_float64_array(3, shape));
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t k = 0; k < poses.size(); ++k) {
        check_signals_at(k);
        iso_into(poses[k], data + 16 * k);
    }
    return array.release();
}

void check_translation(const Pose& pose, const char* name) {
    for (const double value : pose.t) {
        if (!(std::fabs(value) <= kLongestLength)) {
            fail(PyExc_ValueError, "argument '%s': expected a translation within %s mm, got %s mm", name,
                 float_repr(kLongestLength).c_str(), float_repr(value).c_str());
        }
    }
}

std::size_t count_from_any(PyObject* object, const char* name) {
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        fail(PyExc_TypeError, "argument '%s': expected an int, got %s", name, type_name_of(object, false).c_str());
    }
    Ref index = Ref::steal(check(PyNumber_Index(object)));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    check_status(value == -1 && PyErr_Occurred() ? -1 : 0);
    if (overflow != 0 || value < 0) {
        fail(PyExc_ValueError, "argument '%s': expected a count from 0 to %lld, got %S", name,
             std::numeric_limits<long long>::max(), index.get());
    }
    return static_cast<std::size_t>(value);
}

bool flag_from_any(PyObject* object, const char* name, bool absent) {
    if (object == nullptr) {
        return absent;
    }
    ensure_numpy();
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    if (PyArray_IsScalar(object, Bool)) {
        return PyObject_IsTrue(object) == 1;
    }
    fail(PyExc_TypeError, "argument '%s': expected a bool, got %s", name, type_name_of(object).c_str());
}

double float_from_any(PyObject* object, const char* name) {
    // A bool is an int to Python, but max_step=True is a mistake, not 1.
    refuse_non_number(object, name);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        raise_with_argument_name(name);
    }
    return value;
}

std::string float_repr(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        throw PyErrorSet{};
    }
    std::string result(text);
    PyMem_Free(text);
    return result;
}

}  // namespace ortholink::py
