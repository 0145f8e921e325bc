// The tables of TovarinClient's methods but __init__ (its table is in common/client.hpp): the
// declarations read them, and the bodies fetch arguments by name, checked at compile time.
#pragma once

#include "runtime/params.hpp"

namespace tovarin::params {

using rt::Default;
using rt::Param;

// task_id and model_key admit None: it stands for an option the caller did not give.
inline constexpr Param generate_completions[] = {
    {.name = "self"},
    {.name = "task_id", .annotation = "str", .none_also = true},
    {.name = "model_key", .annotation = "str", .none_also = true},
    {.name = "payload"},
    {.name = "files", .annotation = "Optional[List[Tuple[str, bytes]]]", .fallback = Default::none()},
};

inline constexpr Param generate_image[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str"},
    {.name = "aspect_ratio", .annotation = "str", .fallback = Default::str("")},
    {.name = "quality", .annotation = "str", .fallback = Default::str("")},
    {.name = "image_size", .annotation = "str", .fallback = Default::str("")},
    {.name = "files", .annotation = "Optional[List[Tuple[str, bytes]]]", .fallback = Default::none()},
};

inline constexpr Param start[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str"},
    {.name = "aspect_ratio", .annotation = "str", .fallback = Default::str("")},
    {.name = "quality", .annotation = "str", .fallback = Default::str("")},
    {.name = "image_size", .annotation = "str", .fallback = Default::str("")},
    {.name = "files", .annotation = "Union[List[bytes], bytes, str, List[str]]", .fallback = Default::none()},
};

}  // namespace tovarin::params
