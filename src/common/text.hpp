// Building a str in one allocation from pieces: the lengths are summed and the widest
// character size found first, then every piece is copied in (same-size pieces as blocks).
// Used by the outbound formatters and the status warning.
#pragma once

#include <Python.h>

#include <cstdint>

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
    // Appends a signed 32-bit integer in decimal.
    bool add_int(int32_t value) noexcept;
    // Appends texts[0..count) (str objects) joined with the ASCII character `separator`,
    // as separator.join(texts) would.
    bool add_joined(PyObject* const* texts, Py_ssize_t count, char separator) noexcept;

    // The joined text (new reference), or null with an error set.
    PyObject* build() noexcept;

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
    static bool raise_too_long() noexcept;
    void write_joined(const Piece& p, int kind, void* dest, Py_ssize_t at) const noexcept;

    static constexpr int kInline = 16;
    Piece inline_[kInline];
    Piece* pieces_ = inline_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = kInline;
    Py_ssize_t total_ = 0;
    Py_UCS4 maxchar_ = 0x7F;
};

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

}  // namespace vrel
