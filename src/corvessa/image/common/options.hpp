// The options a call reads from its **kwargs, in one home: their names, their fallbacks, and
// whether a body reads them (kwargs.get, left for the call it makes next) or takes them out
// (kwargs.pop). Each body calls one of these at the point where its Python reads the option.
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <cstdint>

namespace common {

// Who a call is for: task_id and model_key, None when absent, carried by every record.
struct CallOptions {
    rt::Ref task_id;
    rt::Ref model_key;

    CallContext context(const rt::CallFrame& frame) const {
        return {.frame = frame, .task_id = task_id.get(), .model_key = model_key.get()};
    }
};

// `get` reads an option and leaves it in kwargs; `pop` takes it out, so that the call the body
// makes next does not receive it.
enum class Take : std::uint8_t { get, pop };

// task_id, then model_key. False with an error set.
bool read_call_options(const rt::CallFrame& frame, Take take, CallOptions& options);

// kwargs.get("timeout"): None when absent.
rt::Ref timeout_option(const rt::CallFrame& frame);

// The request time-out: kwargs.get("timeout") when it is true, else http_client.base_timeout.
rt::Ref request_timeout(const rt::CallFrame& frame);

// kwargs.get("model", fallback)
rt::Ref model_option(const rt::CallFrame& frame, PyObject* fallback);

// kwargs.get("response_format", fallback): the reply format the request asks for.
rt::Ref response_format_option(const rt::CallFrame& frame, PyObject* fallback);

}  // namespace common
