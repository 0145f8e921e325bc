// The interpreter's error convention, made explicit: a failing step sets the error indicator
// and returns an empty Ref (or false). No C++ exception carries a Python error.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// Takes the raised exception out of the error indicator (an empty Ref if none is raised).
Ref take_raised();
// Puts an exception back as the raised one; returns an empty Ref for `return reraise(...)`.
Ref reraise(Ref exc);
// Whether the exception is an instance of `cls` (an exception class or a tuple of them):
// 1 or 0, or -1 with TypeError when `cls` cannot be caught, as for an `except` clause.
int matches(PyObject* exc, PyObject* cls);

// While alive, makes `exc` the exception being handled (what `sys.exception()` and
// `traceback.format_exc()` see, and the `__context__` of anything raised meanwhile), then
// restores the caller's handled exception on every exit.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc);
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref previous_;
};

// Raises TypeError for an argument of the wrong exact type, with a note on subclasses.
void raise_argument_type(const char* name, PyTypeObject* expected, PyObject* value);

// Adds a note to the exception being raised; keeps the indicator set.
void add_note_to_raised(const char* note);

// Last-resort net around every body called from the interpreter: checks in debug builds that
// "returned nothing" and "error set" agree, and turns a stray C++ exception into MemoryError.
template <class F>
PyObject* guarded(F&& step) noexcept {
    try {
        Ref result = step();
#ifndef NDEBUG
        if (!result && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "native body failed without setting an exception");
        }
#endif
        return result.release();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace rt
