// Owning reference to a Python object.
//
// Rules, kept everywhere in this module:
//  * A Ref owns exactly one strong reference, or nothing, and drops it when it dies.
//  * Ref::steal(p) adopts a new reference handed out by the C API; Ref::borrow(p) takes
//    a reference of its own to an object someone else owns.
//  * release() gives the reference away at the C boundary (a return value, a stealing call).
//  * Borrowed references stay plain PyObject* and never outlive the call that lent them.
#pragma once

#include <Python.h>

namespace vrel {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller, this Ref keeping its own.
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    // Drops the held reference, then adopts `stolen` (which may be null).
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Replaces *slot (an owned field) with a new reference to `value` and drops the old one
// last, so that a finaliser run by the drop sees the object already updated.
inline void set_field(PyObject** slot, PyObject* value) noexcept {
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_XDECREF(old);
}

}  // namespace vrel
