// Calling interpreter objects with borrowed arguments.
#pragma once

#include "runtime/constants.hpp"
#include "runtime/ref.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <utility>

namespace rt {

inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// callable(args...)
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...), through attribute lookup on obj.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(A), nullptr));
}

// Keyword calls take their names as a `Keywords<K>` of a constant table and their values as a
// pack or a braced list whose size is checked against K when the call compiles, so a name
// without a value, or a value without a name, is a compile error; the positional arguments
// come in a braced list of their own, and the argument vector is sized at compile time.
namespace detail {

template <class... V>
concept Objects = (std::same_as<V, PyObject*> && ...);

// {first, positional..., values...}: the argument vector of a vectorcall.
template <std::size_t P, class... V>
std::array<PyObject*, 1 + P + sizeof...(V)> arguments(PyObject* first, const std::array<PyObject*, P>& positional,
                                                      V... values) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyObject*, 1 + P + sizeof...(V)>{first, positional[I]..., values...};
    }(std::make_index_sequence<P>{});
}

template <std::size_t P, std::size_t K, class... V>
Ref call_kw(PyObject* callable, const std::array<PyObject*, P>& positional, const Keywords<K>& names,
            V... values) {
    static_assert(sizeof...(V) == K, "a keyword call passes one value per keyword name");
    auto stack = arguments(nullptr, positional, values...);
    return Ref::steal(
        PyObject_Vectorcall(callable, stack.data() + 1, P | PY_VECTORCALL_ARGUMENTS_OFFSET, names.names));
}

template <std::size_t P, std::size_t K, class... V>
Ref call_method_kw(PyObject* obj, PyObject* name, const std::array<PyObject*, P>& positional,
                   const Keywords<K>& names, V... values) {
    static_assert(sizeof...(V) == K, "a keyword call passes one value per keyword name");
    auto stack = arguments(obj, positional, values...);
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data(), 1 + P, names.names));
}

// The call behind the template of the same name below, which has checked the sizes.
Ref call_method_with_keywords(PyObject* self, PyObject* name, PyObject* kwnames, std::span<PyObject* const> values,
                              PyObject* extra);

}  // namespace detail

// callable(**dict(zip(names, values)))
template <std::size_t K, detail::Objects... V>
Ref call_kw(PyObject* callable, const Keywords<K>& names, V... values) {
    return detail::call_kw(callable, std::array<PyObject*, 0>{}, names, values...);
}

// callable(*positional, **dict(zip(names, values))), e.g. call_kw(f, {a}, kw_b_c, b, c)
template <std::size_t P, std::size_t K, detail::Objects... V>
Ref call_kw(PyObject* callable, PyObject* const (&positional)[P], const Keywords<K>& names, V... values) {
    return detail::call_kw(callable, std::to_array(positional), names, values...);
}

// obj.name(**dict(zip(names, values))), through attribute lookup on obj.
template <std::size_t K, detail::Objects... V>
Ref call_method_kw(PyObject* obj, PyObject* name, const Keywords<K>& names, V... values) {
    return detail::call_method_kw(obj, name, std::array<PyObject*, 0>{}, names, values...);
}

// obj.name(*positional, **dict(zip(names, values))), through attribute lookup on obj.
template <std::size_t P, std::size_t K, detail::Objects... V>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* const (&positional)[P], const Keywords<K>& names,
                   V... values) {
    return detail::call_method_kw(obj, name, std::to_array(positional), names, values...);
}

// self.<name>(**dict(zip(names, values)), **extra): the named keywords in order, then the
// entries of the dict `extra` (may be nullptr); a key of `extra` that repeats a named keyword
// raises the interpreter's TypeError for a keyword given twice.
template <std::size_t K, std::size_t V>
Ref call_method_with_keywords(PyObject* self, PyObject* name, const Keywords<K>& names,
                              PyObject* const (&values)[V], PyObject* extra) {
    static_assert(V == K, "a keyword call passes one value per keyword name");
    return detail::call_method_with_keywords(self, name, names.names, values, extra);
}

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
