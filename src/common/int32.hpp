// The one conversion by which every value stored into, or read as, a signed 32-bit
// integer is converted: record fields, the parser's destination mask, the status
// arguments, the mask read by the router.
//
//   int (or subclass)  -> taken as is
//   other              -> type's nb_int; missing: TypeError "an integer is required";
//                         a strict int subclass result: DeprecationWarning, then used;
//                         anything else: TypeError "__int__ returned non-int (type X)"
//   range              -> beyond C long: the interpreter's own OverflowError;
//                         beyond 32 bits: OverflowError "value too large to convert to int"
#pragma once

#include <Python.h>

#include <cstdint>

namespace vrel {

int to_int32_slow(PyObject* obj, int32_t* out) noexcept;

// 0 with *out set, or -1 with an exception set.
inline int to_int32(PyObject* obj, int32_t* out) noexcept {
    // A compact int holds at most one 30-bit digit, so it always fits.
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        *out = static_cast<int32_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
        return 0;
    }
    return to_int32_slow(obj, out);
}

}  // namespace vrel
