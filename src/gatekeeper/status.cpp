#include "gatekeeper/gatekeeper.hpp"
namespace vrel {
namespace {
Signature kSig{"process_status", 4, "command", "status", "error_code", "data"};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "todo"); return nullptr; }
}
const FunctionDef kProcessStatusDef{"process_status", &kSig, todo, nullptr};
}
