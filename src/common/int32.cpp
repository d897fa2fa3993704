#include "common/int32.hpp"

#include <climits>

#include "common/ref.hpp"

namespace vrel {

namespace {

// Calls the type's own integer conversion; a new reference to an int, or null.
PyObject* call_nb_int(PyObject* obj) noexcept {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result = Ref::steal(nb->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result.get())) return result.release();
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return nullptr;
        }
        return result.release();
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    return nullptr;
}

}  // namespace

int to_int32_slow(PyObject* obj, int32_t* out) noexcept {
    Ref converted;
    if (!PyLong_Check(obj)) {
        converted = Ref::steal(call_nb_int(obj));
        if (!converted) return -1;
        obj = converted.get();
    }
    // PyLong_AsLong raises the interpreter's own OverflowError beyond C long, which is
    // 64 bits on Linux and 32 bits on Windows (where the next test can never fire).
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return -1;
#if LONG_MAX > 0x7FFFFFFFL
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
#endif
    *out = static_cast<int32_t>(value);
    return 0;
}

}  // namespace vrel
