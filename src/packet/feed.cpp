// XtPreParser.feed_and_route: every complete message of a read buffer in one call, so
// that a client pays one Python-level call per read instead of two per packet.
//
// A message is never handled twice. Handled messages leave the buffer at the end of the
// call, in one operation; a view of the buffer taken by code the call runs (the gate, a
// queue, the decoder) would make that removal fail, so the call stops after the message
// during which such a view appeared, and the parser owes the removal: its next feed of
// that buffer pays it before anything else (refused with BufferError while a view is
// still held), provided the buffer still starts with the very bytes handled.
#include <cstring>

#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "packet/parser.hpp"
#include "record/xtpre.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kSig{"feed_and_route", {typed("buffer", &PyByteArray_Type), arg("rpc_queue"), arg("evt_queue")}};

// The interpreter's own text for a bytearray that cannot be resized while exported.
constexpr const char* kExported = "Existing exports of data: object cannot be re-sized";

Py_ssize_t exports(PyObject* buffer) noexcept { return reinterpret_cast<PyByteArrayObject*>(buffer)->ob_exports; }

// Sets the owed removal (both references stolen); the old one is dropped last.
void owe(XtPreParser* self, PyObject* buffer, PyObject* prefix) noexcept {
    PyObject* old_buffer = self->owed_buffer;
    PyObject* old_prefix = self->owed_prefix;
    self->owed_buffer = buffer;
    self->owed_prefix = prefix;
    Py_XDECREF(old_buffer);
    Py_XDECREF(old_prefix);
}

// Pays a removal owed to `buffer`: 0 when nothing stands in the way (paid, or dropped
// because the caller has changed the buffer's front since), -1 with BufferError while a
// view is still held.
int pay_owed(XtPreParser* self, PyObject* buffer) noexcept {
    if (self->owed_buffer != buffer) return 0;
    if (exports(buffer) > 0) {
        PyErr_SetString(PyExc_BufferError, kExported);
        return -1;
    }
    PyObject* prefix = self->owed_prefix;
    const Py_ssize_t n = PyBytes_GET_SIZE(prefix);
    const bool unchanged =
        PyByteArray_GET_SIZE(buffer) >= n &&
        std::memcmp(PyByteArray_AS_STRING(buffer), PyBytes_AS_STRING(prefix), static_cast<size_t>(n)) == 0;
    if (unchanged && PySequence_DelSlice(buffer, 0, n) < 0) return -1;
    owe(self, nullptr, nullptr);
    return 0;
}

// Takes the first `consumed` bytes out of the buffer once the loop's export is released,
// or, while code run meanwhile still holds a view, owes their removal. An error of the
// messages' handling may be set: it stays the one raised, unless the removal fails too,
// which then carries it as its context.
int remove_prefix(XtPreParser* self, PyObject* buffer, Py_ssize_t consumed) noexcept {
    if (consumed == 0) return 0;
    PyObject* pending = PyErr_GetRaisedException();
    int result = 0;
    if (exports(buffer) > 0) {
        PyObject* prefix = PyBytes_FromStringAndSize(PyByteArray_AS_STRING(buffer), consumed);
        if (prefix != nullptr) {
            owe(self, Py_NewRef(buffer), prefix);
        } else {
            result = -1;
        }
    } else {
        result = PySequence_DelSlice(buffer, 0, consumed);
    }
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

// The record, then route_to_queues(record, rpc_queue, evt_queue) on the gate: the body
// itself for an exact Gatekeeper (whose method cannot be replaced), the gate's own method
// by name otherwise.
int route_record(PyObject* gate, const Parsed& p, void* context) noexcept {
    PyObject* const* queues = static_cast<PyObject* const*>(context);
    Ref made = Ref::steal(new_xtpre(p.command.get(), p.status, p.error_code, p.data.get(), p.destination));
    if (!made) return -1;
    PyObject* record = made.get();
    if (Py_IS_TYPE(gate, &GatekeeperType)) return route_packet_as_call(record, queues[0], queues[1]);
    PyObject* argv[4] = {gate, record, queues[0], queues[1]};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(S().route_to_queues, argv, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

PyObject* feed_and_route(PyObject* op, const Args& a) noexcept {
    PyObject* buffer = a[0];
    if (buffer == Py_None) return Py_BuildValue("(nn)", Py_ssize_t{0}, Py_ssize_t{0});
    Py_ssize_t messages, records;
    if (feed_buffer(reinterpret_cast<XtPreParser*>(op), buffer, route_record, const_cast<PyObject**>(a.obj + 1),
                    &messages, &records) < 0) {
        return nullptr;
    }
    return Py_BuildValue("(nn)", messages, records);
}

}  // namespace

int feed_buffer(XtPreParser* self, PyObject* buffer, RecordStep step, void* context, Py_ssize_t* messages,
                Py_ssize_t* records) noexcept {
    *messages = *records = 0;
    if (self->owed_buffer != nullptr && pay_owed(self, buffer) < 0) return -1;
    // A view held elsewhere would keep the handled messages in the buffer: refuse before
    // anything is handled.
    if (exports(buffer) > 0) {
        PyErr_SetString(PyExc_BufferError, kExported);
        return -1;
    }
    // Exported for the whole loop: Python code run by the gate, the decoder or a queue
    // cannot move or resize the bytes (it gets BufferError), so `data` and `size` stay
    // valid across those calls. Such code may still rewrite bytes in place; the scan and
    // the parser then read what is there, never beyond `size`.
    Py_buffer view;
    if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) return -1;
    const char* data = static_cast<const char*>(view.buf);
    const Py_ssize_t size = view.len;
    Py_ssize_t consumed = 0;
    bool failed = false;
    while (consumed < size) {
        const void* nul = std::memchr(data + consumed, 0, static_cast<size_t>(size - consumed));
        if (nul == nullptr) break;
        const Py_ssize_t start = consumed;
        const Py_ssize_t end = static_cast<const char*>(nul) - data;
        consumed = end + 1;  // a message that fails is consumed too: it is never handled twice
        ++*messages;
        Parsed parsed;
        const int made = parse_message(self, data + start, end - start, &parsed);
        if (made < 0) {
            failed = true;
            break;
        }
        if (made > 0) {
            Ref gate = Ref::borrow(self->gate);  // the parser's gate now; the step may drop the parser's hold
            if (step(gate.get(), parsed, context) < 0) {
                failed = true;
                break;
            }
            ++*records;
        }
        if (exports(buffer) > 1) break;  // a view taken meanwhile: what is handled must stay removable
    }
    PyBuffer_Release(&view);
    return remove_prefix(self, buffer, consumed) < 0 || failed ? -1 : 0;
}

const FunctionDef kFeedAndRouteDef{"feed_and_route", &kSig, feed_and_route};

}  // namespace vrel
