// SorvanelClient's method declarations: signature, defaults, annotations, checks and docstring.
#include "corvessa/image/sorvanel/methods.hpp"

#include "corvessa/image/sorvanel/params.hpp"

#include "corvessa/image/common/client.hpp"

namespace sorvanel {
namespace {

using rt::Kind;
using rt::Method;
using rt::Varkw;

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

constexpr Method init_method{.name = "__init__",
                             .params = common::init_params,
                             .varkw = Varkw::yes,
                             .doc = COMMON_INIT_DOC("SORVANEL"),
                             .body = init};
constexpr Method detect_mime_type_method{.name = "_detect_mime_type",
                                         .params = params::detect_mime_type,
                                         .returns = "str",
                                         .doc = "根据图片字节头自动检测 MIME 类型",
                                         .kind = Kind::static_method,
                                         .body = detect_mime_type};
constexpr Method bytes_to_part_method{.name = "_bytes_to_part",
                                      .params = params::bytes_to_part,
                                      .returns = "Dict[str, Any]",
                                      .doc = "\n        图片bytes转Gemini格式\n        ",
                                      .kind = Kind::static_method,
                                      .body = bytes_to_part};
constexpr Method build_parts_method{.name = "_build_parts",
                                    .params = params::build_parts,
                                    .returns = "List[Dict[str, Any]]",
                                    .doc = "\n        构建 Gemini parts\n        ",
                                    .body = build_parts};
constexpr Method build_body_data_method{.name = "_build_body_data",
                                        .params = params::build_body_data,
                                        .returns = "dict",
                                        .doc = "构建 Gemini API 请求体",
                                        .body = build_body_data};
constexpr Method extract_file_uris_method{.name = "_extract_file_uris",
                                          .params = params::extract_file_uris,
                                          .returns = "tuple",
                                          .doc = extract_file_uris_doc,
                                          .kind = Kind::static_method,
                                          .body = extract_file_uris};
constexpr Method generate_image_method{.name = "generate_image",
                                       .params = params::generate_image,
                                       .varkw = Varkw::yes,
                                       .returns = "ServiceResult",
                                       .doc = generate_image_doc,
                                       .body = generate_image};
constexpr Method start_method{.name = "start",
                              .params = params::start,
                              .varkw = Varkw::yes,
                              .returns = "ServiceResult",
                              .doc = start_doc,
                              .body = start};

constexpr const Method* methods[] = {
    &init_method,
    &detect_mime_type_method,
    &bytes_to_part_method,
    &build_parts_method,
    &build_body_data_method,
    &extract_file_uris_method,
    &generate_image_method,
    &start_method,
};

}  // namespace

std::span<const rt::Method* const> client_methods() { return methods; }

}  // namespace sorvanel
