// The module's own callable objects.
//
// Method descriptors made from a tp_methods table have no __module__; the module's
// functions and methods must report "vrel_dll". These two small types do, and keep
// calls cheap: both implement vectorcall, and the method type carries
// Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.method(...)` reaches the C entry with `self`
// first and no bound-method object in between. Their shared call path adds the
// traceback entry ("vrel_dll.Gatekeeper.process_status") whenever a body fails, so a
// body only raises and returns null. The call path also parses and checks the arguments
// (args.hpp), so a body starts from its parameters' values.
#pragma once

#include <Python.h>

#include <source_location>
#include <span>

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

    FunctionDef(const char* name_, const Signature* sig_, Impl impl_, const char* doc_ = nullptr,
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

// Readies the two callable types; 0, or -1 with an error.
int ready_function_types() noexcept;

// A module-level function object (new reference).
PyObject* new_function(const FunctionDef& def) noexcept;

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
