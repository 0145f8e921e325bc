// The layout of the native function object, shared by the files of the function type
// (function.cpp, function_table.cpp, signature.cpp, traceback.cpp) and by nothing else.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <cstddef>

namespace rt {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Method* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict of str
    PyObject* globals;
    PyObject* param_names;  // tuple of interned names, in table order
    PyObject* code;         // made on the first error, for traceback entries
    PyObject* weaklist;
};

inline Function* as_function(PyObject* op) { return reinterpret_cast<Function*>(op); }

inline std::size_t param_count(const Function* f) { return f->method->params.size(); }

inline std::size_t default_count(const Function* f) {
    return f->defaults == Py_None ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(f->defaults));
}

// What Python sees of a method, made from its table: `__defaults__` (a tuple, or None),
// `__annotations__` (texts), the parameter names (interned, in table order) and `__doc__`.
Ref table_defaults(const Method& m);
Ref table_annotations(const Method& m);
Ref table_param_names(const Method& m);
Ref table_doc(const Method& m);

// The `__signature__` getter: an inspect.Signature made from the table.
PyObject* function_signature(PyObject* self, void*);

// Adds the function's entry to the traceback of the exception being raised.
void add_traceback_entry(Function* f);

}  // namespace rt
