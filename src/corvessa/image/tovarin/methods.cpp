#include "corvessa/image/tovarin/methods.hpp"

#include "corvessa/image/tovarin/params.hpp"

namespace tovarin {
namespace {

using rt::Kind;
using rt::Method;

constexpr const char init_doc[] =
    "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
    "            **kwargs:\n                model_tag: 模型标识标签，默认 GPT-IMAGE-2\n                logger: 自定义日志器\n        ";

constexpr const char start_doc[] =
    "\n\n        Args:\n"
    "            prompt:\n"
    "            aspect_ratio: 比例，比如：1:1\n"
    "            quality: low / medium / high / auto\n"
    "            image_size: 大小，1k, 2k, 4k\n"
    "            files:\n"
    "            **kwargs:\n\n"
    "        Returns:\n\n        ";

constexpr Method init_method{"__init__", params::init, true, nullptr, init_doc, Kind::instance, init};
constexpr Method generate_completions_method{
    "_generate_completions", params::generate_completions, true, "requests.Response", nullptr, Kind::instance,
    generate_completions};
constexpr Method generate_image_method{
    "generate_image", params::generate_image, true, "ServiceResult", nullptr, Kind::instance, generate_image};
constexpr Method start_method{"start", params::start, true, "ServiceResult", start_doc, Kind::instance, start};

constexpr const Method* methods[] = {&init_method, &generate_completions_method, &generate_image_method, &start_method};

}  // namespace

std::span<const rt::Method* const> client_methods() { return methods; }

}  // namespace tovarin
