// Checks of a call's model and aspect ratio against the configuration's tables.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace sorvanel {

// `value in <table>`, the table being a configuration global: 1 or 0, or -1 with an error set.
int supported(const rt::CallFrame& frame, PyObject* table, PyObject* value);

// The INVALID_PARAMS result for a refused value: message=<prefix> + the value's text form.
rt::Ref refuse(const rt::CallFrame& frame, PyObject* prefix, PyObject* value);

}  // namespace sorvanel
