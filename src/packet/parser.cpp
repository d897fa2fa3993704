// XtPreParser.parse_and_route: the per-packet hot path.
#include "packet/parser.hpp"

#include <cstring>
#include <utility>

#include "common/args.hpp"
#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "common/state.hpp"
#include "common/traceback.hpp"
#include "common/types.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "module/module_state.hpp"
#include "packet/xtpre.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/packet/parser.cpp";

Signature kInitSig{"__init__", 1, "gatekeeper"};
Signature kParseSig{"parse_and_route", 1, "msg"};

TracebackSite kInitSite{"vrel_dll.XtPreParser.__init__", kFile, __LINE__};

// What the header says. Fields are found on demand: the header needs at most fields 1
// to 5 of the eight a packet may have, and the payload's end is sought only when the
// payload is decoded, so an unwanted packet is never read beyond its header.
struct Header {
    Py_ssize_t command_start;
    Py_ssize_t command_end;
    int32_t status;
    int32_t error_code;
    Py_ssize_t payload_start;  // -1: no payload
};

XtPreParser* as_parser(PyObject* op) noexcept { return reinterpret_cast<XtPreParser*>(op); }

// The end of the field that starts at `start`: the next '%', or the end of the message.
Py_ssize_t field_end(const char* data, Py_ssize_t n, Py_ssize_t start) noexcept {
    const void* sep = start < n ? std::memchr(data + start, '%', static_cast<size_t>(n - start)) : nullptr;
    return sep != nullptr ? static_cast<const char*>(sep) - data : n;
}

// Whether another field follows the one ending at `end`: a '%' that is the last byte
// closes the last field.
bool has_next(Py_ssize_t n, Py_ssize_t end) noexcept { return end + 1 < n; }

// The two header layouts of a message that starts with "%xt%" (field 0 is its "xt");
// false for a message that is not a well-formed XT packet.
bool read_header(const char* data, Py_ssize_t n, Header* h) noexcept {
    if (!has_next(n, 3)) return false;
    const Py_ssize_t end1 = field_end(data, n, 4);
    if (!has_next(n, end1)) return false;
    Py_ssize_t last;  // end of the status field
    if (int_field(data, n, end1 + 1, &h->status, &last)) {
        h->command_start = 4;  // short layout: command, status, ...
        h->command_end = end1;
    } else {
        const Py_ssize_t end2 = field_end(data, n, end1 + 1);
        if (!has_next(n, end2) || !int_field(data, n, end2 + 1, &h->status, &last)) return false;
        h->command_start = end1 + 1;  // long layout: field 1 skipped, command, status, ...
        h->command_end = end2;
    }
    h->error_code = 0;
    h->payload_start = -1;
    if (has_next(n, last)) {
        Py_ssize_t code_end;
        if (!int_field(data, n, last + 1, &h->error_code, &code_end)) {
            h->payload_start = last + 1;  // no error code: this field is the payload
        } else if (has_next(n, code_end)) {
            h->payload_start = code_end + 1;
        }
    }
    return true;
}

// The first and last up to eight bytes of a field, read as two words that overlap when
// the field is shorter than sixteen bytes.
struct FieldEnds {
    uint64_t head = 0;
    uint64_t tail = 0;
};

FieldEnds field_ends(const char* bytes, Py_ssize_t size) noexcept {
    FieldEnds ends;
    if (size >= 8) {
        std::memcpy(&ends.head, bytes, 8);
        std::memcpy(&ends.tail, bytes + size - 8, 8);
    } else if (size >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, bytes, 4);
        std::memcpy(&tail, bytes + size - 4, 4);
        ends.head = head;
        ends.tail = tail;
    } else {
        for (Py_ssize_t i = 0; i < size; ++i) ends.head = ends.head << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return ends;
}

