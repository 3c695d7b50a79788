#include "boundary.hpp"

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

void raise_panic(const char* message) noexcept {
    PySys_WriteStderr("ortholink: internal failure: %.500s\n", message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the creation error is already set
    }
    PyErr_SetString(type, message);
}

}  // namespace ortholink::py
