// The steps of both clients' `start` that come after their own checks: the options of the
// failure record, the reference images (references.hpp), and the catch-all (handlers.hpp).
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// What a call entry keeps for its failure record: task_id and model_key, read with
// kwargs.get(...) before the protected block begins (None when absent, left in kwargs).
struct EntryOptions {
    rt::Ref task_id;
    rt::Ref model_key;

    CallContext context(const rt::CallFrame& frame) const {
        return {.frame = frame, .task_id = task_id.get(), .model_key = model_key.get()};
    }
};

bool read_entry_options(const rt::CallFrame& frame, EntryOptions& options);

// The gathered reference images as generate_image takes them: the list, or None when empty.
PyObject* images_or_none(PyObject* images);

}  // namespace common
