// TovarinClient.start: the call entry. Gathers the reference images as ("image", bytes)
// pairs and calls generate_image; any Exception on the way becomes SERVICE_BUSY with a record.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "corvessa/image/common/start.hpp"

#include "runtime/call.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::start>;

// One multipart file part: the form field "image" and the image bytes.
Ref image_field(PyObject* image) { return Ref::steal(PyTuple_Pack(2, constants.image_field, image)); }

// `os` is this module's global, looked up at each path test.
constexpr common::ReferenceRules reference_rules{.os = common::OsModule::module_global, .element = image_field};

// self.generate_image(prompt=, aspect_ratio=, quality=, image_size=, files=, **kwargs)
Ref generate_with(const rt::CallFrame& frame, PyObject* images) {
    Args a(frame);
    return rt::call_method_with_keywords(a.self(), shared.generate_image, constants.kw_generate_call,
                                         {a["prompt"], a["aspect_ratio"], a["quality"], a["image_size"], images},
                                         a.kwargs());
}

}  // namespace

Ref start(const rt::CallFrame& frame) {
    Args a(frame);
    return common::start_request(frame, a["files"], reference_rules, generate_with);
}

}  // namespace tovarin
