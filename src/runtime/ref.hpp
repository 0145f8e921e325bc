// Reference handles: ownership of a Python reference is visible in the type.
//
// `Ref` owns one strong reference and releases it on destruction. A plain `PyObject*`
// parameter or local is always borrowed. A function that returns a new reference returns
// `Ref`; an empty `Ref` means "failed, the interpreter's error indicator is set".
#pragma once

#include <Python.h>

#include <utility>

namespace rt {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Adopts a new reference (the result of an API call that returns one), or nullptr.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes one more reference to an object that is only borrowed.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to an API that steals it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
    void reset() noexcept { Ref().swap(*this); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// None, as a new reference.
inline Ref none() { return Ref::borrow(Py_None); }

// [] and {}: new, empty.
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }

}  // namespace rt
