// Copy-free base64: encoding straight into a str, decoding an ASCII str in place, taken only
// when every function that the call would run is provably the standard library's own.
#include "runtime/base64.hpp"

#include "runtime/call.hpp"
#include "runtime/constants.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace rt {
namespace {

#define BASE64_NAMES(X)                                        \
    X(base64, text("base64"))                                  \
    X(b64encode, text("b64encode"))                            \
    X(b64decode, text("b64decode"))                            \
    X(bytes_from_decode_data, text("_bytes_from_decode_data")) \
    X(binascii, text("binascii"))                              \
    X(b2a_base64, text("b2a_base64"))                          \
    X(a2b_base64, text("a2b_base64"))                          \
    X(isinstance, text("isinstance"))                          \
    X(str_name, text("str"))                                   \
    X(decode, text("decode"))                                  \
    X(utf_8, text("utf-8"))                                    \
    X(PathFinder, text("PathFinder"))                          \
    X(find_spec, text("find_spec"))                            \
    X(loader, text("loader"))                                  \
    X(get_code, text("get_code"))                              \
    X(co_consts, text("co_consts"))                            \
    X(co_name, text("co_name"))

namespace base64_names {
RT_CONSTANT_TABLE(BASE64_NAMES)
}  // namespace base64_names
const auto& names = base64_names::constants;

// The code object of one standard function, read from the library's file at load (None when
// the library has no such file, so that the shortcut is never taken), and the last running code
// object found equal to it: code objects never change, so the next call compares identities.
struct KnownCode {
    PyObject* standard = nullptr;
    PyObject* seen = nullptr;
};

struct StandardCode {
    KnownCode b64encode;
    KnownCode b64decode;
    KnownCode bytes_from_decode_data;
};
StandardCode standard{};

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ---- the standard code, read once ----

// The code of the standard library's own base64.py as the import system compiles it (its
// cached bytecode or its source), found in the library's directory alone and neither run nor
// registered anywhere; None when there is no such file.
Ref stdlib_base64_code() {
    Ref stdlib = Ref::borrow(PySys_GetObject("_stdlib_dir"));
    if (!stdlib || stdlib.get() == Py_None) return none();
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    Ref finder = machinery ? attr(machinery.get(), names.PathFinder) : Ref{};
    Ref path = finder ? Ref::steal(Py_BuildValue("[O]", stdlib.get())) : Ref{};
    Ref spec = path ? call_method(finder.get(), names.find_spec, names.base64, path.get()) : Ref{};
    if (!spec || spec.get() == Py_None) return spec;
    Ref loader = attr(spec.get(), names.loader);
    return loader ? call_method(loader.get(), names.get_code, names.base64) : Ref{};
}

// The function code named `name` among the constants of a module's code; None when absent.
Ref nested_code(PyObject* module_code, PyObject* name) {
    if (!PyCode_Check(module_code)) return none();
    Ref consts = attr(module_code, names.co_consts);
    if (!consts || !PyTuple_Check(consts.get())) return consts ? none() : Ref{};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyCode_Check(item)) continue;
        Ref item_name = attr(item, names.co_name);
        int same = item_name ? PyObject_RichCompareBool(item_name.get(), name, Py_EQ) : -1;
        if (same < 0) return {};
        if (same) return Ref::borrow(item);
    }
    return none();
}

// ---- what a function would find and run ----

// What `function` finds for the global `name` when it runs: its globals, then its builtins,
// both read as plain dicts (so no code of the host runs). 1 found, 0 absent or not plain dicts.
int resolve_global(PyObject* function, PyObject* name, Ref& value) {
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    PyObject* builtins = reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
    if (!PyDict_CheckExact(globals) || !builtins || !PyDict_CheckExact(builtins)) return 0;
    PyObject* found = nullptr;
    int hit = PyDict_GetItemRef(globals, name, &found);
    if (hit == 0) hit = PyDict_GetItemRef(builtins, name, &found);
    value = Ref::steal(found);
    return hit;
}

// module.<name> of an exact module, read from its dict, which is where the attribute lookup
// of such a module finds it. 1 found, 0 absent or not a module.
int module_member(PyObject* module, PyObject* name, Ref& value) {
    if (!PyModule_CheckExact(module)) return 0;
    PyObject* found = nullptr;
    int hit = PyDict_GetItemRef(PyModule_GetDict(module), name, &found);
    value = Ref::steal(found);
    return hit;
}

// Whether `function` is the C function <module>.<name> of an extension: a built-in function
// bound to a module made from a definition named <module>, running that definition's own
// method entry <name>. Python code cannot make such an object.
bool is_extension_function(PyObject* function, const char* module, const char* name) {
    if (!PyCFunction_CheckExact(function)) return false;
    PyObject* self = PyCFunction_GET_SELF(function);
    PyModuleDef* definition = self && PyModule_Check(self) ? PyModule_GetDef(self) : nullptr;
    if (!definition || !definition->m_name || std::strcmp(definition->m_name, module) != 0) return false;
    const PyMethodDef* entry = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    for (const PyMethodDef* own = definition->m_methods; own && own->ml_name; ++own) {
        if (own == entry) return std::strcmp(own->ml_name, name) == 0;
    }
    return false;
}

