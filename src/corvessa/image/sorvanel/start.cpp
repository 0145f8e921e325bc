// SorvanelClient.start: the call entry. Validates the ratio, gathers the reference images and
// calls generate_image; any Exception on the way becomes SERVICE_BUSY with a debug record.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/record.hpp"
#include "runtime/references.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

using rt::Ref;

namespace {

using Args = rt::Args<params::start>;

Ref image_itself(PyObject* image) { return Ref::borrow(image); }

Ref gather_and_generate(const rt::Call& call) {
    Args a(call);
    // `os` is imported when a path is first tested, not at module load.
    const rt::ReferenceRules rules{k.import, k.open, image_itself};
    Ref images = rt::gather_references(call, a["files"], rules);
    if (!images) return {};
    PyObject* image_list = PyList_GET_SIZE(images.get()) ? images.get() : Py_None;
    Ref generate = rt::attr(a.self(), k.generate_image);
    if (!generate) return {};
    return rt::call_with_keywords(generate.get(),
                                  {{k.prompt, a["prompt"]},
                                   {k.image_bytes_list, image_list},
                                   {k.aspect_ratio, a["aspect_ratio"]},
                                   {k.image_size, a["image_size"]},
                                   {k.model, a["model"]}},
                                  a.kwargs());
}

Ref report_warning(const rt::Call& call, PyObject* task_id, PyObject* model_key) {
    Ref exc = rt::take_raised();
    if (rt::matches(exc.get(), PyExc_Exception) <= 0) return rt::reraise(std::move(exc));
    rt::HandlingScope handling(exc.get());
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
    Ref suffix = name ? rt::join({k.space, name.get(), k.warning_suffix}) : Ref{};
    Ref traceback = suffix ? rt::global(call, k.traceback) : Ref{};
    Ref text = traceback ? rt::call_method(traceback.get(), k.format_exc) : Ref{};
    if (!text || !rt::log_record(call.args[0], rt::after_tag(suffix.get()), task_id, model_key,
                                 {{k.error, exc.get()}, {k.traceback_key, text.get()}})) {
        return {};
    }
    return rt::fail(call, rt::Code::SERVICE_BUSY);
}

}  // namespace

Ref start(const rt::Call& call) {
    Args a(call);
    Ref ratios = rt::global(call, k.supported_ratios);
    int supported = ratios ? PySequence_Contains(ratios.get(), a["aspect_ratio"]) : -1;
    if (supported < 0) return {};
    if (!supported) {
        Ref message = rt::prefixed(k.invalid_ratio, a["aspect_ratio"]);
        return message ? rt::fail(call, rt::Code::INVALID_PARAMS, rt::MessageKey::message, message.get()) : Ref{};
    }
    Ref task_id = rt::dict_get(a.kwargs(), k.task_id, Py_None);
    Ref model_key = task_id ? rt::dict_get(a.kwargs(), k.model_key, Py_None) : Ref{};
    if (!model_key) return {};
    Ref result = gather_and_generate(call);
    return result ? std::move(result) : report_warning(call, task_id.get(), model_key.get());
}

}  // namespace sorvanel
