// SorvanelClient.start: the call entry. Validates the ratio, gathers the reference images and
// calls generate_image; any Exception on the way becomes SERVICE_BUSY with a debug record.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/handlers.hpp"
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
    return rt::call_method_with_keywords(a.self(), k.generate_image, k.kw_generate_call,
                                         {a["prompt"], image_list, a["aspect_ratio"], a["image_size"], a["model"]},
                                         a.kwargs());
}

}  // namespace

Ref start(const rt::Call& call) {
    Args a(call);
    int ratio_ok = supported(call, k.supported_ratios, a["aspect_ratio"]);
    if (ratio_ok <= 0) return ratio_ok < 0 ? Ref{} : refuse(call, k.invalid_ratio, a["aspect_ratio"]);
    Ref task_id = rt::dict_get(a.kwargs(), k.task_id, Py_None);
    Ref model_key = task_id ? rt::dict_get(a.kwargs(), k.model_key, Py_None) : Ref{};
    if (!model_key) return {};
    if (Ref result = gather_and_generate(call)) return result;
    return rt::entry_failure(call, task_id.get(), model_key.get());
}

}  // namespace sorvanel
