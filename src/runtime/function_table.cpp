// What Python sees of a method, made once from its table: defaults, annotations, parameter
// names and docstring.
#include "runtime/function_object.hpp"

#include "runtime/text.hpp"

#include <cstddef>

namespace rt {
namespace {

Ref default_value(const Default& fallback) {
    if (fallback.kind == Default::Kind::str) return str(fallback.text);
    return none();
}

}  // namespace

Ref table_defaults(const Method& m) {
    Ref values = new_list();
    if (!values) return {};
    for (const Param& p : m.params) {
        if (!p.fallback.present()) continue;
        Ref value = default_value(p.fallback);
        if (!value || PyList_Append(values.get(), value.get()) < 0) return {};
    }
    if (PyList_GET_SIZE(values.get()) == 0) return none();
    return Ref::steal(PyList_AsTuple(values.get()));
}

Ref table_annotations(const Method& m) {
    Ref annotations = new_dict();
    if (!annotations) return {};
    for (const Param& p : m.params) {
        if (!p.annotation) continue;
        Ref text = str(p.annotation);
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return {};
    }
    if (m.returns) {
        Ref text = str(m.returns);
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
    }
    return annotations;
}

Ref table_param_names(const Method& m) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(m.params.size())));
    if (!names) return {};
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        PyObject* name = interned(m.params[i].name);
        if (!name) return {};
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

Ref table_doc(const Method& m) { return m.doc ? str(m.doc) : none(); }

}  // namespace rt
