// TovarinClient.start: the call entry. Gathers the reference images as ("image", bytes)
// pairs and calls generate_image; any Exception on the way becomes SERVICE_BUSY with a record.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "runtime/call.hpp"
#include "runtime/handlers.hpp"
#include "runtime/references.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::start>;

// One multipart file part: the form field "image" and the image bytes.
Ref image_field(PyObject* image) { return Ref::steal(PyTuple_Pack(2, k.image, image)); }

Ref gather_and_generate(const rt::Call& call) {
    Args a(call);
    // `os` is this module's global, looked up at each path test.
    const rt::ReferenceRules rules{nullptr, k.open, image_field};
    Ref images = rt::gather_references(call, a["files"], rules);
    if (!images) return {};
    PyObject* files = PyList_GET_SIZE(images.get()) ? images.get() : Py_None;
    return rt::call_method_with_keywords(a.self(), k.generate_image, k.kw_generate_call,
                                         {a["prompt"], a["aspect_ratio"], a["quality"], a["image_size"], files},
                                         a.kwargs());
}

}  // namespace

Ref start(const rt::Call& call) {
    Args a(call);
    Ref task_id = rt::dict_get(a.kwargs(), k.task_id, Py_None);
    Ref model_key = task_id ? rt::dict_get(a.kwargs(), k.model_key, Py_None) : Ref{};
    if (!model_key) return {};
    if (Ref result = gather_and_generate(call)) return result;
    return rt::entry_failure(call, task_id.get(), model_key.get());
}

}  // namespace tovarin
