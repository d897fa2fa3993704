// Building a str in one allocation from pieces: the lengths are summed and the widest
// character size found first, then every piece is copied in (same-size pieces as blocks).
// Used by the outbound formatters and the status warning.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/compat.hpp"
#include "common/state.hpp"

namespace vrel {

// total += len unless the sum would pass the largest possible string length (the bound
// str.join uses). False on overflow, leaving total unchanged. Both arguments are >= 0.
inline bool add_length(Py_ssize_t& total, Py_ssize_t len) noexcept {
    if (len > PY_SSIZE_T_MAX - total) return false;
    total += len;
    return true;
}

class TextBuilder {
public:
    TextBuilder() noexcept = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    // Every add borrows what it is given: it must outlive build(). Each returns false with
    // an error set (OverflowError past the largest string, MemoryError).

    // Appends a str (its characters; a subclass's own methods are not consulted), or the
    // text "None" for None.
    bool add(PyObject* str_or_none) noexcept;
    // Appends `length` characters that the caller guarantees are ASCII (every byte below
    // 0x80).
    bool add_ascii(const char* chars, Py_ssize_t length) noexcept;
    // Appends an ASCII string literal.
    template <size_t N>
    bool add(const char (&literal)[N]) noexcept {
        return add_ascii(literal, static_cast<Py_ssize_t>(N - 1));
    }
    // Appends a signed 32-bit integer in decimal.
    bool add_int(int32_t value) noexcept;
    // Appends texts[0..count) (str objects) joined with the ASCII character `separator`,
    // as separator.join(texts) would.
    bool add_joined(PyObject* const* texts, Py_ssize_t count, char separator) noexcept;

    // The joined text (new reference), or null with an error set.
    PyObject* build() noexcept;

    // Raises the OverflowError of a text past the largest string length; false.
    static bool raise_too_long() noexcept;

private:
    enum class PieceKind : unsigned char { kStr, kAscii, kDigits, kJoined };
    struct Piece {
        union {
            const void* chars;         // kStr, kAscii: the characters, char_size bytes each
            PyObject* const* texts;    // kJoined
        };
        Py_ssize_t length;             // characters written; for kJoined, separators included
        Py_ssize_t count;              // kJoined: number of texts
        PieceKind kind;
        unsigned char char_size;       // kStr, kAscii: 1, 2 or 4
        char separator;                // kJoined
        char digits[12];               // kDigits: "-2147483648" fits
    };
    Piece* next_piece() noexcept {
        return VREL_LIKELY(count_ < capacity_) ? &pieces_[count_] : grow();
    }
    Piece* grow() noexcept;
    bool account(Py_ssize_t length) noexcept {
        return VREL_LIKELY(add_length(total_, length)) || raise_too_long();
    }
    void write_joined(const Piece& p, int kind, void* dest, Py_ssize_t at) const noexcept;

    static constexpr int kInline = 16;
    Piece inline_[kInline];
    Piece* pieces_ = inline_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = kInline;
    Py_ssize_t total_ = 0;
    Py_UCS4 maxchar_ = 0x7F;
};

// ---- fixed-shape messages, one byte per character
//
// The usual message has only one-byte characters (every str in it is stored one byte per
// character). Its pieces are then written straight into the result, the literal ones as
// fixed-size stores, with no piece list in between: narrow_message("<a>", text, "</a>").
// A message with a wider str falls back to a TextBuilder with the same pieces.

// The characters of a str stored one byte per character (None as "None").
struct NarrowText {
    const char* chars;
    Py_ssize_t length;
};

// A signed 32-bit integer in decimal.
struct Digits {
    char chars[12];  // "-2147483648" fits
    Py_ssize_t length;
    explicit Digits(int32_t value) noexcept;
};

// The characters of a str (None as "None") when it is stored one byte per character;
// false, leaving the arguments as they were, when it is wider. *maxchar grows to cover it.
inline bool narrow_text(PyObject* str_or_none, NarrowText* out, Py_UCS4* maxchar) noexcept {
    PyObject* str = str_or_none == Py_None ? S().none_text : str_or_none;
    if (PyUnicode_KIND(str) != PyUnicode_1BYTE_KIND) return false;
    out->chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str));
    out->length = PyUnicode_GET_LENGTH(str);
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(str);
    if (widest > *maxchar) *maxchar = widest;
    return true;
}

