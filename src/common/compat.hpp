// Version gates and the few shims that keep one source for CPython 3.12 to 3.14.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "vrel_dll needs CPython 3.12 or newer"
#endif

#define VREL_PY313 (PY_VERSION_HEX >= 0x030D0000)
#define VREL_PY314 (PY_VERSION_HEX >= 0x030E0000)

// Portable "this branch is unlikely" hint; MSVC has no __builtin_expect.
#if defined(__GNUC__) || defined(__clang__)
#define VREL_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define VREL_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define VREL_UNLIKELY(x) (x)
#define VREL_LIKELY(x) (x)
#endif

namespace vrel {

// dict[key] as a new reference: 1 found, 0 absent, -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** out) noexcept {
#if VREL_PY313
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v != nullptr) {
        *out = Py_NewRef(v);
        return 1;
    }
    *out = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// getattr(obj, name) as a new reference: 1 found, 0 no such attribute (no error set),
// -1 any other error.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if VREL_PY313
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    *out = PyObject_GetAttr(obj, name);
    if (*out != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

}  // namespace vrel

namespace vrel {

// A zeroed static type object with the interpreter's own header (the immortal reference
// count on 3.12+); the types fill in their slots after it.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
inline PyTypeObject blank_type() noexcept {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return t;
}
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The shape shared by the module's three types: static, subclassable, garbage-collected,
// with no instance dict and no weak references.
struct GcTypeSlots {
    const char* name;
    Py_ssize_t basicsize;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    PyGetSetDef* getset;
    initproc init;
    newfunc new_;
};

inline PyTypeObject gc_type(const GcTypeSlots& slots) noexcept {
    PyTypeObject t = blank_type();
    t.tp_name = slots.name;
    t.tp_basicsize = slots.basicsize;
    t.tp_dealloc = slots.dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = slots.traverse;
    t.tp_clear = slots.clear;
    t.tp_getset = slots.getset;
    t.tp_init = slots.init;
    t.tp_new = slots.new_;
    return t;
}

}  // namespace vrel
