#pragma once
// The six classes: their lazily created type objects and the generic parts of
// their instances (allocation, deallocation, unwrapping `self`).

#include <array>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "boundary.hpp"
#include "pyref.hpp"
#include "python.hpp"

namespace ortholink::py {

// The six classes in registration order, then the batch result class, then
// the installed arm.
enum class ClassId : int { Crx, CrxModel, IkSolution, LinkMesh, LinkMeshes, SolutionKind, IkBatch, Arm };
inline constexpr int kClassCount = 8;

struct ClassDescription {
    const char* name;                    // "Crx"
    PyType_Spec* type_description;       // static description of the type
    void (*populate)(PyObject* type);    // adds class attributes; throws PyErrorSet
};

// Provided by each class family's unit.
const ClassDescription& crx_class();
const ClassDescription& crx_model_class();
const ClassDescription& ik_solution_class();
const ClassDescription& link_mesh_class();
const ClassDescription& link_meshes_class();
const ClassDescription& solution_kind_class();
const ClassDescription& ik_batch_class();
const ClassDescription& arm_class();

const ClassDescription& describe(ClassId id);

// The cached class object (borrowed), created on first need. Used while
// registering: a creation failure leaves the Python error set (PyErrorSet).
PyTypeObject* create_class(ClassId id);

// The cached class object for use inside a method: a creation failure is
// reported as unraisable and becomes PanicException.
PyTypeObject* class_object(ClassId id);

// An instance that embeds one core value.
template <class T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <class T>
void boxed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Boxed<T>*>(self)->value);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// A new instance of class `id` holding `value` (a new reference).
template <class T>
PyObject* box(ClassId id, T&& value) {
    PyTypeObject* type = class_object(id);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = check(alloc(type, 0));
    using Value = std::remove_cvref_t<T>;
    try {
        std::construct_at(&reinterpret_cast<Boxed<Value>*>(self)->value, std::forward<T>(value));
    } catch (...) {
        // Nothing was constructed: release the raw object without running the destructor.
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);
        throw;
    }
    return self;
}

// A METH_FASTCALL entry as the PyCFunction a method table stores.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// True when `object` is an instance of class `id`.
bool is_instance(PyObject* object, ClassId id);

// The qualified type name of an object, for messages.
std::string type_name_of(PyObject* object);

// TypeError naming the received type and the expected class.
[[noreturn]] void raise_wrong_type(PyObject* object, ClassId expected);

template <class T>
T& unbox(PyObject* self, ClassId id) {
    if (!is_instance(self, id)) {
        raise_wrong_type(self, id);
    }
    return reinterpret_cast<Boxed<T>*>(self)->value;
}

// The parameters of a METH_FASTCALL | METH_KEYWORDS entry, in order: the
// first `required` must be given; the first `positional` may be given by
// position; the rest are keyword-only. An optional parameter that is absent
// is left NULL.
struct Parameters {
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    Py_ssize_t positional;
};

// Argument binding for METH_FASTCALL | METH_KEYWORDS entries: fills
// out[0..count) from positional and keyword arguments, with CPython's errors.
void bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const Parameters& parameters, PyObject** out);

// Every parameter required and positional-or-keyword.
void bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const char* const* names, Py_ssize_t count, PyObject** out);

// Enumeration classes (CrxModel, SolutionKind) share one implementation.
struct EnumDescription {
    ClassId id;
    const char* class_name;
    const char* const* members;
    int count;
};
const EnumDescription& enum_description(ClassId id);

// The cached member instance of code `code` (a new reference).
PyObject* enum_member(ClassId id, int code);
// Slots shared by the enumeration classes.
PyObject* enum_repr(PyObject* self);
PyObject* enum_int(PyObject* self);
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op);
int enum_code(PyObject* self);
// __reduce__ of the members: (getattr, (class, name)), so unpickling and
// copying give back the cached instance.
extern PyMethodDef enum_methods[];
// Static storage for the type description of an enumeration class.
struct EnumType {
    std::array<PyType_Slot, 9> slots{};
    PyType_Spec type_description{};
};
// Fills `storage` with the slots every enumeration class shares (repr, str,
// comparison, no hash, int, pickling) and returns the type description. `storage` and the
// strings must outlive the type.
PyType_Spec* enum_type_spec(EnumType& storage, const char* qualified_name, const char* doc);
// Adds the members as class attributes (for ClassDescription::populate).
void populate_enum(PyObject* type, ClassId id);

}  // namespace ortholink::py
