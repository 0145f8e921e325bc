// "Did you mean" suggestions for a mistyped keyword, chosen the way the interpreter chooses
// them for its own functions (a Levenshtein distance with case-insensitive matches cheaper).
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// The closest name in `candidates` (a tuple of str) to `name`, or an empty Ref when none is
// close enough or a name has no UTF-8 form. Never leaves an error set.
Ref suggest_name(PyObject* candidates, PyObject* name);

}  // namespace rt
