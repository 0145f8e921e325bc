// The `except` clauses both clients share, and the exception record.
#include "corvessa/image/common/handlers.hpp"

#include "corvessa/image/common/constants.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace common {

using rt::Ref;

Ref read_timeout_class(const rt::CallFrame& frame) {
    return rt::global_attr(frame, constants.requests, {constants.exceptions, constants.ReadTimeout});
}

Ref type_name(PyObject* exc) { return Ref::steal(PyType_GetName(Py_TYPE(exc))); }

bool log_exception(const CallContext& context, PyObject* exc, PyObject* suffix) {
    Ref name = type_name(exc);
    Ref text = name ? rt::join({constants.before_type_name, name.get(), suffix}) : Ref{};
    Ref traceback = text ? rt::global(context.frame, constants.traceback) : Ref{};
    Ref trace = traceback ? rt::call_method(traceback.get(), constants.format_exc) : Ref{};
    return trace && log_record(context, after_tag(text.get()),
                               {{.key = constants.error, .value = exc},
                                {.key = constants.traceback, .value = trace.get()}});
}

Ref entry_failure(const CallContext& context) {
    rt::add_frame_to_traceback(context.frame);
    Ref exc = rt::take_raised();
    if (rt::matches(exc.get(), PyExc_Exception) <= 0) return rt::reraise(std::move(exc));
    rt::HandlingScope handling(exc.get());
    if (!log_exception(context, exc.get(), constants.warning_suffix)) return {};
    return fail(context.frame, Code::SERVICE_BUSY);
}

}  // namespace common