// memcpy for the short pieces that make up most messages ("%", a command name), where a
// call costs more than the copy: fixed-size moves that may overlap.
inline void copy_bytes(char* dest, const char* src, size_t n) noexcept {
    if (n > 16) {
        std::memcpy(dest, src, n);
    } else if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, src, 8);
        std::memcpy(&tail, src + n - 8, 8);
        std::memcpy(dest, &head, 8);
        std::memcpy(dest + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, src, 4);
        std::memcpy(&tail, src + n - 4, 4);
        std::memcpy(dest, &head, 4);
        std::memcpy(dest + n - 4, &tail, 4);
    } else if (n >= 2) {
        uint16_t head, tail;
        std::memcpy(&head, src, 2);
        std::memcpy(&tail, src + n - 2, 2);
        std::memcpy(dest, &head, 2);
        std::memcpy(dest + n - 2, &tail, 2);
    } else if (n == 1) {
        *dest = *src;
    }
}

namespace message_part {

template <size_t N>
constexpr Py_ssize_t length(const char (&)[N]) noexcept {
    return static_cast<Py_ssize_t>(N - 1);
}
inline Py_ssize_t length(const NarrowText& text) noexcept { return text.length; }
inline Py_ssize_t length(const Digits& digits) noexcept { return digits.length; }

template <size_t N>
char* put(char* out, const char (&literal)[N]) noexcept {
    std::memcpy(out, literal, N - 1);
    return out + (N - 1);
}
inline char* put(char* out, const NarrowText& text) noexcept {
    copy_bytes(out, text.chars, static_cast<size_t>(text.length));
    return out + text.length;
}
inline char* put(char* out, const Digits& digits) noexcept {
    copy_bytes(out, digits.chars, static_cast<size_t>(digits.length));
    return out + digits.length;
}

}  // namespace message_part

// The parts (ASCII string literals, NarrowText, Digits) joined into a new str whose widest
// character is `maxchar` (below 256). New reference, or null with an error (OverflowError
// past the largest string, MemoryError).
template <typename... Parts>
PyObject* narrow_message(Py_UCS4 maxchar, const Parts&... parts) noexcept {
    Py_ssize_t total = 0;
    if (!(add_length(total, message_part::length(parts)) && ...)) {
        TextBuilder::raise_too_long();
        return nullptr;
    }
    PyObject* result = PyUnicode_New(total, maxchar);
    if (result == nullptr) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
    ((out = message_part::put(out, parts)), ...);
    return result;
}

// Inline: the formatters and the status warning add a handful of pieces per call.
inline bool TextBuilder::add(PyObject* str_or_none) noexcept {
    PyObject* str = str_or_none == Py_None ? S().none_text : str_or_none;
    Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    Piece* p = next_piece();
    if (p == nullptr || !account(length)) return false;
    p->kind = PieceKind::kStr;
    p->chars = PyUnicode_DATA(str);
    p->char_size = static_cast<unsigned char>(PyUnicode_KIND(str));
    p->length = length;
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(str);
    if (widest > maxchar_) maxchar_ = widest;
    ++count_;
    return true;
}

inline bool TextBuilder::add_ascii(const char* chars, Py_ssize_t length) noexcept {
    Piece* p = next_piece();
    if (p == nullptr || !account(length)) return false;
    p->kind = PieceKind::kAscii;
    p->chars = chars;
    p->char_size = PyUnicode_1BYTE_KIND;
    p->length = length;
    ++count_;
    return true;
}

}  // namespace vrel