// Whether two fields of `size` bytes are the same; their ends are compared first.
bool same_field(const char* a, const char* b, Py_ssize_t size, const FieldEnds& b_ends) noexcept {
    const FieldEnds a_ends = field_ends(a, size);
    if (a_ends.head != b_ends.head || a_ends.tail != b_ends.tail) return false;
    return size <= 16 || std::memcmp(a + 8, b + 8, static_cast<size_t>(size - 16)) == 0;
}

bool holds_field(const RecentKey* slot, const char* bytes, Py_ssize_t size, const FieldEnds& ends) noexcept {
    PyObject* seen = slot->key;
    return seen != nullptr && PyBytes_GET_SIZE(seen) == size && same_field(PyBytes_AS_STRING(seen), bytes, size, ends);
}

// The recent-key slot for a command field, its key made to match the field: the bytes
// object already there when the content is the same, else a new one (which takes the
// slot, with no name remembered). Null with MemoryError.
RecentKey* recent_slot(XtPreParser* self, const char* bytes, Py_ssize_t size) noexcept {
    // The set is picked from the length and the ends of the field, which is cheap. Each
    // set has two ways, the one used last first, so that two busy fields sharing a set
    // both stay; a third pushes out the one used least lately.
    const FieldEnds ends = field_ends(bytes, size);
    const uint64_t mixed = (ends.head ^ (ends.tail * 0x9E3779B97F4A7C15u) ^ static_cast<uint64_t>(size)) *
                           0xFF51AFD7ED558CCDu;
    RecentKey* first = &self->recent[((mixed >> 32) % kRecentKeys) & ~size_t{1}];
    RecentKey* second = first + 1;
    if (holds_field(first, bytes, size, ends)) return first;
    if (holds_field(second, bytes, size, ends)) {
        std::swap(*first, *second);
        return first;
    }
    PyObject* key = PyBytes_FromStringAndSize(bytes, size);
    if (key == nullptr) return nullptr;
    const RecentKey dropped = *second;
    *second = *first;
    *first = RecentKey{key, nullptr, 0, 0, 0};
    Py_XDECREF(dropped.key);
    Py_XDECREF(dropped.name);
    return first;
}

// Remembers the name `cache` gave for `key`, unless code run meanwhile (a stored key's
// __eq__, say) has replaced the slot's key or the parser's cache.
void remember(XtPreParser* self, RecentKey* slot, PyObject* cache, PyObject* key, PyObject* name) noexcept {
    if (!self->cache_watched || self->cmd_cache != cache || slot->key != key) return;
    Py_XSETREF(slot->name, Py_NewRef(name));
    slot->epoch = g_state.namespace_epoch;
    slot->mask_epoch = 0;  // found for the name this replaces
}

void forget_names(XtPreParser* self) noexcept {
    for (RecentKey& slot : self->recent) Py_CLEAR(slot.name);
}

// Masks belong to the gate they were found with: forgotten before the gate changes.
void forget_masks(XtPreParser* self) noexcept {
    for (RecentKey& slot : self->recent) slot.mask_epoch = 0;
}

// The name for a command field too long to keep: looked up like any other (the cache may
// hold anything a caller put there), derived when absent, and never stored, so a peer's
// huge command fields cost memory only while their packet is handled.
PyObject* uncached_command_name(PyObject* cache, const char* field, Py_ssize_t size) noexcept {
    Ref key = Ref::steal(PyBytes_FromStringAndSize(field, size));
    if (!key) return nullptr;
    PyObject* cached = nullptr;
    int found = dict_get_ref(cache, key.get(), &cached);
    if (found < 0) return nullptr;
    Ref entry = Ref::steal(cached);
    if (found && entry.get() != Py_None) return value_type_ok(entry.get(), &PyUnicode_Type) ? entry.release() : nullptr;
    return ascii_command_name(field, size);
}

