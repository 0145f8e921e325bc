// Traceback entries for the native functions: an exception that passes through one gets the
// function's entry, as the interpreter adds one for each frame it leaves.
#include "runtime/traceback.hpp"

#include "runtime/errors.hpp"
#include "runtime/function_object.hpp"
#include "runtime/text.hpp"

#include <frameobject.h>
#include <utility>

namespace rt {
namespace {

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

}  // namespace

// Once per function, as the interpreter does for each frame an exception passes through.
// Everything that may fail runs while the exception is held aside, so a failure costs the
// entry, never the exception.
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

void add_frame_to_traceback(const CallFrame& frame) {
    if (PyErr_Occurred()) add_traceback_entry(as_function(frame.function));
}

}  // namespace rt
