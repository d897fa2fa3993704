// XtPreParser.parse_and_route: the per-packet hot path.
#include "packet/parser.hpp"

#include <cstring>
#include <utility>

#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gate.hpp"
#include "record/xtpre.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/remembered.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "runtime/types.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/packet/parser.cpp";

Signature kInitSig{"__init__", {arg("gatekeeper")}};
Signature kParseSig{"parse_and_route", {typed("msg", &PyBytes_Type)}};

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

// Command fields seen lately in this process (g_state.field_masks), each with the mask
// its parser's gate gave it. A packet whose field is found here
// looks the cache up with the same bytes object (its hash already computed) instead of
// making a fresh one; and while the mask is still current for its parser, an unwanted
// packet needs no look-up at all. The table is the process's, not a connection's: a
// parser pays nothing for it.

// The entry for a command field, its key made to match the field: the one already there
// when the content is the same, else the one used least lately in its set, given a new
// key and no mask. Null with MemoryError.
KeyedMask* field_entry(const char* field, Py_ssize_t size) noexcept {
    // The set is picked from the field's length and a few of its bytes, which is cheap;
    // every byte decides whether a kept key is the same field. The way used last comes
    // first, so that two busy fields sharing a set both stay.
    uint64_t ends = static_cast<uint64_t>(size);
    if (size > 0)
        ends ^= static_cast<uint64_t>(static_cast<unsigned char>(field[0])) << 8 |
                static_cast<uint64_t>(static_cast<unsigned char>(field[size - 1])) << 16;
    if (size > 2) ends ^= static_cast<uint64_t>(static_cast<unsigned char>(field[size / 2])) << 24;
    KeyedMask* set = &g_state.field_masks[(ends * 0x9E3779B97F4A7C15u >> 32) % kFieldSets * 2];
    for (int way = 0; way < 2; ++way) {
        PyObject* kept = set[way].key;
        if (kept != nullptr && PyBytes_GET_SIZE(kept) == size &&
            std::memcmp(PyBytes_AS_STRING(kept), field, static_cast<size_t>(size)) == 0) {
            if (way == 1) std::swap(set[0], set[1]);
            return &set[0];
        }
    }
    PyObject* key = PyBytes_FromStringAndSize(field, size);
    if (key == nullptr) return nullptr;
    PyObject* dropped = set[1].key;
    set[1] = set[0];
    set[0] = KeyedMask{key, {}};
    Py_XDECREF(dropped);  // bytes: no code of anyone's runs
    return &set[0];
}

// The command name for `key`, through the cache: new reference, or null with an error.
PyObject* command_name(XtPreParser* self, PyObject* key, bool keep) noexcept {
    Ref cache = Ref::borrow(self->cmd_cache);  // a stored key's __eq__ may replace it
    PyObject* cached = nullptr;
    int found = table_get(cache.get(), key, &cached);
    if (found < 0) return nullptr;
    Ref entry = Ref::steal(cached);
    if (found && entry.get() != Py_None) return value_type_ok(entry.get(), &PyUnicode_Type) ? entry.release() : nullptr;
    Ref name = Ref::steal(ascii_command_name(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key)));
    if (!name) return nullptr;
    // Replacing a None entry does not grow the cache, so it is allowed at the limit.
    if (keep && (found || PyDict_GET_SIZE(cache.get()) < kCmdCacheLimit) &&
        PyDict_SetItem(cache.get(), key, name.get()) < 0) {
        return nullptr;
    }
    return name.release();
}

// orjson.loads(payload), both looked up now; null (and no error) when anything fails.
PyObject* decode_payload(const char* data, Py_ssize_t start, Py_ssize_t end) noexcept {
    Ref result;
    Ref loads = Ref::steal(global_attr(&g_state.loads, S().orjson, S().loads));
    if (loads) {
        Ref payload = Ref::steal(PyBytes_FromStringAndSize(data + start, end - start));
        if (payload) {
            PyObject* argv[2] = {nullptr, payload.get()};
            result =
                Ref::steal(PyObject_Vectorcall(loads.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
    }
    if (!result) PyErr_Clear();
    return result.release();
}

PyObject* parse_and_route(XtPreParser* self, PyObject* msg) noexcept {
    if (msg == Py_None) Py_RETURN_NONE;
    Parsed p;
    const int made = parse_message(self, PyBytes_AS_STRING(msg), PyBytes_GET_SIZE(msg), &p);
    if (made <= 0) return made < 0 ? nullptr : Py_NewRef(Py_None);
    return new_xtpre(p.command.get(), p.status, p.error_code, p.data.get(), p.destination);
}

int init(XtPreParser* self, PyObject* gatekeeper) noexcept {
    Ref cache = Ref::steal(PyDict_New());
    if (!cache) return -1;
    // The masks remembered for this parser were found with the old gate and cache.
    Update update;
    update.set(&self->gate, Py_NewRef(gatekeeper));
    update.set(&self->cmd_cache, cache.release());
    self->cache_watched = watch(self->cmd_cache);
    return 0;
}

PyObject* parser_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    as_parser(op)->gate = Py_NewRef(Py_None);
    as_parser(op)->cmd_cache = Py_NewRef(Py_None);
    as_parser(op)->serial = next_serial();
    return op;
}

int parser_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_parser(op)->gate);
    Py_VISIT(as_parser(op)->cmd_cache);
    return 0;
}