// The command name through the cache: new reference, or null with an error. *remembered
// is the recent slot that holds this very name, or null.
PyObject* command_name(XtPreParser* self, const char* data, const Header& h, RecentKey** remembered) noexcept {
    *remembered = nullptr;
    Ref cache = Ref::borrow(self->cmd_cache);
    if (cache.get() == Py_None) {
        raise_none_has_no("get");
        return nullptr;
    }
    const char* field = data + h.command_start;
    const Py_ssize_t size = h.command_end - h.command_start;
    if (VREL_UNLIKELY(size > kCacheableCommand)) return uncached_command_name(cache.get(), field, size);
    RecentKey* slot = recent_slot(self, field, size);
    if (slot == nullptr) return nullptr;
    // No watched dict has changed since: the cache would give this very entry.
    if (slot->name != nullptr && slot->epoch == g_state.namespace_epoch) {
        *remembered = slot;
        return Py_NewRef(slot->name);
    }
    Ref key = Ref::borrow(slot->key);
    PyObject* cached = nullptr;
    int found = dict_get_ref(cache.get(), key.get(), &cached);
    if (found < 0) return nullptr;
    Ref entry = Ref::steal(cached);
    if (found && entry.get() != Py_None) {
        if (!value_type_ok(entry.get(), &PyUnicode_Type)) return nullptr;
        remember(self, slot, cache.get(), key.get(), entry.get());
        if (slot->name == entry.get()) *remembered = slot;
        return entry.release();
    }
    Ref name = Ref::steal(ascii_command_name(field, size));
    if (!name) return nullptr;
    // Replacing a None entry does not grow the cache, so it is allowed at the limit.
    if (found || PyDict_GET_SIZE(cache.get()) < kCmdCacheLimit) {
        if (PyDict_SetItem(cache.get(), key.get(), name.get()) < 0) return nullptr;
        remember(self, slot, cache.get(), key.get(), name.get());
        if (slot->name == name.get()) *remembered = slot;
    }
    return name.release();
}

// The mask an exact Gatekeeper gives `name`. Its method is known (the type is immutable
// and its instances have no __dict__), so the body runs without a Python-level call; and
// while the name is remembered in `slot` and no gate table has changed, the mask found
// last time is the answer, with no look-up at all.
int gatekeeper_mask(Gatekeeper* gate, PyObject* name, RecentKey* slot, int32_t* mask) noexcept {
    if (slot != nullptr && slot->mask_epoch == g_table_epoch && gate->tables_own) {
        *mask = slot->mask;
        return 0;
    }
    const uint64_t before = g_table_epoch;
    if (destination_mask_as_call(gate, name, mask) < 0) return -1;
    // Remembered under the epoch from before the look-up: should it have changed a table
    // meanwhile, the answer is stale at once. And only while the slot names this string.
    if (slot != nullptr && slot->name == name && masks_are_stable(gate)) {
        slot->mask = *mask;
        slot->mask_epoch = before;
    }
    return 0;
}

