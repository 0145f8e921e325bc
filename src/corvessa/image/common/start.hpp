// The steps of both clients' `start` that come after their own checks: the reference images
// (references.hpp), and the catch-all (handlers.hpp); the options of the failure record are
// read by options.hpp.
#pragma once

#include <Python.h>

namespace common {

// The gathered reference images as generate_image takes them: the list, or None when empty.
PyObject* images_or_none(PyObject* images);

}  // namespace common
