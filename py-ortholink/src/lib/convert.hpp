#pragma once
// Conversions between loosely typed Python arguments and core values, and the
// creation of result arrays.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary.hpp"
#include "classes.hpp"
#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "pyref.hpp"
#include "python.hpp"

namespace ortholink::py {

// Values of a one-dimensional float64 argument, read in logical order.
struct Vector1D {
    std::vector<double> values;
    std::size_t length = 0;  // the argument's length; values are empty when it was not read
};

inline constexpr std::size_t kAnyLength = static_cast<std::size_t>(-1);

// A plain sequence longer than this whose length is not the one expected is
// refused on its length alone, without reading its items: it cannot be what
// the caller needs (range(10**8), a __len__ claiming 2**62). Shorter ones are
// still read, so an item that is not a number reports what it always did.
inline constexpr std::size_t kLongestUnexpectedRead = 64;

// Converts `object` to a one-dimensional float64 vector. A TypeError is
// re-raised as "argument '<name>': <message>"; other errors propagate.
// `expected` is the length the caller will insist on, if any.
Vector1D vector_from_any(PyObject* object, const char* name, std::size_t expected = kAnyLength);

// When the pending exception is one that data which is not numbers raises
// in a conversion (TypeError, ValueError, OverflowError), clears it and
// returns true; anything else (KeyboardInterrupt, MemoryError, ...) stays set.
bool clear_conversion_failure();

// Six joint angles from a converted vector ("Expected 6 joint angles, got N",
// or with `name` "argument '<name>': expected 6 values, got N"); convert it
// with expected = 6.
JointVector joints_from_vector(const Vector1D& vector, const char* name = nullptr);

// Both steps, for an argument called `name`: joints_from_any for joint
// angles, six_values for six values such as a limit vector.
JointVector joints_from_any(PyObject* object, const char* name);
JointVector six_values(PyObject* object, const char* name);

// Refuses, as joints_from_any does for one vector, a row of `rows` with a
// finite angle beyond 2**28 degrees (NaN and infinities pass). `single`: the
// rows are one vector given alone, and the message names no row.
void refuse_unturnable(std::span<const JointVector> rows, const char* name, bool single = false);

// The 16 values, row by row, of a 4x4 array or an object with as_numpy()
// (the shape errors of iso_from_any). `name` is the argument's, for the
// refusals of sequence_snapshot.
void matrix_from_any(PyObject* object, double* values16, const char* name = "target");

// A rigid transform from a 4x4 array or an object with as_numpy().
Pose iso_from_any(PyObject* object, const char* name = "target");

// Results as new Python objects: a float, an int, a str (from UTF-8), a (6,)
// array, a (4, 4) array, an (n, 6) array, an int64 array; a (k, 4, 4) array
// of k poses.
inline PyObject* to_python(double value) { return check(PyFloat_FromDouble(value)); }
inline PyObject* to_python(std::size_t value) { return check(PyLong_FromSize_t(value)); }
inline PyObject* to_python(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
PyObject* to_python(const JointVector& values);
PyObject* to_python(const Pose& pose);
PyObject* to_python(const std::vector<JointVector>& rows);
PyObject* to_python(const std::vector<std::int64_t>& values);
PyObject* poses_to_array(std::span<const Pose> poses);

// A property getter returning data member `Field` of the value `self` holds.
template <class T, class Value>
T owner_of(Value T::*);
template <auto Field>
PyObject* member(PyObject* self) {
    return to_python(unbox<decltype(owner_of(Field))>(self).*Field);
}

// Float protocol for a named scalar argument (TypeError prefixed with the name).
double float_from_any(PyObject* object, const char* name);

// A named flag: True or False, a Python or a NumPy bool (a result of NumPy's
// comparisons and reductions); `absent` when the argument was not given.
// Anything else is a TypeError naming the argument, not a truth value.
bool flag_from_any(PyObject* object, const char* name, bool absent);

// No cell is larger: a length or translation beyond this many millimetres is
// a mistake in units or a corrupt value, and the kinematics lose their
// precision long before it overflows.
inline constexpr double kLongestLength = 1e7;

// ValueError naming `name` unless every translation component of `pose` is
// within kLongestLength millimetres.
void check_translation(const Pose& pose, const char* name);

// A count (nodes, edges) for a named argument: an int or NumPy integer, not a
// bool or a float; a negative one is a ValueError naming the argument.
std::size_t count_from_any(PyObject* object, const char* name);

// Python's repr of a float ("1e+19", "-inf", "0.0").
std::string float_repr(double value);

// Re-raises a pending TypeError or ValueError as "argument '<name>': <message>".
[[noreturn]] void raise_with_argument_name(const char* name);

// Reading a sequence that is not a NumPy array. Its length is taken once; an
// item missing before that length, a length that changes while the items are
// read, or one no memory could hold (a __len__ claiming 2**62) is a ValueError
// naming `name`. The believable-length check follows the first item, so a
// wrong item still reports what it always did.
void check_believable_length(std::size_t length, const char* name);
[[noreturn]] void raise_missing_item(const char* name, Py_ssize_t index, Py_ssize_t length);
void check_unchanged_length(PyObject* sequence, Py_ssize_t length, const char* name);

// Calls `each(item, index)` on every item of `sequence`, read as above.
template <class Each>
void for_each_item(PyObject* sequence, const char* name, Each each) {
    const Py_ssize_t count = PySequence_Size(sequence);
    check_status(count < 0 ? -1 : 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
        check_signals_at(static_cast<std::size_t>(i));
        Ref item = Ref::steal(PySequence_GetItem(sequence, i));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrorSet{};
            PyErr_Clear();
            raise_missing_item(name, i, count);
        }
        each(item.get(), i);
        if (i == 0) check_believable_length(static_cast<std::size_t>(count), name);
    }
    check_unchanged_length(sequence, count, name);
}

// What NumPy may read of `object` without calling back into it: nested
// sequences other than arrays and buffers are read into new lists, item by
// item as above, so NumPy never iterates an object whose length lies or
// changes. With `numbers`, anything that is not a real number where one
// belongs (a bool, a complex, None, bytes, a date, an array of those) is a
// TypeError naming `name`.
Ref sequence_snapshot(PyObject* object, const char* name, bool numbers = true);

// TypeError naming `name` for a value that only looks like a number to
// NumPy: a bool, a complex, None, bytes, a datetime or an array of them.
void refuse_non_number(PyObject* object, const char* name);

}  // namespace ortholink::py