// gate.get_destination_mask(name) as a 32-bit mask: the body itself on an exact
// Gatekeeper, the gate's own method by name otherwise.
int ask_gate(PyObject* gate, PyObject* name, RecentKey* slot, int32_t* mask) noexcept {
    if (Py_IS_TYPE(gate, &GatekeeperType)) return gatekeeper_mask(as_gatekeeper(gate), name, slot, mask);
    PyObject* argv[2] = {gate, name};
    Ref result = Ref::steal(PyObject_VectorcallMethod(S().get_destination_mask, argv,
                                                      2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return -1;
    return to_int32(result.get(), mask);
}

GlobalAttr g_loads{&Strings::orjson, &Strings::loads};

// orjson.loads(payload), both looked up now; null (and no error) when anything fails.
PyObject* decode_payload(const char* data, Py_ssize_t start, Py_ssize_t end) noexcept {
    Ref result;
    Ref loads = Ref::steal(global_attr(g_loads));
    if (loads) {
        Ref payload = Ref::steal(PyBytes_FromStringAndSize(data + start, end - start));
        if (payload) {
            PyObject* argv[2] = {nullptr, payload.get()};
            result = Ref::steal(PyObject_Vectorcall(loads.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
    }
    if (!result) PyErr_Clear();
    return result.release();
}

PyObject* parse_and_route(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* msg;
    if (parse_args(kParseSig, args, nargs, kwnames, &msg) < 0) return nullptr;
    if (msg == Py_None) Py_RETURN_NONE;
    if (!arg_type_ok(msg, &PyBytes_Type, "msg")) return nullptr;
    PyObject* record;
    if (parse_message(as_parser(op), PyBytes_AS_STRING(msg), PyBytes_GET_SIZE(msg), &record) < 0) return nullptr;
    return record != nullptr ? record : Py_NewRef(Py_None);
}

int parser_init(PyObject* op, PyObject* args, PyObject* kwds) noexcept {
    OwnedArgs a;
    if (parse_tuple_args(kInitSig, args, kwds, &a) < 0) return fail(kInitSite);
    XtPreParser* self = as_parser(op);
    forget_masks(self);
    set_field(&self->gate, a[0]);
    Ref cache = Ref::steal(PyDict_New());
    if (!cache) return fail(kInitSite);
    forget_names(self);
    set_field(&self->cmd_cache, cache.get());
    self->cache_watched = g_state.dict_watcher >= 0 && PyDict_Watch(g_state.dict_watcher, cache.get()) == 0;
    if (!self->cache_watched) PyErr_Clear();
    return 0;
}

PyObject* parser_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    as_parser(op)->gate = Py_NewRef(Py_None);
    as_parser(op)->cmd_cache = Py_NewRef(Py_None);
    return op;
}

int parser_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_parser(op)->gate);
    Py_VISIT(as_parser(op)->cmd_cache);
    return 0;
}

int parser_clear(PyObject* op) noexcept {
    forget_masks(as_parser(op));
    forget_names(as_parser(op));
    set_field(&as_parser(op)->gate, Py_None);
    set_field(&as_parser(op)->cmd_cache, Py_None);
    return 0;
}

void parser_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    // A gate may be another parser: a long chain would otherwise recurse once per link.
    Py_TRASHCAN_BEGIN(op, parser_dealloc)
    XtPreParser* self = as_parser(op);
    Py_CLEAR(self->gate);
    Py_CLEAR(self->cmd_cache);
    for (RecentKey& slot : self->recent) {
        Py_CLEAR(slot.key);
        Py_CLEAR(slot.name);
    }
    Py_TYPE(op)->tp_free(op);
    Py_TRASHCAN_END
}

PyTypeObject make_parser_type() noexcept {
    return gc_type({"vrel_dll.XtPreParser", sizeof(XtPreParser), parser_dealloc, parser_traverse, parser_clear,
                    nullptr, parser_init, parser_new});
}

}  // namespace

PyTypeObject XtPreParserType = make_parser_type();

const FunctionDef kParseAndRouteDef{"parse_and_route", &kParseSig, parse_and_route};

int parse_message(XtPreParser* self, const char* data, Py_ssize_t n, PyObject** record) noexcept {
    *record = nullptr;
    if (n < 4 || data[0] != '%' || data[1] != 'x' || data[2] != 't' || data[3] != '%') return 0;
    Header h;
    if (!read_header(data, n, &h)) return 0;

    RecentKey* slot;
    Ref name = Ref::steal(command_name(self, data, h, &slot));
    if (!name) return -1;
    int32_t mask;
    {
        Ref gate = Ref::borrow(self->gate);  // the gate may drop the parser's last hold on itself
        if (ask_gate(gate.get(), name.get(), slot, &mask) < 0) return -1;
    }
    if (mask == 0) return 0;

    Ref payload_data;
    if (h.payload_start != -1) {
        const Py_ssize_t payload_end = field_end(data, n, h.payload_start);
        if (h.payload_start < payload_end) payload_data = Ref::steal(decode_payload(data, h.payload_start, payload_end));
    }
    *record = new_xtpre(name.get(), h.status, h.error_code, payload_data ? payload_data.get() : Py_None, mask);
    return *record != nullptr ? 0 : -1;
}

int install_parser_methods() noexcept { return install_methods(&XtPreParserType, kParserMethods); }

}  // namespace vrel
