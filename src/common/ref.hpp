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

// Strong references owned as a group and dropped with it, in a small array that starts in
// place (room for `Inline`) and moves to the heap when it outgrows that.
template <Py_ssize_t Inline>
class OwnedRefs {
public:
    OwnedRefs() noexcept = default;
    OwnedRefs(const OwnedRefs&) = delete;
    OwnedRefs& operator=(const OwnedRefs&) = delete;
    ~OwnedRefs() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }

    // Room for `wanted` references in all; false with MemoryError.
    bool reserve(Py_ssize_t wanted) noexcept {
        if (wanted <= capacity_) return true;
        PyObject** fresh = nullptr;
        if (static_cast<size_t>(wanted) <= PY_SSIZE_T_MAX / sizeof(PyObject*)) {
            fresh = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(wanted) * sizeof(PyObject*)));
        }
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) fresh[i] = items_[i];
        if (items_ != inline_) PyMem_Free(items_);
        items_ = fresh;
        capacity_ = wanted;
        return true;
    }
    // Takes over `stolen`, a new reference, also when it fails (MemoryError).
    bool push(PyObject* stolen) noexcept {
        if (size_ == capacity_ && !reserve(capacity_ * 2)) {
            Py_DECREF(stolen);
            return false;
        }
        items_[size_++] = stolen;
        return true;
    }

    PyObject* const* get() const noexcept { return items_; }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }
    Py_ssize_t size() const noexcept { return size_; }

private:
    PyObject* inline_[Inline];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = Inline;
};

}  // namespace vrel
