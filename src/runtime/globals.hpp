// Module globals as a method reads them when it runs: the function's globals first, then the
// interpreter's built-ins, two dict lookups; and `import` run inside a method.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <initializer_list>

namespace rt {

// Readies the interpreter's built-ins, kept for the life of the process; call once at load.
bool builtins_ready();

// A built-in by name as it is now (the class statement's `object` and `staticmethod`);
// NameError when missing.
Ref builtin(const char* name);

// A module global by name at call time: the function's globals first, then the built-ins;
// NameError when missing.
Ref global(const CallFrame& frame, PyObject* name);

// global(name).<path[0]>.<path[1]>..., each attribute looked up in turn.
Ref global_attr(const CallFrame& frame, PyObject* name, std::initializer_list<PyObject*> path);

// `import <name>` run by the function, as the interpreter runs the statement: `__import__` is
// looked up in the built-ins (not among the globals) when it runs, and called with
// (name, globals, None, None, 0); the result is the top-level module.
Ref import_in_call(const CallFrame& frame, PyObject* name);

}  // namespace rt
