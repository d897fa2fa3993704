#include "runtime/traceback.hpp"

#include <frameobject.h>

#include <cstring>

#include "runtime/state.hpp"

namespace vrel {

namespace {

// The path from the source tree's "src" folder on, so that entries do not carry the
// build machine's directories.
const char* source_path(const char* file) noexcept {
    const char* from = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if ((p == file || p[-1] == '/' || p[-1] == '\\') && std::strncmp(p, "src", 3) == 0 &&
            (p[3] == '/' || p[3] == '\\')) {
            from = p;
        }
    }
    return from;
}

}  // namespace

PyObject* traceback_code(const char* function, const char* file, int line) noexcept {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path(file), function, line));
}

void add_traceback(PyObject* code) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyFrameObject* frame = nullptr;
    PyObject* globals = g_state.dict;
    if (code != nullptr && globals != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    }
    // A failure to build the entry must not mask the error being reported.
    if (PyErr_Occurred()) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        // On failure PyTraceBack_Here chains its own error onto ours; nothing to undo.
        (void)PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void add_traceback(TracebackSite& site) noexcept {
    if (site.code == nullptr && PyErr_Occurred()) {
        PyObject* exc = PyErr_GetRaisedException();
        site.code = traceback_code(site.function, site.file, site.line);
        if (site.code == nullptr) PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    add_traceback(site.code);
}

}  // namespace vrel
