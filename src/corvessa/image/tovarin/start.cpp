// TovarinClient.start: the call entry. Gathers the reference images as ("image", bytes)
// pairs and calls generate_image; any Exception on the way becomes SERVICE_BUSY with a record.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "corvessa/image/common/handlers.hpp"
#include "corvessa/image/common/options.hpp"
#include "corvessa/image/common/references.hpp"
#include "corvessa/image/common/start.hpp"

#include "runtime/call.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::start>;

// self.generate_image(prompt=, aspect_ratio=, quality=, image_size=, files=, **kwargs)
Ref generate(const Args& a, PyObject* images) {
    return rt::call_method_with_keywords(a.self(), shared.generate_image, constants.kw_generate_call,
                                         {a["prompt"], a["aspect_ratio"], a["quality"], a["image_size"], images},
                                         a.kwargs());
}

}  // namespace

Ref start(const rt::CallFrame& frame) {
    Args a(frame);
    common::CallOptions options;
    if (!common::read_call_options(frame, common::Take::get, options)) return {};
    // Each image becomes the multipart part ("image", bytes); `os` is the module global, looked
    // up at each path test.
    const common::ReferenceRules rules{.os = common::OsModule::module_global, .field = constants.image_field};
    Ref images = common::gather_references(frame, a["files"], rules);
    Ref result = images ? generate(a, common::images_or_none(images.get())) : Ref{};
    return result ? std::move(result) : common::entry_failure(options.context(frame));
}

}  // namespace tovarin
