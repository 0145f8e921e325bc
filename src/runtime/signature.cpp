// A native function's `__signature__`: an inspect.Signature read off the same table as the
// binder, so introspection cannot drift from behaviour.
#include "runtime/function_object.hpp"

#include "runtime/call.hpp"
#include "runtime/constants.hpp"
#include "runtime/errors.hpp"
#include "runtime/text.hpp"

#include <cstddef>

namespace rt {
namespace {

#define SIGNATURE_KEYWORDS(X)                      \
    X(parameter, keywords<"default annotation">()) \
    X(signature, keywords<"return_annotation">())

namespace signature_keywords {
RT_CONSTANT_TABLE(SIGNATURE_KEYWORDS)
}  // namespace signature_keywords
const auto& keyword_names = signature_keywords::constants;

// inspect.Parameter for one table entry.
Ref make_parameter(PyObject* parameter_cls, PyObject* kind, PyObject* name, PyObject* fallback,
                   PyObject* annotation) {
    return call_kw(parameter_cls, {name, kind}, keyword_names.parameter, fallback, annotation);
}

}  // namespace

PyObject* function_signature(PyObject* self, void*) {
    return guarded([&]() -> Ref {
        Function* f = as_function(self);
        if (!signature_keywords::constants_ready()) return {};
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        if (!inspect) return {};
        Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        if (!parameter_cls || !signature_cls) return {};
        Ref empty = Ref::steal(PyObject_GetAttrString(signature_cls.get(), "empty"));
        Ref positional = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_keyword = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "VAR_KEYWORD"));
        Ref params = new_list();
        if (!empty || !positional || !var_keyword || !params) return {};
        std::size_t total = param_count(f);
        std::size_t required = total - default_count(f);
        for (std::size_t i = 0; i < total; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->param_names, static_cast<Py_ssize_t>(i));
            PyObject* fallback =
                i < required ? empty.get() : PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i - required));
            PyObject* annotation = nullptr;
            if (PyDict_GetItemRef(f->annotations, name, &annotation) < 0) return {};
            Ref owned_annotation = Ref::steal(annotation);
            Ref p = make_parameter(parameter_cls.get(), positional.get(), name, fallback,
                                   owned_annotation ? owned_annotation.get() : empty.get());
            if (!p || PyList_Append(params.get(), p.get()) < 0) return {};
        }
        if (f->method->varkw == Varkw::yes) {
            Ref kwargs_name = str("kwargs");
            if (!kwargs_name) return {};
            Ref p = make_parameter(parameter_cls.get(), var_keyword.get(), kwargs_name.get(), empty.get(),
                                   empty.get());
            if (!p || PyList_Append(params.get(), p.get()) < 0) return {};
        }
        PyObject* returns = nullptr;
        if (PyDict_GetItemStringRef(f->annotations, "return", &returns) < 0) return {};
        Ref owned_returns = Ref::steal(returns);
        return call_kw(signature_cls.get(), {params.get()}, keyword_names.signature,
                       owned_returns ? owned_returns.get() : empty.get());
    });
}

}  // namespace rt
