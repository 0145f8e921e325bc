// TovarinClient.generate_image: the pixel size, the payload and the request, handed to the
// reply handling; a read time-out and any other exception mapped to a ServiceResult.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"
#include "corvessa/image/tovarin/reply.hpp"

#include "corvessa/image/common/handlers.hpp"
#include "corvessa/image/common/options.hpp"
#include "corvessa/image/common/record.hpp"
#include "corvessa/image/common/request.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace tovarin {

using common::CallContext;
using rt::Ref;

namespace {

using Args = rt::Args<params::generate_image>;

// "<width>x<height>" from the size calculator, or the ratio itself when it is empty or "auto".
Ref model_size(const CallContext& c, PyObject* aspect_ratio, PyObject* image_size) {
    if (PyUnicode_GET_LENGTH(aspect_ratio) == 0 || PyUnicode_Compare(aspect_ratio, constants.auto_size) == 0) {
        return Ref::borrow(aspect_ratio);
    }
    Ref calc_size = rt::global_attr(c.frame, constants.size_calculator, {constants.calc_size});
    Ref calc_dict =
        calc_size ? rt::call_kw(calc_size.get(), constants.kw_calc_size, aspect_ratio, image_size) : Ref{};
    if (!calc_dict || !common::log_record(c, common::after_tag(constants.size_record_suffix),
                                          {{.key = shared.aspect_ratio, .value = aspect_ratio},
                                           {.key = constants.calc_dict, .value = calc_dict.get()}})) {
        return {};
    }
    Ref width = Ref::steal(PyObject_GetItem(calc_dict.get(), constants.width));
    Ref width_text = width ? rt::text_form(width.get()) : Ref{};
    Ref height = width_text ? Ref::steal(PyObject_GetItem(calc_dict.get(), constants.height)) : Ref{};
    Ref height_text = height ? rt::text_form(height.get()) : Ref{};
    return height_text ? rt::join({width_text.get(), constants.size_separator, height_text.get()}) : Ref{};
}

Ref make_payload(const Args& a, PyObject* model, PyObject* response_format, PyObject* size) {
    Ref payload = rt::new_dict();
    if (!payload) return {};
    for (const common::Entry& entry : {common::Entry{.key = shared.model, .value = model},
                                       common::Entry{.key = constants.prompt, .value = a["prompt"]},
                                       common::Entry{.key = shared.response_format, .value = response_format},
                                       common::Entry{.key = shared.size, .value = size},
                                       common::Entry{.key = constants.quality, .value = a["quality"]},
                                       common::Entry{.key = constants.n, .value = constants.image_count}}) {
        if (!rt::put(payload.get(), entry.key, entry.value)) return {};
    }
    return payload;
}

// Sizes, builds and posts the request through self._generate_completions. Its size, payload
// and time-out belong to this scope: they are freed as soon as the response is back, before
// the reply is read, when a large reply needs the most memory.
Ref post_request(const CallContext& c, Ref& started) {
    Args a(c.frame);
    started = common::clock(c.frame);
    Ref model = started ? common::model_option(c.frame, constants.default_model) : Ref{};
    Ref response_format = model ? common::response_format_option(c.frame, constants.b64_json) : Ref{};
    Ref size = response_format ? model_size(c, a["aspect_ratio"], a["image_size"]) : Ref{};
    Ref payload = size ? make_payload(a, model.get(), response_format.get(), size.get()) : Ref{};
    Ref timeout = payload ? common::timeout_option(c.frame) : Ref{};
    return timeout ? rt::call_method_kw(a.self(), constants.generate_completions, constants.kw_completions_call,
                                        c.task_id, c.model_key, payload.get(), a["files"], timeout.get())
                   : Ref{};
}

// Everything that the two handlers guard: the request, then its reply.
Ref request(const CallContext& c) {
    Ref started;
    Ref response = post_request(c, started);
    return response ? handle_reply(c, response.get(), started.get()) : Ref{};
}

Ref report_warning(const CallContext& c, PyObject* exc) {
    if (!common::log_exception(c, exc, shared.warning_suffix)) return {};
    return common::fail(c.frame, common::Code::SERVICE_BUSY);
}

}  // namespace

Ref generate_image(const rt::CallFrame& frame) {
    Args a(frame);
    common::CallOptions options;
    if (!common::read_call_options(frame, common::Take::get, options)) return {};
    const CallContext c = options.context(frame);
    if (Ref result = request(c)) return result;
    return common::handle_request_failure(
        frame, [&] { return common::report_timeout(c); }, [&](PyObject* exc) { return report_warning(c, exc); });
}

}  // namespace tovarin
