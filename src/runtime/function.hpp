// The module's callable objects.
//
// The module's functions are the interpreter's own builtin functions (METH_FASTCALL |
// METH_KEYWORDS, __module__ "vrel_dll"): the interpreter specialises a call of those and
// reaches the C entry directly, where a call of any other callable type goes through the
// generic call path (10 ns more per call, measured). Each function's C entry is a wrapper
// instantiated from its FunctionDef at compile time, with the body inlined.
//
// Method descriptors made from a tp_methods table have no __module__, and the module's
// methods must report "vrel_dll"; so methods are objects of a small type of the module's
// own. It implements vectorcall and carries Py_TPFLAGS_METHOD_DESCRIPTOR, so
// `obj.method(...)` reaches the C entry with `self` first and no bound-method object in
// between, and its common call (all arguments by position, `self` of the class itself)
// is one test away from the body.
//
// Both call paths parse and check the arguments (args.hpp), so a body starts from its
// parameters' values, and add the traceback entry ("vrel_dll.Gatekeeper.process_status")
// whenever a body fails, so a body only raises and returns null.
#pragma once

#include <Python.h>

#include <source_location>
#include <span>

#include "common/compat.hpp"
#include "runtime/args.hpp"
#include "runtime/traceback.hpp"

namespace vrel {

// C entry point: `self` is the instance for methods and null for module functions; the
// arguments come parsed and checked by the call path, as the Signature describes.
using Impl = PyObject* (*)(PyObject* self, const Args& args);

struct FunctionDef {
    const char* name;      // "process_status", "cy_format_xt"
    const Signature* sig;  // the parameters, also shown as __text_signature__
    Impl impl;
    const char* doc;       // UTF-8, or null for no docstring
    const char* file;      // where the definition stands: the file and line of its
    int line;              // traceback entries

    constexpr FunctionDef(const char* name_, const Signature* sig_, Impl impl_, const char* doc_ = nullptr,
                          std::source_location where = std::source_location::current()) noexcept
        : name(name_), sig(sig_), impl(impl_), doc(doc_), file(where.file_name()),
          line(static_cast<int>(where.line())) {}
};

// For a slot (tp_init), which parses and checks its own arguments: 0 when they are ready,
// else -1 with the slot's traceback entry added unless the error is an argument-type error.
inline int slot_args(Prepared prepared, TracebackSite& site) noexcept {
    if (prepared == Prepared::ok) return 0;
    return prepared == Prepared::refused ? -1 : fail(site);
}

// Readies the module's two callable types; 0, or -1 with an error.
int ready_function_types() noexcept;

// A function for internal use, such as a callback handed to other code, of the module's
// own function type (new reference). The module's public functions are builtin
// functions: add_function below.
PyObject* new_function(const FunctionDef& def) noexcept;

// Runs a body on prepared arguments: the arguments parsed and checked, then the body;
// a failure leaves with the entry made from `entry`, unless it is an argument-type error.
inline PyObject* call_body(Impl impl, const Signature& sig, PyObject* entry, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Args a;
    const Prepared prepared = prepare_args(sig, args, nargs, kwnames, &a);
    PyObject* result = VREL_LIKELY(prepared == Prepared::ok) ? impl(self, a) : nullptr;
    if (VREL_UNLIKELY(result == nullptr) && prepared != Prepared::refused) add_traceback(entry);
    return result;
}

namespace builtin {

// What a builtin function made from Def keeps for the process: its method table entry
// (the interpreter reads it on every call) and the code object of its traceback entry.
template <const FunctionDef& Def>
inline PyObject* entry_code = nullptr;

// The C entry of the builtin function made from Def. Def must be constexpr: its body is
// called directly, and inlined where the compiler sees fit.
template <const FunctionDef& Def>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr Impl impl = Def.impl;
    return call_body(impl, *Def.sig, entry_code<Def>, nullptr, args, nargs, kwnames);
}

template <const FunctionDef& Def>
inline PyMethodDef method_def = {Def.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call<Def>)),
                                 METH_FASTCALL | METH_KEYWORDS, nullptr};

// Makes the function of `def` from its table entry and binds it in `module`; 0, or -1 with
// an error.
int add(PyObject* module, PyMethodDef* ml, const FunctionDef& def, PyObject** entry) noexcept;

}  // namespace builtin

// Adds the builtin function made from Def (a constexpr FunctionDef) to `module` under
// Def.name; 0, or -1 with an error.
template <const FunctionDef& Def>
int add_function(PyObject* module) noexcept {
    return builtin::add(module, &builtin::method_def<Def>, Def, &builtin::entry_code<Def>);
}

// Stores a method of `owner` in its type dictionary under def.name (replacing what was
// there); call PyType_Modified(owner) after the last one. 0, or -1 with an error.
int install_method(PyTypeObject* owner, const FunctionDef& def) noexcept;

// Installs a type's methods in the order listed, then tells the type its dict changed.
// `init`, the Signature of the type's initialiser, learns its class as the methods' do.
int install_methods(PyTypeObject* owner, std::span<const FunctionDef* const> defs,
                    const Signature* init = nullptr) noexcept;

}  // namespace vrel

namespace vrel {

// __reduce__ for objects that hold live state (an event loop, futures, a gate) and so
// cannot be pickled or copied: raises TypeError "cannot pickle '<type>' object".
extern const FunctionDef kRefuseReduceDef;

}  // namespace vrel
