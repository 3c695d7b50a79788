#include "classes.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace ortholink::py {
namespace {

std::array<PyTypeObject*, kClassCount> class_objects{};

// Cached enumeration members, by class and code.
std::array<std::array<PyObject*, 8>, kClassCount> members{};

PyObject* intern(const char* text) {
    return check(PyUnicode_InternFromString(text));
}

}  // namespace

const ClassDescription& describe(ClassId id) {
    // In ClassId order.
    constexpr const ClassDescription& (*kDescriptions[])() = {
        crx_class, crx_model_class, ik_solution_class, link_mesh_class, link_meshes_class,
        solution_kind_class, arm_class, ik_batch_class, path_plan_class, scene_class, trajectory_class};
    static_assert(std::size(kDescriptions) == kClassCount);
    return kDescriptions[static_cast<std::size_t>(id)]();
}

void equality_only(PyObject* type) {
    for (const char* name : {"__lt__", "__le__", "__gt__", "__ge__"}) {
        Ref key = Ref::steal(intern(name));
        // The class is immutable: its dictionary is edited the way an
        // instance's would be, and the comparison slot stays as it is.
        check_status(PyObject_GenericSetAttr(type, key.get(), nullptr));
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

PyTypeObject* create_class(ClassId id) {
    const auto index = static_cast<std::size_t>(id);
    if (class_objects[index] != nullptr) {
        return class_objects[index];
    }
    const ClassDescription& description = describe(id);
    Ref type = Ref::steal(check(PyType_FromSpec(description.type_description)));
    if (description.populate != nullptr) {
        description.populate(type.get());
    }
    // Another thread may have finished first while the lock was released.
    if (class_objects[index] == nullptr) {
        class_objects[index] = reinterpret_cast<PyTypeObject*>(type.release());
    }
    return class_objects[index];
}

PyTypeObject* class_object(ClassId id) {
    const auto index = static_cast<std::size_t>(id);
    if (class_objects[index] != nullptr) {
        return class_objects[index];
    }
    try {
        return create_class(id);
    } catch (const PyErrorSet&) {
        PyErr_WriteUnraisable(nullptr);
        throw Panic(std::string("An error occurred while initializing class ") + describe(id).name);
    }
}

bool is_instance(PyObject* object, ClassId id) {
    const auto* type = class_objects[static_cast<std::size_t>(id)];
    return type != nullptr && PyObject_TypeCheck(object, const_cast<PyTypeObject*>(type));
}

std::string type_name_of(PyObject* object, bool qualified) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref name = Ref::steal(qualified ? PyObject_GetAttrString(type, "__qualname__") : PyType_GetName(Py_TYPE(object)));
    if (name) {
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) {
            return text;
        }
    }
    PyErr_Clear();
    return "object";
}

void raise_wrong_type(PyObject* object, ClassId expected) {
    fail(PyExc_TypeError, "expected ortholink.%s, got %s", describe(expected).name, type_name_of(object).c_str());
}

void expect_argument(PyObject* object, ClassId id, const char* name) {
    if (!is_instance(object, id)) {
        fail(PyExc_TypeError, "argument '%s': expected ortholink.%s, got %s", name, describe(id).name,
             type_name_of(object).c_str());
    }
}

std::string signed_doc(const char* function, const Parameters& parameters, bool bound, const char* doc) {
    std::string text = std::string(function) + (bound ? "($self" : "(");
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        text += i > 0 || bound ? ", " : "";
        text += i == parameters.positional ? "*, " : "";
        text += parameters.names[i];
        if (i >= parameters.required) {
            const char* given = parameters.defaults == nullptr ? nullptr : parameters.defaults[i];
            text += std::string("=") + (given == nullptr ? "None" : given);
        }
    }
    return text + ")\n--\n\n" + doc;
}

