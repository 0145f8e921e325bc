// Calls with keywords merged from a dict, pair unpacking and equality, as the interpreter does them.
#include "runtime/call.hpp"

#include <vector>

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
    if (owned_module && owned_module.get() != Py_None && PyUnicode_Check(owned_module.get()) &&
        PyUnicode_CompareWithASCIIString(owned_module.get(), "builtins") != 0) {
        return Ref::steal(PyUnicode_FromFormat("%S.%S()", owned_module.get(), owned_qualname.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", owned_qualname.get()));
}

void raise_given_twice(PyObject* self, PyObject* name, PyObject* key) {
    Ref callable = attr(self, name);
    Ref described = callable ? function_str(callable.get()) : Ref{};
    if (described) {
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", described.get(), key);
    }
}

// The first key of `extra` that repeats a name of `kwnames` raises the interpreter's TypeError.
// Comparing keys may run code (a str subclass's __eq__), so this runs before any value of
// `extra` is borrowed for the call.
bool check_not_given_twice(PyObject* self, PyObject* name, PyObject* kwnames, PyObject* extra) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(extra, &pos, &key, &value)) {
        int repeated = PySequence_Contains(kwnames, key);
        if (repeated == 0) continue;
        if (repeated > 0) raise_given_twice(self, name, key);
        return false;
    }
    return true;
}

}  // namespace

namespace detail {

Ref call_method_with_keywords(PyObject* self, PyObject* name, PyObject* kwnames, std::span<PyObject* const> values,
                              PyObject* extra) {
    Py_ssize_t extras = extra ? PyDict_GET_SIZE(extra) : 0;
    std::vector<PyObject*> stack{self};
    stack.insert(stack.end(), values.begin(), values.end());
    if (extras == 0) return Ref::steal(PyObject_VectorcallMethod(name, stack.data(), 1, kwnames));
    if (!check_not_given_twice(self, name, kwnames, extra)) return {};
    Ref all_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size()) + extras));
    if (!all_names) return {};
    // From here to the call no code runs, so the borrowed values of `extra` stay alive; the names
    // and the values are appended in the same walk, so each name stays beside its value.
    Py_ssize_t i = 0;
    for (; i < PyTuple_GET_SIZE(kwnames); ++i)
        PyTuple_SET_ITEM(all_names.get(), i, Py_NewRef(PyTuple_GET_ITEM(kwnames, i)));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    for (; PyDict_Next(extra, &pos, &key, &value); ++i) {
        PyTuple_SET_ITEM(all_names.get(), i, Py_NewRef(key));
        stack.push_back(value);
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data(), 1, all_names.get()));
}

}  // namespace detail

bool unpack_pair(PyObject* value, Ref& first, Ref& second) {
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        // Only an object with no way to iterate gets the unpacking wording; the TypeError of an
        // __iter__ that fails or returns a non-iterator passes unchanged, as in the interpreter.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
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
        // The interpreter gives the length only for an exact list, tuple or dict.
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
            Py_ssize_t size = PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) : Py_SIZE(value);
            if (size > 2) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
                return false;
            }
        }
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