// Whether `function` is a plain Python function running the standard code (compared by
// value: the running module was compiled apart from the copy read at load).
int runs_code(PyObject* function, KnownCode& code) {
    if (!PyFunction_Check(function)) return 0;
    PyObject* running = PyFunction_GET_CODE(function);
    if (running == code.seen) return 1;
    int same = PyObject_RichCompareBool(running, code.standard, Py_EQ);
    if (same > 0) Py_XSETREF(code.seen, Py_NewRef(running));
    return same;
}

// Whether the function's positional defaults are exactly `values`, item by item.
bool defaults_are(PyObject* function, std::initializer_list<PyObject*> values) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    if (!defaults || PyTuple_GET_SIZE(defaults) != static_cast<Py_ssize_t>(values.size())) return false;
    Py_ssize_t i = 0;
    for (PyObject* value : values) {
        if (PyTuple_GET_ITEM(defaults, i++) != value) return false;
    }
    return true;
}

// The `binascii.<name>` that a standard base64 function reads when it runs, when it is the
// binascii extension's own <name>: 1 with `codec` set, else 0.
int binascii_codec(PyObject* function, PyObject* name, const char* c_name, Ref& codec) {
    Ref binascii;
    int found = resolve_global(function, names.binascii, binascii);
    if (found > 0) found = module_member(binascii.get(), name, codec);
    return found > 0 ? is_extension_function(codec.get(), "binascii", c_name) : found;
}

// The first step of the standard b64decode for an exact str, `_bytes_from_decode_data(s)`:
// the standard function, reading the interpreter's own `isinstance` and `str`, so that it
// comes down to s.encode("ascii").
int standard_ascii_step(PyObject* decoder) {
    Ref step;
    int ok = resolve_global(decoder, names.bytes_from_decode_data, step);
    if (ok > 0) ok = runs_code(step.get(), standard.bytes_from_decode_data);
    Ref isinstance;
    if (ok > 0) ok = resolve_global(step.get(), names.isinstance, isinstance);
    if (ok > 0) ok = is_extension_function(isinstance.get(), "builtins", "isinstance");
    Ref str_type;
    if (ok > 0) ok = resolve_global(step.get(), names.str_name, str_type);
    return ok > 0 ? str_type.get() == reinterpret_cast<PyObject*>(&PyUnicode_Type) : ok;
}

// base64.b64encode(data) is the standard function with its default `altchars=None`, reading
// binascii's own b2a_base64: the result is the standard encoding of `data`.
int standard_encoder(PyObject* encoder) {
    int ok = runs_code(encoder, standard.b64encode);
    if (ok > 0) ok = defaults_are(encoder, {Py_None});
    Ref codec;
    return ok > 0 ? binascii_codec(encoder, names.b2a_base64, "b2a_base64", codec) : ok;
}

// base64.b64decode(text) is the standard function with its defaults `altchars=None,
// validate=False`, whose ASCII step and codec are the standard ones: 1 with `codec` set to
// binascii's own a2b_base64, which gives the same result for the ASCII str itself.
int standard_decoder(PyObject* decoder, Ref& codec) {
    int ok = runs_code(decoder, standard.b64decode);
    if (ok > 0) ok = defaults_are(decoder, {Py_None, Py_False});
    if (ok > 0) ok = standard_ascii_step(decoder);
    return ok > 0 ? binascii_codec(decoder, names.a2b_base64, "a2b_base64", codec) : ok;
}

// ---- the copy-free encoder ----

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
    encode_into(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)), size,
                PyUnicode_1BYTE_DATA(text.get()));
    return text;
}

}  // namespace

// All or nothing: the names as one table, then the standard code, set once all is read.
bool base64_ready() {
    if (standard.b64encode.standard) return true;
    if (!base64_names::constants_ready()) return false;
    Ref module_code = stdlib_base64_code();
    Ref encode = module_code ? nested_code(module_code.get(), names.b64encode) : Ref{};
    Ref decode = encode ? nested_code(module_code.get(), names.b64decode) : Ref{};
    Ref step = decode ? nested_code(module_code.get(), names.bytes_from_decode_data) : Ref{};
    if (!step) return false;
    standard = {.b64encode = {.standard = encode.release()},
                .b64decode = {.standard = decode.release()},
                .bytes_from_decode_data = {.standard = step.release()}};
    return true;
}

Ref b64encode_text(PyObject* base64, PyObject* data) {
    Ref encoder = attr(base64, names.b64encode);
    if (!encoder) return {};
    int fast = PyBytes_CheckExact(data) ? standard_encoder(encoder.get()) : 0;
    if (fast < 0) return {};
    if (fast) return encode_to_str(data);
    Ref encoded = call(encoder.get(), data);
    return encoded ? call_method(encoded.get(), names.decode, names.utf_8) : Ref{};
}

Ref b64decode(PyObject* base64, PyObject* text) {
    Ref decoder = attr(base64, names.b64decode);
    if (!decoder) return {};
    // binascii reads an ASCII str in place. Non-ASCII text is left to the standard function:
    // its ValueError carries the UnicodeEncodeError of the failed encoding as its context.
    Ref codec;
    bool ascii = PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text);
    int fast = ascii ? standard_decoder(decoder.get(), codec) : 0;
    if (fast < 0) return {};
    if (!fast) return call(decoder.get(), text);
    Ref decoded = call(codec.get(), text);
    if (decoded || !PyErr_ExceptionMatches(PyExc_Exception)) return decoded;
    // Malformed input: the standard function raises the same error again, from its own frame,
    // so the traceback reads as the standard decoder's.
    PyErr_Clear();
    return call(decoder.get(), text);
}

}  // namespace rt
