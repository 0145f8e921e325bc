// The module's own constants (the shared ones are in common/constants.hpp): interned names
// and texts, small ints, and keyword tuples.
#pragma once

#include "corvessa/image/common/constants.hpp"

#include "runtime/constants.hpp"

namespace sorvanel {

#define SORVANEL_CONSTANTS(X)                                                          \
    /* module globals, attributes and methods */                                       \
    X(supported_ratios, rt::text("_SUPPORTED_RATIOS"))                                 \
    X(supported_models, rt::text("_SUPPORTED_MODELS"))                                 \
    X(upper, rt::text("upper"))                                                        \
    X(api_key, rt::text("api_key"))                                                    \
    X(detect_mime_type, rt::text("_detect_mime_type"))                                 \
    X(bytes_to_part, rt::text("_bytes_to_part"))                                       \
    X(build_parts, rt::text("_build_parts"))                                           \
    X(build_body_data, rt::text("_build_body_data"))                                   \
    X(extract_file_uris, rt::text("_extract_file_uris"))                               \
    X(default_tag, rt::text("SORVANEL"))                                               \
    /* MIME types */                                                                   \
    X(image_png, rt::text("image/png"))                                                \
    X(image_jpeg, rt::text("image/jpeg"))                                              \
    X(image_gif, rt::text("image/gif"))                                                \
    X(image_webp, rt::text("image/webp"))                                              \
    /* request body keys */                                                            \
    X(inlineData, rt::text("inlineData"))                                              \
    X(inline_data, rt::text("inline_data"))                                            \
    X(mimeType, rt::text("mimeType"))                                                  \
    X(text, rt::text("text"))                                                          \
    X(role, rt::text("role"))                                                          \
    X(user, rt::text("user"))                                                          \
    X(parts, rt::text("parts"))                                                        \
    X(contents, rt::text("contents"))                                                  \
    X(generationConfig, rt::text("generationConfig"))                                  \
    X(responseModalities, rt::text("responseModalities"))                              \
    X(image_modality, rt::text("IMAGE"))                                               \
    X(aspectRatio, rt::text("aspectRatio"))                                            \
    X(imageSize, rt::text("imageSize"))                                                \
    X(imageConfig, rt::text("imageConfig"))                                            \
    /* request texts and record keys */                                                \
    X(invalid_model, rt::text("Invalid model: "))                                      \
    X(invalid_ratio, rt::text("Invalid aspect_ratio: "))                               \
    X(models_path, rt::text("/v1beta/models/"))                                        \
    X(generate_content, rt::text(":generateContent"))                                  \
    X(model_name, rt::text("model_name"))                                              \
    X(img_count, rt::text("img_count"))                                                \
    X(image_size, rt::text("image_size"))                                              \
    X(complete_successfully, rt::text(" api complete successfully"))                   \
    X(second, rt::text("second"))                                                      \
    X(complete_fail, rt::text(" api complete fail"))                                   \
    X(error_suffix, rt::text(" error"))                                                \
    /* reply keys and texts */                                                         \
    X(candidates, rt::text("candidates"))                                              \
    X(content, rt::text("content"))                                                    \
    X(fileData, rt::text("fileData"))                                                  \
    X(fileUri, rt::text("fileUri"))                                                    \
    X(responseId, rt::text("responseId"))                                              \
    X(finishReason, rt::text("finishReason"))                                          \
    X(image_candidates, rt::text("image_candidates"))                                  \
    X(complete_result, rt::text(" api complete result"))                               \
    X(image_urls, rt::text("image_urls"))                                              \
    X(prohibition, rt::text("Picture prohibition-"))                                   \
    X(prohibition_safety, rt::text("Picture prohibition-IMAGE_SAFETY"))                \
    X(IMAGE_SAFETY, rt::text("IMAGE_SAFETY"))                                          \
    X(IMAGE_OTHER, rt::text("IMAGE_OTHER"))                                            \
    X(OTHER, rt::text("OTHER"))                                                        \
    X(IMAGE_PROHIBITED_CONTENT, rt::text("IMAGE_PROHIBITED_CONTENT"))                  \
    X(PROHIBITED_CONTENT, rt::text("PROHIBITED_CONTENT"))                              \
    /* numbers and keyword tuples */                                                   \
    X(first_link, rt::integer(0))                                                      \
    X(status_busy, rt::integer(429))                                                   \
    X(kw_parts_call, rt::keywords<"image_bytes_list prompt">())                        \
    X(kw_part_call, rt::keywords<"image_bytes mime_type">())                           \
    X(kw_body_call, rt::keywords<"image_bytes_list prompt aspect_ratio image_size">()) \
    X(kw_generate_call, rt::keywords<"prompt image_bytes_list aspect_ratio image_size model">())

RT_CONSTANT_TABLE(SORVANEL_CONSTANTS)
// The constants both clients share.
inline const common::Constants& shared = common::constants;

}  // namespace sorvanel
