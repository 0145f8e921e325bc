// Results through the host's contract: `ServiceResult.success(data=...)` and
// `ServiceResult.fail(code=ErrorCode.<X>, msg=... | message=...)`, both looked up as module
// globals when each result is made.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace rt {

enum class Code { INVALID_PARAMS, SERVICE_BUSY, SERVICE_TIMEOUT, IMAGE_GENERATE_FAIL, NO_IMAGE_RESULT };
enum class MessageKey { msg, message };

bool result_names_ready();

Ref success(const Call& call, PyObject* data);
Ref fail(const Call& call, Code code);
Ref fail(const Call& call, Code code, MessageKey key, PyObject* text);

}  // namespace rt
