// TovarinClient's method declarations: signature, defaults, annotations, checks and docstring.
#include "corvessa/image/tovarin/methods.hpp"

#include "corvessa/image/tovarin/params.hpp"

#include "corvessa/image/common/client.hpp"

namespace tovarin {
namespace {

using rt::Method;
using rt::Varkw;

constexpr const char start_doc[] =
    "\n\n        Args:\n"
    "            prompt:\n"
    "            aspect_ratio: 比例，比如：1:1\n"
    "            quality: low / medium / high / auto\n"
    "            image_size: 大小，1k, 2k, 4k\n"
    "            files:\n"
    "            **kwargs:\n\n"
    "        Returns:\n\n        ";

constexpr Method init_method{.name = "__init__",
                             .params = common::init_params,
                             .varkw = Varkw::yes,
                             .doc = COMMON_INIT_DOC("GPT-IMAGE-2"),
                             .body = init};
constexpr Method generate_completions_method{.name = "_generate_completions",
                                             .params = params::generate_completions,
                                             .varkw = Varkw::yes,
                                             .returns = "requests.Response",
                                             .body = generate_completions};
constexpr Method generate_image_method{.name = "generate_image",
                                       .params = params::generate_image,
                                       .varkw = Varkw::yes,
                                       .returns = "ServiceResult",
                                       .body = generate_image};
constexpr Method start_method{.name = "start",
                              .params = params::start,
                              .varkw = Varkw::yes,
                              .returns = "ServiceResult",
                              .doc = start_doc,
                              .body = start};

constexpr const Method* methods[] = {&init_method, &generate_completions_method, &generate_image_method,
                                     &start_method};

}  // namespace

std::span<const rt::Method* const> client_methods() { return methods; }

}  // namespace tovarin
