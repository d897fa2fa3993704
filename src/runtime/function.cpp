#include "runtime/function.hpp"

#include <cstddef>
#include <cstring>

#include "common/compat.hpp"
#include "common/ref.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "runtime/types.hpp"

namespace vrel {

PyObject* call_body(Impl impl, const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    Args a;
    const Prepared prepared = prepare_args(sig, args, nargs, kwnames, &a);
    PyObject* result = prepared == Prepared::ok ? impl(self, a) : nullptr;
    if (result == nullptr && prepared != Prepared::refused) add_traceback(sig.entry);
    return result;
}

namespace {

// Begins as detail::MethodHead, which the methods' entries read.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyTypeObject* owner;  // the class of a method; null for a module function
    const Signature* sig;  // parsed and checked by the call path
    Impl impl;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* text_signature;
};

static_assert(offsetof(Function, vectorcall) == offsetof(detail::MethodHead, vectorcall) &&
              offsetof(Function, owner) == offsetof(detail::MethodHead, owner) &&
              offsetof(Function, sig) == offsetof(detail::MethodHead, sig));

Function* as_function(PyObject* op) noexcept { return reinterpret_cast<Function*>(op); }

const char* short_type_name(PyTypeObject* type) noexcept {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

// The interpreter's own message for a method descriptor given an instance of another type.
PyObject* raise_wrong_self(Function* f, PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object", f->name,
                 f->owner->tp_name, Py_TYPE(obj)->tp_name);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    return call_body(f->impl, *f->sig, nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
}

void function_dealloc(PyObject* op) noexcept {
    Function* f = as_function(op);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->text_signature);
    Py_TYPE(op)->tp_free(op);
}

PyObject* function_repr(PyObject* op) noexcept {
    Function* f = as_function(op);
    if (f->owner == nullptr) return PyUnicode_FromFormat("<built-in function %U>", f->name);
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", f->name, f->owner->tp_name);
}

// Module functions do not bind, like built-in functions: fetched through a class or an
// instance they stay themselves.
PyObject* function_descr_get(PyObject* op, PyObject*, PyObject*) noexcept { return Py_NewRef(op); }

PyObject* method_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept {
    Function* f = as_function(op);
    if (obj == nullptr) return Py_NewRef(op);
    if (!PyObject_TypeCheck(obj, f->owner)) return raise_wrong_self(f, obj);
    return PyMethod_New(op, obj);
}

PyObject* get_module(PyObject*, void*) noexcept { return Py_NewRef(S().module_name); }
PyObject* get_name(PyObject* op, void*) noexcept { return Py_NewRef(as_function(op)->name); }
PyObject* get_qualname(PyObject* op, void*) noexcept { return Py_NewRef(as_function(op)->qualname); }
PyObject* get_doc(PyObject* op, void*) noexcept { return Py_NewRef(as_function(op)->doc); }
PyObject* get_text_signature(PyObject* op, void*) noexcept { return Py_NewRef(as_function(op)->text_signature); }
PyObject* get_objclass(PyObject* op, void*) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject*>(as_function(op)->owner));
}

// Pickled by reference, as the interpreter pickles its own functions and descriptors.
PyObject* function_reduce(PyObject* op, PyObject*) noexcept { return Py_NewRef(as_function(op)->qualname); }
PyObject* method_reduce(PyObject* op, PyObject*) noexcept {
    Ref getattr_fn = Ref::steal(PyObject_GetAttr(g_state.builtins, S().getattr));
    if (!getattr_fn) return nullptr;
    Function* f = as_function(op);
    return Py_BuildValue("O(OO)", getattr_fn.get(), reinterpret_cast<PyObject*>(f->owner), f->name);
}

// What both kinds of callable show; a method also names its class.
// clang-format off
#define VREL_CALLABLE_ATTRIBUTES                                               \
    {"__module__", get_module, nullptr, nullptr, nullptr},                     \
        {"__name__", get_name, nullptr, nullptr, nullptr},                     \
        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},             \
        {"__doc__", get_doc, nullptr, nullptr, nullptr},                       \
        {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr}
// clang-format on

