// Gatekeeper: the command tables, destination masks, status judgement, queue routing
// and pending request futures. The type lives in gatekeeper.cpp; each of the other files
// holds one group of methods.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/function.hpp"

namespace vrel {

inline constexpr int32_t DEST_RPC = 1;  // a request for the command is pending
inline constexpr int32_t DEST_EVT = 2;  // a handler is registered for the command

extern PyTypeObject GatekeeperType;

// A mask lately given to a Python caller of get_destination_mask, for a short str.
struct RememberedMask {
    PyObject* command;  // exact str, strong, or null
    uint64_t epoch;     // g_table_epoch when the mask was found
    int32_t mask;
};

inline constexpr int kRememberedMasks = 32;

struct Gatekeeper {
    PyObject_HEAD
    PyObject* pending_futures;  // _pending_futures: exact dict or None
    PyObject* handler_map;      // _handler_map: exact dict or None
    PyObject* error_codes;      // _error_codes: exact dict or None (the caller's own dict)
    PyObject* loop;             // the event loop futures are made on, or None
    // The two tables __init__ made are both in place (replacing either attribute clears
    // this), and, once a mask has been remembered, watched: every change to their
    // contents then moves g_table_epoch. A gate no parser asks pays nothing for it.
    bool tables_own;
    bool tables_watched;
    bool plain_keys;            // both tables held only exact str keys when last looked at
    uint64_t keys_checked;      // g_table_keys when plain_keys was found (0: never)
    RememberedMask masks[kRememberedMasks];  // by the command's hash; never visible from Python
};

inline Gatekeeper* as_gatekeeper(PyObject* op) noexcept { return reinterpret_cast<Gatekeeper*>(op); }

// The body of get_destination_mask for a command already known to be a str or None:
// 0 with *mask set, or -1 with an error.
int destination_mask(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept;

// The same, standing in for a call of the method: an error also gets the method's
// traceback entry, exactly as a call through Python would add it.
int destination_mask_as_call(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept;

// Moves on every change to a watched gate table and whenever a gate's tables are replaced:
// a mask found while it stays the same is still the answer.
extern uint64_t g_table_epoch;

// Whether this gate's masks depend on nothing but its tables' contents, so that one found
// for a str command may be remembered until g_table_epoch moves: the tables are the
// watched ones, and they hold only exact str keys, whose hashing and comparison run no
// Python code (any other key may answer differently each time it is compared).
bool masks_are_stable(Gatekeeper* self) noexcept;

// The body of route_to_queues: the packet into the RPC queue, the event queue, or both,
// as its destination says. 0, or -1 with an error.
int route_packet(PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept;

// The same, standing in for a call of route_to_queues on an exact Gatekeeper: an error
// also gets the method's traceback entry.
int route_packet_as_call(PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept;

// The nine operations, each defined beside its body; a new method is declared here and
// listed in kGatekeeperMethods.
extern const FunctionDef kGetDestinationMaskDef;  // gatekeeper.cpp
extern const FunctionDef kProcessStatusDef;       // status.cpp
extern const FunctionDef kRouteToQueuesDef;       // routing.cpp
extern const FunctionDef kRegisterRpcDef;         // futures.cpp
extern const FunctionDef kResolveRpcDef;          // futures.cpp
extern const FunctionDef kRemoveFutureDef;        // futures.cpp
extern const FunctionDef kGetHandlerDef;          // gatekeeper.cpp
extern const FunctionDef kCancelAllDef;           // futures.cpp
extern const FunctionDef kFailAllDef;             // futures.cpp

// The methods in the order they are installed, the pickling refusal last.
inline constexpr const FunctionDef* kGatekeeperMethods[] = {
    &kGetDestinationMaskDef, &kProcessStatusDef, &kRouteToQueuesDef, &kRegisterRpcDef, &kResolveRpcDef,
    &kRemoveFutureDef,       &kGetHandlerDef,    &kCancelAllDef,     &kFailAllDef,
    &kRefuseReduceDef,
};

}  // namespace vrel
