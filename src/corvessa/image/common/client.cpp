// The constructors' tail: model tag and logger from the keyword options.
#include "corvessa/image/common/client.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"

namespace common {

using rt::Ref;

bool set_tag_and_logger(const rt::CallFrame& frame, PyObject* default_tag) {
    PyObject* self = frame.self();
    Ref tag = rt::dict_get(frame.kwargs, constants.model_tag, default_tag);
    if (!tag || PyObject_SetAttr(self, constants.model_tag, tag.get()) < 0) return false;
    Ref logging = rt::global(frame, constants.logging);
    Ref get_logger = logging ? rt::attr(logging.get(), constants.getLogger) : Ref{};
    Ref name = get_logger ? rt::global(frame, constants.module_name) : Ref{};
    Ref fallback = name ? rt::call(get_logger.get(), name.get()) : Ref{};
    Ref logger = fallback ? rt::dict_get(frame.kwargs, constants.logger, fallback.get()) : Ref{};
    return logger && PyObject_SetAttr(self, constants.logger, logger.get()) == 0;
}

}  // namespace common
