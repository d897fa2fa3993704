// A message written as one str. The message is described once, as the list of its parts
// in order; build_text sums their lengths and finds the widest character, allocates the
// result once, and writes the parts in with the routine made for the result's character
// width (one instance per width, each copying same-width text as blocks):
//
//     build_text("<a t='", t, "'>", Decimal(n), "</a>")
//
// The parts: an ASCII string literal; a str (its characters: a subclass's own methods
// are not consulted), or None for the text "None"; AsciiText, characters the caller
// guarantees are ASCII; Decimal, a signed 32-bit integer; JoinedTexts, texts joined with an
// ASCII separator as separator.join(texts) would. A part borrows what it is given.
// Used by the outbound formatters and the status warning.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/compat.hpp"

namespace vrel {

// total += len unless the sum would pass the largest possible string length (the bound
// str.join uses). False on overflow, leaving total unchanged. Both arguments are >= 0.
inline bool add_length(Py_ssize_t& total, Py_ssize_t len) noexcept {
    if (len > PY_SSIZE_T_MAX - total) return false;
    total += len;
    return true;
}

struct AsciiText {
    const char* chars;
    Py_ssize_t length;
};

// A signed 32-bit integer in decimal, its length counted once, here.
class Decimal {
public:
    explicit Decimal(int32_t value) noexcept
        : magnitude_(value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value)),
          length_(value < 0 ? 2 : 1), negative_(value < 0) {
        for (uint32_t rest = magnitude_; rest >= 10u; rest /= 10u) ++length_;
    }
    Py_ssize_t length() const noexcept { return length_; }

    // Writes the digits (and sign) into out[0..length()).
    template <typename Char>
    Char* put(Char* out) const noexcept {
        Char* const end = out + length_;
        Char* at = end;
        uint32_t rest = magnitude_;  // unsigned, so INT32_MIN needs no special case
        for (; rest >= 100u; rest /= 100u) {  // two digits a step
            const char* pair = &kPairs[2 * (rest % 100u)];
            *--at = static_cast<Char>(pair[1]);
            *--at = static_cast<Char>(pair[0]);
        }
        if (rest >= 10u) {
            *--at = static_cast<Char>(kPairs[2 * rest + 1]);
            *--at = static_cast<Char>(kPairs[2 * rest]);
        } else {
            *--at = static_cast<Char>('0' + rest);
        }
        if (negative_) *--at = '-';
        return end;
    }

private:
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t magnitude_;
    Py_ssize_t length_;
    bool negative_;
};

// Each text a str, or a compact int (PyUnstable_Long_IsCompact) of the exact type, written
// in decimal as its str() would be, which spares making that str.
struct JoinedTexts {
    PyObject* const* texts;
    Py_ssize_t count;
    char separator;
};

namespace text_detail {

// A str part, or None for the text "None".
struct StrText {
    PyObject* str;
};

// The length and widest character of the parts measured so far.
class TextSize {
public:
    // Adds `length` characters below 0x80; false with OverflowError past the largest
    // string length.
    bool add(Py_ssize_t length) noexcept { return VREL_LIKELY(add_length(length_, length)) || raise_too_long(); }
    bool add_str(PyObject* str) noexcept {
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(str);
        if (widest > maxchar_) maxchar_ = widest;
        return add(PyUnicode_GET_LENGTH(str));
    }
    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 maxchar() const noexcept { return maxchar_; }

private:
    static bool raise_too_long() noexcept;
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 0x7F;
};

// The literals' lengths are summed at compile time (literal_length) and counted once.
template <typename Part>
constexpr Py_ssize_t literal_length() noexcept {
    if constexpr (std::is_array_v<Part>) {
        return static_cast<Py_ssize_t>(std::extent_v<Part> - 1);
    } else {
        return 0;
    }
}
template <size_t N>
bool measure(TextSize&, const char (&)[N]) noexcept {
    return true;
}
inline bool measure(TextSize& size, const StrText& text) noexcept {
    return text.str == Py_None ? size.add(4) : size.add_str(text.str);
}
inline bool measure(TextSize& size, const AsciiText& text) noexcept { return size.add(text.length); }
inline bool measure(TextSize& size, const Decimal& number) noexcept { return size.add(number.length()); }
bool measure(TextSize& size, const JoinedTexts& joined) noexcept;

// Copies n characters of type From into a result of type Char, which is never narrower.
template <typename Char, typename From>
Char* put_chars(Char* out, const From* in, Py_ssize_t n) noexcept {
    static_assert(sizeof(From) <= sizeof(Char));
    if constexpr (sizeof(From) == sizeof(Char)) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(Char));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Char>(in[i]);
    }
    return out + n;
}

// A str is never wider than the result, which is as wide as its widest part: only the
// narrower storage sizes need a case.
template <typename Char>
Char* put_str(Char* out, PyObject* str) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    if constexpr (sizeof(Char) > 1) {
        if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) return put_chars(out, PyUnicode_1BYTE_DATA(str), n);
    }
    if constexpr (sizeof(Char) > 2) {
        if (PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND) return put_chars(out, PyUnicode_2BYTE_DATA(str), n);
    }
    return put_chars(out, static_cast<const Char*>(PyUnicode_DATA(str)), n);
}

template <typename Char, size_t N>
Char* put(Char* out, const char (&literal)[N]) noexcept {
    return put_chars(out, reinterpret_cast<const Py_UCS1*>(literal), static_cast<Py_ssize_t>(N - 1));
}
template <typename Char>
Char* put(Char* out, const StrText& text) noexcept {
    return text.str == Py_None ? put(out, "None") : put_str(out, text.str);
}
template <typename Char>
Char* put(Char* out, const AsciiText& text) noexcept {
    return put_chars(out, reinterpret_cast<const Py_UCS1*>(text.chars), text.length);
}
template <typename Char>
Char* put(Char* out, const Decimal& number) noexcept {
    return number.put(out);
}
template <typename Char>
Char* put(Char* out, const JoinedTexts& joined) noexcept;  // instances for the three widths in text.cpp

template <typename Char, typename... Parts>
void write_parts(Char* out, const Parts&... parts) noexcept {
    ((out = put(out, parts)), ...);
}

template <typename... Parts>
PyObject* write_text(const Parts&... parts) noexcept {
    TextSize size;
    if (!size.add((literal_length<Parts>() + ... + 0)) || !(measure(size, parts) && ...)) return nullptr;
    PyObject* result = PyUnicode_New(size.length(), size.maxchar());
    if (result == nullptr || size.length() == 0) return result;  // the empty string is shared: never write into it
    switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND:
            write_parts(PyUnicode_1BYTE_DATA(result), parts...);
            break;
        case PyUnicode_2BYTE_KIND:
            write_parts(PyUnicode_2BYTE_DATA(result), parts...);
            break;
        default:
            write_parts(PyUnicode_4BYTE_DATA(result), parts...);
            break;
    }
    return result;
}

// Every part as written: a str or None becomes a StrText, the others stand as given.
inline StrText as_part(PyObject* str_or_none) noexcept { return {str_or_none}; }
template <typename Part>
const Part& as_part(const Part& part) noexcept {
    return part;
}

}  // namespace text_detail

// The parts' texts in order, as a new str (new reference), or null with an error:
// OverflowError past the largest string length, MemoryError.
template <typename... Parts>
PyObject* build_text(const Parts&... parts) noexcept {
    return text_detail::write_text(text_detail::as_part(parts)...);
}

}  // namespace vrel
