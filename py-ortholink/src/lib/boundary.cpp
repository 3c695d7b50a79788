#include "boundary.hpp"

#include <cstdarg>

#include "pyref.hpp"

namespace ortholink::py {
namespace {

PyObject* panic_type = nullptr;

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        // Derived from BaseException so that `except Exception` does not hide it.
        panic_type = PyErr_NewExceptionWithDoc("ortholink.PanicException",
                                               "An internal failure of the ortholink extension.",
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

}  // namespace

void reraise(PyObject* type, const std::string& prefix, bool append, Cause cause) {
    PyObject* pending_type = nullptr;
    PyObject* pending = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&pending_type, &pending, &traceback);
    PyErr_NormalizeException(&pending_type, &pending, &traceback);
    Ref owned_type = Ref::steal(pending_type);
    Ref original = Ref::steal(pending);
    Ref owned_traceback = Ref::steal(traceback);
    Ref message = Ref::steal(check(PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size()))));
    if (append && original) {
        Ref text = Ref::steal(check(PyObject_Str(original.get())));
        message = Ref::steal(check(PyUnicode_Concat(message.get(), text.get())));
    }
    Ref replacement = Ref::steal(check(PyObject_CallFunctionObjArgs(type, message.get(), nullptr)));
    PyObject* reason = nullptr;  // new reference or NULL
    if (original && cause == Cause::Original) {
        reason = Py_NewRef(original.get());
    } else if (original && cause == Cause::OriginalCause) {
        reason = PyException_GetCause(original.get());
    }
    if (reason != nullptr) {
        PyException_SetCause(replacement.get(), reason);  // steals
    }
    PyErr_SetObject(type, replacement.get());
    throw PyErrorSet{};
}

void fail(PyObject* type, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PyErrorSet{};
}

void raise_panic(const char* message) noexcept {
    PySys_WriteStderr("ortholink: internal failure: %.500s\n", message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the creation error is already set
    }
    PyErr_SetString(type, message);
}

}  // namespace ortholink::py
