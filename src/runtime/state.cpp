#include "runtime/state.hpp"

#include <iterator>
#include <utility>

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

namespace {

// The global `name` as module_global finds it (new reference), and whether the module's
// own namespace held it; null with an error.
PyObject* find_global(PyObject* name, bool* in_namespace) noexcept {
    PyObject* found = nullptr;
    const int present = g_state.dict != nullptr ? dict_get_ref(g_state.dict, name, &found) : 0;
    if (present < 0) return nullptr;
    *in_namespace = present != 0;
    return present ? found : module_global(name);
}

// module.attr for a plain module: its dict's entry, when there is one (the module type
// is immutable and defines no attribute of these names, so that is what getattr would
// find, without its walk of the type), remembered when both dicts are watched.
PyObject* module_attr(Memo<ModuleAttr>* memo, uint64_t stamp, PyObject* module, bool watched, PyObject* attr) noexcept {
    PyObject* module_dict = PyModule_GetDict(module);
    watched = watched && (module == memo->value.module || watch(module_dict));
    PyObject* value = nullptr;
    const int present = dict_get_ref(module_dict, attr, &value);
    if (present < 0) return nullptr;
    if (!present) return PyObject_GetAttr(module, attr);  // a module __getattr__, or its error
    if (watched) {
        remember(*memo, stamp, kProcessOwner, ModuleAttr{Py_NewRef(value), Py_NewRef(module)},
                 {g_state.dict, module_dict});
    }
    return value;
}

}  // namespace

PyObject* global_attr(Memo<ModuleAttr>* memo, PyObject* global, PyObject* attr) noexcept {
    // Assigning a module's __class__ changes no dict, and a subclass's descriptor would
    // then win over the dict entry: the remembered answer holds only for a plain module.
    const ModuleAttr* known = recall(*memo, kProcessOwner);
    if (known != nullptr && PyModule_CheckExact(known->module)) return Py_NewRef(known->value);
    if (g_state.dict != nullptr && !g_state.dict_watched) g_state.dict_watched = watch(g_state.dict);
    const uint64_t stamp = epoch();
    bool in_namespace = false;
    Ref owner = Ref::steal(find_global(global, &in_namespace));
    if (!owner) return nullptr;
    if (!PyModule_CheckExact(owner.get())) return PyObject_GetAttr(owner.get(), attr);
    return module_attr(memo, stamp, owner.get(), in_namespace && g_state.dict_watched, attr);
}

namespace {

void release_all(PyObject** objects, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) Py_CLEAR(objects[i]);
}

}  // namespace

int traverse_state(visitproc visit, void* arg) noexcept {
    State& st = g_state;
    Py_VISIT(st.dict);
    Py_VISIT(st.builtins);
    for (const Memo<ModuleAttr>* memo : {&st.loads, &st.dumps}) {
        Py_VISIT(memo->value.value);
        Py_VISIT(memo->value.module);
    }
    Py_VISIT(st.handler_tasks);
    Py_VISIT(st.task_done);
    Py_VISIT(st.spare_deque);
    return 0;
}

void release_state() noexcept {
    State& st = g_state;
    // Remembering stops first: nothing remembered is read while the rest goes.
    stop_remembering();
    for (KeyedMask& entry : st.command_masks) {
        forget(entry.mask);
        Py_CLEAR(entry.key);
    }
    for (KeyedMask& entry : st.field_masks) {
        forget(entry.mask);
        Py_CLEAR(entry.key);
    }
    forget(st.loads);
    forget(st.dumps);
    for (CommandKey& entry : st.command_keys) {
        Py_CLEAR(entry.command);
        Py_CLEAR(entry.key);
    }
    KnownMethods known = std::exchange(st.known, KnownMethods{});
    PyObject* known_objects[] = {
        known.lower,  reinterpret_cast<PyObject*>(known.deque),  known.maxlen, known.append,     known.popleft,
        known.remove, reinterpret_cast<PyObject*>(known.future), known.done,   known.set_result, known.cancel};
    release_all(known_objects, std::size(known_objects));
    if (st.spare_deque != nullptr) {
        if (st.spare_deque_tracked) PyObject_GC_Track(st.spare_deque);
        Py_CLEAR(st.spare_deque);
    }
    while (st.free_record_count > 0) PyObject_GC_Del(st.free_records[--st.free_record_count]);
    // The tasks still running are let go, as a loop lets go of its own.
    Py_CLEAR(st.handler_tasks);
    Py_CLEAR(st.task_done);
    Py_CLEAR(st.dict);
    Py_CLEAR(st.builtins);
    st.module = nullptr;
}

}  // namespace vrel
