#include "common/text.hpp"

#include <cstring>

namespace vrel {

TextBuilder::~TextBuilder() {
    if (pieces_ != inline_) PyMem_Free(pieces_);
}

// Doubles the piece array; the next free piece, or null with MemoryError.
TextBuilder::Piece* TextBuilder::grow() noexcept {
    Py_ssize_t grown = capacity_ * 2;
    Piece* fresh = nullptr;
    if (static_cast<size_t>(grown) <= PY_SSIZE_T_MAX / sizeof(Piece)) {
        fresh = static_cast<Piece*>(PyMem_Malloc(static_cast<size_t>(grown) * sizeof(Piece)));
    }
    if (fresh == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(fresh, pieces_, static_cast<size_t>(count_) * sizeof(Piece));
    if (pieces_ != inline_) PyMem_Free(pieces_);
    pieces_ = fresh;
    capacity_ = grown;
    return &pieces_[count_];
}

bool TextBuilder::raise_too_long() noexcept {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return false;
}

Digits::Digits(int32_t value) noexcept {
    char reversed[12];
    int n = 0;
    // Work on the magnitude as unsigned, so INT32_MIN needs no special case.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    if (value < 0) reversed[n++] = '-';
    for (int i = 0; i < n; ++i) chars[i] = reversed[n - 1 - i];
    length = n;
}

bool TextBuilder::add_int(int32_t value) noexcept {
    const Digits digits(value);
    Piece* p = next_piece();
    if (p == nullptr || !account(digits.length)) return false;
    // The digits live in the piece itself (a pointer into a piece would not survive growth).
    p->kind = PieceKind::kDigits;
    p->length = digits.length;
    std::memcpy(p->digits, digits.chars, static_cast<size_t>(digits.length));
    ++count_;
    return true;
}

bool TextBuilder::add_joined(PyObject* const* texts, Py_ssize_t count, char separator) noexcept {
    Piece* p = next_piece();
    if (p == nullptr) return false;
    Py_ssize_t length = count > 0 ? count - 1 : 0;
    Py_UCS4 widest = maxchar_;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!add_length(length, PyUnicode_GET_LENGTH(texts[i]))) return raise_too_long();
        Py_UCS4 text_max = PyUnicode_MAX_CHAR_VALUE(texts[i]);
        if (text_max > widest) widest = text_max;
    }
    if (!account(length)) return false;
    p->kind = PieceKind::kJoined;
    p->texts = texts;
    p->count = count;
    p->separator = separator;
    p->length = length;
    maxchar_ = widest;
    ++count_;
    return true;
}

namespace {

// Copies `length` characters of size From into a wider result; every character fits.
template <typename From, typename To>
void widen(const void* src, void* dest, Py_ssize_t at, Py_ssize_t length) noexcept {
    const From* in = static_cast<const From*>(src);
    To* out = static_cast<To*>(dest) + at;
    for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<To>(in[i]);
}

// Writes `length` characters of size `from` into the result of size `to` (to >= from).
void copy_chars(int from, const void* src, int to, void* dest, Py_ssize_t at, Py_ssize_t length) noexcept {
    if (from == to) {
        copy_bytes(static_cast<char*>(dest) + at * to, static_cast<const char*>(src),
                   static_cast<size_t>(length) * static_cast<size_t>(to));
    } else if (to == PyUnicode_2BYTE_KIND) {
        widen<Py_UCS1, Py_UCS2>(src, dest, at, length);
    } else if (from == PyUnicode_1BYTE_KIND) {
        widen<Py_UCS1, Py_UCS4>(src, dest, at, length);
    } else {
        widen<Py_UCS2, Py_UCS4>(src, dest, at, length);
    }
}

void copy_str(PyObject* str, int kind, void* dest, Py_ssize_t at) noexcept {
    copy_chars(PyUnicode_KIND(str), PyUnicode_DATA(str), kind, dest, at, PyUnicode_GET_LENGTH(str));
}

}  // namespace

void TextBuilder::write_joined(const Piece& p, int kind, void* dest, Py_ssize_t at) const noexcept {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        if (i > 0) {
            PyUnicode_WRITE(kind, dest, at, static_cast<Py_UCS1>(p.separator));
            ++at;
        }
        copy_str(p.texts[i], kind, dest, at);
        at += PyUnicode_GET_LENGTH(p.texts[i]);
    }
}

PyObject* TextBuilder::build() noexcept {
    PyObject* result = PyUnicode_New(total_, maxchar_);
    if (result == nullptr || total_ == 0) return result;  // the empty string is shared
    const int kind = PyUnicode_KIND(result);
    void* dest = PyUnicode_DATA(result);
    if (kind == PyUnicode_1BYTE_KIND) {
        // The usual message: every piece has one byte per character too, so each is a
        // plain copy to the next free byte.
        char* out = static_cast<char*>(dest);
        for (Py_ssize_t i = 0; i < count_; ++i) {
            const Piece& p = pieces_[i];
            if (p.kind == PieceKind::kJoined) {
                write_joined(p, kind, out, 0);
            } else {
                copy_bytes(out, p.kind == PieceKind::kDigits ? p.digits : static_cast<const char*>(p.chars),
                           static_cast<size_t>(p.length));
            }
            out += p.length;
        }
        return result;
    }
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        const Piece& p = pieces_[i];
        switch (p.kind) {
            case PieceKind::kStr:
            case PieceKind::kAscii: copy_chars(p.char_size, p.chars, kind, dest, at, p.length); break;
            case PieceKind::kDigits: copy_chars(PyUnicode_1BYTE_KIND, p.digits, kind, dest, at, p.length); break;
            case PieceKind::kJoined: write_joined(p, kind, dest, at); break;
        }
        at += p.length;
    }
    return result;
}

}  // namespace vrel
