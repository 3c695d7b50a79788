#pragma once
// The classes: their lazily created type objects, the generic parts of their
// instances (allocation, deallocation, unwrapping `self`), the binding of
// arguments and the entries of method tables. The enumerations CrxModel and
// SolutionKind are made here too.

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/batch.hpp"
#include "ortholink/ik.hpp"
#include "ortholink/meshes.hpp"
#include "ortholink/path.hpp"
#include "ortholink/robot.hpp"
#include "ortholink/trajectory.hpp"
#include "pyref.hpp"
#include "python.hpp"

namespace ortholink::py {

struct IkBatchArrays;  // ik_batch.hpp

// The classes in the order the module registers them: the seven of the
// star-import list, then the result classes of the batch and path methods,
// then the cell's solids, then the timed motion of a plan.
enum class ClassId : int {
    Crx,
    CrxModel,
    IkSolution,
    LinkMesh,
    LinkMeshes,
    SolutionKind,
    Arm,
    IkBatch,
    PathPlan,
    Scene,
    Trajectory,
};
inline constexpr int kStarImportCount = 7;
inline constexpr int kClassCount = 11;

struct ClassDescription {
    const char* name;                  // "Crx"
    PyType_Spec* type_description;     // static description of the type
    void (*populate)(PyObject* type);  // adds class attributes; throws PyErrorSet
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
const ClassDescription& path_plan_class();
const ClassDescription& scene_class();
const ClassDescription& trajectory_class();

const ClassDescription& describe(ClassId id);

// A populate hook for classes compared only for equality: CPython adds the
// four ordering methods with the comparison slot; they would only raise, so
// they leave the class (help() then lists == and != alone). Throws PyErrorSet.
void equality_only(PyObject* type);

// The cached class object (borrowed), created on first need. Used while
// registering: a creation failure leaves the Python error set (PyErrorSet).
PyTypeObject* create_class(ClassId id);

// The cached class object for use inside a method: a creation failure is
// reported as unraisable and becomes PanicException.
PyTypeObject* class_object(ClassId id);

// The class whose instances hold a core value of type T.
constexpr ClassId class_of(const Crx*) { return ClassId::Crx; }
constexpr ClassId class_of(const IkSolution*) { return ClassId::IkSolution; }
constexpr ClassId class_of(const LinkMesh*) { return ClassId::LinkMesh; }
constexpr ClassId class_of(const LinkMeshes*) { return ClassId::LinkMeshes; }
constexpr ClassId class_of(const IkBatchArrays*) { return ClassId::IkBatch; }
constexpr ClassId class_of(const Arm*) { return ClassId::Arm; }
constexpr ClassId class_of(const PathPlan*) { return ClassId::PathPlan; }
constexpr ClassId class_of(const Scene*) { return ClassId::Scene; }
constexpr ClassId class_of(const Trajectory*) { return ClassId::Trajectory; }
template <class T>
constexpr ClassId kClassOf = class_of(static_cast<const T*>(nullptr));

// An instance that embeds one core value.
template <class T>
struct Boxed {
    PyObject ob_base;  // what PyObject_HEAD declares
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

template <class T>
PyObject* box(T&& value) {
    return box(kClassOf<std::remove_cvref_t<T>>, std::forward<T>(value));
}

// A METH_FASTCALL entry as the PyCFunction a method table stores.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A slot function as the pointer a PyType_Slot stores.
template <class Function>
void* slot(Function* function) noexcept {
    return reinterpret_cast<void*>(function);
}

// Instances are made by the module only, and the class cannot be changed.
inline constexpr unsigned kModuleMadeClass =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// The methods and properties of a class, as written: HeapClass adds the
// empty entry that ends each table for CPython.
using MethodTable = std::vector<PyMethodDef>;
using PropertyTable = std::vector<PyGetSetDef>;

// A class's description and the static storage PyType_FromSpec reads: instances
// are Boxed<T>; the slots are the docstring, the methods (the tables given, which
// other units may contribute, joined in order) and properties (if any), the
// `Extra` slots given, and deallocation. The module name is the part of
// `qualified_name` before the dot.
template <class T, std::size_t Extra = 0>
class HeapClass {
public:
    HeapClass(const char* qualified_name, const char* doc,
              std::initializer_list<std::reference_wrapper<const MethodTable>> methods, PropertyTable properties,
              const std::array<PyType_Slot, Extra>& extra = {}, unsigned flags = kModuleMadeClass,
              void (*populate)(PyObject* type) = nullptr)
        : description{std::strchr(qualified_name, '.') + 1, &spec_, populate}, properties_(std::move(properties)) {
        for (const MethodTable& table : methods) {
            methods_.insert(methods_.end(), table.begin(), table.end());
        }
        methods_.push_back({nullptr, nullptr, 0, nullptr});
        std::size_t n = 0;
        slots_[n++] = {Py_tp_doc, const_cast<char*>(doc)};
        slots_[n++] = {Py_tp_methods, methods_.data()};
        if (!properties_.empty()) {
            properties_.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
            slots_[n++] = {Py_tp_getset, properties_.data()};
        }
        for (const PyType_Slot& entry : extra) {
            slots_[n++] = entry;
        }
        slots_[n++] = {Py_tp_dealloc, slot(boxed_dealloc<T>)};
        slots_[n] = {0, nullptr};
        spec_ = PyType_Spec{qualified_name, static_cast<int>(sizeof(Boxed<T>)), 0, flags, slots_.data()};
    }
    HeapClass(const HeapClass&) = delete;
    HeapClass& operator=(const HeapClass&) = delete;

