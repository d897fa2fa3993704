#include "common/state.hpp"

#include "common/compat.hpp"
#include "common/ref.hpp"

namespace vrel {

State g_state;

namespace {

int make_constant(PyObject** slot, const char* text, bool intern) noexcept {
    PyObject* s = intern ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
    if (s == nullptr) return -1;
    // Hash now, so that dictionary look-ups and keyword matching never hash again.
    if (PyObject_Hash(s) == -1) {
        Py_DECREF(s);
        return -1;
    }
    *slot = s;
    return 0;
}

}  // namespace

int create_strings() noexcept {
    if (g_state.strings_ready) return 0;
    Strings& s = g_state.s;
#define VREL_MAKE(name, text) \
    if (s.name == nullptr && make_constant(&s.name, text, true) < 0) return -1;
    VREL_IDENTIFIERS(VREL_MAKE)
#undef VREL_MAKE
#define VREL_MAKE(name, text) \
    if (s.name == nullptr && make_constant(&s.name, text, false) < 0) return -1;
    VREL_LITERALS(VREL_MAKE)
#undef VREL_MAKE
    if (s.empty_tuple == nullptr && (s.empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (s.empty_bytes == nullptr && (s.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) == nullptr) return -1;
    if (s.empty_str == nullptr && (s.empty_str = PyUnicode_New(0, 0)) == nullptr) return -1;
    g_state.strings_ready = true;
    return 0;
}

PyObject* module_global(PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (g_state.dict != nullptr) {
        int found = dict_get_ref(g_state.dict, name, &value);
        if (found != 0) return value;  // found, or an error from hashing/comparing
    }
    if (g_state.builtins != nullptr) {
        int found = get_optional_attr(g_state.builtins, name, &value);
        if (found != 0) return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* global_attr(const GlobalAttr& which) noexcept {
    PyObject* attr = S().*which.attr;
    Ref owner = Ref::steal(module_global(S().*which.global));
    if (!owner) return nullptr;
    // On a plain module the attribute is its dict's entry, when there is one: the module
    // type is immutable and defines no attribute of these names, so that is what getattr
    // would find, without its walk of the type.
    if (PyModule_CheckExact(owner.get())) {
        PyObject* found = nullptr;
        int present = dict_get_ref(PyModule_GetDict(owner.get()), attr, &found);
        if (present != 0) return found;  // found, or an error from comparing keys
    }
    return PyObject_GetAttr(owner.get(), attr);
}

}  // namespace vrel
