// Reading the call's options from its **kwargs.
#include "corvessa/image/common/options.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"

namespace common {

using rt::Ref;

namespace {

Ref read(const rt::CallFrame& frame, Take take, PyObject* name) {
    return take == Take::pop ? rt::dict_pop(frame.kwargs, name) : rt::dict_get(frame.kwargs, name, Py_None);
}

}  // namespace

bool read_call_options(const rt::CallFrame& frame, Take take, CallOptions& options) {
    options.task_id = read(frame, take, constants.task_id);
    options.model_key = options.task_id ? read(frame, take, constants.model_key) : Ref{};
    return static_cast<bool>(options.model_key);
}

Ref timeout_option(const rt::CallFrame& frame) { return rt::dict_get(frame.kwargs, constants.timeout, Py_None); }

Ref request_timeout(const rt::CallFrame& frame) {
    Ref timeout = timeout_option(frame);
    int given = timeout ? rt::truth(timeout.get()) : -1;
    if (given != 0) return given > 0 ? std::move(timeout) : Ref{};
    Ref client = rt::global(frame, constants.http_client);
    return client ? rt::attr(client.get(), constants.base_timeout) : Ref{};
}

Ref model_option(const rt::CallFrame& frame, PyObject* fallback) {
    return rt::dict_get(frame.kwargs, constants.model, fallback);
}

Ref response_format_option(const rt::CallFrame& frame, PyObject* fallback) {
    return rt::dict_get(frame.kwargs, constants.response_format, fallback);
}

}  // namespace common
