// Results through the host's contract: `ServiceResult.success(data=...)` and
// `ServiceResult.fail(code=ErrorCode.<X>, msg=... | message=...)`, both looked up as module
// globals when each result is made.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

enum class Code { INVALID_PARAMS, SERVICE_BUSY, SERVICE_TIMEOUT, IMAGE_GENERATE_FAIL, NO_IMAGE_RESULT };
// Which keyword carries a failure's text.
enum class MessageKey { msg, message };

rt::Ref success(const rt::CallFrame& frame, PyObject* data);
rt::Ref fail(const rt::CallFrame& frame, Code code);
rt::Ref fail(const rt::CallFrame& frame, Code code, MessageKey key, PyObject* text);

}  // namespace common
