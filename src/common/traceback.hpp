// Traceback entries for exceptions leaving the module, named after the module, class
// and function ("vrel_dll.Gatekeeper.process_status").
//
// Each exit point owns one static TracebackSite; its code object is made on the first
// error and kept, so a repeated failure costs one frame object and no string work.
#pragma once

#include <Python.h>

namespace vrel {

struct TracebackSite {
    const char* function;  // "vrel_dll.XtPre.__init__", "init vrel_dll", ...
    const char* file;      // the source file shown in the entry
    int line;
    PyObject* code = nullptr;

    constexpr TracebackSite(const char* function_, const char* file_, int line_) noexcept
        : function(function_), file(file_), line(line_) {}
};

// Adds an entry for `site` to the exception being raised; the exception stays set.
// Does nothing when no exception is set. Never replaces the exception: if the entry
// cannot be made, the original error is raised without it.
void add_traceback(TracebackSite& site) noexcept;

// For `return fail(site);` at an error exit: adds the entry and returns null.
inline PyObject* fail(TracebackSite& site) noexcept {
    add_traceback(site);
    return nullptr;
}
inline int fail_int(TracebackSite& site) noexcept {
    add_traceback(site);
    return -1;
}

}  // namespace vrel
