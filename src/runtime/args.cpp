#include "runtime/args.hpp"

#include <cstring>

#include "common/int32.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature*& signature_list() noexcept {
    static Signature* head = nullptr;
    return head;
}

int raise_count(const Signature& sig, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.func, "exactly",
                 static_cast<Py_ssize_t>(sig.count), sig.count == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter named `key`; -1 when none matches, -2 when `key` is not a str.
int find_param(const Signature& sig, PyObject* key) noexcept {
    for (int i = 0; i < sig.count; ++i) {
        if (sig.keys[i] == key) return i;
    }
    if (!PyUnicode_Check(key)) return -2;
    for (int i = 0; i < sig.count; ++i) {
        // Content comparison only: a str subclass's own __eq__ is not consulted.
        if (sig.keys[i] != nullptr && PyUnicode_Compare(sig.keys[i], key) == 0) return i;
    }
    return -1;
}

// Places one keyword argument; positional arguments are already in out[].
int place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) noexcept {
    int i = find_param(sig, key);
    if (i == -2) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func);
        return -1;
    }
    if (i == -1) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.func, key);
        return -1;
    }
    if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.func, key);
        return -1;
    }
    out[i] = value;
    return 0;
}

// The count reported for a missing parameter: how many leading parameters got a value.
int check_complete(const Signature& sig, PyObject** out) noexcept {
    for (int i = 0; i < sig.count; ++i) {
        if (out[i] == nullptr) return raise_count(sig, i);
    }
    return 0;
}

}  // namespace

Prepared refuse_type(const Signature& sig, int i, PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 sig.params[i].name, sig.params[i].type->tp_name, Py_TYPE(obj)->tp_name);
    note_argument(sig, i);
    return Prepared::refused;
}

Prepared conversion_failed(const Signature& sig, int i) noexcept {
    note_argument(sig, i);
    return Prepared::failed;
}

void note_argument(const Signature& sig, int i) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    const char* name = sig.params[i].name;
    // As the callable is written: XtPre(), Gatekeeper.process_status(), cy_format_xt().
    PyObject* note = sig.owner == nullptr ? PyUnicode_FromFormat("argument '%s' of %s()", name, sig.func)
                     : std::strcmp(sig.func, "__init__") == 0
                         ? PyUnicode_FromFormat("argument '%s' of %s()", name, sig.owner)
                         : PyUnicode_FromFormat("argument '%s' of %s.%s()", name, sig.owner, sig.func);
    if (note != nullptr) {
        // BaseException.add_note: the one way to add a note on every supported version.
        PyObject* added = PyObject_CallMethodOneArg(exc, S().add_note, note);
        Py_XDECREF(added);
        Py_DECREF(note);
    }
    PyErr_Clear();  // the error being reported goes on, noted or not
    PyErr_SetRaisedException(exc);
}

Signature::Signature(const char* func_, std::initializer_list<Param> params_) noexcept
    : func(func_), count(static_cast<int>(params_.size())), params{}, checked(false), converts(false) {
    int i = 0;
    for (const Param& p : params_) {
        params[i++] = p;
        checked = checked || p.type != nullptr || p.int32;
        converts = converts || p.int32;
    }
    next = signature_list();
    signature_list() = this;
}

int prepare_signatures() noexcept {
    for (Signature* s = signature_list(); s != nullptr; s = s->next) {
        for (int i = 0; i < s->count; ++i) {
            if (s->keys[i] != nullptr) continue;
            PyObject* key = PyUnicode_InternFromString(s->params[i].name);
            if (key == nullptr || PyObject_Hash(key) == -1) {
                Py_XDECREF(key);
                return -1;
            }
            s->keys[i] = key;
        }
    }
    return 0;
}

Prepared prepare_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Args* out) noexcept {
    if (nargs > sig.count) {
        raise_count(sig, nargs);
        return Prepared::failed;
    }
    PyObject** found = out->obj;
    for (int i = 0; i < sig.count; ++i) found[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], found) < 0) return Prepared::failed;
        }
    }
    if (check_complete(sig, found) < 0) return Prepared::failed;
    return sig.checked ? check_args(sig, out) : Prepared::ok;
}

Prepared prepare_tuple_args(const Signature& sig, PyObject* args, PyObject* kwds, OwnedArgs* owned,
                            Args* out) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) {
        raise_count(sig, nargs);
        return Prepared::failed;
    }
    PyObject** found = out->obj;
    for (int i = 0; i < sig.count; ++i) found[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwds != nullptr) {
        // Matching compares str contents only, so no Python code runs during the walk.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (place_keyword(sig, key, value, found) < 0) return Prepared::failed;
        }
    }
    if (check_complete(sig, found) < 0) return Prepared::failed;
    // Owned before any check runs code (an __int__) that could empty the keyword dict.
    for (int i = 0; i < sig.count; ++i) {
        if (!owned->push(Py_NewRef(found[i]))) return Prepared::failed;
    }
    return sig.checked ? check_args(sig, out) : Prepared::ok;
}

bool value_type_ok_slow(PyObject* obj, PyTypeObject* type) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

void raise_none_has_no(const char* method) noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", method);
}

}  // namespace vrel
