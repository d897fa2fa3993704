// The Gatekeeper type: fields, construction, table attributes, the two look-ups.
#include <cstddef>
#include <cstring>

#include "common/args.hpp"
#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/state.hpp"
#include "common/traceback.hpp"
#include "common/types.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "module/module_state.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/gatekeeper/gatekeeper.cpp";

Signature kInitSig{"__init__", 2, "handlers", "error_codes"};
Signature kGetDestinationMaskSig{"get_destination_mask", 1, "command"};
Signature kGetHandlerSig{"get_handler", 1, "command"};

TracebackSite kInitSite{"vrel_dll.Gatekeeper.__init__", kFile, __LINE__};
// The parser's shortcut to get_destination_mask reports as a call of the method would.
TracebackSite kGetDestinationMaskSite{"vrel_dll.Gatekeeper.get_destination_mask", kFile, __LINE__};
TracebackSite kPendingSetSite{"vrel_dll.Gatekeeper._pending_futures.__set__", kFile, __LINE__};
TracebackSite kHandlerMapSetSite{"vrel_dll.Gatekeeper._handler_map.__set__", kFile, __LINE__};
TracebackSite kErrorCodesSetSite{"vrel_dll.Gatekeeper._error_codes.__set__", kFile, __LINE__};

// Adds handlers' pairs to `norm` under normalised keys. str keys (subclasses too) go
// through their own lower(), whose errors propagate; byte strings are decoded as ASCII
// ignoring other bytes; any other key is skipped. 0, or -1 with an error.
int normalise_handlers(PyObject* handlers, PyObject* norm) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(handlers);
    Py_ssize_t pos = 0;
    PyObject *borrowed_key, *borrowed_value;
    for (;;) {
        // Checked before each step, the last included, as dict iteration does.
        if (PyDict_GET_SIZE(handlers) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(handlers, &pos, &borrowed_key, &borrowed_value)) return 0;
        // lower() may run Python code that changes the dict: hold the pair.
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        if (PyUnicode_Check(key.get())) {
            Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(key.get(), S().lower));
            if (!lowered || PyDict_SetItem(norm, lowered.get(), value.get()) < 0) return -1;
        } else if (PyBytes_Check(key.get())) {
            Ref lowered = Ref::steal(ascii_command_name(PyBytes_AS_STRING(key.get()), PyBytes_GET_SIZE(key.get())));
            if (!lowered || PyDict_SetItem(norm, lowered.get(), value.get()) < 0) PyErr_Clear();
        }
    }
}

// ---- the watched tables

int g_table_watcher = -1;  // -1: not yet added (or none to be had: nothing is remembered)
bool g_table_watcher_tried = false;
// Moves whenever a key other than an exact str may have entered or left a watched table,
// or keys were copied in wholesale: until then, tables once found plain stay plain.
uint64_t g_table_keys = 1;

int table_changed(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) noexcept {
    ++g_table_epoch;
    bool odd_key = (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_DELETED) && !PyUnicode_CheckExact(key);
    if (odd_key || event == PyDict_EVENT_CLONED || event == PyDict_EVENT_CLEARED) ++g_table_keys;
    return 0;
}

// Watches the gate's own tables; false when no watcher is to be had.
bool watch_tables(Gatekeeper* self) noexcept {
    if (!g_table_watcher_tried) {
        g_table_watcher_tried = true;
        g_table_watcher = PyDict_AddWatcher(table_changed);
        if (g_table_watcher < 0) PyErr_Clear();  // all watcher slots taken: masks are always asked for
    }
    if (g_table_watcher < 0) return false;
    if (PyDict_Watch(g_table_watcher, self->pending_futures) < 0 ||
        PyDict_Watch(g_table_watcher, self->handler_map) < 0) {
        PyErr_Clear();
        return false;
    }
    self->tables_watched = true;
    self->keys_checked = 0;
    return true;
}

// Before a table field changes: what was remembered from the old tables no longer holds.
void forget_tables(Gatekeeper* self) noexcept {
    self->tables_own = false;
    self->tables_watched = false;
    ++g_table_epoch;
}

bool holds_plain_keys(PyObject* table) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// The last act of construction, after the tables are set: the running loop, or None
// when there is none (a failure here leaves the tables set, as a caller may rely on).
int capture_loop(Gatekeeper* self) noexcept {
    Ref asyncio = Ref::steal(module_global(S().asyncio));
    if (!asyncio) return -1;
    Ref loop = Ref::steal(PyObject_CallMethodNoArgs(asyncio.get(), S().get_running_loop));
    if (!loop) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
        PyErr_Clear();
        loop = Ref::borrow(Py_None);
    }
    set_field(&self->loop, loop.get());
    return 0;
}

