// The body of both clients' `start` once their own checks have passed.
#pragma once

#include "corvessa/image/common/references.hpp"

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// Calls self.generate_image with the call's arguments and the gathered `images` (the list,
// or None when it is empty).
using GenerateWith = rt::Ref (*)(const rt::CallFrame& frame, PyObject* images);

// task_id and model_key = kwargs.get(...); then, guarded by the entry's catch-all, the
// reference images of `files` gathered by `rules` and handed to `generate`.
rt::Ref start_request(const rt::CallFrame& frame, PyObject* files, const ReferenceRules& rules, GenerateWith generate);

}  // namespace common
