// The clients' failure handling: the two `except` clauses around a request
// (`requests.exceptions.ReadTimeout`, then `Exception`), the catch-all of a call entry, and
// the exception record.
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/errors.hpp"
#include "runtime/params.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace common {

// requests.exceptions.ReadTimeout, looked up through the module's `requests` global.
rt::Ref read_timeout_class(const rt::CallFrame& frame);

// {"msg": tag + " " + type name + suffix, "task_id", "model_key", "error": exc,
//  "traceback": traceback.format_exc()} to self.logger.debug, while exc is being handled.
bool log_exception(const CallContext& context, PyObject* exc, PyObject* suffix);

// type(exc).__name__
rt::Ref type_name(PyObject* exc);

// With an exception raised: `except requests.exceptions.ReadTimeout: on_timeout()` then
// `except Exception as e: on_exception(e)`; anything else stays raised, untouched. The
// exception is the one being handled while the class is looked up and while a handler runs.
template <class OnTimeout, class OnException>
rt::Ref handle_request_failure(const rt::CallFrame& frame, OnTimeout&& on_timeout, OnException&& on_exception) {
    rt::add_frame_to_traceback(frame);
    rt::Ref exc = rt::take_raised();
    rt::HandlingScope handling(exc.get());
    rt::Ref read_timeout = read_timeout_class(frame);
    int timed_out = read_timeout ? rt::matches(exc.get(), read_timeout.get()) : -1;
    if (timed_out < 0) return {};
    if (timed_out) return on_timeout();
    if (rt::matches(exc.get(), PyExc_Exception) > 0) return on_exception(exc.get());
    return rt::reraise(std::move(exc));
}

// With an exception raised inside a call entry: an Exception is logged as
// "<tag> <Type> warning" and answered with SERVICE_BUSY; anything else stays raised.
rt::Ref entry_failure(const CallContext& context);

}  // namespace common
