// The module's constants: interned names and texts, small ints, keyword tuples and the
// built-ins fetched once at load.
#pragma once

#include <Python.h>

namespace sorvanel {

#define SORVANEL_TEXTS(X)                                                  \
    X(base64, "base64")                                                    \
    X(http_client, "http_client")                                          \
    X(supported_ratios, "_SUPPORTED_RATIOS")                               \
    X(supported_models, "_SUPPORTED_MODELS")                               \
    X(ferrimo, "ferrimo")                                                  \
    X(ImageTool, "ImageTool")                                              \
    X(get_img_url_io, "get_img_url_io")                                    \
    X(getvalue, "getvalue")                                                \
    X(upper, "upper")                                                      \
    X(base_timeout, "base_timeout")                                        \
    X(post, "post")                                                        \
    X(status_code, "status_code")                                          \
    X(json, "json")                                                        \
    X(get, "get")                                                          \
    X(base_url, "base_url")                                                \
    X(api_key, "api_key")                                                  \
    X(detect_mime_type, "_detect_mime_type")                               \
    X(bytes_to_part, "_bytes_to_part")                                     \
    X(build_parts, "_build_parts")                                         \
    X(build_body_data, "_build_body_data")                                 \
    X(extract_file_uris, "_extract_file_uris")                             \
    X(generate_image, "generate_image")                                    \
    X(aspect_ratio, "aspect_ratio")                                        \
    X(image_size, "image_size")                                            \
    X(task_id, "task_id")                                                  \
    X(model_key, "model_key")                                              \
    X(timeout, "timeout")                                                  \
    X(default_tag, "SORVANEL")                                             \
    X(image_png, "image/png")                                              \
    X(image_jpeg, "image/jpeg")                                            \
    X(image_gif, "image/gif")                                              \
    X(image_webp, "image/webp")                                            \
    X(inlineData, "inlineData")                                            \
    X(inline_data, "inline_data")                                          \
    X(mimeType, "mimeType")                                                \
    X(data, "data")                                                        \
    X(text, "text")                                                        \
    X(role, "role")                                                        \
    X(user, "user")                                                        \
    X(parts, "parts")                                                      \
    X(contents, "contents")                                                \
    X(generationConfig, "generationConfig")                                \
    X(responseModalities, "responseModalities")                            \
    X(IMAGE, "IMAGE")                                                      \
    X(response_format, "response_format")                                  \
    X(url, "url")                                                          \
    X(aspectRatio, "aspectRatio")                                          \
    X(imageSize, "imageSize")                                              \
    X(imageConfig, "imageConfig")                                          \
    X(invalid_model, "Invalid model: ")                                    \
    X(invalid_ratio, "Invalid aspect_ratio: ")                             \
    X(authorization, "Authorization")                                      \
    X(bearer, "Bearer ")                                                   \
    X(content_type, "Content-Type")                                        \
    X(application_json, "application/json")                                \
    X(models_path, "/v1beta/models/")                                      \
    X(generate_content, ":generateContent")                                \
    X(request_api, " request api")                                         \
    X(model_name, "model_name")                                            \
    X(img_count, "img_count")                                              \
    X(complete_successfully, " api complete successfully")                 \
    X(second, "second")                                                    \
    X(complete_fail, " api complete fail")                                 \
    X(error_dict, "error_dict")                                            \
    X(timed_out, "任务处理超时")                                           \
    X(error_suffix, " error")                                              \
    X(service_status, "service status_code: ")                             \
    X(candidates, "candidates")                                            \
    X(content, "content")                                                  \
    X(fileData, "fileData")                                                \
    X(fileUri, "fileUri")                                                  \
    X(responseId, "responseId")                                            \
    X(finishReason, "finishReason")                                        \
    X(image_candidates, "image_candidates")                                \
    X(size, "size")                                                        \
    X(complete_result, " api complete result")                             \
    X(image_urls, "image_urls")                                            \
    X(prohibition, "Picture prohibition-")                                 \
    X(prohibition_safety, "Picture prohibition-IMAGE_SAFETY")              \
    X(IMAGE_SAFETY, "IMAGE_SAFETY")                                        \
    X(IMAGE_OTHER, "IMAGE_OTHER")                                          \
    X(OTHER, "OTHER")                                                      \
    X(IMAGE_PROHIBITED_CONTENT, "IMAGE_PROHIBITED_CONTENT")                \
    X(PROHIBITED_CONTENT, "PROHIBITED_CONTENT")

struct Constants {
#define SORVANEL_FIELD(field, text) PyObject* field = nullptr;
    SORVANEL_TEXTS(SORVANEL_FIELD)
#undef SORVANEL_FIELD
    PyObject* zero = nullptr;
    PyObject* status_ok = nullptr;    // 200
    PyObject* status_busy = nullptr;  // 429
    PyObject* kw_parts_call = nullptr;     // ("image_bytes_list", "prompt")
    PyObject* kw_part_call = nullptr;      // ("image_bytes", "mime_type")
    PyObject* kw_body_call = nullptr;      // ("image_bytes_list", "prompt", "aspect_ratio", "image_size")
    PyObject* kw_post_json = nullptr;      // ("headers", "json", "timeout")
    PyObject* kw_generate_call = nullptr;  // ("prompt", "image_bytes_list", "aspect_ratio", "image_size", "model")
    // Built-ins fetched once at load.
    PyObject* object = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* import = nullptr;
    PyObject* open = nullptr;
};

extern Constants k;

bool make_constants();

}  // namespace sorvanel
