#include "common/command_name.hpp"

namespace vrel {

namespace {

bool is_upper(unsigned char c) noexcept { return c >= 'A' && c <= 'Z'; }

}  // namespace

PyObject* ascii_command_name(const char* bytes, Py_ssize_t size) noexcept {
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) kept += static_cast<unsigned char>(bytes[i]) < 0x80;
    PyObject* name = PyUnicode_New(kept, 0x7F);
    if (name == nullptr || kept == 0) return name;  // the empty string is shared: never write into it
    Py_UCS1* out = PyUnicode_1BYTE_DATA(name);
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) continue;
        *out++ = static_cast<Py_UCS1>(is_upper(c) ? c + ('a' - 'A') : c);
    }
    return name;
}

PyObject* ascii_lower(PyObject* ascii_str) noexcept {
    const char* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(ascii_str));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(ascii_str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Every byte is ASCII, so the command name of the bytes is their lower-case form.
        if (is_upper(static_cast<unsigned char>(chars[i]))) return ascii_command_name(chars, n);
    }
    return Py_NewRef(ascii_str);
}

}  // namespace vrel
