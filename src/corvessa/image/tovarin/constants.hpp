// The module's own constants (the shared ones are in common/constants.hpp): interned names
// and texts, small ints, and keyword tuples.
#pragma once

#include "corvessa/image/common/constants.hpp"

#include "runtime/constants.hpp"

namespace tovarin {

#define TOVARIN_CONSTANTS(X)                                                          \
    /* module globals, attributes and methods */                                      \
    X(size_calculator, rt::text("GPTImageSizeCalculator"))                            \
    X(calc_size, rt::text("calc_size"))                                               \
    X(token, rt::text("token"))                                                       \
    X(generate_completions, rt::text("_generate_completions"))                        \
    X(default_tag, rt::text("GPT-IMAGE-2"))                                           \
    /* payload keys and values */                                                     \
    X(prompt, rt::text("prompt"))                                                     \
    X(quality, rt::text("quality"))                                                   \
    X(n, rt::text("n"))                                                               \
    X(default_model, rt::text("gpt-image-2"))                                         \
    X(b64_json, rt::text("b64_json"))                                                 \
    X(auto_size, rt::text("auto"))                                                    \
    X(width, rt::text("width"))                                                       \
    X(height, rt::text("height"))                                                     \
    X(size_separator, rt::text("x"))                                                  \
    X(image_field, rt::text("image"))                                                 \
    /* URLs and texts */                                                              \
    X(images_path, rt::text("/v1/images"))                                            \
    X(generations_path, rt::text("/generations"))                                     \
    X(edits_path, rt::text("/edits"))                                                 \
    X(data_url, rt::text("data:image/"))                                              \
    /* record keys and messages */                                                    \
    X(payload, rt::text("payload"))                                                   \
    X(calc_dict, rt::text("calc_dict"))                                               \
    X(total_second, rt::text("total_second"))                                         \
    X(size_record_suffix, rt::text(" "))                                              \
    X(api_complete, rt::text(" api complete"))                                        \
    X(url_suffix, rt::text(" url"))                                                   \
    X(no_result, rt::text(" 未收到结果的原始数据"))                                   \
    X(response_failed, rt::text(" response failed"))                                  \
    /* numbers and keyword tuples */                                                  \
    X(image_count, rt::integer(1))                                                    \
    X(kw_completions_call, rt::keywords<"task_id model_key payload files timeout">()) \
    X(kw_calc_size, rt::keywords<"aspect_ratio resolution">())                        \
    X(kw_post_form, rt::keywords<"headers data files timeout">())                     \
    X(kw_generate_call, rt::keywords<"prompt aspect_ratio quality image_size files">())

RT_CONSTANT_TABLE(TOVARIN_CONSTANTS)
// The constants both clients share.
inline const common::Constants& shared = common::constants;

}  // namespace tovarin
