// SorvanelClient.start: the call entry. Validates the ratio, then gathers the reference images
// and calls generate_image; any Exception on the way becomes SERVICE_BUSY with a debug record.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"
#include "corvessa/image/sorvanel/validation.hpp"

#include "corvessa/image/common/handlers.hpp"
#include "corvessa/image/common/options.hpp"
#include "corvessa/image/common/references.hpp"
#include "corvessa/image/common/start.hpp"

#include "runtime/call.hpp"

namespace sorvanel {

using rt::Ref;

namespace {

using Args = rt::Args<params::start>;

// Gemini takes each reference image as it is; `os` is imported when a path is first tested,
// not at module load.
constexpr common::ReferenceRules reference_rules{.os = common::OsModule::imported_in_call};

// self.generate_image(prompt=, image_bytes_list=, aspect_ratio=, image_size=, model=, **kwargs)
Ref generate(const Args& a, PyObject* images) {
    return rt::call_method_with_keywords(a.self(), shared.generate_image, constants.kw_generate_call,
                                         {a["prompt"], images, a["aspect_ratio"], a["image_size"], a["model"]},
                                         a.kwargs());
}

}  // namespace

Ref start(const rt::CallFrame& frame) {
    Args a(frame);
    int ratio_ok = supported(frame, constants.supported_ratios, a["aspect_ratio"]);
    if (ratio_ok <= 0) return ratio_ok < 0 ? Ref{} : refuse(frame, constants.invalid_ratio, a["aspect_ratio"]);
    common::CallOptions options;
    if (!common::read_call_options(frame, common::Take::get, options)) return {};
    Ref images = common::gather_references(frame, a["files"], reference_rules);
    Ref result = images ? generate(a, common::images_or_none(images.get())) : Ref{};
    return result ? std::move(result) : common::entry_failure(options.context(frame));
}

}  // namespace sorvanel
