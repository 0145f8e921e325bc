// Taking, putting back and matching raised exceptions; the handled-exception scope; argument type errors.
#include "runtime/errors.hpp"

#include <string>
#include <utility>

namespace rt {

Ref take_raised() { return Ref::steal(PyErr_GetRaisedException()); }

Ref reraise(Ref exc) {
    PyErr_SetRaisedException(exc.release());
    return {};
}

namespace {
bool catchable(PyObject* cls) { return PyExceptionClass_Check(cls); }
}  // namespace

int matches(PyObject* exc, PyObject* cls) {
    bool valid = catchable(cls);
    if (PyTuple_Check(cls)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
            valid = valid && catchable(PyTuple_GET_ITEM(cls, i));
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(exc, cls);
}

HandlingScope::HandlingScope(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
}

HandlingScope::~HandlingScope() { PyErr_SetHandledException(previous_.get()); }

void add_note_to_raised(const char* note) {
    Ref exc = take_raised();
    Ref added = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "s", note));
    if (added) (void)reraise(std::move(exc));  // else the note's own failure stays raised
}

void raise_argument_type(const char* name, PyTypeObject* expected, PyObject* value) {
    PyTypeObject* given = Py_TYPE(value);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected->tp_name, given->tp_name);
    if (PyType_IsSubtype(given, expected)) {
        std::string note =
            std::string("Subclasses of built-in types are refused here: pass an exact ") + expected->tp_name + ".";
        add_note_to_raised(note.c_str());
    }
}

}  // namespace rt
