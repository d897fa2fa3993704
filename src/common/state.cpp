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

namespace {

int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_state.namespace_epoch;
    return 0;
}

// The attribute of a plain module found in its dict, or null: 0, or -1 with an error.
int module_dict_attr(PyObject* owner, PyObject* attr, PyObject** value, PyObject** owner_dict) noexcept {
    *value = nullptr;
    *owner_dict = nullptr;
    if (!PyModule_CheckExact(owner)) return 0;
    *owner_dict = PyModule_GetDict(owner);
    return dict_get_ref(*owner_dict, attr, value) < 0 ? -1 : 0;
}

}  // namespace

void watch_namespaces() noexcept {
    if (g_state.dict_watcher >= 0) return;
    g_state.dict_watcher = PyDict_AddWatcher(namespace_changed);
    if (g_state.dict_watcher < 0) PyErr_Clear();  // all watcher slots taken: look up in full
}

PyObject* global_name(GlobalName& slot) noexcept {
    if (slot.value != nullptr && slot.epoch == g_state.namespace_epoch) return Py_NewRef(slot.value);
    PyObject* name = S().*slot.name;
    if (g_state.dict == nullptr) return module_global(name);
    bool watched = g_state.dict_watcher >= 0 && PyDict_Watch(g_state.dict_watcher, g_state.dict) == 0;
    if (!watched) PyErr_Clear();
    // Taken before the look-up, which may run code (a key's __eq__) that changes the namespace.
    const uint64_t before = g_state.namespace_epoch;
    PyObject* found = nullptr;
    int in_namespace = dict_get_ref(g_state.dict, name, &found);
    if (in_namespace < 0) return nullptr;
    if (!in_namespace) return module_global(name);
    if (watched) {
        slot.value = found;
        slot.epoch = before;
    }
    return found;
}

PyObject* global_attr(GlobalAttr& slot) noexcept {
    // Assigning a module's __class__ changes no dict, and a subclass's descriptor would
    // then win over the dict entry: the remembered answer holds only for a plain module.
    if (slot.value != nullptr && slot.epoch == g_state.namespace_epoch && PyModule_CheckExact(slot.owner)) {
        return Py_NewRef(slot.value);
    }
    const Strings& s = S();
    PyObject* found = nullptr;
    int in_namespace = g_state.dict != nullptr ? dict_get_ref(g_state.dict, s.*slot.global, &found) : 0;
    if (in_namespace < 0) return nullptr;
    Ref owner = in_namespace ? Ref::steal(found) : Ref::steal(module_global(s.*slot.global));
    if (!owner) return nullptr;
    PyObject* owner_dict;
    if (module_dict_attr(owner.get(), s.*slot.attr, &found, &owner_dict) < 0) return nullptr;
    if (found == nullptr) return PyObject_GetAttr(owner.get(), s.*slot.attr);
    if (in_namespace && g_state.dict_watcher >= 0) {
        if (PyDict_Watch(g_state.dict_watcher, g_state.dict) == 0 &&
            PyDict_Watch(g_state.dict_watcher, owner_dict) == 0) {
            Py_XSETREF(slot.value, Py_NewRef(found));
            Py_XSETREF(slot.owner, Py_NewRef(owner.get()));
            slot.epoch = g_state.namespace_epoch;
        } else {
            PyErr_Clear();
        }
    }
    return found;
}

}  // namespace vrel