PyObject* reduce_to(ClassId id, const char* maker, std::initializer_list<Owned> state) {
    Ref make = Ref::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(id)), maker)));
    Ref arguments = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(state.size()))));
    Py_ssize_t i = 0;
    for (const Owned& item : state) {
        PyTuple_SetItem(arguments.get(), i++, Py_NewRef(check(item.ref.get())));  // steals
    }
    return check(PyTuple_Pack(2, make.get(), arguments.get()));
}

void bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const Parameters& parameters, PyObject** out) {
    const Py_ssize_t count = parameters.count;
    const Py_ssize_t positional = parameters.positional;
    if (nargs > positional) {
        if (parameters.required == positional) {
            fail(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", function, positional,
                 positional == 1 ? "" : "s", nargs);
        }
        fail(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given", function,
             parameters.required, positional, nargs);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            const int equal = PyUnicode_CompareWithASCIIString(key, parameters.names[i]);
            if (equal == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            fail(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        }
        if (out[slot] != nullptr) {
            fail(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, parameters.names[slot]);
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < parameters.required; ++i) {
        if (out[i] == nullptr) {
            fail(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function, parameters.names[i],
                 i + 1);
        }
    }
}

void bind_call_arguments(const char* function, PyObject* args, PyObject* kwargs, const Parameters& parameters,
                         PyObject** out) {
    // Gather the tuple and dictionary into the vector form the binder reads.
    std::vector<PyObject*> values;
    const Py_ssize_t nargs = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values.push_back(PyTuple_GetItem(args, i));
    }
    Ref kwnames;
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Ref names = Ref::steal(check(PyList_New(0)));
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            check_status(PyList_Append(names.get(), key));
            values.push_back(value);
        }
        kwnames = Ref::steal(check(PyList_AsTuple(names.get())));
    }
    bind_arguments(function, values.data(), nargs, kwnames.get(), parameters, out);
}

// Enumerations -------------------------------------------------------------

namespace {

// The code a member instance holds.
using EnumCode = std::uint8_t;

constexpr const char* kModelMembers[] = {"Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"};
constexpr const char* kKindMembers[] = {"Regular", "AxisDegenerate", "SingularFamily"};
const EnumDescription kModelEnum{ClassId::CrxModel, "CrxModel", kModelMembers, 6};
const EnumDescription kKindEnum{ClassId::SolutionKind, "SolutionKind", kKindMembers, 3};

const EnumDescription* enum_of(PyObject* self) {
    for (const EnumDescription* description : {&kModelEnum, &kKindEnum}) {
        if (is_instance(self, description->id)) {
            return description;
        }
    }
    return nullptr;
}

}  // namespace

const EnumDescription& enum_description(ClassId id) {
    if (id != ClassId::CrxModel && id != ClassId::SolutionKind) {
        throw Panic("not an enumeration class");
    }
    return id == ClassId::CrxModel ? kModelEnum : kKindEnum;
}

PyObject* enum_member(ClassId id, int code) {
    const EnumDescription& description = enum_description(id);
    if (code < 0 || code >= description.count) {
        throw Panic(std::string("invalid code for ") + description.class_name);
    }
    PyObject*& slot = members[static_cast<std::size_t>(id)][static_cast<std::size_t>(code)];
    if (slot == nullptr) {
        PyObject* created = box(id, static_cast<EnumCode>(code));
        if (slot == nullptr) {
            slot = created;
        } else {
            Py_DECREF(created);
        }
    }
    Py_INCREF(slot);
    return slot;
}

int enum_code(PyObject* self) {
    const EnumDescription* description = enum_of(self);
    if (description == nullptr) {
        fail(PyExc_TypeError, "expected an ortholink enumeration member, got %s", type_name_of(self).c_str());
    }
    return reinterpret_cast<Boxed<EnumCode>*>(self)->value;
}

