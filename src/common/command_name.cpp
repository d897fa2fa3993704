#include "common/command_name.hpp"

namespace vrel {

PyObject* ascii_command_name(const char* bytes, Py_ssize_t size) noexcept {
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) kept += static_cast<unsigned char>(bytes[i]) < 0x80;
    PyObject* name = PyUnicode_New(kept, 0x7F);
    if (name == nullptr || kept == 0) return name;  // the empty string is shared: never write into it
    Py_UCS1* out = PyUnicode_1BYTE_DATA(name);
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) continue;
        *out++ = static_cast<Py_UCS1>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    return name;
}

}  // namespace vrel
