// The Gatekeeper type: fields, construction, table attributes, the two look-ups.
#include <cstddef>
#include <cstring>
#include <utility>

#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/remembered.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "runtime/types.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/gatekeeper/gatekeeper.cpp";

Signature kInitSig{"__init__", {typed("handlers", &PyDict_Type), typed("error_codes", &PyDict_Type)}};
Signature kGetDestinationMaskSig{"get_destination_mask", {typed("command", &PyUnicode_Type)}};
Signature kGetHandlerSig{"get_handler", {typed("command", &PyUnicode_Type)}};

TracebackSite kInitSite{"vrel_dll.Gatekeeper.__init__", kFile, __LINE__};
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

// Within the Update that replaces a table. A table a caller assigns may be a dict whose
// changes no watcher sees (an object's attribute dict on 3.13), so masks are remembered
// only while both tables are the ones the gate built itself.
void tables_replaced(Gatekeeper* self, bool own_tables) noexcept {
    self->tables_own = own_tables;
    self->tables_watched = false;
}

// The last act of construction, after the tables are set: the running loop, or None
// when there is none (a failure here leaves the tables set, as a caller may rely on).
int capture_loop(Gatekeeper* self) noexcept {
    Ref loop = Ref::steal(running_loop());
    if (!loop) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
        PyErr_Clear();
        loop = Ref::borrow(Py_None);
    }
    set_field(&self->loop, loop.get());
    return 0;
}

int init(Gatekeeper* self, PyObject* handlers, PyObject* error_codes) noexcept {
    Ref norm = Ref::steal(PyDict_New());
    if (!norm) return -1;
    // The table's errors name it, as a failed check of the argument would.
    if (handlers == Py_None) raise_none_has_no("items");
    if (handlers == Py_None || normalise_handlers(handlers, norm.get()) < 0) {
        note_argument(kInitSig, 0);
        return -1;
    }
    Ref pending = Ref::steal(PyDict_New());
    if (!pending) return -1;
    {
        Update update;
        update.set(&self->pending_futures, pending.release());
        update.set(&self->handler_map, norm.release());
        update.set(&self->error_codes, Py_NewRef(error_codes));
        tables_replaced(self, true);
    }
    if (capture_loop(self) < 0) return -1;
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
    self->serial = next_serial();
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

int gatekeeper_clear(PyObject* op) noexcept {
    Gatekeeper* self = as_gatekeeper(op);
    Update update;
    update.set(&self->pending_futures, Py_NewRef(Py_None));
    update.set(&self->handler_map, Py_NewRef(Py_None));
    update.set(&self->error_codes, Py_NewRef(Py_None));
    update.set(&self->loop, Py_NewRef(Py_None));
    tables_replaced(self, false);
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
    Update update;
    update.set(table_slot(op, closure), Py_NewRef(value));
    if (closure != &kErrorCodesField) tables_replaced(as_gatekeeper(op), false);
    return 0;
}

PyGetSetDef gatekeeper_getset[] = {
    {"_pending_futures", get_table, set_table, nullptr, &kPendingField},
    {"_handler_map", get_table, set_table, nullptr, &kHandlerMapField},
    {"_error_codes", get_table, set_table, nullptr, &kErrorCodesField},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- the two look-ups

// Masks lately given to Python callers (g_state.command_masks): a command of up to
// kKeptCommand characters, whose text, not identity, finds the entry (callers make a
// fresh string per packet). The process's, not a gate's.

bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

PyObject* get_destination_mask(Gatekeeper* gate, PyObject* command) noexcept {
    KeyedMask* entry = nullptr;
    if (PyUnicode_CheckExact(command) && PyUnicode_GET_LENGTH(command) <= kKeptCommand) {
        // A str's hash never fails, and is kept in the string once computed.
        entry = &g_state.command_masks[static_cast<size_t>(PyObject_Hash(command)) % kCommandMasks];
        const int32_t* known = recall(entry->mask, gate->serial);
        if (known != nullptr && same_text(entry->key, command)) return PyLong_FromLong(*known);
    }
    const bool rememberable = entry != nullptr && masks_are_watched(gate);
    const uint64_t stamp = epoch();
    int32_t mask;
    if (destination_mask(gate, command, &mask) < 0) return nullptr;
    if (rememberable) {
        if (entry->key == nullptr || !same_text(entry->key, command)) {
            forget(entry->mask);  // no mask beside another command's text
            PyObject* old = std::exchange(entry->key, Py_NewRef(command));
            Py_XDECREF(old);  // an exact str: no code runs
        }
        remember(entry->mask, stamp, gate->serial, mask, {gate->pending_futures, gate->handler_map});
    }
    return PyLong_FromLong(mask);
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
                    gatekeeper_clear, gatekeeper_getset, slot_init<init, kInitSig, kInitSite>, gatekeeper_new});
}

}  // namespace

PyTypeObject GatekeeperType = make_gatekeeper_type();

bool masks_are_watched(Gatekeeper* self) noexcept {
    if (!self->tables_watched) {
        self->tables_watched = self->tables_own && PyDict_CheckExact(self->pending_futures) &&
                               PyDict_CheckExact(self->handler_map) && watch(self->pending_futures) &&
                               watch(self->handler_map);
    }
    return self->tables_watched;
}

PyObject* get_handler(Gatekeeper* self, PyObject* command) noexcept {
    Ref table = Ref::borrow(self->handler_map);
    PyObject* handler = nullptr;
    int found = table_get(table.get(), command, &handler);
    if (found < 0) return nullptr;
    return found ? handler : Py_NewRef(Py_None);
}

const FunctionDef kGetDestinationMaskDef{"get_destination_mask", &kGetDestinationMaskSig, body<get_destination_mask>};
const FunctionDef kGetHandlerDef{"get_handler", &kGetHandlerSig, body<get_handler>};

int destination_mask(Gatekeeper* self, PyObject* command, int32_t* mask) noexcept {
    // Two membership tests, nothing allocated: the command was normalised by the caller.
    int rpc = table_contains(self->pending_futures, command);
    if (rpc < 0) return -1;
    int evt = table_contains(self->handler_map, command);
    if (evt < 0) return -1;
    *mask = (rpc ? DEST_RPC : 0) | (evt ? DEST_EVT : 0);
    return 0;
}

int install_gatekeeper_methods() noexcept { return install_methods(&GatekeeperType, kGatekeeperMethods, &kInitSig); }

}  // namespace vrel
