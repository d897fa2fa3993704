// XtPreParser.feed_and_route: every complete message of a read buffer in one call, so
// that a client pays one Python-level call per read instead of two per packet.
#include <cstring>

#include "common/args.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/state.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "packet/parser.hpp"

namespace vrel {

namespace {

Signature kSig{"feed_and_route", 3, "buffer", "rpc_queue", "evt_queue"};

// The interpreter's own text for a bytearray that cannot be resized while exported.
constexpr const char* kExported = "Existing exports of data: object cannot be re-sized";

// route_to_queues(record, rpc_queue, evt_queue) on the gate: the body itself for an exact
// Gatekeeper (whose method cannot be replaced), the gate's own method by name otherwise.
int route_record(PyObject* gate, PyObject* record, PyObject* rpc_queue, PyObject* evt_queue) noexcept {
    if (Py_IS_TYPE(gate, &GatekeeperType)) return route_packet_as_call(record, rpc_queue, evt_queue);
    PyObject* argv[4] = {gate, record, rpc_queue, evt_queue};
    Ref result = Ref::steal(PyObject_VectorcallMethod(S().route_to_queues, argv, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      nullptr));
    return result ? 0 : -1;
}

// Takes the first `consumed` bytes out of the buffer in one operation, once its export is
// released. An error of the messages' handling may be set: it stays the one raised,
// unless the removal fails too, which then carries it as its context.
int remove_prefix(PyObject* buffer, Py_ssize_t consumed) noexcept {
    if (consumed == 0) return 0;
    PyObject* pending = PyErr_GetRaisedException();
    const int result = PySequence_DelSlice(buffer, 0, consumed);
    if (pending == nullptr) return result;
    if (result < 0) {
        PyObject* now = PyErr_GetRaisedException();
        PyException_SetContext(now, pending);
        PyErr_SetRaisedException(now);
    } else {
        PyErr_SetRaisedException(pending);
    }
    return result;
}

PyObject* feed_and_route(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[3];
    if (parse_args(kSig, args, nargs, kwnames, a) < 0) return nullptr;
    PyObject* buffer = a[0];
    if (!arg_type_ok(buffer, &PyByteArray_Type, "buffer")) return nullptr;
    if (buffer == Py_None) return Py_BuildValue("(nn)", Py_ssize_t{0}, Py_ssize_t{0});
    // A view held elsewhere would keep the handled messages from being removed at the
    // end: refuse before anything is handled rather than leave them to be handled twice.
    if (reinterpret_cast<PyByteArrayObject*>(buffer)->ob_exports > 0) {
        PyErr_SetString(PyExc_BufferError, kExported);
        return nullptr;
    }

    // Exported for the whole loop: Python code run by the gate, the decoder or a queue
    // cannot move or resize the bytes (it gets BufferError), so `data` and `size` stay
    // valid across those calls. Such code may still rewrite bytes in place; the scan and
    // the parser then read what is there, never beyond `size`.
    Py_buffer view;
    if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const char* data = static_cast<const char*>(view.buf);
    const Py_ssize_t size = view.len;
    XtPreParser* self = reinterpret_cast<XtPreParser*>(op);
    Py_ssize_t consumed = 0, messages = 0, records = 0;
    bool failed = false;
    while (consumed < size) {
        const void* nul = std::memchr(data + consumed, 0, static_cast<size_t>(size - consumed));
        if (nul == nullptr) break;
        const Py_ssize_t start = consumed;
        const Py_ssize_t end = static_cast<const char*>(nul) - data;
        consumed = end + 1;  // a message that fails is consumed too: it is never handled twice
        ++messages;
        PyObject* made;
        if (parse_message(self, data + start, end - start, &made) < 0) {
            failed = true;
            break;
        }
        if (made == nullptr) continue;
        Ref record = Ref::steal(made);
        Ref gate = Ref::borrow(self->gate);  // the parser's gate now; routing may drop the parser's hold
        if (route_record(gate.get(), record.get(), a[1], a[2]) < 0) {
            failed = true;
            break;
        }
        ++records;
    }
    PyBuffer_Release(&view);

    if (remove_prefix(buffer, consumed) < 0 || failed) return nullptr;
    return Py_BuildValue("(nn)", messages, records);
}

}  // namespace

const FunctionDef kFeedAndRouteDef{"feed_and_route", &kSig, feed_and_route};

}  // namespace vrel
