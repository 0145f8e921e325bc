// TovarinClient.generate_image: the pixel size, the payload, the request, and the mapping of
// statuses, a read time-out and any other exception to a ServiceResult.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/handlers.hpp"
#include "runtime/record.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::generate_image>;

struct Context {
    const rt::Call& call;
    PyObject* task_id;
    PyObject* model_key;
};

// "<width>x<height>" from the size calculator, or the ratio itself when it is empty or "auto".
Ref model_size(const Context& c, PyObject* aspect_ratio, PyObject* image_size) {
    if (PyUnicode_GET_LENGTH(aspect_ratio) == 0 || PyUnicode_Compare(aspect_ratio, k.auto_size) == 0) {
        return Ref::borrow(aspect_ratio);
    }
    Ref calculator = rt::global(c.call, k.size_calculator);
    Ref calc_size = calculator ? rt::attr(calculator.get(), k.calc_size) : Ref{};
    Ref calc_dict = calc_size ? rt::call_kw(calc_size.get(), k.kw_calc_size, aspect_ratio, image_size) : Ref{};
    if (!calc_dict || !rt::log_record(c.call.args[0], rt::after_tag(k.space), c.task_id, c.model_key,
                                      {{k.aspect_ratio, aspect_ratio}, {k.calc_dict, calc_dict.get()}})) {
        return {};
    }
    Ref width = Ref::steal(PyObject_GetItem(calc_dict.get(), k.width));
    Ref width_text = width ? rt::text_form(width.get()) : Ref{};
    Ref height = width_text ? Ref::steal(PyObject_GetItem(calc_dict.get(), k.height)) : Ref{};
    Ref height_text = height ? rt::text_form(height.get()) : Ref{};
    return height_text ? rt::join({width_text.get(), k.x, height_text.get()}) : Ref{};
}

Ref make_payload(const Args& a, PyObject* size) {
    Ref model = rt::dict_get(a.kwargs(), k.model, k.default_model);
    Ref response_format = model ? rt::dict_get(a.kwargs(), k.response_format, k.b64_json) : Ref{};
    Ref payload = response_format ? Ref::steal(PyDict_New()) : Ref{};
    if (!payload) return {};
    for (auto [key, value] : {rt::Entry{k.model, model.get()}, rt::Entry{k.prompt, a["prompt"]},
                              rt::Entry{k.response_format, response_format.get()}, rt::Entry{k.size, size},
                              rt::Entry{k.quality, a["quality"]}, rt::Entry{k.n, k.one}}) {
        if (PyDict_SetItem(payload.get(), key, value) < 0) return {};
    }
    return payload;
}

Ref failed_reply(const Context& c, PyObject* response, PyObject* status) {
    Ref message = rt::prefixed(k.service_status, status);
    Ref error_dict;
    if (!message || !rt::read_error_body(response, error_dict, message) ||
        !rt::log_record(c.call.args[0], rt::after_tag(k.response_failed), c.task_id, c.model_key,
                        {{k.status_code, status}, {k.error_dict, error_dict.get()}})) {
        return {};
    }
    return rt::fail(c.call, rt::Code::IMAGE_GENERATE_FAIL, rt::MessageKey::msg, message.get());
}

Ref request(const Context& c) {
    Args a(c.call);
    Ref started = rt::clock(c.call);
    Ref size = started ? model_size(c, a["aspect_ratio"], a["image_size"]) : Ref{};
    Ref payload = size ? make_payload(a, size.get()) : Ref{};
    Ref timeout = payload ? rt::dict_get(a.kwargs(), k.timeout, Py_None) : Ref{};
    Ref response = timeout ? rt::call_method_kw(a.self(), k.generate_completions, k.kw_completions_call, c.task_id,
                                                c.model_key, payload.get(), a["files"], timeout.get())
                           : Ref{};
    // The request's objects are done with once it is sent: let them go before the reply is
    // parsed, when a large reply needs the most memory.
    payload.reset();
    size.reset();
    Ref status = response ? rt::attr(response.get(), k.status_code) : Ref{};
    Ref seconds = status ? rt::seconds_since(c.call, started.get()) : Ref{};
    if (!seconds || !rt::log_record(a.self(), rt::after_tag(k.api_complete), c.task_id, c.model_key,
                                    {{k.status_code, status.get()}, {k.total_second, seconds.get()}})) {
        return {};
    }
    int ok = rt::equals(status.get(), k.status_ok);
    if (ok <= 0) return ok < 0 ? Ref{} : failed_reply(c, response.get(), status.get());
    Ref reply = rt::call_method(response.get(), k.json);
    return reply ? decode_reply(c.call, reply.get(), c.task_id, c.model_key) : Ref{};
}

Ref report_timeout(const Context& c) {
    if (!rt::log_record(c.call.args[0], rt::plain(k.timed_out), c.task_id, c.model_key, {})) return {};
    return rt::fail(c.call, rt::Code::SERVICE_TIMEOUT);
}

Ref report_warning(const Context& c, PyObject* exc) {
    if (!rt::log_exception(c.call, exc, k.warning_suffix, c.task_id, c.model_key)) return {};
    return rt::fail(c.call, rt::Code::SERVICE_BUSY);
}

}  // namespace

Ref generate_image(const rt::Call& call) {
    Args a(call);
    Ref task_id = rt::dict_get(a.kwargs(), k.task_id, Py_None);
    Ref model_key = task_id ? rt::dict_get(a.kwargs(), k.model_key, Py_None) : Ref{};
    if (!model_key) return {};
    const Context c{call, task_id.get(), model_key.get()};
    if (Ref result = request(c)) return result;
    return rt::handle_request_failure(
        call, [&] { return report_timeout(c); }, [&](PyObject* exc) { return report_warning(c, exc); });
}

}  // namespace tovarin
