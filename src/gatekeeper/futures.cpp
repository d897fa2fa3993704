// Pending request futures: register_rpc, resolve_rpc, reject_rpc, remove_future,
// cancel_all, fail_all.
//
// _pending_futures maps a lower-cased command to a deque of futures, oldest on the left.
// The table is public and replaceable, and every future and deque method may run the
// client's code, which can swap or empty the table mid-call. So the attribute is read
// at each step that names it (the look-up, then again at each store or deletion), and
// the dict, deque and future in use are held across every call out.
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kRegisterSig{"register_rpc", {typed("command", &PyUnicode_Type)}};
Signature kResolveSig{"resolve_rpc", {typed("command", &PyUnicode_Type), arg("result")}};
Signature kRejectSig{"reject_rpc", {typed("command", &PyUnicode_Type), arg("exception")}};
Signature kRemoveSig{"remove_future", {typed("command", &PyUnicode_Type), arg("fut")}};
Signature kCancelAllSig{"cancel_all", {}};
Signature kFailAllSig{"fail_all", {arg("exception")}};

// ---- calls out

// Methods of three built-in types, taken from the type once (g_state.known) instead of
// looked up by name at every call: str.lower, and those of collections.deque and of the C
// asyncio.Future. Each type is immutable, has the generic attribute look-up and defines
// the method itself, so `obj.name` on an instance of exactly that type finds the very
// method the type holds, unless the instance has an attribute of that name: a str or a
// deque cannot have one, and a future is checked for attributes of its own. Instances of
// any other type, subclasses included, are called by name.
bool fixed_type(PyObject* type) noexcept {
    return type != nullptr && Py_IS_TYPE(type, &PyType_Type) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_IMMUTABLETYPE) &&
           reinterpret_cast<PyTypeObject*>(type)->tp_getattro == PyObject_GenericGetAttr;
}

// The method descriptor `type` itself defines under `name` (new reference), or null.
PyObject* own_method(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (found == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (Py_IS_TYPE(found, &PyMethodDescr_Type) && PyDescr_TYPE(found) == type) return found;
    Py_DECREF(found);
    return nullptr;
}

// `module.name`, read from the namespace of an already imported plain module (nothing is
// imported or run), when it is a fixed type whose own methods include every name in
// `names`; their descriptors go to `out`. New reference to the type, or null (no error)
// when any of that does not hold.
PyTypeObject* known_type(const char* module, const char* name, std::initializer_list<PyObject*> names,
                         PyObject** out) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref mod = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    Ref type;
    if (mod && PyModule_CheckExact(mod.get())) {
        PyObject* found = PyDict_GetItemString(PyModule_GetDict(mod.get()), name);  // borrowed
        type = Ref::borrow(found);
    }
    PyErr_Clear();
    if (!fixed_type(type.get())) return nullptr;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject** slot = out;
    for (PyObject* method : names) {
        *slot = own_method(t, method);
        if (*slot == nullptr) {
            for (PyObject** done = out; done != slot; ++done) Py_CLEAR(*done);
            return nullptr;
        }
        ++slot;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void resolve_known_methods() noexcept {
    if (g_state.known.resolved) return;
    g_state.known.resolved = true;
    const Strings& s = S();
    g_state.known.lower = own_method(&PyUnicode_Type, s.lower);
    PyObject* deque_methods[3];
    g_state.known.deque = known_type("_collections", "deque", {s.append, s.popleft, s.remove}, deque_methods);
    // A deque has no attributes of its own; a type that allowed them would need a check.
    if (g_state.known.deque != nullptr &&
        (g_state.known.deque->tp_dictoffset != 0 || PyType_HasFeature(g_state.known.deque, Py_TPFLAGS_MANAGED_DICT))) {
        for (PyObject* method : deque_methods) Py_DECREF(method);
        Py_CLEAR(g_state.known.deque);
    }
    if (g_state.known.deque != nullptr) {
        g_state.known.append = deque_methods[0];
        g_state.known.popleft = deque_methods[1];
        g_state.known.remove = deque_methods[2];
        Ref maxlen = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_state.known.deque), "maxlen"));
        if (maxlen && Py_IS_TYPE(maxlen.get(), &PyGetSetDescr_Type)) g_state.known.maxlen = maxlen.release();
        PyErr_Clear();
    }
    PyObject* future_methods[3];
    g_state.known.future = known_type("_asyncio", "Future", {s.done, s.set_result, s.cancel}, future_methods);
    if (g_state.known.future != nullptr) {
        g_state.known.done = future_methods[0];
        g_state.known.set_result = future_methods[1];
        g_state.known.cancel = future_methods[2];
    }
}

