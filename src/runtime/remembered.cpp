#include "runtime/remembered.hpp"

#include <utility>

#include "common/ref.hpp"

namespace vrel {

namespace {

Remembering& R() noexcept { return g_state.remembering; }

bool plain_key(PyObject* key) noexcept { return PyUnicode_CheckExact(key) || PyBytes_CheckExact(key); }

void release(Announced& a) noexcept {
    Py_XDECREF(a.key);
    for (Py_ssize_t i = 0; i < a.count; ++i) Py_DECREF(a.keys[i]);
    PyMem_Free(a.keys);
    PyMem_Free(a.values);
    a = Announced{};
}

// A look-up that runs no code: every key of the dict is an exact str or bytes (rule 3),
// whose comparisons run none either (bytes and str compare unequal; only the -b option,
// under which nothing is remembered, makes that warn).
const void* value_of(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    PyErr_Clear();  // none can be raised here
    return value;
}

bool landed(const Announced& a) noexcept {
    switch (a.event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
            return value_of(a.dict, a.key) == a.value;
        case PyDict_EVENT_DELETED:
            return value_of(a.dict, a.key) == nullptr;
        case PyDict_EVENT_CLEARED:
            return PyDict_GET_SIZE(a.dict) == 0;
        case PyDict_EVENT_CLONED:
            if (PyDict_GET_SIZE(a.dict) != a.count) return false;
            for (Py_ssize_t i = 0; i < a.count; ++i) {
                if (value_of(a.dict, a.keys[i]) != a.values[i]) return false;
            }
            return true;
        default:
            return false;
    }
}

// Drops what is kept of every change that has landed, or of every change to `gone`.
void settle(PyObject* gone = nullptr) noexcept {
    int kept = 0;
    for (int i = 0; i < R().announced_count; ++i) {
        Announced& a = R().announced[i];
        if (gone != nullptr ? a.dict == gone : landed(a)) {
            release(a);
        } else {
            std::swap(R().announced[kept++], a);
        }
    }
    R().announced_count = kept;
}

void turn_off() noexcept {
    R().on = false;
    for (int i = 0; i < R().announced_count; ++i) release(R().announced[i]);
    R().announced_count = 0;
    R().tainted_count = 0;
}

bool is_tainted(PyObject* dict) noexcept {
    for (int i = 0; i < R().tainted_count; ++i) {
        if (R().tainted[i] == dict) return true;
    }
    return false;
}

// Rule 3 for one dict: nothing more is remembered from it, and nothing written down of it is
// checked again (a look-up in it may run code now).
void taint(PyObject* dict) noexcept {
    settle(dict);
    if (is_tainted(dict)) return;
    if (R().tainted_count == kTainted) {
        turn_off();
        return;
    }
    R().tainted[R().tainted_count++] = dict;
}

void untaint(PyObject* dict) noexcept {
    for (int i = 0; i < R().tainted_count; ++i) {
        if (R().tainted[i] == dict) {
            R().tainted[i] = R().tainted[--R().tainted_count];
            return;
        }
    }
}

// What a CLONED change will leave: the source's entries. False when it cannot be kept.
bool copy_entries(PyObject* source, Announced& a) noexcept {
    if (!PyDict_Check(source)) return false;
    const Py_ssize_t n = PyDict_GET_SIZE(source);
    if (n > kClonedEntries) return false;
    a.keys = PyMem_New(PyObject*, static_cast<size_t>(n > 0 ? n : 1));
    a.values = PyMem_New(const void*, static_cast<size_t>(n > 0 ? n : 1));
    if (a.keys == nullptr || a.values == nullptr) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (a.count < n && PyDict_Next(source, &pos, &key, &value)) {
        if (!plain_key(key)) return false;
        a.keys[a.count] = Py_NewRef(key);
        a.values[a.count++] = value;
    }
    return a.count == n;
}

// Keeps what is needed to see the change land; false when it cannot be (the dict is then
// tainted). What was taken is released with the entry either way.
bool announce(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept {
    Announced& a = R().announced[R().announced_count++];
    a.dict = dict;
    a.event = event;
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (!plain_key(key)) return false;
            a.key = Py_NewRef(key);
            a.value = new_value;
            return true;
        case PyDict_EVENT_CLEARED:
            return true;
        case PyDict_EVENT_CLONED:
            return copy_entries(key, a);  // the source dict comes as the key
        default:
            return false;
    }
}

int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept {
    ++R().epoch;
    if (!R().on) return 0;
    if (event == PyDict_EVENT_DEALLOCATED) {
        settle(dict);
        untaint(dict);
        return 0;
    }
    if (is_tainted(dict)) return 0;  // nothing is remembered from it: nothing to write down
    // The change may come from code that has an exception set: it stays as it was.
    PyObject* raised = PyErr_GetRaisedException();
    settle();
    PyErr_SetRaisedException(raised);
    if (R().announced_count == kAnnounced) {
        turn_off();
    } else if (!announce(event, dict, key, new_value)) {
        release(R().announced[--R().announced_count]);
        taint(dict);
    }
    return 0;
}

bool bytes_warnings() noexcept {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    Ref value = Ref::steal(flags != nullptr ? PyObject_GetAttrString(flags, "bytes_warning") : nullptr);
    const bool on = !value || PyObject_IsTrue(value.get()) != 0;
    PyErr_Clear();
    return on;
}

}  // namespace

bool watch(PyObject* dict) noexcept {
    if (!R().watcher_tried) {
        R().watcher_tried = true;
        R().watcher = bytes_warnings() ? -1 : PyDict_AddWatcher(on_change);
        if (R().watcher < 0) {
            PyErr_Clear();  // all watcher slots taken: everything is looked up every time
            R().on = false;
        }
    }
    if (!R().on || is_tainted(dict)) return false;
    // Watched first, so that the dict's end is seen should it be tainted now.
    if (PyDict_Watch(R().watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!plain_key(key)) {
            taint(dict);
            return false;
        }
    }
    return true;
}

bool may_remember(uint64_t stamp, std::initializer_list<PyObject*> sources) noexcept {
    if (!R().on || stamp != R().epoch) return false;
    for (PyObject* dict : sources) {
        if (is_tainted(dict)) return false;
    }
    if (R().announced_count > 0) settle();
    return R().announced_count == 0;
}

uint64_t next_serial() noexcept { return ++R().serial; }

void stop_remembering() noexcept {
    turn_off();
    R().watcher_tried = true;
    if (R().watcher >= 0 && PyDict_ClearWatcher(R().watcher) < 0) PyErr_Clear();
    R().watcher = -1;
    forget_remembered();
}

}  // namespace vrel
