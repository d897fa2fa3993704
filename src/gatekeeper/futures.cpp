// Pending request futures: register_rpc, resolve_rpc, remove_future, cancel_all.
//
// _pending_futures maps a lower-cased command to a deque of futures, oldest on the left.
// The table is public and replaceable, and every future and deque method may run the
// client's code, which can swap or empty the table mid-call. So the attribute is read
// at each step that names it (the look-up, then again at each store or deletion), and
// the dict, deque and future in use are held across every call out.
#include "common/args.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "common/state.hpp"

namespace vrel {

namespace {

Signature kRegisterSig{"register_rpc", 1, "command"};
Signature kResolveSig{"resolve_rpc", 2, "command", "result"};
Signature kRemoveSig{"remove_future", 2, "command", "fut"};
Signature kCancelAllSig{"cancel_all", 0};

// ---- calls out, by interned name

PyObject* call_method(PyObject* obj, PyObject* name) noexcept {
    PyObject* argv[1] = {obj};
    return PyObject_VectorcallMethod(name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    PyObject* argv[2] = {obj, arg};
    return PyObject_VectorcallMethod(name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// A call whose result is not wanted; 0, or -1 with an error.
int call_discard(PyObject* obj, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* result = arg != nullptr ? call_method(obj, name, arg) : call_method(obj, name);
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

// fut.done() as a truth value: 1, 0, or -1 with an error.
int is_done(PyObject* fut) noexcept {
    Ref done = Ref::steal(call_method(fut, S().done));
    return done ? PyObject_IsTrue(done.get()) : -1;
}

// ---- the table

// The key of `command`: its lower() (full Unicode lower-casing). None passes the
// argument test but has no lower-case form: it is refused here, before anything changes.
PyObject* command_key(PyObject* command) noexcept {
    if (command == Py_None) {
        PyErr_SetString(PyExc_TypeError, "command must be a str, not None");
        return nullptr;
    }
    return call_method(command, S().lower);
}

// que = _pending_futures.get(key): *que is the entry (new reference) or empty when
// absent. 0, or -1 with an error.
int pending_get(Gatekeeper* self, PyObject* key, Ref* que) noexcept {
    // A stored key's __eq__ may replace the table during the search: hold it.
    Ref table = Ref::borrow(self->pending_futures);
    if (table.get() == Py_None) {
        raise_none_has_no("get");
        return -1;
    }
    PyObject* found = nullptr;
    if (dict_get_ref(table.get(), key, &found) < 0) return -1;
    *que = Ref::steal(found);
    return 0;
}

// The table as `_pending_futures[key]` finds it right now (new reference), or null
// with the interpreter's message for subscripting None.
PyObject* table_for_item(Gatekeeper* self) noexcept {
    if (self->pending_futures == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return nullptr;
    }
    return Py_NewRef(self->pending_futures);
}

// _pending_futures[key]: KeyError with the key when it is gone.
PyObject* pending_item(Gatekeeper* self, PyObject* key) noexcept {
    Ref table = Ref::steal(table_for_item(self));
    // The dict's own subscript, so the KeyError is built exactly as Python builds it.
    return table ? PyObject_GetItem(table.get(), key) : nullptr;
}

int pending_set(Gatekeeper* self, PyObject* key, PyObject* que) noexcept {
    Ref table = Ref::steal(table_for_item(self));
    return table ? PyDict_SetItem(table.get(), key, que) : -1;
}

int pending_del(Gatekeeper* self, PyObject* key) noexcept {
    Ref table = Ref::steal(table_for_item(self));
    return table ? PyDict_DelItem(table.get(), key) : -1;
}

// `if not que: del _pending_futures[key]`; 0, or -1 with an error.
int drop_if_empty(Gatekeeper* self, PyObject* key, PyObject* que) noexcept {
    int more = PyObject_IsTrue(que);
    if (more != 0) return more < 0 ? -1 : 0;
    return pending_del(self, key);
}

// The entry's deque when it holds any future: 1 with *que set, 0 for no entry, None or
// an empty deque (left in place), -1 with an error.
int pending_queue(Gatekeeper* self, PyObject* key, Ref* que) noexcept {
    if (pending_get(self, key, que) < 0) return -1;
    return *que ? PyObject_IsTrue(que->get()) : 0;
}

// The start shared by resolve_rpc and remove_future: the command tested and lower-cased,
// then its entry's deque when that holds any future. 1 with *key and *que set, 0 when
// nothing is pending (the call returns None), -1 with an error.
int pending_entry(Gatekeeper* self, PyObject* command, Ref* key, Ref* que) noexcept {
    if (!arg_type_ok(command, &PyUnicode_Type, "command")) return -1;
    *key = Ref::steal(command_key(command));
    if (!*key) return -1;
    return pending_queue(self, key->get(), que);
}

// The loop futures are made on: the one captured at construction, or else the running
// loop, found now and kept. New reference, or null with an error.
PyObject* event_loop(Gatekeeper* self) noexcept {
    if (self->loop != Py_None) return Py_NewRef(self->loop);
    Ref asyncio = Ref::steal(module_global(S().asyncio));
    if (!asyncio) return nullptr;
    Ref loop = Ref::steal(call_method(asyncio.get(), S().get_running_loop));
    if (!loop) return nullptr;
    set_field(&self->loop, loop.get());
    return loop.release();
}

// ---- the four methods

PyObject* register_rpc(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* command;
    if (parse_args(kRegisterSig, args, nargs, kwnames, &command) < 0) return nullptr;
    if (!arg_type_ok(command, &PyUnicode_Type, "command")) return nullptr;
    Gatekeeper* self = as_gatekeeper(op);
    Ref key = Ref::steal(command_key(command));
    if (!key) return nullptr;
    Ref loop = Ref::steal(event_loop(self));
    if (!loop) return nullptr;
    Ref fut = Ref::steal(call_method(loop.get(), S().create_future));
    if (!fut) return nullptr;
    Ref que;
    if (pending_get(self, key.get(), &que) < 0) return nullptr;
    // Identity with None, not emptiness: an empty deque already in place is reused.
    if (!que || que.get() == Py_None) {
        Ref deque = Ref::steal(module_global(S().deque));
        if (!deque) return nullptr;
        que = Ref::steal(PyObject_CallNoArgs(deque.get()));
        if (!que || pending_set(self, key.get(), que.get()) < 0) return nullptr;
    }
    if (call_discard(que.get(), S().append, fut.get()) < 0) return nullptr;
    return fut.release();
}

PyObject* resolve_rpc(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (parse_args(kResolveSig, args, nargs, kwnames, a) < 0) return nullptr;
    PyObject* result = a[1];
    Gatekeeper* self = as_gatekeeper(op);
    Ref key, que;
    int pending = pending_entry(self, a[0], &key, &que);
    if (pending <= 0) return pending < 0 ? nullptr : Py_NewRef(Py_None);
    Ref fut = Ref::steal(call_method(que.get(), S().popleft));
    if (!fut) return nullptr;
    // A future already done (cancelled by its owner, say) swallows the answer: handing
    // it to the next request would pair that request with the wrong reply.
    int done = is_done(fut.get());
    if (done < 0) return nullptr;
    if (!done && call_discard(fut.get(), S().set_result, result) < 0) return nullptr;
    if (drop_if_empty(self, key.get(), que.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* remove_future(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[2];
    if (parse_args(kRemoveSig, args, nargs, kwnames, a) < 0) return nullptr;
    PyObject* fut = a[1];
    Gatekeeper* self = as_gatekeeper(op);
    Ref key, que;
    int pending = pending_entry(self, a[0], &key, &que);
    if (pending <= 0) return pending < 0 ? nullptr : Py_NewRef(Py_None);
    // A future that is not (or no longer) queued is no error: it may have been resolved.
    if (call_discard(que.get(), S().remove, fut) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
    }
    if (drop_if_empty(self, key.get(), que.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Pops every future of one entry, cancels those still pending, then deletes the entry.
int cancel_entry(Gatekeeper* self, PyObject* key) noexcept {
    Ref que = Ref::steal(pending_item(self, key));
    if (!que) return -1;
    for (;;) {
        int more = PyObject_IsTrue(que.get());
        if (more <= 0) {
            if (more < 0) return -1;
            break;
        }
        Ref fut = Ref::steal(call_method(que.get(), S().popleft));
        if (!fut) return -1;
        int done = is_done(fut.get());
        if (done < 0) return -1;
        if (!done && call_discard(fut.get(), S().cancel) < 0) return -1;
    }
    return pending_del(self, key);
}

PyObject* cancel_all(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* unused[1];
    if (parse_args(kCancelAllSig, args, nargs, kwnames, unused) < 0) return nullptr;
    Gatekeeper* self = as_gatekeeper(op);
    if (self->pending_futures == Py_None) {
        raise_none_has_no("keys");
        return nullptr;
    }
    // A snapshot: a future's done() or cancel() may add or drop entries during the walk.
    Ref keys = Ref::steal(PyDict_Keys(self->pending_futures));
    if (!keys) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        // Held: a future's cancel() may reach the snapshot (gc.get_referrers) and empty it,
        // and replace the table, dropping every other hold on the key.
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        if (!value_type_ok(key.get(), &PyUnicode_Type) || cancel_entry(self, key.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kRegisterRpcDef{"register_rpc", &kRegisterSig, register_rpc};
const FunctionDef kResolveRpcDef{"resolve_rpc", &kResolveSig, resolve_rpc};
const FunctionDef kRemoveFutureDef{"remove_future", &kRemoveSig, remove_future};
const FunctionDef kCancelAllDef{"cancel_all", &kCancelAllSig, cancel_all};

}  // namespace vrel
