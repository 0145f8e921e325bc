// The create and exec steps, imports bound as module globals, and the class statement.
#include "runtime/module_init.hpp"

#include "runtime/base64.hpp"
#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

#include <string>
#include <utility>

namespace rt {
namespace {

// The version the modules were compiled for; CORVESSA_COMPILED_MINOR lets a test build
// pretend to be another one.
#ifndef CORVESSA_COMPILED_MINOR
#define CORVESSA_COMPILED_MINOR PY_MINOR_VERSION
#endif
constexpr int compiled_major = PY_MAJOR_VERSION;
constexpr int compiled_minor = CORVESSA_COMPILED_MINOR;

// Copies spec.<attr> into the module's dict as <key>; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool none_too) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return false;
    Ref owned = Ref::steal(value);
    if (!owned || (!none_too && owned.get() == Py_None)) return true;
    return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

Ref new_module_from_spec(PyObject* spec) {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return {};
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return {};
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false)) {
        return {};
    }
    return module;
}

bool warn_on_version_mismatch(const char* qualified) {
    int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == compiled_major && minor == compiled_minor) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", compiled_major,
                  compiled_minor, qualified, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

void forget_module(ModuleStatics& statics) {
    Py_CLEAR(statics.module);
    statics.globals = nullptr;
}

// Frees the state block that the interpreter replaced on a re-import (a zero-sized block,
// but one per re-import); kept when it is still the module's own.
void forget_replaced_state(ModuleStatics& statics, PyObject* module) {
    void* replaced = std::exchange(statics.replaced_state, nullptr);
    if (replaced && replaced != PyModule_GetState(module)) PyMem_Free(replaced);
}

// The registry entry `name`, only when it is there and has every requested name.
Ref registered_module_with(const char* name, std::initializer_list<const char*> names) {
    Ref key = str(name);
    Ref module = key ? Ref::steal(PyImport_GetModule(key.get())) : Ref{};
    if (!module || module.get() == Py_None) {
        PyErr_Clear();
        return {};
    }
    for (const char* attr : names) {
        int has = PyObject_HasAttrStringWithError(module.get(), attr);
        if (has <= 0) {
            PyErr_Clear();
            return {};
        }
    }
    return module;
}

Ref fromlist_of(std::initializer_list<const char*> names) {
    Ref list = new_list();
    if (!list) return {};
    for (const char* name : names) {
        Ref text = str(name);
        if (!text || PyList_Append(list.get(), text.get()) < 0) return {};
    }
    return list;
}

// module.<name>, else the registry entry "<module>.<name>", else ImportError.
Ref imported_name(PyObject* module, const char* registry_name, const char* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(module, name, &value) < 0) return {};
    if (value) return Ref::steal(value);
    std::string full = std::string(registry_name) + "." + name;
    Ref key = str(full.c_str());
    if (!key) return {};
    Ref submodule = Ref::steal(PyImport_GetModule(key.get()));
    if (submodule && submodule.get() != Py_None) return submodule;
    if (PyErr_Occurred()) return {};
    Ref text = str(name);
    if (text) PyErr_Format(PyExc_ImportError, "cannot import name %S", text.get());
    return {};
}

Ref class_namespace(PyObject* type_name, PyObject* bases) {
    Ref prepare = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__prepare__"));
    if (!prepare) return {};
    return call(prepare.get(), type_name, bases);
}

bool set_item(PyObject* mapping, const char* key, PyObject* value) {
    Ref name = Ref::steal(interned(key));
    return name && PyObject_SetItem(mapping, name.get(), value) == 0;
}

bool add_method(PyObject* ns, const Method& method, PyObject* module_name, PyObject* owner, PyObject* globals,
                PyObject* staticmethod) {
    Ref function = make_function(method, module_name, owner, globals);
    if (function && method.kind == Kind::static_method) function = call(staticmethod, function.get());
    return function && set_item(ns, method.name, function.get());
}

// The runtime's own types and names, made once per process; the layers above make theirs in
// the module's `populate` step.
bool runtime_ready() { return builtins_ready() && function_type_ready() && base64_ready(); }

}  // namespace

PyObject* create_module(ModuleStatics& statics, PyObject* spec) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (statics.interpreter == -1) {
        statics.interpreter = current;
    } else if (statics.interpreter != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (statics.module) {
        statics.replaced_state = PyModule_GetState(statics.module);
        return Py_NewRef(statics.module);
    }
    return new_module_from_spec(spec).release();
}

int exec_module(ModuleStatics& statics, const ModuleInfo& info, PyObject* module) {
    if (statics.module) {
        if (statics.module == module) {
            forget_replaced_state(statics, module);
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", info.name);
        return -1;
    }
    statics.module = Py_NewRef(module);
    statics.globals = PyModule_GetDict(module);
    if (warn_on_version_mismatch(info.qualified) && runtime_ready() && info.populate(module, statics.globals)) {
        return 0;
    }
    forget_module(statics);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", info.qualified);
    return -1;
}

bool import_module(PyObject* globals, const char* name) {
    Ref key = str(name);
    if (!key) return false;
    Ref module = Ref::steal(PyImport_GetModule(key.get()));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return false;
        module = Ref::steal(PyImport_ImportModuleLevelObject(key.get(), globals, nullptr, nullptr, 0));
        if (!module) return false;
    }
    return PyDict_SetItem(globals, key.get(), module.get()) == 0;
}

bool import_from(PyObject* globals, const char* module_name, int level, const char* registry_name,
                 std::initializer_list<const char*> names) {
    Ref module = registered_module_with(registry_name, names);
    if (!module) {
        Ref key = str(module_name);
        Ref fromlist = fromlist_of(names);
        if (!key || !fromlist) return false;
        module = Ref::steal(PyImport_ImportModuleLevelObject(key.get(), globals, nullptr, fromlist.get(), level));
        if (!module) return false;
    }
    for (const char* name : names) {
        Ref value = imported_name(module.get(), registry_name, name);
        if (!value || PyDict_SetItemString(globals, name, value.get()) < 0) return false;
    }
    return true;
}

bool define_class(PyObject* globals, const ClassStatement& statement) {
    Ref type_name = str(statement.name);
    Ref module_text = str(statement.module_name);
    if (!type_name || !module_text) return false;
    Ref object = builtin("object");
    Ref staticmethod = object ? builtin("staticmethod") : Ref{};
    Ref bases = staticmethod ? Ref::steal(PyTuple_Pack(1, object.get())) : Ref{};
    if (!bases) return false;
    Ref ns = class_namespace(type_name.get(), bases.get());
    if (!ns || !set_item(ns.get(), "__module__", module_text.get()) ||
        !set_item(ns.get(), "__qualname__", type_name.get())) {
        return false;
    }
    for (const Method* method : statement.methods) {
        if (!add_method(ns.get(), *method, module_text.get(), type_name.get(), globals, staticmethod.get())) {
            return false;
        }
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), type_name.get(), bases.get(), ns.get());
    return cls && PyDict_SetItem(globals, type_name.get(), cls.get()) == 0;
}

}  // namespace rt