PyGetSetDef function_getset[] = {
    VREL_CALLABLE_ATTRIBUTES,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef method_getset[] = {
    VREL_CALLABLE_ATTRIBUTES,
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VREL_CALLABLE_ATTRIBUTES

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_callable_type(const char* name, bool method) noexcept {
    PyTypeObject t = blank_type();
    t.tp_name = name;
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | (method ? Py_TPFLAGS_METHOD_DESCRIPTOR : 0);
    t.tp_methods = method ? method_methods : function_methods;
    t.tp_getset = method ? method_getset : function_getset;
    t.tp_descr_get = method ? method_descr_get : function_descr_get;
    return t;
}

PyTypeObject FunctionType = make_callable_type("vrel_dll.builtin_function", false);
PyTypeObject MethodType = make_callable_type("vrel_dll.method_descriptor", true);

// "(a, b)" or "($self, a, b)" from the parameter list.
PyObject* make_text_signature(const Signature& sig, bool method) noexcept {
    char buf[256];
    size_t len = 0;
    auto put = [&](const char* s) {
        size_t n = std::strlen(s);
        if (len + n < sizeof buf) {
            std::memcpy(buf + len, s, n);
            len += n;
        }
    };
    put(method ? "($self" : "(");
    for (int i = 0; i < sig.count; ++i) {
        if (i > 0 || method) put(", ");
        put(sig.params[i].name);
    }
    put(")");
    return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(len));
}

// Makes the code object of the traceback entry "vrel_dll.<qualname>", once, and checks
// that the body takes the parameters its Signature lists; 0, or -1 with an error.
int prepare_entry(const FunctionDef& def, PyObject* qualname) noexcept {
    if (def.arity != def.sig->count) {
        PyErr_Format(PyExc_SystemError, "%U: the body takes %d parameters, its signature lists %d", qualname, def.arity,
                     def.sig->count);
        return -1;
    }
    if (def.sig->entry != nullptr) return 0;
    Ref entry = Ref::steal(PyUnicode_FromFormat("vrel_dll.%U", qualname));
    if (!entry) return -1;
    const char* entry_name = PyUnicode_AsUTF8(entry.get());
    if (entry_name == nullptr) return -1;
    def.sig->entry = traceback_code(entry_name, def.file, def.line);
    return def.sig->entry != nullptr ? 0 : -1;
}

PyObject* new_callable(const FunctionDef& def, PyTypeObject* owner) noexcept {
    bool method = owner != nullptr;
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) return nullptr;
    Ref qualname = method ? Ref::steal(PyUnicode_FromFormat("%s.%U", short_type_name(owner), name.get()))
                          : Ref::borrow(name.get());
    if (!qualname) return nullptr;
    Ref doc = def.doc != nullptr ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    if (!doc) return nullptr;
    Ref text_signature = Ref::steal(make_text_signature(*def.sig, method));
    if (!text_signature) return nullptr;
    if (prepare_entry(def, qualname.get()) < 0) return nullptr;
    Function* f = PyObject_New(Function, method ? &MethodType : &FunctionType);
    if (f == nullptr) return nullptr;
    f->vectorcall = method ? def.method : function_vectorcall;
    f->impl = def.impl;
    f->owner = owner;
    f->sig = def.sig;
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->text_signature = text_signature.release();
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace

PyObject* detail::method_call_general(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method vrel_dll.%U() needs an argument", f->qualname);
        return nullptr;
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) return raise_wrong_self(f, self);
    return call_body(f->impl, *f->sig, self, args + 1, nargs - 1, kwnames);
}

int ready_function_types() noexcept {
    if (PyType_Ready(&FunctionType) < 0) return -1;
    return PyType_Ready(&MethodType);
}

PyObject* new_function(const FunctionDef& def) noexcept { return new_callable(def, nullptr); }

namespace builtin {

// The table entry's docstring, read by the interpreter for __text_signature__ and __doc__:
// "name(a, b)\n--\n\n" and the docstring, if any. Made once and kept for the process,
// as the entry itself is.
const char* internal_doc(const FunctionDef& def) noexcept {
    Ref signature = Ref::steal(make_text_signature(*def.sig, false));
    if (!signature) return nullptr;
    Ref text = Ref::steal(
        PyUnicode_FromFormat("%s%U\n--\n\n%s", def.name, signature.get(), def.doc != nullptr ? def.doc : ""));
    if (!text) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return nullptr;
    char* kept = static_cast<char*>(PyMem_RawMalloc(static_cast<size_t>(size) + 1));
    if (kept == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(kept, utf8, static_cast<size_t>(size) + 1);
    return kept;
}

int add(PyObject* module, PyMethodDef* ml, const FunctionDef& def) noexcept {
    // A module imported again after a failed execution finds both already made.
    if (ml->ml_doc == nullptr && (ml->ml_doc = internal_doc(def)) == nullptr) return -1;
    Ref name = Ref::steal(PyUnicode_FromString(def.name));
    if (!name || prepare_entry(def, name.get()) < 0) return -1;
    // Bound to the module, with its name as __module__, as the interpreter binds a
    // module's table of functions.
    Ref function = Ref::steal(PyCFunction_NewEx(ml, module, S().module_name));
    if (!function) return -1;
    return PyModule_AddObjectRef(module, def.name, function.get());
}

}  // namespace builtin

int install_method(PyTypeObject* owner, const FunctionDef& def) noexcept {
    Ref method = Ref::steal(new_callable(def, owner));
    if (!method) return -1;
    def.sig->owner = short_type_name(owner);
    return PyDict_SetItem(owner->tp_dict, as_function(method.get())->name, method.get());
}

int install_methods(PyTypeObject* owner, std::span<const FunctionDef* const> defs, const Signature* init) noexcept {
    for (const FunctionDef* def : defs) {
        if (install_method(owner, *def) < 0) return -1;
    }
    if (init != nullptr) init->owner = short_type_name(owner);
    PyType_Modified(owner);
    return 0;
}

}  // namespace vrel

namespace vrel {

namespace {

Signature kRefuseReduceSig{"__reduce__", {}};

PyObject* refuse_reduce(PyObject* self) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

}  // namespace

const FunctionDef kRefuseReduceDef{"__reduce__", &kRefuseReduceSig, body<refuse_reduce>};

}  // namespace vrel
