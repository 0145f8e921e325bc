// Making results through the module's `ServiceResult` and `ErrorCode` globals.
#include "corvessa/image/common/result.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"

#include <cstddef>

namespace common {

using rt::Ref;

namespace {

// The interned member name of each code, in the order of the list.
#define COMMON_CODE_MEMBER(code, recipe) &Constants::code,
constexpr PyObject* Constants::* code_members[] = {COMMON_ERROR_CODES(COMMON_CODE_MEMBER)};
#undef COMMON_CODE_MEMBER

PyObject* code_name(Code code) { return constants.*code_members[static_cast<std::size_t>(code)]; }

Ref error_code(const rt::CallFrame& frame, Code code) {
    return rt::global_attr(frame, constants.ErrorCode, {code_name(code)});
}

Ref service_result_method(const rt::CallFrame& frame, PyObject* name) {
    return rt::global_attr(frame, constants.ServiceResult, {name});
}

}  // namespace

Ref success(const rt::CallFrame& frame, PyObject* data) {
    Ref method = service_result_method(frame, constants.success);
    return method ? rt::call_kw(method.get(), constants.kw_data, data) : Ref{};
}

Ref fail(const rt::CallFrame& frame, Code code) {
    Ref method = service_result_method(frame, constants.fail);
    Ref member = method ? error_code(frame, code) : Ref{};
    return member ? rt::call_kw(method.get(), constants.kw_code, member.get()) : Ref{};
}

Ref fail(const rt::CallFrame& frame, Code code, MessageKey key, PyObject* text) {
    Ref method = service_result_method(frame, constants.fail);
    Ref member = method ? error_code(frame, code) : Ref{};
    const rt::Keywords<2>& names = key == MessageKey::msg ? constants.kw_code_msg : constants.kw_code_message;
    return member ? rt::call_kw(method.get(), names, member.get(), text) : Ref{};
}

}  // namespace common
