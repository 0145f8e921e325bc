// Parameter tables of SorvanelClient's methods but __init__ (its table is in common/client.hpp),
// read by the declarations and, by name at compile time, by the bodies.
#pragma once

#include "runtime/params.hpp"

namespace sorvanel::params {

using rt::Default;
using rt::Param;

inline constexpr Param detect_mime_type[] = {
    {.name = "image_bytes", .annotation = "bytes"},
};

inline constexpr Param bytes_to_part[] = {
    {.name = "image_bytes", .annotation = "bytes"},
    {.name = "mime_type", .annotation = "str", .fallback = Default::str("image/jpeg")},
};

inline constexpr Param build_parts[] = {
    {.name = "self"},
    {.name = "image_bytes_list", .annotation = "List[bytes]"},
    {.name = "prompt", .annotation = "str"},
};

inline constexpr Param build_body_data[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str"},
    {.name = "image_bytes_list", .annotation = "Optional[List[bytes]]", .fallback = Default::none()},
    {.name = "aspect_ratio", .annotation = "Optional[str]", .fallback = Default::str("2:3")},
    {.name = "image_size", .annotation = "Optional[str]", .fallback = Default::str("1K")},
};

inline constexpr Param extract_file_uris[] = {
    {.name = "data_dict", .annotation = "dict"},
};

inline constexpr Param generate_image[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str"},
    {.name = "image_bytes_list", .annotation = "Optional[List[bytes]]", .fallback = Default::none()},
    {.name = "aspect_ratio", .annotation = "_AspectRatio", .fallback = Default::str("2:3")},
    {.name = "image_size", .annotation = "Optional[str]", .fallback = Default::str("1K")},
    {.name = "model", .annotation = "_GeminiModel", .fallback = Default::str("gemini-3-pro-image-preview")},
};

inline constexpr Param start[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str"},
    {.name = "aspect_ratio", .annotation = "_AspectRatio", .fallback = Default::str("2:3")},
    {.name = "image_size", .annotation = "str", .fallback = Default::str("1K")},
    {.name = "files", .fallback = Default::none()},
    {.name = "model", .annotation = "_GeminiModel", .fallback = Default::str("gemini-3-pro-image-preview")},
};

}  // namespace sorvanel::params
