// The native function type: a method declared by a table, behaving like a Python function
// (vectorcall, binding as a method, introspection, inspect.signature, help()).
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace rt {

// Readies the function type; call once before making functions.
bool function_type_ready();

// Makes the function object of `method`, its `__qualname__` being "<owner>.<name>".
Ref make_function(const Method& method, PyObject* module_name, PyObject* owner, PyObject* globals);

// The globals of a function made by make_function: its module's dict (borrowed).
PyObject* function_globals(PyObject* function);

}  // namespace rt
