// Gatekeeper.route_to_queues: hands a parsed packet to the RPC queue, the event queue,
// or both, as its destination mask says.
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "record/xtpre.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kSig{"route_to_queues", {arg("packet"), arg("rpc_queue"), arg("evt_queue")}};

// queue.put_nowait(packet), the method looked up on every call; 0, or -1 with an error.
int put_nowait(PyObject* queue, PyObject* packet) noexcept {
    PyObject* argv[2] = {queue, packet};
    PyObject* result = PyObject_VectorcallMethod(S().put_nowait, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

// The packet's destination as a 32-bit mask; 0, or -1 with an error. A record of the
// module's own type is read in place: the type is immutable and its instances have no
// __dict__, so the attribute is known to be the stored field.
int read_destination(PyObject* packet, int32_t* dest) noexcept {
    if (Py_IS_TYPE(packet, &XtPreType)) {
        *dest = reinterpret_cast<XtPre*>(packet)->destination;
        return 0;
    }
    Ref value = Ref::steal(PyObject_GetAttr(packet, S().destination));
    if (!value) return -1;
    return to_int32(value.get(), dest);
}

}  // namespace

PyObject* route_to_queues(Gatekeeper*, PyObject* packet, PyObject* rpc_queue, PyObject* evt_queue) noexcept {
    int32_t dest;
    if (read_destination(packet, &dest) < 0) return nullptr;
    // The RPC queue first: a failure there leaves the event queue unserved.
    if ((dest & DEST_RPC) && put_nowait(rpc_queue, packet) < 0) return nullptr;
    if ((dest & DEST_EVT) && put_nowait(evt_queue, packet) < 0) return nullptr;
    Py_RETURN_NONE;
}

const FunctionDef kRouteToQueuesDef{"route_to_queues", &kSig, body<route_to_queues>};

}  // namespace vrel