int gatekeeper_init(PyObject* op, PyObject* args, PyObject* kwds) noexcept {
    UntracedScope scope;
    OwnedArgs a;
    if (parse_tuple_args(kInitSig, args, kwds, &a) < 0) return fail(kInitSite);
    PyObject* handlers = a[0];
    PyObject* error_codes = a[1];
    if (!arg_type_ok(handlers, &PyDict_Type, "handlers") || !arg_type_ok(error_codes, &PyDict_Type, "error_codes")) {
        return -1;
    }
    Ref norm = Ref::steal(PyDict_New());
    if (!norm) return fail(kInitSite);
    if (handlers == Py_None) {
        raise_none_has_no("items");
        return fail(kInitSite);
    }
    if (normalise_handlers(handlers, norm.get()) < 0) return fail(kInitSite);
    Ref pending = Ref::steal(PyDict_New());
    if (!pending) return fail(kInitSite);
    Gatekeeper* self = as_gatekeeper(op);
    forget_tables(self);
    set_field(&self->pending_futures, pending.get());
    set_field(&self->handler_map, norm.get());
    set_field(&self->error_codes, error_codes);
    // Dropping the old tables may have run code that replaced the new ones already.
    self->tables_own = self->pending_futures == pending.get() && self->handler_map == norm.get();
    if (capture_loop(self) < 0) return fail(kInitSite);
    return 0;
}

PyObject* gatekeeper_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    Gatekeeper* self = as_gatekeeper(op);
    self->pending_futures = Py_NewRef(Py_None);
    self->handler_map = Py_NewRef(Py_None);
    self->error_codes = Py_NewRef(Py_None);
    self->loop = Py_NewRef(Py_None);
    return op;
}

int gatekeeper_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Gatekeeper* self = as_gatekeeper(op);
    Py_VISIT(self->pending_futures);
    Py_VISIT(self->handler_map);
    Py_VISIT(self->error_codes);
    Py_VISIT(self->loop);
    return 0;
}

void forget_masks(Gatekeeper* self) noexcept {
    for (RememberedMask& m : self->masks) Py_CLEAR(m.command);
}

int gatekeeper_clear(PyObject* op) noexcept {
    Gatekeeper* self = as_gatekeeper(op);
    forget_tables(self);
    forget_masks(self);
    set_field(&self->pending_futures, Py_None);
    set_field(&self->handler_map, Py_None);
    set_field(&self->error_codes, Py_None);
    set_field(&self->loop, Py_None);
    return 0;
}

void gatekeeper_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    // The loop field may hold any object, another gatekeeper too: a long chain would
    // otherwise recurse once per link.
    Py_TRASHCAN_BEGIN(op, gatekeeper_dealloc)
    Gatekeeper* self = as_gatekeeper(op);
    Py_CLEAR(self->pending_futures);
    Py_CLEAR(self->handler_map);
    Py_CLEAR(self->error_codes);
    Py_CLEAR(self->loop);
    forget_masks(self);
    Py_TYPE(op)->tp_free(op);
    Py_TRASHCAN_END
}

// ---- table attributes: exact dict or None; deletion stores None

struct TableField {
    size_t offset;
    TracebackSite* set_site;
};

TableField kPendingField{offsetof(Gatekeeper, pending_futures), &kPendingSetSite};
TableField kHandlerMapField{offsetof(Gatekeeper, handler_map), &kHandlerMapSetSite};
TableField kErrorCodesField{offsetof(Gatekeeper, error_codes), &kErrorCodesSetSite};

PyObject** table_slot(PyObject* op, void* closure) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(op) + static_cast<TableField*>(closure)->offset);
}

PyObject* get_table(PyObject* op, void* closure) noexcept { return Py_NewRef(*table_slot(op, closure)); }

int set_table(PyObject* op, PyObject* value, void* closure) noexcept {
    if (value == nullptr) value = Py_None;
    if (!value_type_ok(value, &PyDict_Type)) return fail(*static_cast<TableField*>(closure)->set_site);
    // Whatever the new table is, it is not known to be watched: masks are asked for from now on.
    if (closure != &kErrorCodesField) forget_tables(as_gatekeeper(op));
    set_field(table_slot(op, closure), value);
    return 0;
}

