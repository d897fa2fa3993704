// XtPreParser: raw inbound bytes to XtPre records.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/ref.hpp"
#include "gatekeeper/gate.hpp"
#include "runtime/function.hpp"

namespace vrel {

extern PyTypeObject XtPreParserType;

struct XtPreParser {
    PyObject_HEAD
    PyObject* gate;       // any object; the parser only calls its get_destination_mask
    PyObject* cmd_cache;  // dict of raw command field (bytes) -> command name, or None
    // Complete messages taken out of a read buffer and not yet handled (feed.cpp): exact
    // bytes, strong, or null; the first unhandled byte is at backlog_start.
    PyObject* backlog;
    Py_ssize_t backlog_start;
    uint64_t serial;     // tells the masks remembered for this parser from others' (parser.cpp)
    bool cache_watched;  // cmd_cache is watched: masks found now may be remembered
};

// The fields of the record a message yields, owned.
struct Parsed {
    Ref command;  // exact str
    int32_t status;
    int32_t error_code;
    Ref data;
    int32_t destination;
};

// The work of parse_and_route on one message, data[0..n): 1 with *out filled when the
// message yields a record, 0 when it yields none (foreign, malformed, or wanted by
// nobody), -1 with an error (the caller's callable adds the traceback entry). `data` must
// stay valid for the whole call, which runs Python code (the gate, orjson); that code may
// rewrite bytes of a caller's buffer in place, so every read stays within data[0..n).
int parse_message(XtPreParser* self, const char* data, Py_ssize_t n, Parsed* out) noexcept;

// The parser's methods, each defined beside its body, in the order they are installed.
extern const FunctionDef kParseAndRouteDef;  // parser.cpp
extern const FunctionDef kFeedAndRouteDef;     // feed.cpp
extern const FunctionDef kFeedAndDispatchDef;  // dispatch.cpp
inline constexpr const FunctionDef* kParserMethods[] = {&kParseAndRouteDef, &kFeedAndRouteDef, &kFeedAndDispatchDef,
                                                        &kRefuseReduceDef};

// Installs kParserMethods on the type; 0, or -1 with an error.
int install_parser_methods() noexcept;

// What a feed does with the fields of each record a buffer yields (make the record and
// route it, say): 0, or -1 with an error, which stops the feed. `gate` is the parser's
// gate at that moment, held by the feed.
using RecordStep = int (*)(const Gate& gate, const Parsed& parsed, void* context);

// The work of a feed on `buffer`, an exact bytearray: every complete NUL-terminated
// message is taken out of it, then parsed, and each record handed to `step` (feed.cpp
// tells the rule). 0, or -1 with an error; the counts say what was done either way.
int feed_buffer(XtPreParser* self, PyObject* buffer, RecordStep step, void* context, Py_ssize_t* messages,
                Py_ssize_t* records) noexcept;

// The integer rule for the field that starts at `start`: optional '-', then one or more
// ASCII digits up to the field's end (the next '%' or the end of the message), the
// digits accumulated with 64-bit wrap-around and reduced to the low 32 bits. Only the
// digits are read, so telling that a field is not an integer costs a byte or two. On
// success *end is the field's end.
inline bool int_field(const char* data, Py_ssize_t n, Py_ssize_t start, int32_t* out, Py_ssize_t* end) noexcept {
    Py_ssize_t i = start;
    bool negative = i < n && data[i] == '-';
    if (negative) ++i;
    const Py_ssize_t digits = i;
    uint64_t value = 0;
    for (; i < n; ++i) {
        unsigned digit = static_cast<unsigned char>(data[i]) - static_cast<unsigned>('0');
        if (digit > 9) break;
        value = value * 10u + digit;
    }
    if (i == digits || (i < n && data[i] != '%')) return false;
    if (negative) value = 0u - value;
    *out = static_cast<int32_t>(static_cast<uint32_t>(value));
    *end = i;
    return true;
}

}  // namespace vrel
