// The module frame: the exported init function and the execution step that
// registers the classes.

#include "classes.hpp"

namespace ortholink::py {
namespace {

// The class objects and enumeration members are cached process-wide, so they
// belong to one interpreter: the main one. The limited API of 3.11 has no
// Py_mod_multiple_interpreters slot, so the check is made here.
PyInterpreterState* home_interpreter = nullptr;

void refuse_subinterpreters() {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (home_interpreter == nullptr && PyInterpreterState_GetID(current) == 0) {
        home_interpreter = current;
    }
    if (current != home_interpreter) {
        fail(PyExc_ImportError,
             "ortholink does not support loading in subinterpreters (it keeps process-wide caches); "
             "import it in the main interpreter");
    }
}

int exec_module(PyObject* module) {
    return guard_status([&] {
        refuse_subinterpreters();
        if (!PyModule_Check(module)) {
            fail(PyExc_TypeError, "expected a module, got %s", type_name_of(module).c_str());
        }
        Ref all = Ref::steal(check(PyList_New(0)));
        check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
        // The result classes (IkBatch, PathPlan) and Scene are reachable as
        // attributes but are not part of the star-import list.
        for (int index = 0; index < kClassCount; ++index) {
            const auto id = static_cast<ClassId>(index);
            PyTypeObject* type = create_class(id);
            const char* name = describe(id).name;
            if (index < kStarImportCount) {
                check_status(PyList_Append(all.get(), Ref::steal(check(PyUnicode_FromString(name))).get()));
            }
            check_status(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
        }
        check_status(PyModule_AddStringConstant(module, "__version__", ORTHOLINK_VERSION));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ortholink",
    "Forward and inverse kinematics for the FANUC CRX series of collaborative robots.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ortholink::py

PyMODINIT_FUNC PyInit_ortholink(void) {
    return PyModuleDef_Init(&ortholink::py::module_definition);
}
