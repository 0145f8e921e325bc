// Checks of a call's model and aspect ratio against the configuration's tables.
#include "corvessa/image/sorvanel/validation.hpp"

#include "corvessa/image/common/result.hpp"

#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

int supported(const rt::CallFrame& frame, PyObject* table, PyObject* value) {
    rt::Ref members = rt::global(frame, table);
    return members ? PySequence_Contains(members.get(), value) : -1;
}

rt::Ref refuse(const rt::CallFrame& frame, PyObject* prefix, PyObject* value) {
    rt::Ref message = rt::prefixed(prefix, value);
    if (!message) return {};
    return common::fail(frame, common::Code::INVALID_PARAMS, common::MessageKey::message, message.get());
}

}  // namespace sorvanel
