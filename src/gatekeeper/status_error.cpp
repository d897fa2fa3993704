// StatusError, the exception a refused request's future gets from feed_and_dispatch.
//
// An Exception with five read-only fields. `args` holds the five values, so the inherited
// repr shows them; str() is the refusal's warning line, built from the fields; pickling
// rebuilds from the fields (and the instance dict, which holds any notes).
#include "gatekeeper/status_error.hpp"

#include <cstddef>

#include "common/ref.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "runtime/types.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/gatekeeper/status_error.cpp";

Signature kInitSig{"__init__",
                   {typed("command", &PyUnicode_Type), int32_arg("status"), int32_arg("error_code"),
                    typed("description", &PyUnicode_Type), arg("data")}};
Signature kReduceSig{"__reduce__", {}};

TracebackSite kInitSite{"vrel_dll.StatusError.__init__", kFile, __LINE__};

StatusError* as_status_error(PyObject* op) noexcept { return reinterpret_cast<StatusError*>(op); }
PyTypeObject* base_type() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

// Sets the fields and `args` from checked arguments; the old objects are dropped only
// once the exception is whole. 0, or -1 with an error (nothing changed).
int assign(StatusError* self, PyObject* command, int32_t status, int32_t error_code, PyObject* description,
           PyObject* data) noexcept {
    Ref args = Ref::steal(Py_BuildValue("(OiiOO)", command, status, error_code, description, data));
    if (!args) return -1;
    PyObject* old[] = {self->command, self->description, self->data, self->base.args};
    self->command = Py_NewRef(command);
    self->description = Py_NewRef(description);
    self->data = Py_NewRef(data);
    self->base.args = args.release();
    self->status = status;
    self->error_code = error_code;
    for (PyObject* o : old) Py_XDECREF(o);
    return 0;
}

PyObject* status_error_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    PyObject* op = base_type()->tp_new(type, args, kwds);
    if (op == nullptr) return nullptr;
    StatusError* self = as_status_error(op);
    self->command = Py_NewRef(Py_None);
    self->description = Py_NewRef(Py_None);
    self->data = Py_NewRef(Py_None);
    return op;
}

int status_error_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    StatusError* self = as_status_error(op);
    Py_VISIT(self->command);
    Py_VISIT(self->description);
    Py_VISIT(self->data);
    return base_type()->tp_traverse(op, visit, arg);
}

int status_error_clear(PyObject* op) noexcept {
    StatusError* self = as_status_error(op);
    Py_CLEAR(self->command);
    Py_CLEAR(self->description);
    Py_CLEAR(self->data);
    return base_type()->tp_clear(op);
}

void status_error_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    // Exceptions chain through __context__ and __cause__: a long chain would otherwise
    // recurse once per link.
    Py_TRASHCAN_BEGIN(op, status_error_dealloc)
    StatusError* self = as_status_error(op);
    Py_CLEAR(self->command);
    Py_CLEAR(self->description);
    Py_CLEAR(self->data);
    base_type()->tp_dealloc(op);  // the exception's own fields, then the memory
    Py_TRASHCAN_END
}

// The fields are null only while tp_clear breaks a cycle: then they read as None.
PyObject* or_none(PyObject* field) noexcept { return field != nullptr ? field : Py_None; }

PyObject* status_error_str(PyObject* op) noexcept {
    StatusError* self = as_status_error(op);
    return warning_text(or_none(self->command), self->status, self->error_code, or_none(self->description));
}

// (type, (command, status, error_code, description, data)[, instance dict]), as the
// interpreter pickles exceptions, but from the fields, whatever `args` was set to.
PyObject* status_error_reduce(PyObject* op) noexcept {
    StatusError* self = as_status_error(op);
    PyObject* dict = self->base.dict;
    const bool with_dict = dict != nullptr && PyDict_Check(dict) && PyDict_GET_SIZE(dict) > 0;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(op));
    PyObject* command = or_none(self->command);
    PyObject* description = or_none(self->description);
    PyObject* data = or_none(self->data);
    const int status = self->status, error_code = self->error_code;
    return with_dict ? Py_BuildValue("(O(OiiOO)O)", type, command, status, error_code, description, data, dict)
                     : Py_BuildValue("(O(OiiOO))", type, command, status, error_code, description, data);
}

const FunctionDef kReduceDef{"__reduce__", &kReduceSig, body<status_error_reduce>};
constexpr const FunctionDef* kStatusErrorMethods[] = {&kReduceDef};

PyMemberDef status_error_members[] = {
    {"command", Py_T_OBJECT_EX, offsetof(StatusError, command), Py_READONLY, nullptr},
    {"status", Py_T_INT, offsetof(StatusError, status), Py_READONLY, nullptr},
    {"error_code", Py_T_INT, offsetof(StatusError, error_code), Py_READONLY, nullptr},
    {"description", Py_T_OBJECT_EX, offsetof(StatusError, description), Py_READONLY, nullptr},
    {"data", Py_T_OBJECT_EX, offsetof(StatusError, data), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_status_error_type() noexcept {
    PyTypeObject t = blank_type();
    t.tp_name = "vrel_dll.StatusError";
    t.tp_basicsize = sizeof(StatusError);
    t.tp_dealloc = status_error_dealloc;
    t.tp_str = status_error_str;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = status_error_traverse;
    t.tp_clear = status_error_clear;
    t.tp_members = status_error_members;
    t.tp_init = slot_init<assign, kInitSig, kInitSite>;
    t.tp_new = status_error_new;
    return t;
}

}  // namespace

PyTypeObject StatusErrorType = make_status_error_type();

int ready_status_error_type() noexcept {
    StatusErrorType.tp_base = base_type();
    return PyType_Ready(&StatusErrorType);
}

int install_status_error_methods() noexcept {
    return install_methods(&StatusErrorType, kStatusErrorMethods, &kInitSig);
}

PyObject* new_status_error(PyObject* command, int32_t status, int32_t error_code, PyObject* description,
                           PyObject* data) noexcept {
    Ref made = Ref::steal(status_error_new(&StatusErrorType, S().empty_tuple, nullptr));
    if (!made) return nullptr;
    if (assign(as_status_error(made.get()), command, status, error_code, description, data) < 0) return nullptr;
    return made.release();
}

}  // namespace vrel
