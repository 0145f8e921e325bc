// SorvanelClient.generate_image: validates model and ratio, posts the request, hands the
// response to the reply handling, and maps a read time-out and any other exception to a
// ServiceResult.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"
#include "corvessa/image/sorvanel/reply.hpp"
#include "corvessa/image/sorvanel/validation.hpp"

#include "corvessa/image/common/handlers.hpp"
#include "corvessa/image/common/options.hpp"
#include "corvessa/image/common/record.hpp"
#include "corvessa/image/common/request.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"

namespace sorvanel {

using common::CallContext;
using rt::Ref;

namespace {

using Args = rt::Args<params::generate_image>;

Ref json_headers(PyObject* self) {
    Ref headers = common::bearer_headers(self, constants.api_key);
    return headers && common::add_json_content_type(headers.get()) ? std::move(headers) : Ref{};
}

Ref image_count(PyObject* images) {
    return Ref::steal(PyLong_FromSsize_t(images == Py_None ? 0 : PyList_GET_SIZE(images)));
}

bool log_request(const CallContext& c, const Args& a, PyObject* url) {
    Ref count = image_count(a["image_bytes_list"]);
    return count && common::log_record(c, common::after_tag(shared.request_api),
                                       {{.key = constants.model_name, .value = a["model"]},
                                        {.key = constants.img_count, .value = count.get()},
                                        {.key = shared.url, .value = url},
                                        {.key = shared.aspect_ratio, .value = a["aspect_ratio"]},
                                        {.key = constants.image_size, .value = a["image_size"]}});
}

// Builds and posts the request. Its body, headers and URL belong to this scope: they are freed
// as soon as http_client.post returns, before the reply is read, when a large reply needs the
// most memory.
Ref post_request(const CallContext& c, PyObject* timeout, Ref& started) {
    Args a(c.frame);
    Ref body = rt::call_method_kw(a.self(), constants.build_body_data, constants.kw_body_call,
                                  a["image_bytes_list"], a["prompt"], a["aspect_ratio"], a["image_size"]);
    Ref headers = body ? json_headers(a.self()) : Ref{};
    Ref url = headers
                  ? common::service_url(a.self(), {constants.models_path, a["model"], constants.generate_content})
                  : Ref{};
    if (!url || !log_request(c, a, url.get())) return {};
    started = common::clock(c.frame);
    return started ? common::post_json(c.frame, url.get(), headers.get(), body.get(), timeout) : Ref{};
}

// Everything that the two handlers guard: the request, then its reply.
Ref request(const CallContext& c, PyObject* timeout) {
    Ref started;
    Ref response = post_request(c, timeout, started);
    return response ? handle_reply(c, response.get(), started.get()) : Ref{};
}

Ref report_error(const CallContext& c, PyObject* exc) {
    if (!common::log_exception(c, exc, constants.error_suffix)) return {};
    Ref name = common::type_name(exc);
    Ref message = name ? Ref::steal(PyUnicode_Concat(name.get(), constants.error_suffix)) : Ref{};
    return message ? common::fail(c.frame, common::Code::SERVICE_BUSY, common::MessageKey::msg, message.get())
                   : Ref{};
}

}  // namespace

Ref generate_image(const rt::CallFrame& frame) {
    Args a(frame);
    int model_ok = supported(frame, constants.supported_models, a["model"]);
    if (model_ok <= 0) return model_ok < 0 ? Ref{} : refuse(frame, constants.invalid_model, a["model"]);
    int ratio_ok = supported(frame, constants.supported_ratios, a["aspect_ratio"]);
    if (ratio_ok <= 0) return ratio_ok < 0 ? Ref{} : refuse(frame, constants.invalid_ratio, a["aspect_ratio"]);
    // task_id and model_key are taken out of kwargs; the time-out is only read.
    common::CallOptions options;
    if (!common::read_call_options(frame, common::Take::pop, options)) return {};
    Ref timeout = common::request_timeout(frame);
    if (!timeout) return {};
    const CallContext c = options.context(frame);
    if (Ref result = request(c, timeout.get())) return result;
    return common::handle_request_failure(
        frame, [&] { return common::report_timeout(c); }, [&](PyObject* exc) { return report_error(c, exc); });
}

}  // namespace sorvanel
