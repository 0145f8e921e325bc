#include "corvessa/image/sorvanel/methods.hpp"

#include "corvessa/image/sorvanel/params.hpp"

namespace sorvanel {
namespace {

using rt::Kind;
using rt::Method;

constexpr const char init_doc[] =
    "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
    "            **kwargs:\n                model_tag: 模型标识标签，默认 SORVANEL\n                logger: 自定义日志器\n        ";

constexpr const char extract_file_uris_doc[] =
    "\n        从 Gemini 响应中提取 fileUri 列表和 responseId。\n\n        Returns:\n"
    "            (image_urls, response_id)\n        ";

constexpr const char generate_image_doc[] =
    "\n        调用 Gemini Image 生成图片\n\n        Returns:\n            ServiceResult: 成功时 data 为图像 bytes\n        ";

constexpr const char start_doc[] =
    "\n        调用入口\n\n        Args:\n"
    "            prompt: 图像生成描述\n"
    "            aspect_ratio: 比例，默认 2:3, 可选 1:1 / 2:3 / 3:2 / 3:4 / 4:3 / 4:5 / 5:4 / 9:16 / 16:9 / 21:9\n"
    "            image_size: 大小, 1K / 2K / 4K, 默认 1K\n"
    "            model: 模型名称，默认 gemini-3-pro-image-preview, 可选 gemini-3.1-flash-image-preview, "
    "gemini-2.5-flash-image\n"
    "            files: 参考图片，支持 HTTP 链接 / 本地路径 / bytes / 混合列表\n"
    "            **kwargs:\n"
    "                task_id: 任务 ID\n"
    "                model_key: 模型 Key\n"
    "                timeout: 超时时间\n\n"
    "        Returns:\n            ServiceResult\n        ";

constexpr Method init_method{
    "__init__", params::init, true, nullptr, init_doc, Kind::instance, init};
constexpr Method detect_mime_type_method{
    "_detect_mime_type", params::detect_mime_type, false, "str", "根据图片字节头自动检测 MIME 类型",
    Kind::static_method, detect_mime_type};
constexpr Method bytes_to_part_method{
    "_bytes_to_part", params::bytes_to_part, false, "Dict[str, Any]", "\n        图片bytes转Gemini格式\n        ",
    Kind::static_method, bytes_to_part};
constexpr Method build_parts_method{
    "_build_parts", params::build_parts, false, "List[Dict[str, Any]]", "\n        构建 Gemini parts\n        ",
    Kind::instance, build_parts};
constexpr Method build_body_data_method{
    "_build_body_data", params::build_body_data, false, "dict", "构建 Gemini API 请求体", Kind::instance,
    build_body_data};
constexpr Method extract_file_uris_method{
    "_extract_file_uris", params::extract_file_uris, false, "tuple", extract_file_uris_doc, Kind::static_method,
    extract_file_uris};
constexpr Method generate_image_method{
    "generate_image", params::generate_image, true, "ServiceResult", generate_image_doc, Kind::instance,
    generate_image};
constexpr Method start_method{
    "start", params::start, true, "ServiceResult", start_doc, Kind::instance, start};

constexpr const Method* methods[] = {
    &init_method,     &detect_mime_type_method, &bytes_to_part_method,  &build_parts_method,
    &build_body_data_method, &extract_file_uris_method, &generate_image_method, &start_method,
};

}  // namespace

std::span<const rt::Method* const> client_methods() { return methods; }

}  // namespace sorvanel
