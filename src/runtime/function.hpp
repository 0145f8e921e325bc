// The native function type: a method declared by a table, behaving like a Python function
// (vectorcall, binding as a method, introspection, inspect.signature, help()).
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <initializer_list>

namespace rt {

// Readies the function type; call once before making functions.
bool function_type_ready();

// Makes the function object of `method`, its `__qualname__` being "<owner>.<name>".
Ref make_function(const Method& method, PyObject* module_name, PyObject* owner, PyObject* globals);

// Adds the running function's entry to the traceback of the exception being raised, as the
// interpreter does when an exception reaches a frame; an `except` clause calls it before it
// takes the exception.
void note_frame(const CallFrame& frame);

// A module global by name at call time: the function's globals first, then the built-ins.
Ref global(const CallFrame& frame, PyObject* name);

// `import <name>` run by the function, as the interpreter runs the statement: `__import__` is
// looked up in the built-ins (not among the globals) when it runs, and called with
// (name, globals, None, None, 0); the result is the top-level module.
Ref import_in_call(const CallFrame& frame, PyObject* name);

// global(name).<path[0]>.<path[1]>..., each attribute looked up in turn.
Ref global_attr(const CallFrame& frame, PyObject* name, std::initializer_list<PyObject*> path);

}  // namespace rt
