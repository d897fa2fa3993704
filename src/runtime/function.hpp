// The module's callable objects.
//
// The module's functions are the interpreter's own builtin functions (METH_FASTCALL |
// METH_KEYWORDS, __module__ "vrel_dll"): the interpreter specialises a call of those and
// reaches the C entry directly, where a call of any other callable type takes the generic
// call path (some 90 instructions more per call, by callgrind). Each function's C entry
// is a wrapper instantiated from its FunctionDef at compile time, with the body inlined.
//
// Method descriptors made from a tp_methods table have no __module__, and the module's
// methods must report "vrel_dll"; so methods are objects of a small type of the module's
// own. It implements vectorcall and carries Py_TPFLAGS_METHOD_DESCRIPTOR, so
// `obj.method(...)` reaches the C entry with `self` first and no bound-method object in
// between, and its common call (all arguments by position, `self` of the class itself)
// is one test away from the body: the entry is instantiated from the body at compile
// time (FunctionDef::method), as a function's is.
//
// Both call paths parse and check the arguments (args.hpp), so a body starts from its
// parameters' values, and add the traceback entry ("vrel_dll.Gatekeeper.process_status")
// whenever a body fails, so a body only raises and returns null.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <type_traits>
#include <utility>

#include "common/compat.hpp"
#include "runtime/args.hpp"
#include "runtime/traceback.hpp"

namespace vrel {

// C entry point: `self` is the instance for methods and null for module functions; the
// arguments come parsed and checked by the call path, as the Signature describes.
using Impl = PyObject* (*)(PyObject* self, const Args& args);

// ---- bodies
//
// A body is a plain function with named, typed parameters, called directly by its entry
// and by every internal caller:
//
//     PyObject* process_status(Gatekeeper* self, PyObject* command, int32_t status,
//                              int32_t error_code, PyObject* data) noexcept;
//
// Its first parameter receives the instance (null for a module function), as a pointer to
// the instance's struct; each further one receives the argument of the same position:
// the object itself for PyObject*, its converted value for int32_t (an int32_arg). A
// trailing PyObject** is an extra result only internal callers ask for: the entry passes
// null.

namespace detail {

template <typename T>
struct ArgOf;
template <>
struct ArgOf<PyObject*> {
    static PyObject* get(const Args& a, int i) noexcept { return a.obj[i]; }
};
template <>
struct ArgOf<int32_t> {
    static int32_t get(const Args& a, int i) noexcept { return a.i32[i]; }
};
template <>
struct ArgOf<PyObject**> {
    static PyObject** get(const Args&, int) noexcept { return nullptr; }
};

template <typename F>
struct BodyOf;
template <typename R, typename Self, typename... P>
struct BodyOf<R (*)(Self, P...) noexcept> {
    static constexpr int arity = static_cast<int>(sizeof...(P)) - (std::is_same_v<P, PyObject**> + ... + 0);
    static R call(R (*f)(Self, P...) noexcept, PyObject* self, const Args& a) noexcept {
        return call(f, self, a, std::index_sequence_for<P...>{});
    }
    template <size_t... I>
    static R call(R (*f)(Self, P...) noexcept, PyObject* self, const Args& a, std::index_sequence<I...>) noexcept {
        return f(reinterpret_cast<Self>(self), ArgOf<P>::get(a, static_cast<int>(I))...);
    }
};

}  // namespace detail

// Calls the body f with the parsed arguments a as its parameters.
template <typename F>
inline auto call_with(F f, PyObject* self, const Args& a) noexcept {
    return detail::BodyOf<F>::call(f, self, a);
}

// The entry point of the body F: `body<F>` in a FunctionDef.
template <auto F>
struct Body {
    static PyObject* impl(PyObject* self, const Args& a) noexcept { return call_with(F, self, a); }
    static constexpr int arity = detail::BodyOf<decltype(F)>::arity;
};
template <auto F>
inline constexpr Body<F> body{};

// The common call of the entry I: its Count arguments, all by position. Both known where
// the call path is compiled, so the copy unrolls and the body is inlined where the
// compiler sees fit.
template <Impl I, int Count>
inline PyObject* call_positional(const Signature& sig, PyObject* self, PyObject* const* args) noexcept {
    Args a;
    if constexpr (Count == 0) a = {};  // read by no body, but handed over initialised
    for (int i = 0; i < Count; ++i) a.obj[i] = args[i];
    if (sig.checked) {
        const Prepared prepared = check_args<Count>(sig, &a);
        if (VREL_UNLIKELY(prepared != Prepared::ok)) {
            if (prepared == Prepared::failed) add_traceback(sig.entry);
            return nullptr;
        }
    }
    PyObject* result = I(self, a);
    if (VREL_UNLIKELY(result == nullptr)) add_traceback(sig.entry);
    return result;
}

namespace detail {

// What a method's entry reads of its callable object (function.cpp makes them).
struct MethodHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyTypeObject* owner;  // the class of a method; null for a module function
    const Signature* sig;
};

// Every other call of a method: keywords, a count to report, `self` missing, of a
// subclass or of another type. Out of line.
PyObject* method_call_general(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace detail

// The vectorcall entry of the method whose body is F. Its common call, `obj.method(a, b)`,
// is answered by one test: no keywords, every parameter given by position, `self` of the
// class itself (which also proves `self` is there).
template <auto F>
PyObject* method_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const auto* f = reinterpret_cast<const detail::MethodHead*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (VREL_UNLIKELY(kwnames != nullptr || nargs != Body<F>::arity + 1 || !Py_IS_TYPE(args[0], f->owner))) {
        return detail::method_call_general(callable, args, nargs, kwnames);
    }
    return call_positional<Body<F>::impl, Body<F>::arity>(*f->sig, args[0], args + 1);
}

struct FunctionDef {
    const char* name;      // "process_status", "cy_format_xt"
    const Signature* sig;  // the parameters, also shown as __text_signature__
    Impl impl;
    vectorcallfunc method;  // the entry of a method made from it
    int arity;             // the body's parameters, checked against the Signature's when made
    const char* doc;       // UTF-8, or null for no docstring
    const char* file;      // where the definition stands: the file and line of its
    int line;              // traceback entries

