// The command name of a byte string: its ASCII bytes in order (bytes of value 128 and
// above dropped), lower-cased. This is what decoding as ASCII with errors ignored and
// then calling str.lower gives, since lower() on ASCII text only maps A-Z.
#pragma once

#include <Python.h>

namespace vrel {

// New reference, or null on memory exhaustion.
PyObject* ascii_command_name(const char* bytes, Py_ssize_t size) noexcept;

// str.lower of a str stored as ASCII, where only A to Z change: a string without them is
// its own lower-case form (returned as is), which as a key is as good as the equal string
// lower() would make. New reference, or null on memory exhaustion.
PyObject* ascii_lower(PyObject* ascii_str) noexcept;

}  // namespace vrel
