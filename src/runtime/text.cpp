// The text form of values, joining strings, interned names.
#include "runtime/text.hpp"

namespace rt {

Ref text_form(PyObject* value) { return Ref::steal(PyObject_Format(value, nullptr)); }

Ref join(std::initializer_list<PyObject*> pieces) {
    Ref result = Ref::steal(PyUnicode_New(0, 0));
    for (PyObject* piece : pieces) {
        if (!result) return {};
        result = Ref::steal(PyUnicode_Concat(result.get(), piece));
    }
    return result;
}

Ref prefixed(PyObject* prefix, PyObject* value) {
    Ref text = text_form(value);
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(prefix, text.get()));
}

Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

PyObject* interned(const char* utf8) { return PyUnicode_InternFromString(utf8); }

bool starts_with(PyObject* text, PyObject* prefix) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
    return PyUnicode_GET_LENGTH(text) >= n && PyUnicode_Tailmatch(text, prefix, 0, n, -1) == 1;
}

}  // namespace rt
