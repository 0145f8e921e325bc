// Parameter tables of TovarinClient's methods, shared by the declarations and the bodies
// (bodies fetch arguments by name, checked against these tables at compile time).
#pragma once

#include "runtime/params.hpp"

namespace tovarin::params {

using rt::Default;
using rt::Param;

inline constexpr Param init[] = {
    {"self"},
    {"base_url", "str"},
    {"api_key", "str"},
};

// task_id and model_key admit None: it stands for an option the caller did not give.
inline constexpr Param generate_completions[] = {
    {"self"},
    {"task_id", "str", {}, true},
    {"model_key", "str", {}, true},
    {"payload"},
    {"files", "Optional[List[Tuple[str, bytes]]]", Default::none()},
};

inline constexpr Param generate_image[] = {
    {"self"},
    {"prompt", "str"},
    {"aspect_ratio", "str", Default::str("")},
    {"quality", "str", Default::str("")},
    {"image_size", "str", Default::str("")},
    {"files", "Optional[List[Tuple[str, bytes]]]", Default::none()},
};

inline constexpr Param start[] = {
    {"self"},
    {"prompt", "str"},
    {"aspect_ratio", "str", Default::str("")},
    {"quality", "str", Default::str("")},
    {"image_size", "str", Default::str("")},
    {"files", "Union[List[bytes], bytes, str, List[str]]", Default::none()},
};

}  // namespace tovarin::params
