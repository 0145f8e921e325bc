// The module's constants: interned names and texts, small ints, keyword tuples and the
// built-ins fetched once at load.
#pragma once

#include <Python.h>

namespace tovarin {

#define TOVARIN_TEXTS(X)                                                   \
    X(base64, "base64")                                                    \
    X(http_client, "http_client")                                          \
    X(size_calculator, "GPTImageSizeCalculator")                           \
    X(calc_size, "calc_size")                                              \
    X(ferrimo, "ferrimo")                                                  \
    X(ImageTool, "ImageTool")                                              \
    X(get_img_url_io, "get_img_url_io")                                    \
    X(getvalue, "getvalue")                                                \
    X(base_timeout, "base_timeout")                                        \
    X(post, "post")                                                        \
    X(status_code, "status_code")                                          \
    X(json, "json")                                                        \
    X(get, "get")                                                          \
    X(base_url, "base_url")                                                \
    X(token, "token")                                                      \
    X(generate_completions, "_generate_completions")                       \
    X(generate_image, "generate_image")                                    \
    X(prompt, "prompt")                                                    \
    X(aspect_ratio, "aspect_ratio")                                        \
    X(quality, "quality")                                                  \
    X(task_id, "task_id")                                                  \
    X(model_key, "model_key")                                              \
    X(timeout, "timeout")                                                  \
    X(model, "model")                                                      \
    X(response_format, "response_format")                                  \
    X(default_tag, "GPT-IMAGE-2")                                          \
    X(default_model, "gpt-image-2")                                        \
    X(b64_json, "b64_json")                                                \
    X(images_path, "/v1/images")                                           \
    X(generations_path, "/generations")                                    \
    X(edits_path, "/edits")                                                \
    X(authorization, "Authorization")                                      \
    X(bearer, "Bearer ")                                                   \
    X(content_type, "Content-Type")                                        \
    X(application_json, "application/json")                                \
    X(payload, "payload")                                                  \
    X(url, "url")                                                          \
    X(auto_size, "auto")                                                   \
    X(width, "width")                                                      \
    X(height, "height")                                                    \
    X(x, "x")                                                              \
    X(size, "size")                                                        \
    X(n, "n")                                                              \
    X(data, "data")                                                        \
    X(image, "image")                                                      \
    X(data_url, "data:image/")                                             \
    X(http, "http://")                                                     \
    X(https, "https://")                                                   \
    X(calc_dict, "calc_dict")                                              \
    X(space, " ")                                                          \
    X(request_api, " request api")                                         \
    X(api_complete, " api complete")                                       \
    X(total_second, "total_second")                                        \
    X(url_suffix, " url")                                                  \
    X(no_result, " 未收到结果的原始数据")                                  \
    X(response_failed, " response failed")                                 \
    X(error_dict, "error_dict")                                            \
    X(timed_out, "任务处理超时")                                           \
    X(warning_suffix, " warning")                                          \
    X(service_status, "service status_code: ")

struct Constants {
#define TOVARIN_FIELD(field, text) PyObject* field = nullptr;
    TOVARIN_TEXTS(TOVARIN_FIELD)
#undef TOVARIN_FIELD
    PyObject* one = nullptr;
    PyObject* status_ok = nullptr;  // 200
    PyObject* kw_completions_call = nullptr;  // ("task_id", "model_key", "payload", "files", "timeout")
    PyObject* kw_calc_size = nullptr;         // ("aspect_ratio", "resolution")
    PyObject* kw_post_json = nullptr;         // ("headers", "json", "timeout")
    PyObject* kw_post_form = nullptr;         // ("headers", "data", "files", "timeout")
    PyObject* kw_generate_call = nullptr;     // ("prompt", "aspect_ratio", "quality", "image_size", "files")
    // Built-ins fetched once at load.
    PyObject* object = nullptr;
    PyObject* open = nullptr;
};

extern Constants k;

bool make_constants();

}  // namespace tovarin
