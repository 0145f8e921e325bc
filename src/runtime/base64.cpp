// Copy-free base64: encoding straight into a str, decoding an ASCII str in place, while the
// standard functions and their binascii codec are in place.
#include "runtime/base64.hpp"

#include "runtime/call.hpp"
#include "runtime/constants.hpp"

#include <cstdint>

namespace rt {
namespace {

#define BASE64_NAMES(X)                       \
    X(b64encode, text("b64encode"))            \
    X(b64decode, text("b64decode"))            \
    X(binascii, text("binascii"))              \
    X(b2a_base64, text("b2a_base64"))          \
    X(a2b_base64, text("a2b_base64"))          \
    X(decode, text("decode"))                  \
    X(utf_8, text("utf-8"))

namespace base64_names {
RT_CONSTANT_TABLE(BASE64_NAMES)
}  // namespace base64_names
const auto& names = base64_names::constants;

// The standard module and functions as they were at load.
struct Base64Originals {
    PyObject* module;
    PyObject* b64encode;
    PyObject* b64decode;
    PyObject* binascii;
    PyObject* b2a_base64;
    PyObject* a2b_base64;
};
Base64Originals originals{};

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Whether base64.<name> is still the function the standard module had at load.
int standard(PyObject* base64, PyObject* name, PyObject* original) {
    if (base64 != originals.module) return 0;
    PyObject* current = nullptr;
    if (PyObject_GetOptionalAttr(base64, name, &current) < 0) return -1;
    Ref owned = Ref::steal(current);
    return owned.get() == original;
}

// Whether the standard functions, which look binascii.<name> up when they run, would still
// reach `original`: the standard module's global `binascii` is the standard binascii module and
// its <name> is unchanged. Both are plain dictionary reads, so no code of the host's runs here.
int standard_codec(PyObject* name, PyObject* original) {
    PyObject* binascii = nullptr;
    int found = PyDict_GetItemRef(PyModule_GetDict(originals.module), names.binascii, &binascii);
    if (found <= 0) return found;
    Ref module = Ref::steal(binascii);
    if (module.get() != originals.binascii) return 0;
    PyObject* current = nullptr;
    found = PyDict_GetItemRef(PyModule_GetDict(originals.binascii), name, &current);
    if (found <= 0) return found;
    Ref owned = Ref::steal(current);
    return owned.get() == original;
}

// Both checks for one direction: the function of the `base64` global, then the codec it uses.
int shortcut_allowed(PyObject* base64, PyObject* name, PyObject* function, PyObject* codec_name,
                     PyObject* codec) {
    int fast = standard(base64, name, function);
    return fast > 0 ? standard_codec(codec_name, codec) : fast;
}

void encode_into(const unsigned char* in, Py_ssize_t size, Py_UCS1* out) {
    Py_ssize_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *out++ = static_cast<Py_UCS1>(alphabet[v >> 18]);
        *out++ = static_cast<Py_UCS1>(alphabet[(v >> 12) & 63]);
        *out++ = static_cast<Py_UCS1>(alphabet[(v >> 6) & 63]);
        *out++ = static_cast<Py_UCS1>(alphabet[v & 63]);
    }
    if (i == size) return;
    std::uint32_t v = std::uint32_t{in[i]} << 16;
    if (i + 1 < size) v |= std::uint32_t{in[i + 1]} << 8;
    *out++ = static_cast<Py_UCS1>(alphabet[v >> 18]);
    *out++ = static_cast<Py_UCS1>(alphabet[(v >> 12) & 63]);
    *out++ = i + 1 < size ? static_cast<Py_UCS1>(alphabet[(v >> 6) & 63]) : Py_UCS1{'='};
    *out = '=';
}

Ref encode_to_str(PyObject* data) {
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (size > (PY_SSIZE_T_MAX / 4) * 3 - 3) return Ref::steal(PyErr_NoMemory());
    Ref text = Ref::steal(PyUnicode_New((size + 2) / 3 * 4, 127));
    if (!text) return {};
    encode_into(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)), size, PyUnicode_1BYTE_DATA(text.get()));
    return text;
}

}  // namespace

// All or nothing: the names as one table, then `originals`, set only once every object is found.
bool base64_ready() {
    if (originals.module) return true;
    if (!base64_names::constants_ready()) return false;
    Ref module = Ref::steal(PyImport_ImportModule("base64"));
    Ref b64encode = module ? attr(module.get(), names.b64encode) : Ref{};
    Ref b64decode = b64encode ? attr(module.get(), names.b64decode) : Ref{};
    Ref binascii = b64decode ? Ref::steal(PyImport_ImportModule("binascii")) : Ref{};
    Ref b2a_base64 = binascii ? attr(binascii.get(), names.b2a_base64) : Ref{};
    Ref a2b_base64 = b2a_base64 ? attr(binascii.get(), names.a2b_base64) : Ref{};
    if (!a2b_base64) return false;
    originals = {module.release(),   b64encode.release(),  b64decode.release(),
                 binascii.release(), b2a_base64.release(), a2b_base64.release()};
    return true;
}

Ref b64encode_text(PyObject* base64, PyObject* data) {
    int fast = PyBytes_CheckExact(data) ? shortcut_allowed(base64, names.b64encode, originals.b64encode,
                                                           names.b2a_base64, originals.b2a_base64)
                                        : 0;
    if (fast < 0) return {};
    if (fast) return encode_to_str(data);
    Ref encoded = call_method(base64, names.b64encode, data);
    return encoded ? call_method(encoded.get(), names.decode, names.utf_8) : Ref{};
}

Ref b64decode(PyObject* base64, PyObject* text) {
    // binascii reads an ASCII str in place. Non-ASCII text is left to the standard function:
    // its ValueError carries the UnicodeEncodeError of the failed encoding as its context.
    bool ascii = PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text);
    int fast = ascii ? shortcut_allowed(base64, names.b64decode, originals.b64decode,
                                        names.a2b_base64, originals.a2b_base64)
                     : 0;
    if (fast < 0) return {};
    if (!fast) return call_method(base64, names.b64decode, text);
    Ref decoded = call(originals.a2b_base64, text);
    if (decoded || !PyErr_ExceptionMatches(PyExc_Exception)) return decoded;
    // Malformed input: the standard function raises the same error again, from its own frame,
    // so the traceback reads as the standard decoder's.
    PyErr_Clear();
    return call(originals.b64decode, text);
}

}  // namespace rt
