// Version gates and the few shims that keep one source for CPython 3.12 to 3.15.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "vrel_dll needs CPython 3.12 or newer"
#endif

#define VREL_PY313 (PY_VERSION_HEX >= 0x030D0000)

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
