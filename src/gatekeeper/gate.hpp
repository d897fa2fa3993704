// A record's gate as the receive path calls it.
//
// The choice is made once per record, when its gate is read: an exact Gatekeeper (the
// type is immutable and its instances have no __dict__, so its methods are known) has the
// bodies run directly, each error with the traceback entry a call through Python would
// add; any other gate has its methods looked up and called by name, so that overrides
// are honoured.
#pragma once

#include <Python.h>

#include <cstdint>

#include "gatekeeper/gatekeeper.hpp"

namespace vrel {

class Gate {
public:
    // `gate` is borrowed: the caller holds it for as long as this is used.
    explicit Gate(PyObject* gate) noexcept : gate_(gate), exact_(Py_IS_TYPE(gate, &GatekeeperType)) {}

    PyObject* object() const noexcept { return gate_; }
    // An exact Gatekeeper, whose methods are the module's own.
    bool exact() const noexcept { return exact_; }
    Gatekeeper* gatekeeper() const noexcept { return as_gatekeeper(gate_); }

    // get_destination_mask(command) as a 32-bit mask, for a command already a str or None;
    // 0, or -1 with an error.
    int get_destination_mask(PyObject* command, int32_t* mask) const noexcept;
    // route_to_queues(record, rpc_queue, evt_queue); 0, or -1 with an error.
    int route_to_queues(PyObject* record, PyObject* rpc_queue, PyObject* evt_queue) const noexcept;
    // process_status(...). On a refusal by an exact gate, *description gets the description
    // its warning line gave (a new reference); otherwise it is left null.
    PyObject* process_status(PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                             PyObject** description) const noexcept;
    PyObject* resolve_rpc(PyObject* command, PyObject* result) const noexcept;
    PyObject* reject_rpc(PyObject* command, PyObject* exception) const noexcept;
    PyObject* get_handler(PyObject* command) const noexcept;

private:
    PyObject* gate_;
    bool exact_;
};

}  // namespace vrel
