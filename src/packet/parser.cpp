// XtPreParser.parse_and_route: the per-packet hot path.
#include "packet/parser.hpp"

#include <cstring>

#include "common/args.hpp"
#include "common/command_name.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "common/traceback.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "module/module_state.hpp"
#include "packet/xtpre.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/packet/parser.cpp";

Signature kInitSig{"__init__", 1, "gatekeeper"};
Signature kParseSig{"parse_and_route", 1, "msg"};

TracebackSite kInitSite{"vrel_dll.XtPreParser.__init__", kFile, __LINE__};
TracebackSite kParseSite{"vrel_dll.XtPreParser.parse_and_route", kFile, __LINE__};

constexpr int kMaxFields = 8;

struct Token {
    Py_ssize_t start;
    Py_ssize_t end;
};

// What the header says, with -1 in payload.start for "no payload".
struct Header {
    Token command;
    int32_t status;
    int32_t error_code;
    Token payload;
};

XtPreParser* as_parser(PyObject* op) noexcept { return reinterpret_cast<XtPreParser*>(op); }

// Splits data[1..n) at '%' into at most eight fields (field 0 is the "xt" of the
// prefix); never reads past byte n-1. Returns the field count.
int scan_fields(const char* data, Py_ssize_t n, Token* tokens) noexcept {
    int count = 0;
    Py_ssize_t start = 1;
    for (;;) {
        const void* sep = start < n ? std::memchr(data + start, '%', static_cast<size_t>(n - start)) : nullptr;
        Py_ssize_t pos = sep != nullptr ? static_cast<const char*>(sep) - data : n;
        tokens[count++] = Token{start, pos};
        if (pos + 1 >= n || count == kMaxFields) return count;
        start = pos + 1;
    }
}

bool field_int(const char* data, const Token& t, int32_t* out) noexcept {
    return parse_int32(data, t.start, t.end, out);
}

// The two header layouts; false for a message that is not a well-formed XT packet.
bool read_header(const char* data, const Token* tokens, int count, Header* h) noexcept {
    if (count <= 2) return false;
    int k;
    if (field_int(data, tokens[2], &h->status)) {
        h->command = tokens[1];  // short layout: command, status, ...
        k = 3;
    } else {
        if (count == 3 || !field_int(data, tokens[3], &h->status)) return false;
        h->command = tokens[2];  // long layout: field 1 skipped, command, status, ...
        k = 4;
    }
    h->error_code = 0;
    h->payload = Token{-1, -1};
    if (count > k) {
        h->payload = tokens[k];
        int32_t code;
        if (field_int(data, tokens[k], &code)) {
            h->error_code = code;
            h->payload = count > k + 1 ? tokens[k + 1] : Token{-1, -1};
        }
    }
    return true;
}

