#include "gatekeeper/gatekeeper.hpp"
namespace vrel {
namespace {
Signature kSig{"route_to_queues", 3, "packet", "rpc_queue", "evt_queue"};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "todo"); return nullptr; }
}
const FunctionDef kRouteToQueuesDef{"route_to_queues", &kSig, todo, nullptr};
}
