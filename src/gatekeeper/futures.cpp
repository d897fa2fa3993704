#include "gatekeeper/gatekeeper.hpp"
namespace vrel {
namespace {
Signature kRegSig{"register_rpc", 1, "command"};
Signature kResSig{"resolve_rpc", 2, "command", "result"};
Signature kRemSig{"remove_future", 2, "command", "fut"};
Signature kCanSig{"cancel_all", 0};
PyObject* todo(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "todo"); return nullptr; }
}
const FunctionDef kRegisterRpcDef{"register_rpc", &kRegSig, todo, nullptr};
const FunctionDef kResolveRpcDef{"resolve_rpc", &kResSig, todo, nullptr};
const FunctionDef kRemoveFutureDef{"remove_future", &kRemSig, todo, nullptr};
const FunctionDef kCancelAllDef{"cancel_all", &kCanSig, todo, nullptr};
}
