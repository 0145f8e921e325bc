// Parameter tables of SorvanelClient's methods, shared by the declarations and the bodies
// (bodies fetch arguments by name, checked against these tables at compile time).
#pragma once

#include "runtime/params.hpp"

namespace sorvanel::params {

using rt::Default;
using rt::Param;

inline constexpr Param init[] = {
    {"self"},
    {"base_url", "str"},
    {"api_key", "str"},
};

inline constexpr Param detect_mime_type[] = {
    {"image_bytes", "bytes"},
};

inline constexpr Param bytes_to_part[] = {
    {"image_bytes", "bytes"},
    {"mime_type", "str", Default::str("image/jpeg")},
};

inline constexpr Param build_parts[] = {
    {"self"},
    {"image_bytes_list", "List[bytes]"},
    {"prompt", "str"},
};

inline constexpr Param build_body_data[] = {
    {"self"},
    {"prompt", "str"},
    {"image_bytes_list", "Optional[List[bytes]]", Default::none()},
    {"aspect_ratio", "Optional[str]", Default::str("2:3")},
    {"image_size", "Optional[str]", Default::str("1K")},
};

inline constexpr Param extract_file_uris[] = {
    {"data_dict", "dict"},
};

inline constexpr Param generate_image[] = {
    {"self"},
    {"prompt", "str"},
    {"image_bytes_list", "Optional[List[bytes]]", Default::none()},
    {"aspect_ratio", "_AspectRatio", Default::str("2:3")},
    {"image_size", "Optional[str]", Default::str("1K")},
    {"model", "_GeminiModel", Default::str("gemini-3-pro-image-preview")},
};

inline constexpr Param start[] = {
    {"self"},
    {"prompt", "str"},
    {"aspect_ratio", "_AspectRatio", Default::str("2:3")},
    {"image_size", "str", Default::str("1K")},
    {"files", nullptr, Default::none()},
    {"model", "_GeminiModel", Default::str("gemini-3-pro-image-preview")},
};

}  // namespace sorvanel::params