#if VREL_PY313
int saw_one(PyObject*, void*) noexcept { return 1; }
#endif

// Whether `obj` has no attribute of its own that could stand in for a method of its type.
bool no_own_attributes(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_dictoffset > 0) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
        return dict == nullptr || PyDict_GET_SIZE(dict) == 0;
    }
#if VREL_PY313
    // Visits the instance's dict or its attribute values, whichever it has: nothing visited, nothing there.
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return PyObject_VisitManagedDict(obj, saw_one, nullptr) == 0;
#endif
    return type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

bool known_deque(PyObject* que) noexcept { return Py_IS_TYPE(que, g_state.known.deque); }
bool known_future(PyObject* fut) noexcept { return Py_IS_TYPE(fut, g_state.known.future) && no_own_attributes(fut); }

// obj.<name>(arg) or obj.<name>(): through the type's own method when `known`, by name
// otherwise. New reference, or null with an error.
PyObject* call_method(PyObject* obj, bool known, PyObject* method, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* argv[3] = {nullptr, obj, arg};
    const size_t nargsf = (arg != nullptr ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (known) return PyObject_Vectorcall(method, argv + 1, nargsf, nullptr);
    return PyObject_VectorcallMethod(name, argv + 1, nargsf, nullptr);
}

// A call whose result is not wanted; 0, or -1 with an error.
int call_discard(PyObject* obj, bool known, PyObject* method, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* result = call_method(obj, known, method, name, arg);
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

// ---- deques

// One emptied deque (g_state.spare_deque), kept for the next entry that needs a fresh one. It is kept only when
// nothing else can reach it (no other reference, no weak reference, out of the collector's
// lists) and it is exactly what `deque()` makes (the built-in type, empty, no maxlen), so
// handing it out instead of calling the built-in type is the same to everyone.

bool unreachable_fresh_deque(PyObject* que) noexcept {
    if (!known_deque(que) || g_state.known.maxlen == nullptr || Py_REFCNT(que) != 1 || PyObject_Size(que) != 0) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t weaklist = g_state.known.deque->tp_weaklistoffset;
    if (weaklist <= 0 || *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(que) + weaklist) != nullptr)
        return false;
    PyObject* maxlen = Py_TYPE(g_state.known.maxlen)
                           ->tp_descr_get(g_state.known.maxlen, que, reinterpret_cast<PyObject*>(g_state.known.deque));
    if (maxlen == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(maxlen);
    return maxlen == Py_None;
}

// Takes over `que`, a deque just deleted from the table, as the spare when it may serve.
void release_deque(Ref& que) noexcept {
    if (g_state.spare_deque != nullptr || !unreachable_fresh_deque(que.get())) return;
    g_state.spare_deque_tracked = PyObject_GC_IsTracked(que.get()) != 0;
    if (g_state.spare_deque_tracked) PyObject_GC_UnTrack(que.get());
    g_state.spare_deque = que.release();
}

// deque(), with `deque` the module global as at this call: the spare when the global is
// the built-in type. New reference, or null with an error.
PyObject* new_deque() noexcept {
    Ref deque = Ref::steal(module_global(S().deque));  // as at this call
    if (!deque) return nullptr;
    if (g_state.spare_deque != nullptr && deque.get() == reinterpret_cast<PyObject*>(g_state.known.deque)) {
        PyObject* que = g_state.spare_deque;
        g_state.spare_deque = nullptr;
        if (g_state.spare_deque_tracked) PyObject_GC_Track(que);
        return que;
    }
    return PyObject_CallNoArgs(deque.get());
}

PyObject* popleft(PyObject* que) noexcept {
    return call_method(que, known_deque(que), g_state.known.popleft, S().popleft);
}

// fut.done() as a truth value: 1, 0, or -1 with an error.
int is_done(PyObject* fut) noexcept {
    Ref done = Ref::steal(call_method(fut, known_future(fut), g_state.known.done, S().done));
    return done ? PyObject_IsTrue(done.get()) : -1;
}

// ---- the table

// Keys made lately, by command object (g_state.command_keys): a client registers and
// resolves the same few command strings over and over, and lower() of a str always gives
// an equal string, so the key made last time (its hash already computed) serves again.
// Only short commands are kept, so what this holds stays small.
// The key of `command`: its lower() (full Unicode lower-casing). None passes the
// argument test but has no lower-case form: it is refused here, before anything changes.
PyObject* command_key(PyObject* command) noexcept {
    if (command == Py_None) {
        PyErr_SetString(PyExc_TypeError, "command must be a str, not None");
        return nullptr;
    }
    // Fibonacci hashing of the address: its low bits are alignment, its high bits spread.
    const uint64_t spread = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(command)) * 0x9E3779B97F4A7C15u;
    static_assert(kCommandKeys == 16, "indexed by the top four bits of a 64-bit hash");
    CommandKey& recent = g_state.command_keys[spread >> 60];
    if (recent.command == command) return Py_NewRef(recent.key);
    PyObject* key = PyUnicode_IS_ASCII(command)
                        ? ascii_lower(command)
                        : call_method(command, g_state.known.lower != nullptr, g_state.known.lower, S().lower);
    if (key == nullptr || PyUnicode_GET_LENGTH(command) > kKeptCommand) return key;
    PyObject* old_command = recent.command;
    PyObject* old_key = recent.key;
    recent.command = Py_NewRef(command);
    recent.key = Py_NewRef(key);
    Py_XDECREF(old_command);
    Py_XDECREF(old_key);
    return key;
}

// que = _pending_futures.get(key): *que is the entry (new reference) or empty when
// absent. 0, or -1 with an error.
int pending_get(Gatekeeper* self, PyObject* key, Ref* que) noexcept {
    // A stored key's __eq__ may replace the table during the search: hold it.
    Ref table = Ref::borrow(self->pending_futures);
    PyObject* found = nullptr;
    if (table_get(table.get(), key, &found) < 0) return -1;
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

// `if not que: del _pending_futures[key]`; 0, or -1 with an error. A deque deleted this
// way may become the spare.
int drop_if_empty(Gatekeeper* self, PyObject* key, Ref& que) noexcept {
    int more = PyObject_IsTrue(que.get());
    if (more != 0) return more < 0 ? -1 : 0;
    if (pending_del(self, key) < 0) return -1;
    release_deque(que);
    return 0;
}

// The entry's deque when it holds any future: 1 with *que set, 0 for no entry, None or
// an empty deque (left in place), -1 with an error.
int pending_queue(Gatekeeper* self, PyObject* key, Ref* que) noexcept {
    if (pending_get(self, key, que) < 0) return -1;
    return *que ? PyObject_IsTrue(que->get()) : 0;
}

// The start shared by resolve_rpc and remove_future: the command lower-cased, then its
// entry's deque when that holds any future. 1 with *key and *que set, 0 when nothing is
// pending (the call returns None), -1 with an error.
int pending_entry(Gatekeeper* self, PyObject* command, Ref* key, Ref* que) noexcept {
    *key = Ref::steal(command_key(command));
    if (!*key) return -1;
    return pending_queue(self, key->get(), que);
}

// The loop futures are made on: the one captured at construction, or else the running
// loop, found now and kept. New reference, or null with an error.
PyObject* event_loop(Gatekeeper* self) noexcept {
    if (self->loop != Py_None) return Py_NewRef(self->loop);
    Ref loop = Ref::steal(running_loop());
    if (!loop) return nullptr;
    set_field(&self->loop, loop.get());
    return loop.release();
}

// ---- the methods

PyObject* register_rpc(Gatekeeper* self, PyObject* command) noexcept {
    resolve_known_methods();
    Ref key = Ref::steal(command_key(command));
    if (!key) return nullptr;
    Ref loop = Ref::steal(event_loop(self));
    if (!loop) return nullptr;
    Ref fut = Ref::steal(call_method(loop.get(), false, nullptr, S().create_future));
    if (!fut) return nullptr;
    Ref que;
    if (pending_get(self, key.get(), &que) < 0) return nullptr;
    // Identity with None, not emptiness: an empty deque already in place is reused.
    if (!que || que.get() == Py_None) {
        que = Ref::steal(new_deque());
        if (!que || pending_set(self, key.get(), que.get()) < 0) return nullptr;
    }
    if (call_discard(que.get(), known_deque(que.get()), g_state.known.append, S().append, fut.get()) < 0)
        return nullptr;
    return fut.release();
}

// The work of resolve_rpc and reject_rpc: the oldest future pending for `command` leaves
// the table and, unless it is already done, gets `outcome` as its result, or as its
// exception when `exception` is set.
PyObject* complete_oldest(Gatekeeper* self, PyObject* command, PyObject* outcome, bool exception) noexcept {
    resolve_known_methods();
    Ref key, que;
    int pending = pending_entry(self, command, &key, &que);
    if (pending <= 0) return pending < 0 ? nullptr : Py_NewRef(Py_None);
    Ref fut = Ref::steal(popleft(que.get()));
    if (!fut) return nullptr;
    // A future already done (cancelled by its owner, say) swallows the answer: handing
    // it to the next request would pair that request with the wrong reply.
    int done = is_done(fut.get());
    if (done < 0) return nullptr;
    if (!done) {
        const int set = exception ? call_discard(fut.get(), false, nullptr, S().set_exception, outcome)
                                  : call_discard(fut.get(), known_future(fut.get()), g_state.known.set_result,
                                                 S().set_result, outcome);
        if (set < 0) return nullptr;
    }
    if (drop_if_empty(self, key.get(), que) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The instance Future.set_exception(exception) would set (new reference), or null with
// the error it would raise: a class is called with no arguments; what is not then an
// exception instance is refused; 3.12 refuses a StopIteration (later versions turn it into
// a RuntimeError themselves).
PyObject* exception_instance(PyObject* exception) noexcept {
    Ref instance =
        PyExceptionClass_Check(exception) ? Ref::steal(PyObject_CallNoArgs(exception)) : Ref::borrow(exception);
    if (!instance) return nullptr;
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_SetString(PyExc_TypeError, "invalid exception object");
        return nullptr;
    }
#if !VREL_PY313
    if (Py_IS_TYPE(instance.get(), reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        PyErr_SetString(PyExc_TypeError,
                        "StopIteration interacts badly with generators and cannot be raised into a Future");
        return nullptr;
    }
#endif
    return instance.release();
}

PyObject* remove_future(Gatekeeper* self, PyObject* command, PyObject* fut) noexcept {
    resolve_known_methods();
    Ref key, que;
    int pending = pending_entry(self, command, &key, &que);
    if (pending <= 0) return pending < 0 ? nullptr : Py_NewRef(Py_None);
    // A future that is not (or no longer) queued is no error: it may have been resolved.
    if (call_discard(que.get(), known_deque(que.get()), g_state.known.remove, S().remove, fut) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
    }
    if (drop_if_empty(self, key.get(), que) < 0) return nullptr;
    Py_RETURN_NONE;
}

// What fail_all settles futures with: set_exception's argument, and the instance the next
// future gets, made (exception_instance) before that future leaves its deque, so that a
// value set_exception would refuse leaves that future where it was.
struct Failure {
    PyObject* exception;  // held by the caller
    Ref next;
};

// Pops every future of one entry and settles those still pending, each with cancel() when
// `failure` is null and with set_exception() otherwise, counting them in *settled; then
// deletes the entry. 0, or -1 with an error.
int settle_entry(Gatekeeper* self, PyObject* key, Failure* failure, Py_ssize_t* settled) noexcept {
    Ref que = Ref::steal(pending_item(self, key));
    if (!que) return -1;
    for (;;) {
        int more = PyObject_IsTrue(que.get());
        if (more <= 0) {
            if (more < 0) return -1;
            break;
        }
        if (failure != nullptr && !failure->next) {
            failure->next = Ref::steal(exception_instance(failure->exception));
            if (!failure->next) return -1;
        }
        Ref fut = Ref::steal(popleft(que.get()));
        if (!fut) return -1;
        int done = is_done(fut.get());
        if (done < 0) return -1;
        if (done) continue;
        int called;
        if (failure == nullptr) {
            called = call_discard(fut.get(), known_future(fut.get()), g_state.known.cancel, S().cancel);
        } else {
            Ref exception = std::move(failure->next);
            called = call_discard(fut.get(), false, nullptr, S().set_exception, exception.get());
        }
        if (called < 0) return -1;
        ++*settled;
    }
    return pending_del(self, key);
}

// The walk of cancel_all and fail_all over every entry; 0, or -1 with an error.
int settle_all(Gatekeeper* self, Failure* failure, Py_ssize_t* settled) noexcept {
    resolve_known_methods();
    if (self->pending_futures == Py_None) {
        raise_none_has_no("keys");
        return -1;
    }
    // A snapshot: a future's done(), cancel() or set_exception() may add or drop entries
    // during the walk.
    Ref keys = Ref::steal(PyDict_Keys(self->pending_futures));
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        // Held: a future's method may reach the snapshot (gc.get_referrers) and empty it,
        // and replace the table, dropping every other hold on the key.
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        if (!value_type_ok(key.get(), &PyUnicode_Type) || settle_entry(self, key.get(), failure, settled) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* cancel_all(Gatekeeper* self) noexcept {
    Py_ssize_t cancelled = 0;
    if (settle_all(self, nullptr, &cancelled) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fail_all(Gatekeeper* self, PyObject* exception) noexcept {
    // Held: the caller's keyword dict may be emptied by a future's method.
    Ref held = Ref::borrow(exception);
    // A value set_exception would refuse is refused before anything changes (the instance
    // made to find out serves the first future).
    Failure failure{held.get(), Ref::steal(exception_instance(held.get()))};
    if (!failure.next) return nullptr;
    Py_ssize_t failed = 0;
    if (settle_all(self, &failure, &failed) < 0) return nullptr;
    return PyLong_FromSsize_t(failed);
}

}  // namespace

PyObject* resolve_rpc(Gatekeeper* self, PyObject* command, PyObject* result) noexcept {
    return complete_oldest(self, command, result, false);
}

PyObject* reject_rpc(Gatekeeper* self, PyObject* command, PyObject* exception) noexcept {
    // Made before the look-up, so that a value set_exception would refuse is refused
    // before any future leaves the table, whatever is pending.
    Ref instance = Ref::steal(exception_instance(exception));
    if (!instance) return nullptr;
    return complete_oldest(self, command, instance.get(), true);
}

const FunctionDef kRegisterRpcDef{"register_rpc", &kRegisterSig, body<register_rpc>};
const FunctionDef kResolveRpcDef{"resolve_rpc", &kResolveSig, body<resolve_rpc>};
const FunctionDef kRejectRpcDef{"reject_rpc", &kRejectSig, body<reject_rpc>};
const FunctionDef kRemoveFutureDef{"remove_future", &kRemoveSig, body<remove_future>};
const FunctionDef kCancelAllDef{"cancel_all", &kCancelAllSig, body<cancel_all>};
const FunctionDef kFailAllDef{"fail_all", &kFailAllSig, body<fail_all>};

}  // namespace vrel
