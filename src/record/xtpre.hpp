// XtPre: the record of one parsed inbound packet.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vrel {

extern PyTypeObject XtPreType;

struct XtPre {
    PyObject_HEAD
    PyObject* command;  // exact str or None
    PyObject* data;     // any object
    int32_t status;
    int32_t error_code;
    int32_t destination;
};

// A new record of the module's own type, built without a call (the type is immutable,
// so this is exactly what calling it with valid arguments does). `command` must be an
// exact str or None. New reference, or null on memory exhaustion.
PyObject* new_xtpre(PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                    int32_t destination) noexcept;

// Installs the record's pickling support (__reduce__, __setstate__); 0, or -1 with an error.
int install_xtpre_methods() noexcept;

}  // namespace vrel
