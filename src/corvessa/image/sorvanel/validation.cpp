// Checks of a call's model and aspect ratio against the configuration's tables.
#include "corvessa/image/sorvanel/methods.hpp"

#include "runtime/function.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

int supported(const rt::Call& call, PyObject* table, PyObject* value) {
    rt::Ref members = rt::global(call, table);
    return members ? PySequence_Contains(members.get(), value) : -1;
}

rt::Ref refuse(const rt::Call& call, PyObject* prefix, PyObject* value) {
    rt::Ref message = rt::prefixed(prefix, value);
    return message ? rt::fail(call, rt::Code::INVALID_PARAMS, rt::MessageKey::message, message.get()) : rt::Ref{};
}

}  // namespace sorvanel