    const ClassDescription description;

private:
    MethodTable methods_;
    PropertyTable properties_;
    std::array<PyType_Slot, Extra + 5> slots_{};
    PyType_Spec spec_{};
};

// True when `object` is an instance of class `id`.
bool is_instance(PyObject* object, ClassId id);

// The qualified (or, unless `qualified`, the plain) type name of an object, for messages.
std::string type_name_of(PyObject* object, bool qualified = true);

// TypeError naming the received type and the expected class.
[[noreturn]] void raise_wrong_type(PyObject* object, ClassId expected);

template <class T>
T& unbox(PyObject* self, ClassId id = kClassOf<T>) {
    if (!is_instance(self, id)) {
        raise_wrong_type(self, id);
    }
    return reinterpret_cast<Boxed<T>*>(self)->value;
}

// TypeError "argument '<name>': expected ortholink.<class>, got <type>" unless
// `object` is an instance of class `id`.
void expect_argument(PyObject* object, ClassId id, const char* name);

// The core value of an argument that must be an instance of T's class.
template <class T>
const T& unbox_argument(PyObject* object, const char* name) {
    expect_argument(object, kClassOf<T>, name);
    return reinterpret_cast<Boxed<T>*>(object)->value;
}

// The parameters of a METH_FASTCALL | METH_KEYWORDS entry, in order: the
// first `required` must be given; the first `positional` may be given by
// position; the rest are keyword-only. An optional parameter that is absent
// is left NULL. `defaults`, when given, has the text of each optional
// parameter's default for the text signature (null: None).
struct Parameters {
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    Py_ssize_t positional;
    const char* const* defaults = nullptr;
};

// A docstring with its text signature, "name($self, a, b=None, *, c=None)\n--\n\n"
// followed by `doc`; `bound` adds $self.
std::string signed_doc(const char* function, const Parameters& parameters, bool bound, const char* doc);

// Argument binding for METH_FASTCALL | METH_KEYWORDS entries: fills
// out[0..count) from positional and keyword arguments, with CPython's errors.
void bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const Parameters& parameters, PyObject** out);

// The same for a call given as a tuple and a dictionary (tp_new).
void bind_call_arguments(const char* function, PyObject* args, PyObject* kwargs, const Parameters& parameters,
                         PyObject** out);

// The parameters of one entry, known at compile time, as for Parameters:
// `constexpr Signature<2> kIkPath{"ik_path", {"targets", "start"}};`.
template <std::size_t N>
struct Signature {
    static constexpr std::size_t count = N;
    const char* function;
    std::array<const char*, N> names;
    Py_ssize_t required = static_cast<Py_ssize_t>(N);
    Py_ssize_t positional = static_cast<Py_ssize_t>(N);
    std::array<const char*, N> defaults{};

