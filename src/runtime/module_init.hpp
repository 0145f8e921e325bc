// Create and exec steps shared by the modules: one module object per process, one
// interpreter per process, imports bound as module globals, and the class statement.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <span>

namespace rt {

struct ModuleInfo {
    const char* name;       // "sorvanel"
    const char* qualified;  // "corvessa.image.sorvanel"
    // The module's own load work, run by the exec step once the runtime is ready: the process-wide
    // constants of every layer above the runtime, the imports and the class. False with an error set.
    bool (*populate)(PyObject* module, PyObject* globals);
};

// Process-wide state of one module.
struct ModuleStatics {
    std::int64_t interpreter = -1;  // the first interpreter that created the module
    PyObject* module = nullptr;     // owned while the module is loaded
    PyObject* globals = nullptr;    // the module's dict, borrowed from `module`
    // The interpreter drops the state block of a module that a create step hands back and
    // gives it a new one; the old block is freed once that has happened.
    void* replaced_state = nullptr;
};

PyObject* create_module(ModuleStatics& statics, PyObject* spec);
int exec_module(ModuleStatics& statics, const ModuleInfo& info, PyObject* module);

// The module definition of `info` for multi-phase initialisation: a create slot and an exec
// slot over the module's own process-wide statics, nothing else.
template <const ModuleInfo& info>
PyModuleDef* module_definition() {
    static ModuleStatics statics;
    static PyModuleDef_Slot slots[] = {
        {.slot = Py_mod_create, .value = reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef*) {
                                    return create_module(statics, spec);
                                })},
        {.slot = Py_mod_exec,
         .value = reinterpret_cast<void*>(+[](PyObject* module) { return exec_module(statics, info, module); })},
        {.slot = 0, .value = nullptr},
    };
    static PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = info.name,
        .m_doc = nullptr,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
    return &definition;
}

// `import name`, bound as the global `name`.
bool import_module(PyObject* globals, const char* name);

// `from <module> import names...` (level 0), or `from <dots><module> import names...`
// (level > 0, resolved against the package of `globals`; `registry_name` is its full name).
bool import_from(PyObject* globals, const char* module, int level, const char* registry_name,
                 std::initializer_list<const char*> names);

// The class statement `class <name>(object)`: the methods in table order, static methods
// wrapped in the built-in `staticmethod`, the class bound as the global <name>. The built-ins
// `object` and `staticmethod` are the ones the interpreter has when the statement runs.
struct ClassStatement {
    const char* name;
    const char* module_name;
    std::span<const Method* const> methods;
};
bool define_class(PyObject* globals, const ClassStatement& statement);

}  // namespace rt
