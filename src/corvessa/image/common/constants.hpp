// The constants both clients use: names and texts of their records, results, requests and
// reference images, made once per process as one table.
#pragma once

#include "corvessa/image/common/result.hpp"

#include "runtime/constants.hpp"

namespace common {

#define COMMON_CONSTANTS(X)                                      \
    /* module globals and the attributes reached through them */ \
    X(base64, rt::text("base64"))                                \
    X(logging, rt::text("logging"))                              \
    X(getLogger, rt::text("getLogger"))                          \
    X(module_name, rt::text("__name__"))                         \
    X(time, rt::text("time"))                                    \
    X(traceback, rt::text("traceback"))                          \
    X(format_exc, rt::text("format_exc"))                        \
    X(requests, rt::text("requests"))                            \
    X(exceptions, rt::text("exceptions"))                        \
    X(ReadTimeout, rt::text("ReadTimeout"))                      \
    X(ServiceResult, rt::text("ServiceResult"))                  \
    X(ErrorCode, rt::text("ErrorCode"))                          \
    X(success, rt::text("success"))                              \
    X(fail, rt::text("fail"))                                    \
    COMMON_ERROR_CODES(X)                                        \
    X(ferrimo, rt::text("ferrimo"))                              \
    X(ImageTool, rt::text("ImageTool"))                          \
    X(get_img_url_io, rt::text("get_img_url_io"))                \
    X(getvalue, rt::text("getvalue"))                            \
    X(http_client, rt::text("http_client"))                      \
    X(base_timeout, rt::text("base_timeout"))                    \
    X(post, rt::text("post"))                                    \
    X(status_code, rt::text("status_code"))                      \
    X(json, rt::text("json"))                                    \
    X(get, rt::text("get"))                                      \
    X(os, rt::text("os"))                                        \
    X(path, rt::text("path"))                                    \
    X(exists, rt::text("exists"))                                \
    X(read, rt::text("read"))                                    \
    X(enter, rt::text("__enter__"))                              \
    X(exit, rt::text("__exit__"))                                \
    X(round, rt::text("round"))                                  \
    X(open, rt::text("open"))                                    \
    /* instance attributes and methods */                        \
    X(base_url, rt::text("base_url"))                            \
    X(model_tag, rt::text("model_tag"))                          \
    X(logger, rt::text("logger"))                                \
    X(debug, rt::text("debug"))                                  \
    X(generate_image, rt::text("generate_image"))                \
    /* keyword options and record keys */                        \
    X(task_id, rt::text("task_id"))                              \
    X(model_key, rt::text("model_key"))                          \
    X(timeout, rt::text("timeout"))                              \
    X(model, rt::text("model"))                                  \
    X(msg, rt::text("msg"))                                      \
    X(error, rt::text("error"))                                  \
    X(message, rt::text("message"))                              \
    X(error_dict, rt::text("error_dict"))                        \
    X(aspect_ratio, rt::text("aspect_ratio"))                    \
    X(response_format, rt::text("response_format"))              \
    X(url, rt::text("url"))                                      \
    X(data, rt::text("data"))                                    \
    X(size, rt::text("size"))                                    \
    /* texts */                                                  \
    X(http, rt::text("http://"))                                 \
    X(https, rt::text("https://"))                               \
    X(rb, rt::text("rb"))                                        \
    X(authorization, rt::text("Authorization"))                  \
    X(bearer, rt::text("Bearer "))                               \
    X(content_type, rt::text("Content-Type"))                    \
    X(application_json, rt::text("application/json"))            \
    X(before_type_name, rt::text(" "))                           \
    X(request_api, rt::text(" request api"))                     \
    X(warning_suffix, rt::text(" warning"))                      \
    X(timed_out, rt::text("任务处理超时"))                       \
    X(service_status, rt::text("service status_code: "))         \
    /* numbers and keyword tuples */                             \
    X(seconds_digits, rt::integer(3))                            \
    X(status_ok, rt::integer(200))                               \
    X(kw_data, rt::keywords<"data">())                           \
    X(kw_code, rt::keywords<"code">())                           \
    X(kw_code_msg, rt::keywords<"code msg">())                   \
    X(kw_code_message, rt::keywords<"code message">())           \
    X(kw_post_json, rt::keywords<"headers json timeout">())

RT_CONSTANT_TABLE(COMMON_CONSTANTS)

}  // namespace common
