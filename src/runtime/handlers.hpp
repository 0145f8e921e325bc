// The clients' shared failure handling: the two `except` clauses around a request
// (`requests.exceptions.ReadTimeout`, then `Exception`), the catch-all of a call entry, the
// exception record, and the reading of a service's error body.
#pragma once

#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace rt {

bool handler_names_ready();

// requests.exceptions.ReadTimeout, looked up through the module's `requests` global.
Ref read_timeout_class(const Call& call);

// {"msg": tag + " " + type name + suffix, "task_id", "model_key", "error": exc,
//  "traceback": traceback.format_exc()} to self.logger.debug, while exc is being handled.
bool log_exception(const Call& call, PyObject* exc, PyObject* suffix, PyObject* task_id, PyObject* model_key);

// type(exc).__name__
Ref type_name(PyObject* exc);

// With an exception raised: `except requests.exceptions.ReadTimeout: on_timeout()` then
// `except Exception as e: on_exception(e)`; anything else stays raised, untouched. The
// exception is the one being handled while the class is looked up and while a handler runs.
template <class OnTimeout, class OnException>
Ref handle_request_failure(const Call& call, OnTimeout&& on_timeout, OnException&& on_exception) {
    note_frame(call);
    Ref exc = take_raised();
    HandlingScope handling(exc.get());
    Ref read_timeout = read_timeout_class(call);
    int timed_out = read_timeout ? matches(exc.get(), read_timeout.get()) : -1;
    if (timed_out < 0) return {};
    if (timed_out) return on_timeout();
    if (matches(exc.get(), PyExc_Exception) > 0) return on_exception(exc.get());
    return reraise(std::move(exc));
}

// With an exception raised inside a call entry: an Exception is logged as
// "<tag> <Type> warning" and answered with SERVICE_BUSY; anything else stays raised.
Ref entry_failure(const Call& call, PyObject* task_id, PyObject* model_key);

// error_dict = response.json(); message = error_dict.get("error", {}).get("message").
// When either step raises an Exception, error_dict is None and message stays as it was.
bool read_error_body(PyObject* response, Ref& error_dict, Ref& message);

}  // namespace rt
