// Base64 of images through the module's `base64` global (copy-free while it is the standard one).
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// base64.b64encode(image).decode("utf-8")
rt::Ref encode_base64(const rt::CallFrame& frame, PyObject* image);

// base64.b64decode(text)
rt::Ref decode_base64(const rt::CallFrame& frame, PyObject* text);

}  // namespace common
