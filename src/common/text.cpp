#include "common/text.hpp"

namespace vrel::text_detail {

bool TextSize::raise_too_long() noexcept {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return false;
}

namespace {

// A compact int's value: below 2**30 in magnitude, so it fits.
Decimal compact_decimal(PyObject* number) noexcept {
    return Decimal(static_cast<int32_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(number))));
}

}  // namespace

bool measure(TextSize& size, const JoinedTexts& joined) noexcept {
    if (joined.count > 0 && !size.add(joined.count - 1)) return false;  // the separators
    for (Py_ssize_t i = 0; i < joined.count; ++i) {
        PyObject* text = joined.texts[i];
        if (!(PyLong_CheckExact(text) ? size.add(compact_decimal(text).length()) : size.add_str(text))) return false;
    }
    return true;
}

template <typename Char>
Char* put(Char* out, const JoinedTexts& joined) noexcept {
    for (Py_ssize_t i = 0; i < joined.count; ++i) {
        if (i > 0) *out++ = static_cast<Char>(joined.separator);
        PyObject* text = joined.texts[i];
        out = PyLong_CheckExact(text) ? compact_decimal(text).put(out) : put_str(out, text);
    }
    return out;
}

template Py_UCS1* put(Py_UCS1*, const JoinedTexts&) noexcept;
template Py_UCS2* put(Py_UCS2*, const JoinedTexts&) noexcept;
template Py_UCS4* put(Py_UCS4*, const JoinedTexts&) noexcept;

}  // namespace vrel::text_detail
