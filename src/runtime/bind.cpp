// Binding a vectorcall to a method table: keywords, positionals, defaults, exact-type checks.
#include "runtime/bind.hpp"

#include "runtime/errors.hpp"
#include "runtime/suggest.hpp"
#include "runtime/text.hpp"

#include <array>

namespace rt {
namespace {

std::size_t param_count(const Binding& f) { return f.method.params.size(); }

std::size_t default_count(const Binding& f) {
    return f.defaults == Py_None ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(f.defaults));
}

PyTypeObject* exact_type(Exact type) {
    switch (type) {
        case Exact::str: return &PyUnicode_Type;
        case Exact::bytes: return &PyBytes_Type;
        case Exact::list: return &PyList_Type;
        case Exact::dict: return &PyDict_Type;
        case Exact::unchecked: break;
    }
    return nullptr;
}

Py_ssize_t find_param(const Binding& f, PyObject* keyword) {
    Py_ssize_t n = PyTuple_GET_SIZE(f.param_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(f.param_names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(f.param_names, i), keyword, Py_EQ);
        if (equal != 0) return equal > 0 ? i : -2;
    }
    return -1;
}

void raise_unexpected_keyword(const Binding& f, PyObject* keyword) {
    Ref suggestion = suggest_name(f.param_names, keyword);
    if (suggestion) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f.qualname, keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname, keyword);
    }
}

bool bind_keywords(const Binding& f, PyObject** slots, PyObject* kwargs, PyObject* const* values,
                   PyObject* kwnames) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t index = find_param(f, keyword);
        if (index == -2) return false;
        if (index >= 0) {
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f.qualname, keyword);
                return false;
            }
            slots[index] = values[i];
        } else if (kwargs) {
            if (PyDict_SetItem(kwargs, keyword, values[i]) < 0) return false;
        } else {
            raise_unexpected_keyword(f, keyword);
            return false;
        }
    }
    return true;
}

void raise_too_many_positional(const Binding& f, Py_ssize_t given) {
    auto total = static_cast<Py_ssize_t>(param_count(f));
    auto defaults = static_cast<Py_ssize_t>(default_count(f));
    Ref sig = defaults ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", total - defaults, total))
                       : Ref::steal(PyUnicode_FromFormat("%zd", total));
    if (!sig) return;
    bool plural = defaults ? true : total != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f.qualname, sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
Ref format_missing(PyObject* names) {
    Py_ssize_t n = PyList_GET_SIZE(names);
    if (n == 1) return Ref::borrow(PyList_GET_ITEM(names, 0));
    if (n == 2) {
        return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1)));
    }
    Ref tail = Ref::steal(
        PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, n - 2), PyList_GET_ITEM(names, n - 1)));
    Ref head_items = Ref::steal(PyList_GetSlice(names, 0, n - 2));
    Ref separator = str(", ");
    if (!tail || !head_items || !separator) return {};
    Ref head = Ref::steal(PyUnicode_Join(separator.get(), head_items.get()));
    if (!head) return {};
    return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
}

void raise_missing(const Binding& f, PyObject* const* slots, std::size_t required) {
    Ref names = new_list();
    if (!names) return;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i]) continue;
        Ref quoted = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f.param_names, static_cast<Py_ssize_t>(i))));
        if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return;
    }
    Ref listed = format_missing(names.get());
    if (!listed) return;
    Py_ssize_t missing = PyList_GET_SIZE(names.get());
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f.qualname, missing,
                 missing == 1 ? "" : "s", listed.get());
}

bool fill_defaults(const Binding& f, PyObject** slots) {
    std::size_t total = param_count(f);
    std::size_t required = total - default_count(f);
    for (std::size_t i = 0; i < required; ++i) {
        if (!slots[i]) {
            raise_missing(f, slots, required);
            return false;
        }
    }
    for (std::size_t i = required; i < total; ++i) {
        if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f.defaults, static_cast<Py_ssize_t>(i - required));
    }
    return true;
}

bool check_types(const Method& m, PyObject* const* slots) {
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        TypeCheck check = m.params[i].check();
        PyTypeObject* expected = exact_type(check.type);
        if (!expected) continue;
        PyObject* value = slots[i];
        if (Py_IS_TYPE(value, expected) || (check.admits_none && value == Py_None)) continue;
        raise_argument_type(m.params[i].name, expected, value);
        return false;
    }
    return true;
}

}  // namespace

Ref bind_and_run(const Binding& f, PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    const Method& m = f.method;
    std::array<PyObject*, max_bound_params> slots{};
    auto total = static_cast<Py_ssize_t>(param_count(f));
    for (Py_ssize_t i = 0; i < nargs && i < total; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    Ref kwargs;
    if (m.varkw == Varkw::yes) {
        kwargs = new_dict();
        if (!kwargs) return {};
    }
    if (kwnames && !bind_keywords(f, slots.data(), kwargs.get(), args + nargs, kwnames)) return {};
    if (nargs > total) {
        raise_too_many_positional(f, nargs);
        return {};
    }
    if (!fill_defaults(f, slots.data()) || !check_types(m, slots.data())) return {};
    return m.body(CallFrame{slots.data(), kwargs.get(), function});
}

}  // namespace rt
