#include "record/xtpre.hpp"

#include <cstddef>

#include "common/compat.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "runtime/types.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/record/xtpre.cpp";

Signature kInitSig{"__init__",
                   {typed("command", &PyUnicode_Type), int32_arg("status"), int32_arg("error_code"), arg("data"),
                    int32_arg("destination")}};
Signature kReduceSig{"__reduce__", {}};
Signature kSetStateSig{"__setstate__", {arg("state")}};

TracebackSite kInitSite{"vrel_dll.XtPre.__init__", kFile, __LINE__};
TracebackSite kCommandSetSite{"vrel_dll.XtPre.command.__set__", kFile, __LINE__};
TracebackSite kStatusSetSite{"vrel_dll.XtPre.status.__set__", kFile, __LINE__};
TracebackSite kErrorCodeSetSite{"vrel_dll.XtPre.error_code.__set__", kFile, __LINE__};
TracebackSite kDestinationSetSite{"vrel_dll.XtPre.destination.__set__", kFile, __LINE__};

XtPre* as_xtpre(PyObject* op) noexcept { return reinterpret_cast<XtPre*>(op); }

// Assigns the constructor's checked arguments; the old objects are dropped only once the
// record is whole.
void assign_fields(XtPre* self, PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                   int32_t destination) noexcept {
    PyObject* old_command = self->command;
    PyObject* old_data = self->data;
    self->command = Py_NewRef(command);
    self->data = Py_NewRef(data);
    self->status = status;
    self->error_code = error_code;
    self->destination = destination;
    Py_XDECREF(old_command);
    Py_XDECREF(old_data);
}

PyObject* xtpre_tp_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    XtPre* self = as_xtpre(op);
    self->command = Py_NewRef(Py_None);
    self->data = Py_NewRef(Py_None);
    return op;
}

// Calls a type the slow way (tuple and dict), for the case where the type's vectorcall
// is reached with a subclass.
PyObject* call_type_with_tuple(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0) return nullptr;
        }
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

// XtPre(...) without an argument tuple: the checks of __init__, then one allocation.
PyObject* xtpre_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type != reinterpret_cast<PyObject*>(&XtPreType)) return call_type_with_tuple(type, args, nargs, kwnames);
    Args a;
    const Prepared prepared = prepare_args(kInitSig, args, nargs, kwnames, &a);
    if (prepared != Prepared::ok) {
        if (prepared == Prepared::failed) add_traceback(kInitSite);
        return nullptr;
    }
    return new_xtpre(a[0], a.i32[1], a.i32[2], a[3], a.i32[4]);
}

int xtpre_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_xtpre(op)->data);
    return 0;
}

// Breaking a cycle replaces data with None and leaves the other fields alone.
int xtpre_clear(PyObject* op) noexcept {
    XtPre* self = as_xtpre(op);
    if (self->data != Py_None) set_field(&self->data, Py_None);
    return 0;
}

// Records come and go at the rate packets arrive: a few freed ones of the exact type are
// kept for reuse, which spares the allocator and the collector's bookkeeping on each
// packet, as the interpreter's own free lists do (g_state.free_records). Subclass
// instances are freed normally.

void xtpre_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    Py_TRASHCAN_BEGIN(op, xtpre_dealloc)
    XtPre* self = as_xtpre(op);
    Py_CLEAR(self->command);
    Py_CLEAR(self->data);
    if (Py_IS_TYPE(op, &XtPreType) && g_state.free_record_count < kFreeRecords) {
        g_state.free_records[g_state.free_record_count++] = op;
    } else {
        Py_TYPE(op)->tp_free(op);
    }
    Py_TRASHCAN_END
}

// ---- attributes

PyObject* get_command(PyObject* op, void*) noexcept { return Py_NewRef(as_xtpre(op)->command); }
PyObject* get_data(PyObject* op, void*) noexcept { return Py_NewRef(as_xtpre(op)->data); }
PyObject* get_status(PyObject* op, void*) noexcept { return PyLong_FromLong(as_xtpre(op)->status); }
PyObject* get_error_code(PyObject* op, void*) noexcept { return PyLong_FromLong(as_xtpre(op)->error_code); }
PyObject* get_destination(PyObject* op, void*) noexcept { return PyLong_FromLong(as_xtpre(op)->destination); }

int set_command(PyObject* op, PyObject* value, void*) noexcept {
    if (value == nullptr) value = Py_None;
    if (!value_type_ok(value, &PyUnicode_Type)) return fail(kCommandSetSite);
    set_field(&as_xtpre(op)->command, value);
    return 0;
}

int set_data(PyObject* op, PyObject* value, void*) noexcept {
    set_field(&as_xtpre(op)->data, value != nullptr ? value : Py_None);
    return 0;
}

