// What both clients' constructors share: the parameter table, the docstring and the tail.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// __init__(self, base_url: "str", api_key: "str", **kwargs)
inline constexpr rt::Param init_params[] = {
    {.name = "self"},
    {.name = "base_url", .annotation = "str"},
    {.name = "api_key", .annotation = "str"},
};

// The constructors' docstring, naming the client's default model tag.
#define COMMON_INIT_DOC(default_tag)                                                               \
    "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n" \
    "            **kwargs:\n                model_tag: 模型标识标签，默认 " default_tag            \
    "\n                logger: 自定义日志器\n        "

// The tail of both constructors: self.model_tag = kwargs.get("model_tag", default_tag), then
// self.logger = kwargs.get("logger", logging.getLogger(__name__)), the default logger being
// fetched through the module's globals on every construction.
bool set_tag_and_logger(const rt::CallFrame& frame, PyObject* default_tag);

}  // namespace common
