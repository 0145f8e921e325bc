// The shared body of `start`: options for the records, reference images, generate_image, and
// the catch-all that turns any Exception into SERVICE_BUSY.
#include "corvessa/image/common/start.hpp"

#include "corvessa/image/common/constants.hpp"
#include "corvessa/image/common/handlers.hpp"

#include "runtime/call.hpp"

namespace common {

using rt::Ref;

Ref start_request(const rt::CallFrame& frame, PyObject* files, const ReferenceRules& rules, GenerateWith generate) {
    Ref task_id = rt::dict_get(frame.kwargs, constants.task_id, Py_None);
    Ref model_key = task_id ? rt::dict_get(frame.kwargs, constants.model_key, Py_None) : Ref{};
    if (!model_key) return {};
    Ref images = gather_references(frame, files, rules);
    if (images) {
        PyObject* given = PyList_GET_SIZE(images.get()) ? images.get() : Py_None;
        if (Ref result = generate(frame, given)) return result;
    }
    return entry_failure({.frame = frame, .task_id = task_id.get(), .model_key = model_key.get()});
}

}  // namespace common
