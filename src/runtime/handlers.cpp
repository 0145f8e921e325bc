#include "runtime/handlers.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/record.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace rt {
namespace {

struct HandlerNames {
    PyObject* requests;
    PyObject* exceptions;
    PyObject* read_timeout;
    PyObject* traceback;
    PyObject* format_exc;
    PyObject* space;
    PyObject* warning;
    PyObject* error;
    PyObject* traceback_key;
    PyObject* json;
    PyObject* get;
    PyObject* message;
};
HandlerNames names{};

}  // namespace

bool handler_names_ready() {
    if (names.requests) return true;
    names = {interned("requests"), interned("exceptions"), interned("ReadTimeout"), interned("traceback"),
             interned("format_exc"), interned(" "),        interned(" warning"),    interned("error"),
             interned("traceback"), interned("json"),      interned("get"),         interned("message")};
    return names.requests && names.exceptions && names.read_timeout && names.traceback && names.format_exc &&
           names.space && names.warning && names.error && names.traceback_key && names.json && names.get &&
           names.message;
}

Ref read_timeout_class(const Call& call) {
    Ref requests = global(call, names.requests);
    Ref exceptions = requests ? attr(requests.get(), names.exceptions) : Ref{};
    return exceptions ? attr(exceptions.get(), names.read_timeout) : Ref{};
}

Ref type_name(PyObject* exc) { return Ref::steal(PyType_GetName(Py_TYPE(exc))); }

bool log_exception(const Call& call, PyObject* exc, PyObject* suffix, PyObject* task_id, PyObject* model_key) {
    Ref name = type_name(exc);
    Ref text = name ? join({names.space, name.get(), suffix}) : Ref{};
    Ref traceback = text ? global(call, names.traceback) : Ref{};
    Ref trace = traceback ? call_method(traceback.get(), names.format_exc) : Ref{};
    return trace && log_record(call.args[0], after_tag(text.get()), task_id, model_key,
                               {{names.error, exc}, {names.traceback_key, trace.get()}});
}

Ref entry_failure(const Call& call, PyObject* task_id, PyObject* model_key) {
    note_frame(call);
    Ref exc = take_raised();
    if (matches(exc.get(), PyExc_Exception) <= 0) return reraise(std::move(exc));
    HandlingScope handling(exc.get());
    if (!log_exception(call, exc.get(), names.warning, task_id, model_key)) return {};
    return fail(call, Code::SERVICE_BUSY);
}

bool read_error_body(PyObject* response, Ref& error_dict, Ref& message) {
    Ref body = call_method(response, names.json);
    Ref empty = body ? Ref::steal(PyDict_New()) : Ref{};
    Ref error = empty ? call_method(body.get(), names.get, names.error, empty.get()) : Ref{};
    Ref text = error ? call_method(error.get(), names.get, names.message) : Ref{};
    if (text) {
        error_dict = std::move(body);
        message = std::move(text);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    error_dict = none();
    return true;
}

}  // namespace rt
