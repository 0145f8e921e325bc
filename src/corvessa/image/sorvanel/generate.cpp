// SorvanelClient.generate_image: validates model and ratio, posts the request, maps the
// status, a read time-out and any other exception to a ServiceResult.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/handlers.hpp"
#include "runtime/record.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

using rt::Ref;

namespace {

using Args = rt::Args<params::generate_image>;

// The per-call options taken out of kwargs.
struct Options {
    Ref task_id;
    Ref model_key;
    Ref timeout;
};

bool take_options(const rt::Call& call, PyObject* kwargs, Options& options) {
    options.task_id = rt::dict_pop(kwargs, k.task_id);
    options.model_key = options.task_id ? rt::dict_pop(kwargs, k.model_key) : Ref{};
    options.timeout = options.model_key ? rt::dict_get(kwargs, k.timeout, Py_None) : Ref{};
    if (!options.timeout) return false;
    int given = rt::truth(options.timeout.get());
    if (given != 0) return given > 0;
    Ref client = rt::global(call, k.http_client);
    options.timeout = client ? rt::attr(client.get(), k.base_timeout) : Ref{};
    return static_cast<bool>(options.timeout);
}

Ref headers_for(PyObject* self) {
    Ref key = rt::attr(self, k.api_key);
    Ref bearer = key ? rt::prefixed(k.bearer, key.get()) : Ref{};
    Ref headers = bearer ? Ref::steal(PyDict_New()) : Ref{};
    if (!headers || PyDict_SetItem(headers.get(), k.authorization, bearer.get()) < 0 ||
        PyDict_SetItem(headers.get(), k.content_type, k.application_json) < 0) {
        return {};
    }
    return headers;
}

Ref url_for(PyObject* self, PyObject* model) {
    Ref base = rt::attr(self, k.base_url);
    Ref base_text = base ? rt::text_form(base.get()) : Ref{};
    Ref model_text = base_text ? rt::text_form(model) : Ref{};
    return model_text ? rt::join({base_text.get(), k.models_path, model_text.get(), k.generate_content}) : Ref{};
}

Ref image_count(PyObject* images) {
    if (images == Py_None || PyList_GET_SIZE(images) == 0) return Ref::borrow(k.zero);
    return Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(images)));
}

bool log_request(const Args& a, const Options& o, PyObject* url) {
    Ref count = image_count(a["image_bytes_list"]);
    return count && rt::log_record(a.self(), rt::after_tag(k.request_api), o.task_id.get(), o.model_key.get(),
                                   {{k.model_name, a["model"]},
                                    {k.img_count, count.get()},
                                    {k.url, url},
                                    {k.aspect_ratio, a["aspect_ratio"]},
                                    {k.image_size, a["image_size"]}});
}

Ref failed_reply(const rt::Call& call, const Options& o, PyObject* response, PyObject* status, PyObject* started) {
    Ref message = rt::prefixed(k.service_status, status);
    Ref error_dict;
    if (!message || !rt::read_error_body(response, error_dict, message)) return {};
    Ref seconds = rt::seconds_since(call, started);
    if (!seconds || !rt::log_record(call.args[0], rt::after_tag(k.complete_fail), o.task_id.get(), o.model_key.get(),
                                    {{k.status_code, status}, {k.second, seconds.get()}, {k.error_dict, error_dict.get()}})) {
        return {};
    }
    int busy = rt::equals(status, k.status_busy);
    if (busy < 0) return {};
    return rt::fail(call, busy ? rt::Code::SERVICE_BUSY : rt::Code::IMAGE_GENERATE_FAIL, rt::MessageKey::msg,
                    message.get());
}

Ref succeeded_reply(const rt::Call& call, const Options& o, PyObject* response, PyObject* started) {
    Ref reply = rt::call_method(response, k.json);
    Ref seconds = reply ? rt::seconds_since(call, started) : Ref{};
    if (!seconds || !rt::log_record(call.args[0], rt::after_tag(k.complete_successfully), o.task_id.get(),
                                    o.model_key.get(), {{k.second, seconds.get()}})) {
        return {};
    }
    return decode_reply(call, reply.get(), o.task_id.get(), o.model_key.get());
}

// Everything that the two handlers guard: body, headers, URL, request, status handling.
Ref request(const rt::Call& call, const Options& o) {
    Args a(call);
    Ref body = rt::call_method_kw(a.self(), k.build_body_data, k.kw_body_call, a["image_bytes_list"], a["prompt"],
                                  a["aspect_ratio"], a["image_size"]);
    Ref headers = body ? headers_for(a.self()) : Ref{};
    Ref url = headers ? url_for(a.self(), a["model"]) : Ref{};
    if (!url || !log_request(a, o, url.get())) return {};
    Ref started = rt::clock(call);
    Ref client = started ? rt::global(call, k.http_client) : Ref{};
    Ref response = client ? rt::call_method_kw(client.get(), k.post, k.kw_post_json, url.get(), headers.get(),
                                               body.get(), o.timeout.get())
                          : Ref{};
    // The request's objects are done with once it is sent: let them go before the reply is
    // parsed, when a large reply needs the most memory.
    body.reset();
    headers.reset();
    url.reset();
    Ref status = response ? rt::attr(response.get(), k.status_code) : Ref{};
    int ok = status ? rt::equals(status.get(), k.status_ok) : -1;
    if (ok < 0) return {};
    return ok ? succeeded_reply(call, o, response.get(), started.get())
              : failed_reply(call, o, response.get(), status.get(), started.get());
}

Ref report_timeout(const rt::Call& call, const Options& o) {
    if (!rt::log_record(call.args[0], rt::plain(k.timed_out), o.task_id.get(), o.model_key.get(), {})) return {};
    return rt::fail(call, rt::Code::SERVICE_TIMEOUT);
}

Ref report_error(const rt::Call& call, const Options& o, PyObject* exc) {
    if (!rt::log_exception(call, exc, k.error_suffix, o.task_id.get(), o.model_key.get())) return {};
    Ref name = rt::type_name(exc);
    Ref message = name ? rt::join({name.get(), k.error_suffix}) : Ref{};
    return message ? rt::fail(call, rt::Code::SERVICE_BUSY, rt::MessageKey::msg, message.get()) : Ref{};
}

}  // namespace

Ref generate_image(const rt::Call& call) {
    Args a(call);
    int model_ok = supported(call, k.supported_models, a["model"]);
    if (model_ok <= 0) return model_ok < 0 ? Ref{} : refuse(call, k.invalid_model, a["model"]);
    int ratio_ok = supported(call, k.supported_ratios, a["aspect_ratio"]);
    if (ratio_ok <= 0) return ratio_ok < 0 ? Ref{} : refuse(call, k.invalid_ratio, a["aspect_ratio"]);
    Options options;
    if (!take_options(call, a.kwargs(), options)) return {};
    if (Ref result = request(call, options)) return result;
    return rt::handle_request_failure(
        call, [&] { return report_timeout(call, options); },
        [&](PyObject* exc) { return report_error(call, options, exc); });
}

}  // namespace sorvanel
