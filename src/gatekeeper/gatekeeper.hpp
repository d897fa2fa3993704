// Gatekeeper: the command tables, destination masks, status judgement, queue routing
// and pending request futures. The type lives in gatekeeper.cpp; each of the other files
// holds one group of methods.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/function.hpp"

namespace vrel {

inline constexpr int32_t DEST_RPC = 1;  // a request for the command is pending
inline constexpr int32_t DEST_EVT = 2;  // a handler is registered for the command

extern PyTypeObject GatekeeperType;

struct Gatekeeper {
    PyObject_HEAD
    PyObject* pending_futures;  // _pending_futures: exact dict or None
    PyObject* handler_map;      // _handler_map: exact dict or None
    PyObject* error_codes;      // _error_codes: exact dict or None (the caller's own dict)
    PyObject* loop;             // the event loop futures are made on, or None
    uint64_t serial;            // tells the masks remembered for this gate from others' (gatekeeper.cpp)
    bool tables_own;            // both tables are the ones __init__ made (gatekeeper.cpp)
    bool tables_watched;        // both tables are watched: masks found now may be remembered
};

inline Gatekeeper* as_gatekeeper(PyObject* op) noexcept { return reinterpret_cast<Gatekeeper*>(op); }

// The body of get_destination_mask for a command already known to be a str or None:
// 0 with *mask set, or -1 with an error.
int destination_mask(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept;

// The same, standing in for a call of the method: an error also gets the method's
// traceback entry, exactly as a call through Python would add it.
int destination_mask_as_call(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept;

// Whether a mask found for this gate now may be remembered (remembered.hpp): both its
// tables are dicts, watched from now on. The answer holds until a table is replaced.
bool masks_are_watched(Gatekeeper* self) noexcept;

// The body of route_to_queues: the packet into the RPC queue, the event queue, or both,
// as its destination says. 0, or -1 with an error.
int route_packet(PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept;

// The same, standing in for a call of route_to_queues on an exact Gatekeeper: an error
// also gets the method's traceback entry.
int route_packet_as_call(PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept;

// The bodies of process_status, resolve_rpc, reject_rpc and get_handler on an exact
// Gatekeeper, each standing in for a call of the method: an error gets the method's
// traceback entry exactly when a call through Python would add it. New reference, or null
// with an error. process_status hands a refusal's description to *description (a new
// reference) when that is not null.
PyObject* process_status_as_call(PyObject* self, PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                                 PyObject** description) noexcept;
PyObject* resolve_rpc_as_call(PyObject* self, PyObject* command, PyObject* result) noexcept;
PyObject* reject_rpc_as_call(PyObject* self, PyObject* command, PyObject* exception) noexcept;
PyObject* get_handler_as_call(PyObject* self, PyObject* command) noexcept;

// The ten operations, each defined beside its body; a new method is declared here and
// listed in kGatekeeperMethods.
extern const FunctionDef kGetDestinationMaskDef;  // gatekeeper.cpp
extern const FunctionDef kProcessStatusDef;       // status.cpp
extern const FunctionDef kRouteToQueuesDef;       // routing.cpp
extern const FunctionDef kRegisterRpcDef;         // futures.cpp
extern const FunctionDef kResolveRpcDef;          // futures.cpp
extern const FunctionDef kRejectRpcDef;           // futures.cpp
extern const FunctionDef kRemoveFutureDef;        // futures.cpp
extern const FunctionDef kGetHandlerDef;          // gatekeeper.cpp
extern const FunctionDef kCancelAllDef;           // futures.cpp
extern const FunctionDef kFailAllDef;             // futures.cpp

// Installs kGatekeeperMethods on the type; 0, or -1 with an error.
int install_gatekeeper_methods() noexcept;

// The methods in the order they are installed, the pickling refusal last.
inline constexpr const FunctionDef* kGatekeeperMethods[] = {
    &kGetDestinationMaskDef, &kProcessStatusDef, &kRouteToQueuesDef, &kRegisterRpcDef,
    &kResolveRpcDef,         &kRejectRpcDef,     &kRemoveFutureDef,  &kGetHandlerDef,
    &kCancelAllDef,          &kFailAllDef,       &kRefuseReduceDef,
};

}  // namespace vrel
