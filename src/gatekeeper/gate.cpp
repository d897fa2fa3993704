#include "gatekeeper/gate.hpp"

#include "common/int32.hpp"
#include "common/ref.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

// gate.<name>(*args) looked up by name. New reference, or null with an error.
template <typename... Arg>
PyObject* call_by_name(PyObject* gate, PyObject* name, Arg... args) noexcept {
    PyObject* argv[] = {gate, args...};
    return PyObject_VectorcallMethod(name, argv, (sizeof...(Arg) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The result of a body run for `def`'s method: an error gets the method's entry.
PyObject* as_called(const FunctionDef& def, PyObject* result) noexcept {
    if (VREL_UNLIKELY(result == nullptr)) add_traceback(def);
    return result;
}

// 0 for a result dropped unseen, or -1 for its absence.
int discard(PyObject* result) noexcept {
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace

int Gate::get_destination_mask(PyObject* command, int32_t* mask) const noexcept {
    if (exact_) {
        if (destination_mask(gatekeeper(), command, mask) == 0) return 0;
        add_traceback(kGetDestinationMaskDef);
        return -1;
    }
    Ref result = Ref::steal(call_by_name(gate_, S().get_destination_mask, command));
    if (!result) return -1;
    return to_int32(result.get(), mask);
}

int Gate::route_to_queues(PyObject* record, PyObject* rpc_queue, PyObject* evt_queue) const noexcept {
    if (exact_) {
        return discard(as_called(kRouteToQueuesDef, vrel::route_to_queues(gatekeeper(), record, rpc_queue, evt_queue)));
    }
    return discard(call_by_name(gate_, S().route_to_queues, record, rpc_queue, evt_queue));
}

PyObject* Gate::process_status(PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                               PyObject** description) const noexcept {
    if (exact_) {
        return as_called(kProcessStatusDef,
                         vrel::process_status(gatekeeper(), command, status, error_code, data, description));
    }
    Ref status_value = Ref::steal(PyLong_FromLong(status));
    Ref code_value = Ref::steal(PyLong_FromLong(error_code));
    if (!status_value || !code_value) return nullptr;
    return call_by_name(gate_, S().process_status, command, status_value.get(), code_value.get(), data);
}

PyObject* Gate::resolve_rpc(PyObject* command, PyObject* result) const noexcept {
    if (exact_) return as_called(kResolveRpcDef, vrel::resolve_rpc(gatekeeper(), command, result));
    return call_by_name(gate_, S().resolve_rpc, command, result);
}

PyObject* Gate::reject_rpc(PyObject* command, PyObject* exception) const noexcept {
    if (exact_) return as_called(kRejectRpcDef, vrel::reject_rpc(gatekeeper(), command, exception));
    return call_by_name(gate_, S().reject_rpc, command, exception);
}

PyObject* Gate::get_handler(PyObject* command) const noexcept {
    if (exact_) return as_called(kGetHandlerDef, vrel::get_handler(gatekeeper(), command));
    return call_by_name(gate_, S().get_handler, command);
}

}  // namespace vrel
