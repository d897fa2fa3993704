// XtPreParser: raw inbound bytes to XtPre records.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vrel {

// Recently used cache keys, found again by content: a packet whose command field was
// seen lately looks the cache up with the same bytes object (its hash already computed)
// instead of making, hashing and comparing a fresh one. Bytes are immutable and compared
// by content, so the look-up is the same either way.
inline constexpr int kRecentKeys = 64;

struct XtPreParser {
    PyObject_HEAD
    PyObject* gate;       // any object; the parser only calls its get_destination_mask
    PyObject* cmd_cache;  // _cmd_cache: dict of raw command field (bytes) -> command name, or None
    PyObject* recent_keys[kRecentKeys];  // exact bytes or null; never visible from Python
};

// The cache stops growing at this many entries, so a peer sending endless distinct
// command names cannot exhaust memory; names are still derived, just not stored.
inline constexpr Py_ssize_t kCmdCacheLimit = 65536;

// A field's value under the integer rule: optional '-', then one or more ASCII digits,
// accumulated with 64-bit wrap-around and reduced to the low 32 bits. False when the
// field is not an integer.
inline bool parse_int32(const char* data, Py_ssize_t start, Py_ssize_t end, int32_t* out) noexcept {
    if (end <= start) return false;
    bool negative = data[start] == '-';
    if (negative && ++start == end) return false;
    uint64_t value = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        unsigned digit = static_cast<unsigned char>(data[i]) - static_cast<unsigned>('0');
        if (digit > 9) return false;
        value = value * 10u + digit;
    }
    if (negative) value = 0u - value;
    *out = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

}  // namespace vrel
