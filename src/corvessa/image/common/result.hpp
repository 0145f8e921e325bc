// Results through the host's contract: `ServiceResult.success(data=...)` and
// `ServiceResult.fail(code=ErrorCode.<X>, msg=... | message=...)`, both looked up as module
// globals when each result is made.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

// The members of ErrorCode that the clients answer with: the one list of codes, from which
// `Code` and the interned member names of the shared constants are both made.
#define COMMON_ERROR_CODES(X)                 \
    COMMON_ERROR_CODE(X, INVALID_PARAMS)      \
    COMMON_ERROR_CODE(X, SERVICE_BUSY)        \
    COMMON_ERROR_CODE(X, SERVICE_TIMEOUT)     \
    COMMON_ERROR_CODE(X, IMAGE_GENERATE_FAIL) \
    COMMON_ERROR_CODE(X, NO_IMAGE_RESULT)
// One code as an entry of a constants list: its name, and the member name as a text.
#define COMMON_ERROR_CODE(X, code) X(code, rt::text(#code))

namespace common {

#define COMMON_CODE_ENUMERATOR(code, recipe) code,
enum class Code { COMMON_ERROR_CODES(COMMON_CODE_ENUMERATOR) };
#undef COMMON_CODE_ENUMERATOR

// Which keyword carries a failure's text.
enum class MessageKey { msg, message };

rt::Ref success(const rt::CallFrame& frame, PyObject* data);
rt::Ref fail(const rt::CallFrame& frame, Code code);
rt::Ref fail(const rt::CallFrame& frame, Code code, MessageKey key, PyObject* text);

}  // namespace common