    template <auto F>
    constexpr FunctionDef(const char* name_, const Signature* sig_, Body<F>, const char* doc_ = nullptr,
                          std::source_location where = std::source_location::current()) noexcept
        : name(name_), sig(sig_), impl(Body<F>::impl), method(method_entry<F>), arity(Body<F>::arity), doc(doc_),
          file(where.file_name()), line(static_cast<int>(where.line())) {}
};

// For an internal caller standing in for a call of def's callable: adds the traceback
// entry that call adds to the error being raised.
inline void add_traceback(const FunctionDef& def) noexcept { add_traceback(def.sig->entry); }

// The tp_init slot whose body is F (returning 0, or -1 with an error; or nothing): the
// arguments parsed from the tuple and dict as Sig says, then the body. Every error but an
// argument-type error leaves with the traceback entry of Site.
template <auto F, const Signature& Sig, TracebackSite& Site>
int slot_init(PyObject* op, PyObject* args, PyObject* kwds) noexcept {
    OwnedArgs owned;
    Args a;
    const Prepared prepared = prepare_tuple_args(Sig, args, kwds, &owned, &a);
    if (prepared != Prepared::ok) return prepared == Prepared::refused ? -1 : fail(Site);
    if constexpr (std::is_void_v<decltype(call_with(F, op, a))>) {
        call_with(F, op, a);
        return 0;
    } else {
        return call_with(F, op, a) < 0 ? fail(Site) : 0;
    }
}

// Readies the module's two callable types; 0, or -1 with an error.
int ready_function_types() noexcept;

// A function for internal use, such as a callback handed to other code, of the module's
// own function type (new reference). The module's public functions are builtin
// functions: add_function below.
PyObject* new_function(const FunctionDef& def) noexcept;

// Runs a body on arguments in any form: parsed and checked, then the body; a failure
// leaves with the callable's traceback entry, unless it is an argument-type error. Out of
// line: the common call below is what the call paths inline.
PyObject* call_body(Impl impl, const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

namespace builtin {

// What a builtin function made from Def keeps for the process: its method table entry,
// which the interpreter reads on every call.
template <const FunctionDef& Def>
inline PyMethodDef method_def = {Def.name, nullptr, METH_FASTCALL | METH_KEYWORDS, nullptr};

// The C entry of the builtin function made from Def, which must be constexpr: its body is
// called directly, and inlined where the compiler sees fit.
template <const FunctionDef& Def>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (VREL_UNLIKELY(kwnames != nullptr || nargs != Def.arity)) {
        return call_body(Def.impl, *Def.sig, nullptr, args, nargs, kwnames);
    }
    return call_positional<Def.impl, Def.arity>(*Def.sig, nullptr, args);
}

// Makes the function of `def` from its table entry and binds it in `module`; 0, or -1 with
// an error.
int add(PyObject* module, PyMethodDef* ml, const FunctionDef& def) noexcept;

}  // namespace builtin

// Adds the builtin function made from Def (a constexpr FunctionDef) to `module` under
// Def.name; 0, or -1 with an error.
template <const FunctionDef& Def>
int add_function(PyObject* module) noexcept {
    PyMethodDef* ml = &builtin::method_def<Def>;
    ml->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&builtin::entry<Def>));
    return builtin::add(module, ml, Def);
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