PyGetSetDef gatekeeper_getset[] = {
    {"_pending_futures", get_table, set_table, nullptr, &kPendingField},
    {"_handler_map", get_table, set_table, nullptr, &kHandlerMapField},
    {"_error_codes", get_table, set_table, nullptr, &kErrorCodesField},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- the two look-ups

// Masks remembered for Python callers: a command of up to this many characters, whose
// text, not identity, finds the entry (callers make a fresh string per packet).
constexpr Py_ssize_t kRememberedCommand = 64;

RememberedMask& mask_entry(Gatekeeper* self, PyObject* command) noexcept {
    // A str's hash never fails, and is kept in the string once computed.
    return self->masks[static_cast<size_t>(PyObject_Hash(command)) % kRememberedMasks];
}

bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

PyObject* get_destination_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* command;
    if (parse_args(kGetDestinationMaskSig, args, nargs, kwnames, &command) < 0) return nullptr;
    if (!arg_type_ok(command, &PyUnicode_Type, "command")) return nullptr;
    Gatekeeper* gate = as_gatekeeper(self);
    const bool rememberable = PyUnicode_CheckExact(command) && PyUnicode_GET_LENGTH(command) <= kRememberedCommand;
    if (rememberable && gate->tables_own) {
        const RememberedMask& m = mask_entry(gate, command);
        if (m.epoch == g_table_epoch && m.command != nullptr && (m.command == command || same_text(m.command, command))) {
            return PyLong_FromLong(m.mask);
        }
    }
    const uint64_t before = g_table_epoch;
    int32_t mask;
    if (destination_mask(gate, command, &mask) < 0) return nullptr;
    // Under the epoch from before the look-up, as the parser remembers its masks.
    if (rememberable && masks_are_stable(gate)) {
        RememberedMask& m = mask_entry(gate, command);
        Py_XSETREF(m.command, Py_NewRef(command));
        m.epoch = before;
        m.mask = mask;
    }
    return PyLong_FromLong(mask);
}

PyObject* get_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* command;
    if (parse_args(kGetHandlerSig, args, nargs, kwnames, &command) < 0) return nullptr;
    if (!arg_type_ok(command, &PyUnicode_Type, "command")) return nullptr;
    Ref table = Ref::borrow(as_gatekeeper(self)->handler_map);
    if (table.get() == Py_None) {
        raise_none_has_no("get");
        return nullptr;
    }
    PyObject* handler = nullptr;
    int found = dict_get_ref(table.get(), command, &handler);
    if (found < 0) return nullptr;
    return found ? handler : Py_NewRef(Py_None);
}

// Membership in a table field: 1, 0, or -1 with the interpreter's message for None.
int table_contains(PyObject* table, PyObject* key) noexcept {
    if (table == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    // Nothing is in an empty table; the key (a str or None) hashes without side effects.
    if (PyDict_GET_SIZE(table) == 0 && (PyUnicode_CheckExact(key) || key == Py_None)) return 0;
    // A key's __eq__ may replace the table while it is searched: hold it.
    Ref held = Ref::borrow(table);
    return PyDict_Contains(held.get(), key);
}

PyTypeObject make_gatekeeper_type() noexcept {
    return gc_type({"vrel_dll.Gatekeeper", sizeof(Gatekeeper), gatekeeper_dealloc, gatekeeper_traverse,
                    gatekeeper_clear, gatekeeper_getset, gatekeeper_init, gatekeeper_new});
}

}  // namespace

PyTypeObject GatekeeperType = make_gatekeeper_type();

uint64_t g_table_epoch = 1;

bool masks_are_stable(Gatekeeper* self) noexcept {
    if (!self->tables_own || (!self->tables_watched && !watch_tables(self))) return false;
    if (self->keys_checked != g_table_keys) {
        self->plain_keys = holds_plain_keys(self->pending_futures) && holds_plain_keys(self->handler_map);
        self->keys_checked = g_table_keys;
    }
    return self->plain_keys;
}

const FunctionDef kGetDestinationMaskDef{"get_destination_mask", &kGetDestinationMaskSig, get_destination_mask};
const FunctionDef kGetHandlerDef{"get_handler", &kGetHandlerSig, get_handler};

int destination_mask(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept {
    // Two membership tests, nothing allocated: the command was normalised by the caller.
    int rpc = table_contains(self->pending_futures, command);
    if (rpc < 0) return -1;
    int evt = table_contains(self->handler_map, command);
    if (evt < 0) return -1;
    *mask = (rpc ? DEST_RPC : 0) | (evt ? DEST_EVT : 0);
    return 0;
}

int destination_mask_as_call(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept {
    return destination_mask(self, command, mask) < 0 ? fail(kGetDestinationMaskSite) : 0;
}

int install_gatekeeper_methods() noexcept { return install_methods(&GatekeeperType, kGatekeeperMethods); }

}  // namespace vrel
