// Calling interpreter objects with borrowed arguments.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace rt {

inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// callable(args...)
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(positional..., **dict(zip(kwnames, trailing args))): the last len(kwnames) arguments
// are passed by keyword, in the order of `kwnames`.
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, A... args) {
    PyObject* stack[] = {nullptr, args...};
    std::size_t positional = sizeof...(A) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(args...), through attribute lookup on obj.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(A), nullptr));
}

// obj.name(positional..., keywords...): as call_kw, through attribute lookup on obj.
template <class... A>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, A... args) {
    PyObject* stack[] = {obj, args...};
    std::size_t positional = 1 + sizeof...(A) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_VectorcallMethod(name, stack, positional, kwnames));
}

// self.<name>(**dict(zip(kwnames, values)), **extra): the named keywords in order, then the
// entries of the dict `extra` (may be nullptr); a key of `extra` that repeats a named keyword
// raises the interpreter's TypeError for a keyword given twice.
Ref call_method_with_keywords(PyObject* self, PyObject* name, PyObject* kwnames,
                              std::initializer_list<PyObject*> values, PyObject* extra);

// `first, second = value`, with the interpreter's unpacking errors.
bool unpack_pair(PyObject* value, Ref& first, Ref& second);

// dict[key] = value on a dict: false with an error set when it fails.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) { return PyDict_SetItem(dict, key, value) == 0; }

// bool(value): 1 or 0, or -1 with an error set.
inline int truth(PyObject* value) { return PyObject_IsTrue(value); }

// dict.get(key, fallback) on a dict.
inline Ref dict_get(PyObject* dict, PyObject* key, PyObject* fallback) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, key, &value);
    if (found < 0) return {};
    return found ? Ref::steal(value) : Ref::borrow(fallback);
}

// dict.pop(key, None) on a dict.
inline Ref dict_pop(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_Pop(dict, key, &value) < 0) return {};
    return value ? Ref::steal(value) : none();
}

// `a == b` as the interpreter evaluates it: 1 or 0, or -1 with an error set.
int equals(PyObject* a, PyObject* b);

}  // namespace rt
