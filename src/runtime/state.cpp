#include "runtime/state.hpp"

#include "common/compat.hpp"
#include "common/ref.hpp"
#include "runtime/remembered.hpp"

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

PyObject* running_loop() noexcept {
    Ref asyncio = Ref::steal(module_global(S().asyncio));
    if (!asyncio) return nullptr;
    PyObject* argv[1] = {asyncio.get()};
    return PyObject_VectorcallMethod(S().get_running_loop, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* global_attr(GlobalAttr& which) noexcept {
    // Assigning a module's __class__ changes no dict, and a subclass's descriptor would
    // then win over the dict entry: the remembered answer holds only for a plain module.
    if (which.value != nullptr && which.stamp == epoch() && PyModule_CheckExact(which.owner)) {
        return Py_NewRef(which.value);
    }
    const Strings& s = S();
    PyObject* attr = s.*which.attr;
    if (g_state.dict != nullptr && !g_state.dict_watched) g_state.dict_watched = watch(g_state.dict);
    const uint64_t stamp = epoch();
    PyObject* found = nullptr;
    int in_namespace = g_state.dict != nullptr ? dict_get_ref(g_state.dict, s.*which.global, &found) : 0;
    if (in_namespace < 0) return nullptr;
    Ref owner = in_namespace ? Ref::steal(found) : Ref::steal(module_global(s.*which.global));
    if (!owner) return nullptr;
    // On a plain module the attribute is its dict's entry, when there is one: the module
    // type is immutable and defines no attribute of these names, so that is what getattr
    // would find, without its walk of the type.
    if (!PyModule_CheckExact(owner.get())) return PyObject_GetAttr(owner.get(), attr);
    PyObject* owner_dict = PyModule_GetDict(owner.get());
    const bool watched = in_namespace && g_state.dict_watched && (owner.get() == which.owner || watch(owner_dict));
    PyObject* value = nullptr;
    int present = dict_get_ref(owner_dict, attr, &value);
    if (present < 0) return nullptr;
    if (!present) return PyObject_GetAttr(owner.get(), attr);  // a module __getattr__, or its error
    if (watched && may_remember(stamp, {g_state.dict, owner_dict})) {
        PyObject* old_value = which.value;
        PyObject* old_owner = which.owner;
        which.value = Py_NewRef(value);
        which.owner = Py_NewRef(owner.get());
        which.stamp = stamp;
        Py_XDECREF(old_value);  // last: a finaliser run here moves the epoch past the stamp
        Py_XDECREF(old_owner);
    }
    return value;
}

}  // namespace vrel
