// StatusError: a refused request, as the exception its awaiting caller receives. It holds
// what the warning line of the refusal names, and reads as that line.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vrel {

extern PyTypeObject StatusErrorType;

struct StatusError {
    PyBaseExceptionObject base;
    PyObject* command;      // exact str or None
    PyObject* description;  // exact str or None
    PyObject* data;         // the record's decoded payload, any object
    int32_t status;
    int32_t error_code;
};

// Readies the type on Exception (a run-time address, so it is set here); 0, or -1 with
// an error.
int ready_status_error_type() noexcept;

// Installs the type's methods; 0, or -1 with an error.
int install_status_error_methods() noexcept;

// The warning line of a refusal: "[<command>] STATUS <status> | ERROR <code>: <description>",
// in one allocation (status.cpp). New reference, or null with an error.
PyObject* warning_text(PyObject* command, int32_t status, int32_t error_code, PyObject* description) noexcept;

// _error_codes.get(error_code, "Unknown error code") for `table`, the value of a gate's
// _error_codes, checked as process_status checks it (status.cpp). New reference, or null
// with an error.
PyObject* describe_error_code(PyObject* table, int32_t error_code) noexcept;

// StatusError(command, status, error_code, description, data), the arguments already
// checked: command and description exact str or None. New reference, or null with an error.
PyObject* new_status_error(PyObject* command, int32_t status, int32_t error_code, PyObject* description,
                           PyObject* data) noexcept;

}  // namespace vrel
