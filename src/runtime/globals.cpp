// Module-global lookup at call time, built-ins by name, and `import` inside a method.
#include "runtime/globals.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"

namespace rt {
namespace {

// The interpreter's built-ins, kept for the life of the process. The modules' globals have no
// `__builtins__` of their own, so their functions read these, as a Python function made in
// the same interpreter does.
PyObject* builtins_dict = nullptr;

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) != 0) return Ref::steal(value);
    if (PyDict_GetItemRef(builtins_dict, name, &value) != 0) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace

bool builtins_ready() {
    if (builtins_dict) return true;
    Ref module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!module) return false;
    builtins_dict = Py_NewRef(PyModule_GetDict(module.get()));
    return true;
}

Ref builtin(const char* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(builtins_dict, name, &value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return Ref::steal(value);
}

Ref global(const CallFrame& frame, PyObject* name) {
    return lookup_global(function_globals(frame.function), name);
}

Ref global_attr(const CallFrame& frame, PyObject* name, std::initializer_list<PyObject*> path) {
    Ref value = global(frame, name);
    for (PyObject* attribute : path) {
        if (!value) return {};
        value = attr(value.get(), attribute);
    }
    return value;
}

Ref import_in_call(const CallFrame& frame, PyObject* name) {
    PyObject* function = nullptr;
    int found = PyDict_GetItemStringRef(builtins_dict, "__import__", &function);
    if (found == 0) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    if (found <= 0) return {};
    Ref import = Ref::steal(function);
    Ref level = Ref::steal(PyLong_FromLong(0));
    PyObject* globals = function_globals(frame.function);
    return level ? call(import.get(), name, globals, Py_None, Py_None, level.get()) : Ref{};
}

}  // namespace rt
