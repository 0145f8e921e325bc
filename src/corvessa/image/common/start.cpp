// The shared steps of `start`: the images it hands on.
#include "corvessa/image/common/start.hpp"

namespace common {

PyObject* images_or_none(PyObject* images) { return PyList_GET_SIZE(images) ? images : Py_None; }

}  // namespace common
