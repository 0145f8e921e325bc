// Text helpers: the text form of a value, and building strings from pieces.
#pragma once

#include "runtime/ref.hpp"

#include <initializer_list>

namespace rt {

// The text form of a value: what format(value, "") gives
// (an exact str unchanged, an int or float by its decimal text, anything else by __format__).
Ref text_form(PyObject* value);

// Concatenates str pieces, in order.
Ref join(std::initializer_list<PyObject*> pieces);

// The text form of `value` with `prefix` before it, e.g. "Invalid model: " + text form.
Ref prefixed(PyObject* prefix, PyObject* value);

Ref str(const char* utf8);

// A string made once and kept for the life of the process; nullptr with an error set on failure.
PyObject* interned(const char* utf8);

// Whether `text` (an exact str) begins with `prefix` (an exact str).
bool starts_with(PyObject* text, PyObject* prefix);

}  // namespace rt
