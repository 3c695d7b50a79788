#pragma once
// The one place where C++ exceptions become Python exceptions. Method bodies
// throw `PyErrorSet` after a failed Python call (the error is already set) or
// any std::exception for an internal failure, and `guard` does the rest.

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "python.hpp"

namespace ortholink::py {

// Thrown when a Python exception is already set and should propagate as is.
struct PyErrorSet {};

// A broken invariant inside the module; surfaces as PanicException.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Raises PanicException(message) and reports it on standard error.
void raise_panic(const char* message) noexcept;

// What becomes the __cause__ of a re-raised exception.
enum class Cause {
    None,
    Original,
    OriginalCause,
};

// Replaces the pending exception with a new `type`: its message is `prefix`
// followed, when `append` is set, by str() of the pending one. Always throws
// PyErrorSet.
[[noreturn]] void reraise(PyObject* type, const std::string& prefix, bool append, Cause cause);

// Raises `type` with PyErr_Format's message and throws PyErrorSet.
[[noreturn]] void fail(PyObject* type, const char* format, ...);

// Throws PyErrorSet when `object` is null (a Python call failed).
template <class T>
T* check(T* object) {
    if (object == nullptr) {
        throw PyErrorSet{};
    }
    return object;
}

inline void check_status(int status) {
    if (status < 0) {
        throw PyErrorSet{};
    }
}

// Rows between two signal checks in a conversion made with the interpreter
// lock held: well under a millisecond of reading or writing.
inline constexpr std::size_t kRowsPerSignalCheck = 4096;

// Called before row `row` of such a conversion: runs Python's signal handlers
// every kRowsPerSignalCheck rows, and one that raises (KeyboardInterrupt)
// stops the conversion.
inline void check_signals_at(std::size_t row) {
    if (row % kRowsPerSignalCheck == kRowsPerSignalCheck - 1) {
        check_status(PyErr_CheckSignals());
    }
}

// Releases the interpreter lock for the lifetime of the object; no Python
// call may happen while it is alive.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }

    // Takes the lock back briefly to run Python's signal handlers. True when
    // one raised (KeyboardInterrupt for Ctrl-C); that exception is then set.
    bool signal_raised() noexcept {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

template <class Result, class Body>
Result guard_with(Result failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            raise_panic("a Python call failed without setting an exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return failure;
}

// For entries that return a new reference (NULL on failure).
template <class Body>
PyObject* guard(Body&& body) noexcept {
    return guard_with<PyObject*>(nullptr, std::forward<Body>(body));
}

// For entries that return a status (-1 on failure).
template <class Body>
int guard_status(Body&& body) noexcept {
    return guard_with<int>(-1, std::forward<Body>(body));
}

}  // namespace ortholink::py
