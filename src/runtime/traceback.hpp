// Traceback entries for exceptions leaving the module, named after the module, class
// and function ("vrel_dll.Gatekeeper.process_status").
//
// The module's functions and methods get theirs from the shared call path (function.cpp):
// whenever a body returns null, its callable adds the entry; an internal caller that
// stands in for a call of the method adds the same entry (add_traceback(def), gate.cpp).
// Only slots (tp_init, attribute setters) name a TracebackSite of their own.
//
// The one error that carries no entry is an argument-type error (args.hpp).
#pragma once

#include <Python.h>

namespace vrel {

// Adds an entry made from `code` (a code object, or null to add nothing) to the
// exception being raised; the exception stays set. Does nothing when none is set, and
// never replaces the exception: if the entry cannot be made, the error goes on without it.
void add_traceback(PyObject* code) noexcept;

// A code object for entries named `function` (new reference), or null with an error.
PyObject* traceback_code(const char* function, const char* file, int line) noexcept;

struct TracebackSite {
    const char* function;  // "vrel_dll.XtPre.__init__", "init vrel_dll", ...
    const char* file;      // the source file shown in the entry
    int line;
    PyObject* code = nullptr;  // made on the first error and kept

    constexpr TracebackSite(const char* function_, const char* file_, int line_) noexcept
        : function(function_), file(file_), line(line_) {}
};

void add_traceback(TracebackSite& site) noexcept;

// For `return fail(site);` at an error exit of a slot: adds the entry and returns -1.
inline int fail(TracebackSite& site) noexcept {
    add_traceback(site);
    return -1;
}

}  // namespace vrel