int parser_clear(PyObject* op) noexcept {
    XtPreParser* self = as_parser(op);
    Update update;
    update.set(&self->gate, Py_NewRef(Py_None));
    update.set(&self->cmd_cache, Py_NewRef(Py_None));
    self->cache_watched = false;
    return 0;
}

void parser_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    // A gate may be another parser: a long chain would otherwise recurse once per link.
    Py_TRASHCAN_BEGIN(op, parser_dealloc)
    XtPreParser* self = as_parser(op);
    Py_CLEAR(self->gate);
    Py_CLEAR(self->cmd_cache);
    Py_CLEAR(self->backlog);
    Py_TYPE(op)->tp_free(op);
    Py_TRASHCAN_END
}

PyTypeObject make_parser_type() noexcept {
    return gc_type({"vrel_dll.XtPreParser", sizeof(XtPreParser), parser_dealloc, parser_traverse, parser_clear, nullptr,
                    slot_init<init, kInitSig, kInitSite>, parser_new});
}

}  // namespace

PyTypeObject XtPreParserType = make_parser_type();

const FunctionDef kParseAndRouteDef{"parse_and_route", &kParseSig, body<parse_and_route>};

namespace {

// The command field of a message and what is known of it: its key for the cache, and
// its mask when one is remembered and still current for this parser.
struct Field {
    Ref key;                     // exact bytes: the field
    KeyedMask* entry = nullptr;  // its entry among the remembered fields; null: too long to keep
    const int32_t* known = nullptr;
};

// 0 with *out filled, or -1 with an error. Fields too long to keep are named on every
// sight and never stored: the cache may hold anything a caller put there, but a peer's
// huge fields cost memory only while their packet is handled.
int read_field(XtPreParser* self, const char* field, Py_ssize_t size, Field* out) noexcept {
    if (VREL_UNLIKELY(size > kKeptCommand)) {
        out->key = Ref::steal(PyBytes_FromStringAndSize(field, size));
        return out->key ? 0 : -1;
    }
    out->entry = field_entry(field, size);
    if (out->entry == nullptr) return -1;
    out->key = Ref::borrow(out->entry->key);
    out->known = recall(out->entry->mask, self->serial);
    return 0;
}

// The command name and mask of a field not known: the cache, then the gate. 0, or -1 with
// an error. A mask found while nothing it derives from is seen changing is remembered.
int ask(XtPreParser* self, Field& f, Ref* name, int32_t* mask) noexcept {
    Ref held = Ref::borrow(self->gate);  // the gate may drop the parser's last hold on itself
    const Gate gate{held.get()};
    const bool rememberable =
        f.entry != nullptr && self->cache_watched && gate.exact() && masks_are_watched(gate.gatekeeper());
    const uint64_t stamp = epoch();
    *name = Ref::steal(command_name(self, f.key.get(), f.entry != nullptr));
    if (!*name || gate.get_destination_mask(name->get(), mask) < 0) return -1;
    // Unless code run meanwhile has given the entry to another field.
    if (rememberable && f.entry->key == f.key.get()) {
        remember(f.entry->mask, stamp, self->serial, *mask,
                 {self->cmd_cache, gate.gatekeeper()->pending_futures, gate.gatekeeper()->handler_map});
    }
    return 0;
}

// The payload's JSON, decoded; None when there is none or it does not decode.
Ref payload(const char* data, Py_ssize_t n, Py_ssize_t start) noexcept {
    if (start != -1) {
        const Py_ssize_t end = field_end(data, n, start);
        if (start < end) {
            PyObject* decoded = decode_payload(data, start, end);
            if (decoded != nullptr) return Ref::steal(decoded);
        }
    }
    return Ref::borrow(Py_None);
}

}  // namespace

int parse_message(XtPreParser* self, const char* data, Py_ssize_t n, Parsed* out) noexcept {
    if (n < 4 || data[0] != '%' || data[1] != 'x' || data[2] != 't' || data[3] != '%') return 0;
    Header h;
    if (!read_header(data, n, &h)) return 0;
    Field f;
    if (read_field(self, data + h.command_start, h.command_end - h.command_start, &f) < 0) return -1;
    if (f.known != nullptr && *f.known == 0) return 0;  // unwanted, and nothing has changed
    Ref name;
    int32_t mask;
    if (f.known != nullptr) {
        // A current mask means the cache holds the name: found with no code run.
        mask = *f.known;
        name = Ref::steal(command_name(self, f.key.get(), true));
        if (!name) return -1;
    } else if (ask(self, f, &name, &mask) < 0) {
        return -1;
    }
    if (mask == 0) return 0;
    out->command = std::move(name);
    out->status = h.status;
    out->error_code = h.error_code;
    out->data = payload(data, n, h.payload_start);
    out->destination = mask;
    return 1;
}

int install_parser_methods() noexcept { return install_methods(&XtPreParserType, kParserMethods, &kInitSig); }

}  // namespace vrel
