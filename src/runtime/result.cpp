#include "runtime/result.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/text.hpp"

#include <array>

namespace rt {
namespace {

struct ResultNames {
    PyObject* service_result;
    PyObject* error_code;
    PyObject* success;
    PyObject* fail;
    PyObject* kw_data;          // ("data",)
    PyObject* kw_code;          // ("code",)
    PyObject* kw_code_msg;      // ("code", "msg")
    PyObject* kw_code_message;  // ("code", "message")
    std::array<PyObject*, 5> codes;
};
ResultNames names{};

Ref error_code(const Call& call, Code code) {
    Ref codes = global(call, names.error_code);
    return codes ? attr(codes.get(), names.codes[static_cast<std::size_t>(code)]) : Ref{};
}

Ref service_result_method(const Call& call, PyObject* name) {
    Ref cls = global(call, names.service_result);
    return cls ? attr(cls.get(), name) : Ref{};
}

}  // namespace

bool result_names_ready() {
    if (names.service_result) return true;
    names.service_result = interned("ServiceResult");
    names.error_code = interned("ErrorCode");
    names.success = interned("success");
    names.fail = interned("fail");
    names.kw_data = interned_names({"data"});
    names.kw_code = interned_names({"code"});
    names.kw_code_msg = interned_names({"code", "msg"});
    names.kw_code_message = interned_names({"code", "message"});
    names.codes = {interned("INVALID_PARAMS"), interned("SERVICE_BUSY"), interned("SERVICE_TIMEOUT"),
                   interned("IMAGE_GENERATE_FAIL"), interned("NO_IMAGE_RESULT")};
    for (PyObject* code : names.codes) {
        if (!code) return false;
    }
    return names.service_result && names.error_code && names.success && names.fail && names.kw_data &&
           names.kw_code && names.kw_code_msg && names.kw_code_message;
}

Ref success(const Call& call, PyObject* data) {
    Ref method = service_result_method(call, names.success);
    return method ? call_kw(method.get(), names.kw_data, data) : Ref{};
}

Ref fail(const Call& call, Code code) {
    Ref method = service_result_method(call, names.fail);
    Ref member = method ? error_code(call, code) : Ref{};
    return member ? call_kw(method.get(), names.kw_code, member.get()) : Ref{};
}

Ref fail(const Call& call, Code code, MessageKey key, PyObject* text) {
    Ref method = service_result_method(call, names.fail);
    Ref member = method ? error_code(call, code) : Ref{};
    PyObject* kwnames = key == MessageKey::msg ? names.kw_code_msg : names.kw_code_message;
    return member ? call_kw(method.get(), kwnames, member.get(), text) : Ref{};
}

}  // namespace rt
