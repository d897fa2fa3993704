#include "common/traceback.hpp"

#include <frameobject.h>

#include "module/module_state.hpp"

namespace vrel {

void add_traceback(TracebackSite& site) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (site.code == nullptr) {
        site.code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.file, site.function, site.line));
    }
    PyFrameObject* frame = nullptr;
    PyObject* globals = g_state.dict;
    if (site.code != nullptr && globals != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(site.code), globals, nullptr);
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

}  // namespace vrel
