// Bearer header, service URL, the JSON post, refused replies and the time-out report, shared
// by both clients.
#include "corvessa/image/common/request.hpp"

#include "corvessa/image/common/constants.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace common {

using rt::Ref;

Ref bearer_headers(PyObject* self, PyObject* token_attribute) {
    Ref token = rt::attr(self, token_attribute);
    Ref bearer = token ? rt::prefixed(constants.bearer, token.get()) : Ref{};
    Ref headers = bearer ? rt::new_dict() : Ref{};
    if (!headers || !rt::put(headers.get(), constants.authorization, bearer.get())) return {};
    return headers;
}

bool add_json_content_type(PyObject* headers) {
    return rt::put(headers, constants.content_type, constants.application_json);
}

Ref service_url(PyObject* self, std::initializer_list<PyObject*> tail) {
    Ref base = rt::attr(self, constants.base_url);
    Ref url = base ? rt::text_form(base.get()) : Ref{};
    for (PyObject* piece : tail) {
        Ref text = url ? rt::text_form(piece) : Ref{};
        url = text ? Ref::steal(PyUnicode_Concat(url.get(), text.get())) : Ref{};
    }
    return url;
}

Ref post_json(const rt::CallFrame& frame, PyObject* url, PyObject* headers, PyObject* body, PyObject* timeout) {
    Ref client = rt::global(frame, constants.http_client);
    return client ? rt::call_method_kw(client.get(), constants.post, {url}, constants.kw_post_json, headers, body,
                                       timeout)
                  : Ref{};
}

bool read_refusal(PyObject* response, PyObject* status, Ref& message, Ref& error_dict) {
    message = rt::prefixed(constants.service_status, status);
    if (!message) return false;
    Ref body = rt::call_method(response, constants.json);
    Ref empty = body ? rt::new_dict() : Ref{};
    Ref error = empty ? rt::call_method(body.get(), constants.get, constants.error, empty.get()) : Ref{};
    Ref text = error ? rt::call_method(error.get(), constants.get, constants.message) : Ref{};
    if (text) {
        error_dict = std::move(body);
        message = std::move(text);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    error_dict = rt::none();
    return true;
}

Ref report_timeout(const CallContext& context) {
    if (!log_record(context, plain(constants.timed_out), {})) return {};
    return fail(context.frame, Code::SERVICE_TIMEOUT);
}

}  // namespace common
