#include "runtime/base64.hpp"

#include "runtime/call.hpp"
#include "runtime/text.hpp"

#include <cstdint>

namespace rt {
namespace {

struct Base64Originals {
    PyObject* module;
    PyObject* b64encode;
    PyObject* b64decode;
    PyObject* a2b_base64;
    PyObject* name_b64encode;
    PyObject* name_b64decode;
    PyObject* name_decode;
    PyObject* utf_8;
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

Ref import_attr(const char* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return imported ? Ref::steal(PyObject_GetAttrString(imported.get(), name)) : Ref{};
}

}  // namespace

// All or nothing: `originals.module` is set only once every other field is made.
bool base64_ready() {
    if (originals.module) return true;
    Ref module = Ref::steal(PyImport_ImportModule("base64"));
    Ref b64encode = module ? Ref::steal(PyObject_GetAttrString(module.get(), "b64encode")) : Ref{};
    Ref b64decode = b64encode ? Ref::steal(PyObject_GetAttrString(module.get(), "b64decode")) : Ref{};
    Ref a2b_base64 = b64decode ? import_attr("binascii", "a2b_base64") : Ref{};
    Ref name_b64encode = a2b_base64 ? Ref::steal(interned("b64encode")) : Ref{};
    Ref name_b64decode = name_b64encode ? Ref::steal(interned("b64decode")) : Ref{};
    Ref name_decode = name_b64decode ? Ref::steal(interned("decode")) : Ref{};
    Ref utf_8 = name_decode ? Ref::steal(interned("utf-8")) : Ref{};
    if (!utf_8) return false;
    originals = {module.release(),         b64encode.release(),      b64decode.release(),   a2b_base64.release(),
                 name_b64encode.release(), name_b64decode.release(), name_decode.release(), utf_8.release()};
    return true;
}

Ref b64encode_text(PyObject* base64, PyObject* data) {
    int fast = PyBytes_CheckExact(data) ? standard(base64, originals.name_b64encode, originals.b64encode) : 0;
    if (fast < 0) return {};
    if (fast) return encode_to_str(data);
    Ref encoded = call_method(base64, originals.name_b64encode, data);
    return encoded ? call_method(encoded.get(), originals.name_decode, originals.utf_8) : Ref{};
}

Ref b64decode(PyObject* base64, PyObject* text) {
    int fast = PyUnicode_CheckExact(text) ? standard(base64, originals.name_b64decode, originals.b64decode) : 0;
    if (fast < 0) return {};
    // binascii reads an ASCII str in place; a non-ASCII one raises the ValueError that
    // b64decode raises, with the same text.
    if (fast) return call(originals.a2b_base64, text);
    return call_method(base64, originals.name_b64decode, text);
}

}  // namespace rt
