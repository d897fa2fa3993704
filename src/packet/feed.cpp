// XtPreParser.feed_and_route: every complete message of a read buffer in one call, so
// that a client pays one Python-level call per read instead of two per packet.
//
// Every complete message is handled exactly once. A call first takes the buffer's complete
// messages out of it, into a bytes object the parser owns (its backlog), before any Python
// code runs: that is the one moment no view of the buffer taken by such code can stand in
// the way, and a failure then (no memory) changes nothing. The messages are then handled
// from the backlog, each leaving it before it is handled. Whatever a call leaves unhandled
// (it stopped early on an exception) stays in the backlog, and the parser's next feed, of
// whatever buffer, handles it before anything else. Code run meanwhile may change the
// buffer at will: what it adds is the next call's.
#include <cstring>

#include "common/ref.hpp"
#include "packet/parser.hpp"
#include "record/xtpre.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"

namespace vrel {

namespace {

Signature kSig{"feed_and_route", {typed("buffer", &PyByteArray_Type), arg("rpc_queue"), arg("evt_queue")}};

// The interpreter's own text for a bytearray that cannot be resized while exported.
constexpr const char* kExported = "Existing exports of data: object cannot be re-sized";

// The length of the buffer's complete messages: up to and including its last NUL.
Py_ssize_t complete_length(const char* data, Py_ssize_t size) noexcept {
#if defined(__GLIBC__)
    const void* last = memrchr(data, 0, static_cast<size_t>(size));  // vectorised
    return last != nullptr ? static_cast<const char*>(last) - data + 1 : 0;
#else
    for (Py_ssize_t i = size; i > 0; --i) {
        if (data[i - 1] == '\0') return i;
    }
    return 0;
#endif
}

// Replaces the backlog (`backlog` stolen, or null); the old one is dropped last.
void set_backlog(XtPreParser* self, PyObject* backlog, Py_ssize_t start) noexcept {
    PyObject* old = self->backlog;
    self->backlog = backlog;
    self->backlog_start = start;
    Py_XDECREF(old);  // bytes: no code runs
}

// Moves the buffer's complete messages to the end of the backlog: both change, or neither
// does (-1 with an error: a view held elsewhere, no memory).
int take_messages(XtPreParser* self, PyObject* buffer) noexcept {
    if (reinterpret_cast<PyByteArrayObject*>(buffer)->ob_exports > 0) {
        PyErr_SetString(PyExc_BufferError, kExported);
        return -1;
    }
    const char* data = PyByteArray_AS_STRING(buffer);
    const Py_ssize_t taken = complete_length(data, PyByteArray_GET_SIZE(buffer));
    if (taken == 0) return 0;
    const Py_ssize_t kept = self->backlog != nullptr ? PyBytes_GET_SIZE(self->backlog) - self->backlog_start : 0;
    PyObject* joined = PyBytes_FromStringAndSize(nullptr, kept + taken);
    if (joined == nullptr) return -1;
    char* out = PyBytes_AS_STRING(joined);
    if (kept > 0) std::memcpy(out, PyBytes_AS_STRING(self->backlog) + self->backlog_start, static_cast<size_t>(kept));
    std::memcpy(out + kept, data, static_cast<size_t>(taken));
    // A bytearray's own slice deletion runs no code and, should it fail, leaves the
    // bytearray as it was.
    if (PySequence_DelSlice(buffer, 0, taken) < 0) {
        Py_DECREF(joined);
        return -1;
    }
    set_backlog(self, joined, 0);
    return 0;
}

// The record, then route_to_queues(record, rpc_queue, evt_queue) on the gate.
int route_record(const Gate& gate, const Parsed& p, void* context) noexcept {
    PyObject* const* queues = static_cast<PyObject* const*>(context);
    Ref made = Ref::steal(new_xtpre(p.command.get(), p.status, p.error_code, p.data.get(), p.destination));
    if (!made) return -1;
    return gate.route_to_queues(made.get(), queues[0], queues[1]);
}

PyObject* feed_and_route(XtPreParser* self, PyObject* buffer, PyObject* rpc_queue, PyObject* evt_queue) noexcept {
    if (buffer == Py_None) return Py_BuildValue("(nn)", Py_ssize_t{0}, Py_ssize_t{0});
    PyObject* queues[2] = {rpc_queue, evt_queue};
    Py_ssize_t messages, records;
    if (feed_buffer(self, buffer, route_record, queues, &messages, &records) < 0) {
        return nullptr;
    }
    return Py_BuildValue("(nn)", messages, records);
}

}  // namespace

int feed_buffer(XtPreParser* self, PyObject* buffer, RecordStep step, void* context, Py_ssize_t* messages,
                Py_ssize_t* records) noexcept {
    *messages = *records = 0;
    if (take_messages(self, buffer) < 0) return -1;
    // The backlog and the position are read afresh for every message: code run by a step
    // may feed this parser again, which handles (and may replace) the backlog itself.
    while (self->backlog != nullptr) {
        Ref backlog = Ref::borrow(self->backlog);  // immutable, and held: `data` stays valid
        const char* data = PyBytes_AS_STRING(backlog.get());
        const Py_ssize_t size = PyBytes_GET_SIZE(backlog.get());
        const Py_ssize_t start = self->backlog_start;
        // Every message of a backlog ends with a NUL.
        const Py_ssize_t end =
            static_cast<const char*>(std::memchr(data + start, 0, static_cast<size_t>(size - start))) - data;
        // Out of the backlog before it is handled: a message that fails is never handled again.
        if (end + 1 == size) {
            set_backlog(self, nullptr, 0);
        } else {
            self->backlog_start = end + 1;
        }
        ++*messages;
        Parsed parsed;
        const int made = parse_message(self, data + start, end - start, &parsed);
        if (made < 0) return -1;
        if (made > 0) {
            Ref held = Ref::borrow(self->gate);  // the parser's gate now; the step may drop the parser's hold
            if (step(Gate{held.get()}, parsed, context) < 0) return -1;
            ++*records;
        }
    }
    return 0;
}

const FunctionDef kFeedAndRouteDef{"feed_and_route", &kSig, body<feed_and_route>};

}  // namespace vrel
