#include "common/text.hpp"

namespace vrel::text_detail {

bool TextSize::raise_too_long() noexcept {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return false;
}

bool measure(TextSize& size, const JoinedTexts& joined) noexcept {
    if (joined.count > 0 && !size.add(joined.count - 1)) return false;  // the separators
    for (Py_ssize_t i = 0; i < joined.count; ++i) {
        if (!size.add_str(joined.texts[i])) return false;
    }
    return true;
}

template <typename Char>
Char* put(Char* out, const JoinedTexts& joined) noexcept {
    for (Py_ssize_t i = 0; i < joined.count; ++i) {
        if (i > 0) *out++ = static_cast<Char>(joined.separator);
        out = put_str(out, joined.texts[i]);
    }
    return out;
}

template Py_UCS1* put(Py_UCS1*, const JoinedTexts&) noexcept;
template Py_UCS2* put(Py_UCS2*, const JoinedTexts&) noexcept;
template Py_UCS4* put(Py_UCS4*, const JoinedTexts&) noexcept;

}  // namespace vrel::text_detail
