// The native function type: construction from a method table, vectorcall, introspection and
// the traceback entries of the exceptions that pass through.
#include "runtime/function.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/bind.hpp"
#include "runtime/text.hpp"

#include <array>
#include <frameobject.h>
#include <cstddef>

namespace rt {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Method* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict of str
    PyObject* globals;
    PyObject* param_names;  // tuple of interned names, in table order
    PyObject* code;         // made on the first error, for traceback entries
    PyObject* weaklist;
};

Function* as_function(PyObject* op) { return reinterpret_cast<Function*>(op); }

std::size_t param_count(const Function* f) { return f->method->params.size(); }

std::size_t default_count(const Function* f) {
    return f->defaults == Py_None ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(f->defaults));
}

// The code object that stands for the function in tracebacks: its name, and the module's file.
PyObject* code_of(Function* f) {
    if (f->code) return f->code;
    PyObject* file = nullptr;
    if (PyDict_GetItemStringRef(f->globals, "__file__", &file) < 0) return nullptr;
    Ref filename = Ref::steal(file);
    if (!filename || !PyUnicode_Check(filename.get())) filename = str("<native>");
    const char* file_text = filename ? PyUnicode_AsUTF8(filename.get()) : nullptr;
    const char* name_text = file_text ? PyUnicode_AsUTF8(f->name) : nullptr;
    if (!name_text) return nullptr;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, 0));
    if (f->code) Py_XDECREF(code);  // another thread made it meanwhile
    else f->code = code;
    return f->code;
}

bool traceback_starts_in(PyObject* exc, PyObject* code) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb) return false;
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(tb.get())->tb_frame;
    Ref frame_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return frame_code.get() == code;
}

// A new frame standing for the function in a traceback entry; empty (and nothing raised)
// when it cannot be made.
Ref entry_frame(Function* f, PyObject* code) {
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), f->globals, nullptr)));
    if (!frame) PyErr_Clear();
    return frame;
}

// Adds the function's entry to the raised exception's traceback, once per function, as the
// interpreter does for each frame an exception passes through. Everything that may fail runs
// while the exception is held aside, so a failure costs the entry, never the exception.
void add_traceback_entry(Function* f) {
    Ref exc = take_raised();
    if (!exc) return;
    PyObject* code = code_of(f);
    Ref frame = code && !traceback_starts_in(exc.get(), code) ? entry_frame(f, code) : Ref{};
    PyErr_Clear();
    Ref original = Ref::borrow(exc.get());
    (void)reraise(std::move(exc));
    if (frame && PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
        PyErr_Clear();  // the entry could not be added: the original goes on without it
        (void)reraise(std::move(original));
    }
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(callable);
    const Binding binding{*f->method, f->qualname, f->param_names, f->defaults};
    PyObject* result = guarded([&] { return bind_and_run(binding, callable, args, PyVectorcall_NARGS(nargsf), kwnames); });
    if (!result) add_traceback_entry(f);
    return result;
}

// ---- the type ----

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// The fields that may hold arbitrary objects, and so take part in reference cycles.
constexpr PyObject* Function::*cyclic_fields[] = {
    &Function::dict, &Function::doc, &Function::module, &Function::defaults, &Function::annotations, &Function::globals,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* Function::*field : cyclic_fields) Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    for (PyObject* Function::*field : cyclic_fields) Py_CLEAR(f->*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->code);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int set_text(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_text(&as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

// inspect.Parameter for one table entry.
Ref make_parameter(PyObject* parameter_cls, PyObject* kind, PyObject* name, PyObject* fallback, PyObject* annotation) {
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!kwnames) return {};
    return call_kw(parameter_cls, kwnames.get(), name, kind, fallback, annotation);
}

PyObject* get_signature(PyObject* self, void*) {
    return guarded([&]() -> Ref {
        Function* f = as_function(self);
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        if (!inspect) return {};
        Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        if (!parameter_cls || !signature_cls) return {};
        Ref empty = Ref::steal(PyObject_GetAttrString(signature_cls.get(), "empty"));
        Ref positional = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_keyword = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "VAR_KEYWORD"));
        Ref params = Ref::steal(PyList_New(0));
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
            Ref p = make_parameter(parameter_cls.get(), var_keyword.get(), kwargs_name.get(), empty.get(), empty.get());
            if (!p || PyList_Append(params.get(), p.get()) < 0) return {};
        }
        PyObject* returns = nullptr;
        if (PyDict_GetItemStringRef(f->annotations, "return", &returns) < 0) return {};
        Ref owned_returns = Ref::steal(returns);
        Ref kwnames = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
        if (!kwnames) return {};
        return call_kw(signature_cls.get(), kwnames.get(), params.get(),
                       owned_returns ? owned_returns.get() : empty.get());
    });
}

// Pickled by reference, like a Python function: found again as <module>.<qualname>.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }


PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// The type, made once per process and kept.
PyTypeObject* function_type = nullptr;

// ---- construction from a table ----

Ref default_value(const Default& fallback) {
    if (fallback.kind == Default::Kind::str) return str(fallback.text);
    return none();
}

Ref make_defaults(const Method& m) {
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return {};
    for (const Param& p : m.params) {
        if (!p.fallback.present()) continue;
        Ref value = default_value(p.fallback);
        if (!value || PyList_Append(values.get(), value.get()) < 0) return {};
    }
    if (PyList_GET_SIZE(values.get()) == 0) return none();
    return Ref::steal(PyList_AsTuple(values.get()));
}

Ref make_annotations(const Method& m) {
    Ref annotations = Ref::steal(PyDict_New());
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

Ref make_param_names(const Method& m) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(m.params.size())));
    if (!names) return {};
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        PyObject* name = interned(m.params[i].name);
        if (!name) return {};
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

Ref make_doc(const Method& m) { return m.doc ? str(m.doc) : none(); }

}  // namespace

bool function_type_ready() {
    if (!function_type) function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

Ref make_function(const Method& method, PyObject* module_name, PyObject* owner, PyObject* globals) {
    if (method.params.size() > max_bound_params) {
        PyErr_SetString(PyExc_SystemError, "method table has too many parameters");
        return {};
    }
    Ref name = Ref::steal(interned(method.name));
    Ref qualname = name ? Ref::steal(PyUnicode_FromFormat("%U.%U", owner, name.get())) : Ref{};
    Ref doc = make_doc(method);
    Ref defaults = make_defaults(method);
    Ref annotations = make_annotations(method);
    Ref param_names = make_param_names(method);
    if (!qualname || !doc || !defaults || !annotations || !param_names) return {};
    Function* f = PyObject_GC_New(Function, function_type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->method = &method;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->dict = nullptr;
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->globals = Py_NewRef(globals);
    f->param_names = param_names.release();
    f->code = nullptr;
    f->weaklist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void note_frame(const CallFrame& frame) {
    if (PyErr_Occurred()) add_traceback_entry(as_function(frame.function));
}

PyObject* function_globals(PyObject* function) { return as_function(function)->globals; }

}  // namespace rt