namespace {

PyObject* enum_repr(PyObject* self) {
    const EnumDescription* description = enum_of(self);
    const int code = enum_code(self);
    return check(PyUnicode_FromFormat("%s.%s", description->class_name, description->members[code]));
}

PyObject* enum_int(PyObject* self) { return check(PyLong_FromLong(enum_code(self))); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* {
        if (op < Py_LT || op > Py_GE) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const EnumDescription* description = enum_of(self);
        const int code = enum_code(self);
        long long other_code = 0;
        if (enum_of(other) == description) {
            other_code = enum_code(other);
        } else if (PyIndex_Check(other)) {
            Ref index = Ref::steal(PyNumber_Index(other));
            if (!index) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
            other_code = PyLong_AsLongLong(index.get());
            if (other_code == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        } else {
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (op == Py_EQ) {
            return PyBool_FromLong(code == other_code);
        }
        if (op == Py_NE) {
            return PyBool_FromLong(code != other_code);
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// Pickled as (getattr, (class, name)), so unpickling and copying give back
// the cached instance.
PyObject* enum_reduce(PyObject* self) {
    const EnumDescription* description = enum_of(self);
    const int code = enum_code(self);
    Ref builtins = Ref::steal(check(PyImport_ImportModule("builtins")));
    Ref getattr = Ref::steal(check(PyObject_GetAttrString(builtins.get(), "getattr")));
    Ref name = Ref::steal(check(PyUnicode_FromString(description->members[code])));
    Ref args = Ref::steal(check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get())));
    return check(PyTuple_Pack(2, getattr.get(), args.get()));
}

const MethodTable enum_methods{
    reduce_def<enum_reduce>(),
};

// Adds the members as class attributes (ClassDescription::populate).
void populate_enum(PyObject* type, ClassId id) {
    const EnumDescription& description = enum_description(id);
    // Members are instances of the class being populated, so publish it first.
    class_objects[static_cast<std::size_t>(id)] = reinterpret_cast<PyTypeObject*>(type);
    try {
        for (int code = 0; code < description.count; ++code) {
            Ref member = Ref::steal(enum_member(id, code));
            Ref name = Ref::steal(intern(description.members[code]));
            // The class is immutable, so the members go into its dictionary
            // the way an instance attribute would; PyType_Modified below
            // drops what the attribute cache held.
            check_status(PyObject_GenericSetAttr(type, name.get(), member.get()));
        }
    } catch (...) {
        class_objects[static_cast<std::size_t>(id)] = nullptr;
        members[static_cast<std::size_t>(id)] = {};
        throw;
    }
    class_objects[static_cast<std::size_t>(id)] = nullptr;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

// The description of enumeration class `Id`, with the slots every enumeration
// shares: repr and str, comparison, no hash, int and pickling. Its members are
// class attributes that cannot be rebound or deleted: pickles name them.
template <ClassId Id>
const ClassDescription& enum_class(const char* qualified_name, const char* doc) {
    static const HeapClass<EnumCode, 5> type(
        qualified_name, doc, {enum_methods}, {},
        {{{Py_tp_repr, slot(call<enum_repr>)},
          {Py_tp_str, slot(call<enum_repr>)},
          {Py_tp_richcompare, slot(enum_richcompare)},
          {Py_tp_hash, slot(PyObject_HashNotImplemented)},
          {Py_nb_int, slot(call<enum_int>)}}},
        kModuleMadeClass, [](PyObject* created) { populate_enum(created, Id); });
    return type.description;
}

}  // namespace

const ClassDescription& crx_model_class() {
    return enum_class<ClassId::CrxModel>(
        "ortholink.CrxModel",
        "One of the models in the FANUC CRX series.\n\n"
        "`LinkMeshes.load` uses the model to select geometry. Two models can share the same four link\n"
        "dimensions, so those dimensions alone do not identify the model represented by a `Crx`.");
}

const ClassDescription& solution_kind_class() {
    return enum_class<ClassId::SolutionKind>("ortholink.SolutionKind", "The configuration category of a solution.");
}

}  // namespace ortholink::py
