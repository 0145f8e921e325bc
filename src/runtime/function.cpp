// The native function type: the object made from a method table, its vectorcall, and the
// attributes a Python function has. Its table data, signature and traceback entries are in
// function_table.cpp, signature.cpp and traceback.cpp.
#include "runtime/function.hpp"

#include "runtime/bind.hpp"
#include "runtime/errors.hpp"
#include "runtime/function_object.hpp"
#include "runtime/text.hpp"

#include <cstddef>

namespace rt {
namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(callable);
    const Binding binding{*f->method, f->qualname, f->param_names, f->defaults};
    PyObject* result =
        guarded([&] { return bind_and_run(binding, callable, args, PyVectorcall_NARGS(nargsf), kwnames); });
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
constexpr PyObject* Function::* cyclic_fields[] = {
    &Function::dict,     &Function::doc,         &Function::module,
    &Function::defaults, &Function::annotations, &Function::globals,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* Function::* field : cyclic_fields) Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    for (PyObject* Function::* field : cyclic_fields) Py_CLEAR(f->*field);
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
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}
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

// A row of the attribute table: read-only unless it has a setter.
constexpr PyGetSetDef attribute(const char* name, getter get, setter set = nullptr) {
    return {.name = name, .get = get, .set = set, .doc = nullptr, .closure = nullptr};
}

PyGetSetDef function_getset[] = {
    attribute("__name__", get_name, set_name),
    attribute("__qualname__", get_qualname, set_qualname),
    attribute("__defaults__", get_defaults),
    attribute("__kwdefaults__", get_kwdefaults),
    attribute("__annotations__", get_annotations, set_annotations),
    attribute("__globals__", get_globals),
    attribute("__signature__", function_signature),
    attribute("__module__", get_module, set_module),
    attribute("__doc__", get_doc, set_doc),
    attribute("__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict),
    {.name = nullptr, .get = nullptr, .set = nullptr, .doc = nullptr, .closure = nullptr},
};

// A row of the member table: the read-only offset the interpreter looks for under `name`.
constexpr PyMemberDef offset_member(const char* name, Py_ssize_t offset) {
    return {.name = name, .type = Py_T_PYSSIZET, .offset = offset, .flags = Py_READONLY, .doc = nullptr};
}

PyMemberDef function_members[] = {
    offset_member("__vectorcalloffset__", offsetof(Function, vectorcall)),
    offset_member("__dictoffset__", offsetof(Function, dict)),
    offset_member("__weaklistoffset__", offsetof(Function, weaklist)),
    {.name = nullptr, .type = 0, .offset = 0, .flags = 0, .doc = nullptr},
};

PyMethodDef function_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = function_reduce, .ml_flags = METH_NOARGS, .ml_doc = nullptr},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyType_Slot function_slots[] = {
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(function_dealloc)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(function_repr)},
    {.slot = Py_tp_call, .pfunc = reinterpret_cast<void*>(PyVectorcall_Call)},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void*>(function_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void*>(function_clear)},
    {.slot = Py_tp_methods, .pfunc = function_methods},
    {.slot = Py_tp_members, .pfunc = function_members},
    {.slot = Py_tp_getset, .pfunc = function_getset},
    {.slot = Py_tp_descr_get, .pfunc = reinterpret_cast<void*>(function_descr_get)},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec function_spec = {
    .name = "native_function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

// The type, made once per process and kept.
PyTypeObject* function_type = nullptr;

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
    Ref doc = table_doc(method);
    Ref defaults = table_defaults(method);
    Ref annotations = table_annotations(method);
    Ref param_names = table_param_names(method);
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

PyObject* function_globals(PyObject* function) { return as_function(function)->globals; }

}  // namespace rt
