// The module-wide argument rules.
//
// Every function and method takes positional-or-keyword parameters with no defaults.
// One description (Signature) serves both calling conventions: vectorcall
// (args, nargs, kwnames) and tp_init (tuple, dict). Keyword names are matched against
// the interned parameter names by identity first, then by value.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace vrel {

inline constexpr int kMaxParams = 5;

struct Signature {
    const char* func;                  // bare name used in messages: "__init__", "get_handler"
    int count;                         // number of parameters
    const char* names[kMaxParams];     // parameter names, in order
    PyObject* keys[kMaxParams] = {};   // the same names, interned at module execution
    Signature* next = nullptr;         // every Signature is listed, so exec can intern them all

    Signature(const char* func_, int count_, const char* n0 = nullptr, const char* n1 = nullptr,
              const char* n2 = nullptr, const char* n3 = nullptr, const char* n4 = nullptr) noexcept;
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;
};

// Interns the parameter names of every Signature in the module; 0, or -1 with an error.
int prepare_signatures() noexcept;

int parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept;

// Vectorcall convention. Fills out[0..count) with borrowed references; 0, or -1 with a
// TypeError set (count, unexpected keyword, multiple values, keywords must be strings).
inline int parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) noexcept {
    if (kwnames == nullptr && nargs == sig.count) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return 0;
    }
    return parse_args_slow(sig, args, nargs, kwnames, out);
}

// Arguments parsed from a tuple and a dict, each owned while this lives: the keyword dict
// is the caller's, and code an initialiser runs (an __int__, a key's lower) may empty it
// while the values are still in use.
using OwnedArgs = OwnedRefs<kMaxParams>;

// tp_init convention (a tuple and an optional dict); same rules and messages.
int parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwds, OwnedArgs* out) noexcept;

// Typed parameter: `obj` must be exactly `type` or None. Otherwise raises
// "Argument '<name>' has incorrect type (expected <type>, got <obj's type>)" and
// returns false. This error deliberately carries no traceback entry: the mark it sets
// tells the call path (function.hpp) to add none.
bool arg_type_ok_slow(PyObject* obj, PyTypeObject* type, const char* name) noexcept;
inline bool arg_type_ok(PyObject* obj, PyTypeObject* type, const char* name) noexcept {
    if (Py_IS_TYPE(obj, type) || obj == Py_None) return true;
    return arg_type_ok_slow(obj, type, name);
}

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

}  // namespace vrel
