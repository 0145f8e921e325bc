#include "runtime/call.hpp"

namespace rt {
namespace {

// How the interpreter names a callable in its messages: "module.qualname()".
Ref function_str(PyObject* callable) {
    PyObject* qualname = nullptr;
    if (PyObject_GetOptionalAttrString(callable, "__qualname__", &qualname) < 0) return {};
    Ref owned_qualname = Ref::steal(qualname);
    if (!owned_qualname) return Ref::steal(PyObject_Str(callable));
    PyObject* module = nullptr;
    if (PyObject_GetOptionalAttrString(callable, "__module__", &module) < 0) return {};
    Ref owned_module = Ref::steal(module);
    if (owned_module && owned_module.get() != Py_None &&
        PyUnicode_Check(owned_module.get()) && PyUnicode_CompareWithASCIIString(owned_module.get(), "builtins") != 0) {
        return Ref::steal(PyUnicode_FromFormat("%S.%S()", owned_module.get(), owned_qualname.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", owned_qualname.get()));
}

bool merge_extra(PyObject* callable, PyObject* keywords, PyObject* extra) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(extra, &pos, &key, &value)) {
        int present = PyDict_Contains(keywords, key);
        if (present < 0) return false;
        if (present) {
            Ref name = function_str(callable);
            if (name) PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", name.get(), key);
            return false;
        }
        if (PyDict_SetItem(keywords, key, value) < 0) return false;
    }
    return true;
}

}  // namespace

Ref call_with_keywords(PyObject* callable, std::initializer_list<Keyword> named, PyObject* extra) {
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords) return {};
    for (const Keyword& keyword : named) {
        if (PyDict_SetItem(keywords.get(), keyword.name, keyword.value) < 0) return {};
    }
    if (extra && !merge_extra(callable, keywords.get(), extra)) return {};
    return Ref::steal(PyObject_VectorcallDict(callable, nullptr, 0, keywords.get()));
}

bool unpack_pair(PyObject* value, Ref& first, Ref& second) {
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (items[i]) continue;
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        return false;
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    if (PyErr_Occurred()) return false;
    first = std::move(items[0]);
    second = std::move(items[1]);
    return true;
}

int equals(PyObject* a, PyObject* b) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace rt