    constexpr Parameters parameters() const {
        return {names.data(), static_cast<Py_ssize_t>(N), required, positional, defaults.data()};
    }
};

// The bound arguments of an entry; an absent optional one is null.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

// A METH_FASTCALL | METH_KEYWORDS entry that binds its arguments by `S` and
// returns `body(self, arguments)`, every exception becoming a Python one. With
// a class given, `self` is checked to be one of its instances first.
template <const auto& S, auto Body, ClassId... Self>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        ((is_instance(self, Self) ? void() : raise_wrong_type(self, Self)), ...);
        Arguments<std::remove_cvref_t<decltype(S)>::count> values{};
        bind_arguments(S.function, args, nargs, kwnames, S.parameters(), values.data());
        return Body(self, values);
    });
}

// The method-table entry of `method<S, Body, Self...>`, its docstring led by
// the text signature: a method of class `Self`, or a static method without one.
// The docstring is kept per instantiation, so each (S, Body) has one entry.
template <const auto& S, auto Body, ClassId... Self>
PyMethodDef def(const char* doc) {
    static const std::string text = signed_doc(S.function, S.parameters(), sizeof...(Self) > 0, doc);
    const int flags = METH_FASTCALL | METH_KEYWORDS | (sizeof...(Self) > 0 ? 0 : METH_STATIC);
    return {S.function, as_method(&method<S, Body, Self...>), flags, text.c_str()};
}

// An entry returning `body(self)`, every exception becoming a Python one, for
// each shape that ignores its other arguments: call<Body> for a slot such as
// Py_tp_repr, call<Body, PyObject*> for METH_NOARGS, call<Body, void*> for a
// property getter.
template <auto Body, class... Unused>
PyObject* call(PyObject* self, Unused...) noexcept {
    return guard([&]() -> PyObject* { return Body(self); });
}

// A read-only property returning `body(self)`.
template <auto Body>
PyGetSetDef property(const char* name, const char* doc) {
    return {name, call<Body, void*>, nullptr, doc, nullptr};
}

// A new reference taken over where it is written, so that a list of results
// built in place is released if building one of them throws.
struct Owned {
    Owned(PyObject* object) noexcept : ref(Ref::steal(object)) {}  // implicit by design
    Ref ref;
};

// The `__reduce__` result (maker, state): `maker` is the attribute of class
// `id` that rebuilds an instance from the state.
PyObject* reduce_to(ClassId id, const char* maker, std::initializer_list<Owned> state);

// The `__reduce__` entry of a class whose state `Body` gives.
template <auto Body>
PyMethodDef reduce_def() {
    return {"__reduce__", call<Body, PyObject*>, METH_NOARGS, "Support for pickle and copy."};
}

// The attribute most classes rebuild an instance with.
inline constexpr char kFromState[] = "_from_state";

// `__reduce__` of class `Id` as (Id.<Maker>, state): the state is what
// `Getters` return for the instance, in order (its property getters where the
// pickled form is the same).
template <ClassId Id, const char* Maker, auto... Getters>
PyObject* reduce_state(PyObject* self) {
    return reduce_to(Id, Maker, {Getters(self)...});
}

// The `__reduce__` entry of reduce_state.
template <ClassId Id, const char* Maker, auto... Getters>
PyMethodDef reduce_def() {
    return reduce_def<reduce_state<Id, Maker, Getters...>>();
}

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
// The code of a member instance (TypeError for anything else).
int enum_code(PyObject* self);

}  // namespace ortholink::py
