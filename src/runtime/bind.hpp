// Argument binding of table-declared methods, in the interpreter's own order and wording:
// keywords first (duplicates, unexpected names with a "Did you mean" suggestion), then too
// many positionals, then missing ones; then the exact-type checks, before the body runs.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <cstddef>

namespace rt {

inline constexpr std::size_t max_bound_params = 8;

// What the binder needs of a function object.
struct Binding {
    const Method& method;
    PyObject* qualname;     // for the messages
    PyObject* param_names;  // tuple of interned names, in table order
    PyObject* defaults;     // tuple of the trailing parameters' defaults, or None
};

// Binds a vectorcall to the table and runs the body with a fresh kwargs dict.
Ref bind_and_run(const Binding& binding, PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames);

}  // namespace rt
