// The shared steps of `start`: the options of its failure record, and the images it hands on.
#include "corvessa/image/common/start.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"

namespace common {

bool read_entry_options(const rt::CallFrame& frame, EntryOptions& options) {
    options.task_id = rt::dict_get(frame.kwargs, constants.task_id, Py_None);
    options.model_key = options.task_id ? rt::dict_get(frame.kwargs, constants.model_key, Py_None) : rt::Ref{};
    return static_cast<bool>(options.model_key);
}

PyObject* images_or_none(PyObject* images) { return PyList_GET_SIZE(images) ? images : Py_None; }

}  // namespace common