int set_int_field(int32_t* field, PyObject* value, TracebackSite& site) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t converted;
    if (to_int32(value, &converted) < 0) return fail(site);
    *field = converted;
    return 0;
}

int set_status(PyObject* op, PyObject* value, void*) noexcept {
    return set_int_field(&as_xtpre(op)->status, value, kStatusSetSite);
}
int set_error_code(PyObject* op, PyObject* value, void*) noexcept {
    return set_int_field(&as_xtpre(op)->error_code, value, kErrorCodeSetSite);
}
int set_destination(PyObject* op, PyObject* value, void*) noexcept {
    return set_int_field(&as_xtpre(op)->destination, value, kDestinationSetSite);
}

// ---- pickling: XtPre.__new__(cls) rebuilds, __setstate__ refills all five fields

PyObject* xtpre_reduce(PyObject* self) noexcept {
    XtPre* r = as_xtpre(self);
    PyObject* found;
    if (get_optional_attr(self, S().dunder_dict, &found) < 0) return nullptr;
    Ref instance_dict = Ref::steal(found);
    bool with_dict = instance_dict && PyDict_Check(instance_dict.get()) && PyDict_GET_SIZE(instance_dict.get()) > 0;
    Ref state =
        with_dict ? Ref::steal(Py_BuildValue("(OiiOiO)", r->command, r->status, r->error_code, r->data, r->destination,
                                             instance_dict.get()))
                  : Ref::steal(Py_BuildValue("(OiiOi)", r->command, r->status, r->error_code, r->data, r->destination));
    if (!state) return nullptr;
    Ref rebuild = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&XtPreType), "__new__"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("(O(O)O)", rebuild.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

PyObject* xtpre_setstate(PyObject* self, PyObject* state) noexcept {
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(state);
    if (n != 5 && n != 6) {
        PyErr_Format(PyExc_ValueError, "XtPre state must hold 5 or 6 items, not %zd", n);
        return nullptr;
    }
    // The constructor's checks on the first five items; any error of a bad state, a type
    // error too, keeps this method's entry: the state is no argument of this call.
    Args fields;
    if (prepare_args(kInitSig, PySequence_Fast_ITEMS(state), 5, nullptr, &fields) != Prepared::ok) return nullptr;
    if (n == 6) {
        Ref instance_dict = Ref::steal(PyObject_GetAttr(self, S().dunder_dict));
        if (!instance_dict) return nullptr;
        // A subclass may make __dict__ anything; only a dict can be updated in place.
        if (!PyDict_Check(instance_dict.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(instance_dict.get())->tp_name);
            return nullptr;
        }
        if (PyDict_Update(instance_dict.get(), PyTuple_GET_ITEM(state, 5)) < 0) return nullptr;
    }
    call_with(assign_fields, self, fields);
    Py_RETURN_NONE;
}

const FunctionDef kReduceDef{"__reduce__", &kReduceSig, body<xtpre_reduce>};
const FunctionDef kSetStateDef{"__setstate__", &kSetStateSig, body<xtpre_setstate>};

// The methods in the order they are installed.
constexpr const FunctionDef* kXtPreMethods[] = {&kReduceDef, &kSetStateDef};

PyGetSetDef xtpre_getset[] = {
    {"command", get_command, set_command, nullptr, nullptr},
    {"status", get_status, set_status, nullptr, nullptr},
    {"error_code", get_error_code, set_error_code, nullptr, nullptr},
    {"data", get_data, set_data, nullptr, nullptr},
    {"destination", get_destination, set_destination, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_xtpre_type() noexcept {
    PyTypeObject t = gc_type({"vrel_dll.XtPre", sizeof(XtPre), xtpre_dealloc, xtpre_traverse, xtpre_clear, xtpre_getset,
                              slot_init<assign_fields, kInitSig, kInitSite>, xtpre_tp_new});
    t.tp_vectorcall = xtpre_vectorcall;  // XtPre(...) without an argument tuple
    return t;
}

}  // namespace

PyTypeObject XtPreType = make_xtpre_type();

PyObject* new_xtpre(PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                    int32_t destination) noexcept {
    XtPre* self;
    if (g_state.free_record_count > 0) {
        self = reinterpret_cast<XtPre*>(g_state.free_records[--g_state.free_record_count]);
        PyObject_Init(reinterpret_cast<PyObject*>(self), &XtPreType);
    } else {
        self = PyObject_GC_New(XtPre, &XtPreType);
        if (self == nullptr) return nullptr;
    }
    self->command = Py_NewRef(command);
    self->data = Py_NewRef(data);
    self->status = status;
    self->error_code = error_code;
    self->destination = destination;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

int install_xtpre_methods() noexcept { return install_methods(&XtPreType, kXtPreMethods, &kInitSig); }

}  // namespace vrel
