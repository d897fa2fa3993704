// XtPreParser.feed_and_dispatch: the whole receive path of a read buffer in one call.
// Messages are framed, parsed and removed exactly as feed_and_route does it (feed_buffer,
// whose file tells the buffer rules); each record then goes to the gate instead of into
// queues:
//
//     result = gate.process_status(command, status, error_code, data)   once per record
//     destination bit 1: gate.resolve_rpc(command, result)
//     destination bit 2, result not False: handler = gate.get_handler(command);
//                                          handler(result) unless it is None
//
// An exact Gatekeeper has the three bodies run directly; any other gate has its methods
// called by name, so that overrides are honoured.
#include <cstdint>

#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "packet/parser.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kSig{"feed_and_dispatch", {typed("buffer", &PyByteArray_Type)}};

struct Dispatched {
    Py_ssize_t answers = 0;  // records handed to resolve_rpc
    Py_ssize_t events = 0;   // handlers called
};

// gate.<name>(*argv[1..nargs)) looked up by name; argv[0] is the gate. New reference, or
// null with an error.
PyObject* call_gate(PyObject* name, PyObject** argv, size_t nargs) noexcept {
    return PyObject_VectorcallMethod(name, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// No record is made: the gate is given the fields, which the feed holds.
int dispatch_record(PyObject* gate, const Parsed& p, void* context) noexcept {
    Dispatched* counts = static_cast<Dispatched*>(context);
    const Ref& command = p.command;
    const Ref& data = p.data;
    const int32_t status = p.status;
    const int32_t error_code = p.error_code;
    const int32_t destination = p.destination;
    // Once per record, before either use, so that a failure is logged once.
    const bool exact = Py_IS_TYPE(gate, &GatekeeperType);
    Ref result;
    if (exact) {
        result = Ref::steal(process_status_as_call(gate, command.get(), status, error_code, data.get()));
    } else {
        Ref status_value = Ref::steal(PyLong_FromLong(status));
        Ref code_value = Ref::steal(PyLong_FromLong(error_code));
        if (!status_value || !code_value) return -1;
        PyObject* argv[5] = {gate, command.get(), status_value.get(), code_value.get(), data.get()};
        result = Ref::steal(call_gate(S().process_status, argv, 5));
    }
    if (!result) return -1;
    if (destination & DEST_RPC) {
        PyObject* argv[3] = {gate, command.get(), result.get()};
        Ref none = Ref::steal(exact ? resolve_rpc_as_call(gate, command.get(), result.get())
                                    : call_gate(S().resolve_rpc, argv, 3));
        if (!none) return -1;
        ++counts->answers;
    }
    if ((destination & DEST_EVT) && result.get() != Py_False) {
        PyObject* argv[2] = {gate, command.get()};
        Ref handler =
            Ref::steal(exact ? get_handler_as_call(gate, command.get()) : call_gate(S().get_handler, argv, 2));
        if (!handler) return -1;
        if (handler.get() != Py_None) {
            // What the handler returns is dropped: a coroutine is not awaited.
            PyObject* args[2] = {nullptr, result.get()};
            Ref ignored =
                Ref::steal(PyObject_Vectorcall(handler.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!ignored) return -1;
            ++counts->events;
        }
    }
    return 0;
}

PyObject* feed_and_dispatch(PyObject* op, const Args& a) noexcept {
    PyObject* buffer = a[0];
    if (buffer == Py_None) return Py_BuildValue("(nnn)", Py_ssize_t{0}, Py_ssize_t{0}, Py_ssize_t{0});
    Dispatched counts;
    Py_ssize_t messages, records;
    if (feed_buffer(reinterpret_cast<XtPreParser*>(op), buffer, dispatch_record, &counts, &messages, &records) < 0) {
        return nullptr;
    }
    return Py_BuildValue("(nnn)", messages, counts.answers, counts.events);
}

}  // namespace

const FunctionDef kFeedAndDispatchDef{"feed_and_dispatch", &kSig, feed_and_dispatch};

}  // namespace vrel
