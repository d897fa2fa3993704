// The module-wide argument rules.
//
// Every function and method takes positional-or-keyword parameters with no defaults.
// One description (Signature) serves both calling conventions: vectorcall
// (args, nargs, kwnames) and tp_init (tuple, dict). Keyword names are matched against
// the interned parameter names by identity first, then by value.
//
// A parameter may carry a check, run with the parsing before the body: first every
// 32-bit integer conversion in parameter order, then every type test in parameter order,
// as the module's rules order them. An argument-type error carries no traceback entry;
// every other error of a callable carries its entry. A failed check keeps its exact text
// and gains a note naming the argument and the callable ("argument 'status' of XtPre()").
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "common/compat.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"

namespace vrel {

inline constexpr int kMaxParams = 5;

// One parameter and its check.
struct Param {
    const char* name;
    // Exactly this type or None; otherwise TypeError "Argument '<name>' has incorrect type
    // (expected <type>, got <type of the argument>)".
    PyTypeObject* type = nullptr;
    bool int32 = false;  // converted by the 32-bit integer rule (int32.hpp)
};

inline constexpr Param arg(const char* name) noexcept { return {name}; }
inline constexpr Param typed(const char* name, PyTypeObject* type) noexcept { return {name, type}; }
inline constexpr Param int32_arg(const char* name) noexcept { return {name, nullptr, true}; }

struct Signature {
    const char* func;                 // bare name used in messages: "__init__", "get_handler"
    int count;                        // number of parameters
    Param params[kMaxParams];         // in order
    bool checked;                     // some parameter has a check
    bool converts;                    // some parameter is a 32-bit integer
    PyObject* keys[kMaxParams] = {};  // the names, interned at module execution
    Signature* next = nullptr;        // every Signature is listed, so exec can intern them all
    // The class of a method or initialiser ("XtPre"), set when it is installed; null for a
    // module function. Only the notes of failed checks read it.
    mutable const char* owner = nullptr;
    // The code object of the callable's traceback entry ("vrel_dll.XtPre.__init__"), made
    // with the callable and kept for the process.
    mutable PyObject* entry = nullptr;

    Signature(const char* func_, std::initializer_list<Param> params_) noexcept;
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;
};

// Interns the parameter names of every Signature in the module; 0, or -1 with an error.
int prepare_signatures() noexcept;

// What a body receives: the arguments in parameter order (borrowed from the caller), and
// each 32-bit parameter's value.
struct Args {
    PyObject* obj[kMaxParams];
    int32_t i32[kMaxParams];
    PyObject* operator[](int i) const noexcept { return obj[i]; }
};

// How the preparation of a call's arguments ended.
enum class Prepared {
    ok,
    failed,   // an error that carries the callable's traceback entry
    refused,  // an argument-type error, which carries none
};

Prepared prepare_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Args* out) noexcept;

// Raises the argument-type error of parameter i; returns Prepared::refused.
Prepared refuse_type(const Signature& sig, int i, PyObject* obj) noexcept;

// Adds the note "argument '<name>' of <callable>()" to the exception being raised, which
// stays as it is otherwise (a note that cannot be added is left out). For errors about an
// argument that its check does not raise, such as an initialiser's table.
void note_argument(const Signature& sig, int i) noexcept;

// The 32-bit conversion of parameter i has failed: notes it; returns Prepared::failed.
Prepared conversion_failed(const Signature& sig, int i) noexcept;

// The parameters' checks on arguments already in place, in the order the rules run them:
// the 32-bit conversions, then the type tests. Count, how many parameters to look at, is
// known where a call path is compiled, so the loops unroll into one short test each; by
// default every slot is looked at (one past the Signature's parameters has no check).
template <int Count = kMaxParams>
inline Prepared check_args(const Signature& sig, Args* out) noexcept {
    if (sig.converts) {
        for (int i = 0; i < Count; ++i) {
            if (sig.params[i].int32 && to_int32(out->obj[i], &out->i32[i]) < 0) return conversion_failed(sig, i);
        }
    }
    for (int i = 0; i < Count; ++i) {
        PyTypeObject* type = sig.params[i].type;
        if (type == nullptr) continue;
        PyObject* obj = out->obj[i];
        if (!Py_IS_TYPE(obj, type) && obj != Py_None) return refuse_type(sig, i, obj);
    }
    return Prepared::ok;
}

// Copies n (at most kMaxParams) positional arguments into *out. Unrolled: a loop of
// unknown length becomes a call to memcpy, which costs more than the copy.
inline void take_positional(PyObject* const* args, int n, Args* out) noexcept {
    static_assert(kMaxParams == 5, "take_positional copies at most five arguments");
    switch (n) {
        case 5:
            out->obj[4] = args[4];
            [[fallthrough]];
        case 4:
            out->obj[3] = args[3];
            [[fallthrough]];
        case 3:
            out->obj[2] = args[2];
            [[fallthrough]];
        case 2:
            out->obj[1] = args[1];
            [[fallthrough]];
        case 1:
            out->obj[0] = args[0];
            [[fallthrough]];
        default:
            break;
    }
}

// Vectorcall convention: parses (count, unexpected keyword, multiple values, keywords
// must be strings) and checks the arguments into *out.
inline Prepared prepare_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             Args* out) noexcept {
    if (VREL_LIKELY(kwnames == nullptr && nargs == sig.count)) {
        take_positional(args, sig.count, out);
        return sig.checked ? check_args(sig, out) : Prepared::ok;
    }
    return prepare_args_slow(sig, args, nargs, kwnames, out);
}

// Arguments parsed from a tuple and a dict, each owned while this lives: the keyword dict
// is the caller's, and code an initialiser runs (an __int__, a key's lower) may empty it
// while the values are still in use.
using OwnedArgs = OwnedRefs<kMaxParams>;

// tp_init convention (a tuple and an optional dict); same rules and messages. The
// arguments in *out are the ones *owned holds.
Prepared prepare_tuple_args(const Signature& sig, PyObject* args, PyObject* kwds, OwnedArgs* owned, Args* out) noexcept;

// Typed value (attribute, table entry, intermediate result): exactly `type` or None,
// otherwise "Expected <type>, got <obj's type>".
bool value_type_ok_slow(PyObject* obj, PyTypeObject* type) noexcept;
inline bool value_type_ok(PyObject* obj, PyTypeObject* type) noexcept {
    if (Py_IS_TYPE(obj, type) || obj == Py_None) return true;
    return value_type_ok_slow(obj, type);
}

// The interpreter's own message for a method called on None:
// "'NoneType' object has no attribute '<method>'".
void raise_none_has_no(const char* method) noexcept;

// table.get(key) on a table field that is a dict or None, which the caller holds: 1 with
// the value (new reference) in *out, 0 when absent, -1 with an error (None has no 'get').
inline int table_get(PyObject* table, PyObject* key, PyObject** out) noexcept {
    if (table == Py_None) {
        *out = nullptr;
        raise_none_has_no("get");
        return -1;
    }
    return dict_get_ref(table, key, out);
}

}  // namespace vrel
