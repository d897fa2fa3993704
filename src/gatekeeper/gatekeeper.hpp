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

// The work of get_destination_mask for a command already known to be a str or None:
// 0 with *mask set, or -1 with an error. The parser asks it for names it normalised.
int destination_mask(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept;

// Whether a mask found for this gate now may be remembered (remembered.hpp): both its
// tables are dicts, watched from now on. The answer holds until a table is replaced.
bool masks_are_watched(Gatekeeper* self) noexcept;

// The bodies the receive path calls directly (gate.hpp), each that of the method of the
// same name: new reference, or null with an error that has no traceback entry yet.
// process_status hands a refusal's description to *description (a new reference) when
// that is not null.
PyObject* process_status(Gatekeeper* self, PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                         PyObject** description) noexcept;
PyObject* route_to_queues(Gatekeeper* self, PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept;
PyObject* resolve_rpc(Gatekeeper* self, PyObject* command, PyObject* result) noexcept;
PyObject* reject_rpc(Gatekeeper* self, PyObject* command, PyObject* exception) noexcept;
PyObject* get_handler(Gatekeeper* self, PyObject* command) noexcept;

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