// The cache key for a command field: a recently used bytes object with the same content,
// or a new one that then takes its slot.
PyObject* cache_key(XtPreParser* self, const char* bytes, Py_ssize_t size) noexcept {
    uint32_t h = 2166136261u;  // FNV-1a: cheap, and only picks a slot
    for (Py_ssize_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
    PyObject** slot = &self->recent_keys[h % kRecentKeys];
    PyObject* seen = *slot;
    if (seen != nullptr && PyBytes_GET_SIZE(seen) == size && std::memcmp(PyBytes_AS_STRING(seen), bytes, static_cast<size_t>(size)) == 0) {
        return Py_NewRef(seen);
    }
    PyObject* key = PyBytes_FromStringAndSize(bytes, size);
    if (key != nullptr) {
        *slot = Py_NewRef(key);
        Py_XDECREF(seen);
    }
    return key;
}

// The command name through the cache: new reference, or null with an error.
PyObject* command_name(XtPreParser* self, const char* data, const Token& t) noexcept {
    Ref cache = Ref::borrow(self->cmd_cache);
    if (cache.get() == Py_None) {
        raise_none_has_no("get");
        return nullptr;
    }
    Ref key = Ref::steal(cache_key(self, data + t.start, t.end - t.start));
    if (!key) return nullptr;
    PyObject* cached = nullptr;
    int found = dict_get_ref(cache.get(), key.get(), &cached);
    if (found < 0) return nullptr;
    Ref entry = Ref::steal(cached);
    if (found && entry.get() != Py_None) {
        if (!value_type_ok(entry.get(), &PyUnicode_Type)) return nullptr;
        return entry.release();
    }
    Ref name = Ref::steal(ascii_command_name(data + t.start, t.end - t.start));
    if (!name) return nullptr;
    // Replacing a None entry does not grow the cache, so it is allowed at the limit.
    if ((found || PyDict_GET_SIZE(cache.get()) < kCmdCacheLimit) &&
        PyDict_SetItem(cache.get(), key.get(), name.get()) < 0) {
        return nullptr;
    }
    return name.release();
}

// gate.get_destination_mask(name) as a 32-bit mask. On an exact Gatekeeper the method
// is known (the type is immutable and its instances have no __dict__), so its body runs
// without a Python-level call.
int ask_gate(PyObject* gate, PyObject* name, int32_t* mask) noexcept {
    if (Py_IS_TYPE(gate, &GatekeeperType)) return destination_mask(as_gatekeeper(gate), name, mask);
    PyObject* argv[2] = {gate, name};
    Ref result = Ref::steal(PyObject_VectorcallMethod(S().get_destination_mask, argv,
                                                      2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return -1;
    return to_int32(result.get(), mask);
}

GlobalAttr g_loads{&Strings::orjson, &Strings::loads};

// orjson.loads(payload), both looked up now; null (and no error) when anything fails.
PyObject* decode_payload(const char* data, const Token& t) noexcept {
    Ref result;
    Ref loads = Ref::steal(global_attr(g_loads));
    if (loads) {
        Ref payload = Ref::steal(PyBytes_FromStringAndSize(data + t.start, t.end - t.start));
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
    if (parse_args(kParseSig, args, nargs, kwnames, &msg) < 0) return fail(kParseSite);
    if (msg == Py_None) Py_RETURN_NONE;
    if (!arg_type_ok(msg, &PyBytes_Type, "msg")) return nullptr;

    const char* data = PyBytes_AS_STRING(msg);
    const Py_ssize_t n = PyBytes_GET_SIZE(msg);
    if (n < 4 || data[0] != '%' || data[1] != 'x' || data[2] != 't' || data[3] != '%') Py_RETURN_NONE;
    Token tokens[kMaxFields];
    Header h;
    if (!read_header(data, tokens, scan_fields(data, n, tokens), &h)) Py_RETURN_NONE;

    XtPreParser* self = as_parser(op);
    Ref name = Ref::steal(command_name(self, data, h.command));
    if (!name) return fail(kParseSite);
    int32_t mask;
    {
        Ref gate = Ref::borrow(self->gate);  // the gate may drop the parser's last hold on itself
        if (ask_gate(gate.get(), name.get(), &mask) < 0) return fail(kParseSite);
    }
    if (mask == 0) Py_RETURN_NONE;

    Ref payload_data;
    if (h.payload.start != -1 && h.payload.start < h.payload.end) payload_data = Ref::steal(decode_payload(data, h.payload));
    PyObject* record = new_xtpre(name.get(), h.status, h.error_code, payload_data ? payload_data.get() : Py_None, mask);
    return record != nullptr ? record : fail(kParseSite);
}

int parser_init(PyObject* op, PyObject* args, PyObject* kwds) noexcept {
    PyObject* gate;
    if (parse_tuple_args(kInitSig, args, kwds, &gate) < 0) return fail_int(kInitSite);
    XtPreParser* self = as_parser(op);
    set_field(&self->gate, gate);
    Ref cache = Ref::steal(PyDict_New());
    if (!cache) return fail_int(kInitSite);
    set_field(&self->cmd_cache, cache.get());
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
    for (PyObject*& key : self->recent_keys) Py_CLEAR(key);
    Py_TYPE(op)->tp_free(op);
    Py_TRASHCAN_END
}

const FunctionDef kParseAndRouteDef{"parse_and_route", &kParseSig, parse_and_route, nullptr};

PyTypeObject make_parser_type() noexcept {
    return gc_type({"vrel_dll.XtPreParser", sizeof(XtPreParser), parser_dealloc, parser_traverse, parser_clear,
                    nullptr, parser_init, parser_new});
}

}  // namespace

PyTypeObject XtPreParserType = make_parser_type();

int install_parser_methods() noexcept {
    if (install_method(&XtPreParserType, kParseAndRouteDef) < 0 ||
        install_method(&XtPreParserType, kRefuseReduceDef) < 0) {
        return -1;
    }
    PyType_Modified(&XtPreParserType);
    return 0;
}

}  // namespace vrel
