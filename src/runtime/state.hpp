// The process's state, in one structure with one owner: the module object and its
// namespace, the constant strings, and every table and cache the module keeps between
// calls, with the limits on each. The module is one per process (it refuses a second
// interpreter), so the state is static storage; the module owns it and releases it when
// it is freed at interpreter finalisation (release_state).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vrel {

// Identifiers: interned, hashed once. X(member, "text")
#define VREL_IDENTIFIERS(X)                         \
    X(orjson, "orjson")                             \
    X(asyncio, "asyncio")                           \
    X(collections, "collections")                   \
    X(deque, "deque")                               \
    X(loguru, "loguru")                             \
    X(logger, "logger")                             \
    X(loads, "loads")                               \
    X(dumps, "dumps")                               \
    X(decode, "decode")                             \
    X(lower, "lower")                               \
    X(get_running_loop, "get_running_loop")         \
    X(create_future, "create_future")               \
    X(put_nowait, "put_nowait")                     \
    X(append, "append")                             \
    X(popleft, "popleft")                           \
    X(remove, "remove")                             \
    X(done, "done")                                 \
    X(set_result, "set_result")                     \
    X(set_exception, "set_exception")               \
    X(cancel, "cancel")                             \
    X(warning, "warning")                           \
    X(destination, "destination")                   \
    X(get_destination_mask, "get_destination_mask") \
    X(route_to_queues, "route_to_queues")           \
    X(process_status, "process_status")             \
    X(resolve_rpc, "resolve_rpc")                   \
    X(reject_rpc, "reject_rpc")                     \
    X(error_codes, "_error_codes")                  \
    X(create_task, "create_task")                   \
    X(add_done_callback, "add_done_callback")       \
    X(cancelled, "cancelled")                       \
    X(exception, "exception")                       \
    X(get_loop, "get_loop")                         \
    X(exception_handler, "call_exception_handler")  \
    X(message, "message")                           \
    X(command, "command")                           \
    X(task, "task")                                 \
    X(add_note, "add_note")                         \
    X(get_handler, "get_handler")                   \
    X(getattr, "getattr")                           \
    X(dunder_dict, "__dict__")                      \
    X(dunder_test, "__test__")                      \
    X(module_name, "vrel_dll")

// Texts handed out as str objects. X(member, "text")
#define VREL_LITERALS(X)                   \
    X(unknown_error, "Unknown error code") \
    X(utf_8, "utf-8")

struct Strings {
#define VREL_MEMBER(name, text) PyObject* name;
    VREL_IDENTIFIERS(VREL_MEMBER)
    VREL_LITERALS(VREL_MEMBER)
#undef VREL_MEMBER
    PyObject* empty_tuple;
};

// ---- limits: everything the process keeps is bounded here

// The longest command (or raw command field) whose key, name or mask is kept between
// calls: real command names are a few dozen bytes, and without the bound a peer could make
// a parser's cache hold 65,536 fields of any size. Longer ones are named on every sight.
inline constexpr Py_ssize_t kKeptCommand = 64;
// A parser's command cache stops growing at this many entries, so a peer sending endless
// distinct command names cannot exhaust memory; names are still derived, just not stored.
inline constexpr Py_ssize_t kCmdCacheLimit = 65536;
inline constexpr size_t kCommandMasks = 64;   // masks remembered for get_destination_mask's callers
inline constexpr size_t kFieldSets = 128;     // masks remembered for command fields, two per set
inline constexpr size_t kCommandKeys = 16;    // pending-table keys remembered by command object
inline constexpr int kFreeRecords = 64;       // freed records kept for reuse
inline constexpr int kAnnounced = 8;          // dict changes on their way at once (remembered.cpp)
inline constexpr Py_ssize_t kClonedEntries = 64;  // the largest dict copy whose landing is checked
inline constexpr int kTainted = 32;           // dicts that have held an odd key (remembered.cpp)

// ---- the parts of the state

// One remembered answer, under the rules of remembered.hpp, which also holds the only
// code that reads or writes one: a value of T (a mask, or a record of owned objects with
// a release() that drops them), the object it belongs to, and the epoch it was found at.
template <typename T>
struct Memo {
    T value{};
    uint64_t owner = 0;  // a serial (remembered.hpp); 0: empty
    uint64_t stamp = 0;
};

// A command (exact str) or raw command field (exact bytes), strong or null, and the mask
// remembered for it.
struct KeyedMask {
    PyObject* key = nullptr;
    Memo<int32_t> mask;
};

// An attribute of a module global (orjson.loads) and the plain module it came from.
struct ModuleAttr {
    PyObject* value = nullptr;   // strong
    PyObject* module = nullptr;  // strong
    void release() noexcept {
        Py_XDECREF(value);
        Py_XDECREF(module);
    }
};

// A pending-table key (futures.cpp): a command object and its lower-case form, both strong.
struct CommandKey {
    PyObject* command = nullptr;
    PyObject* key = nullptr;
};

// Methods of three built-in types, taken from the type once (futures.cpp tells when they
// may stand in for a call by name): null where a type or method is not to be relied on.
struct KnownMethods {
    bool resolved = false;
    PyObject* lower = nullptr;  // the descriptors, strong
    PyTypeObject* deque = nullptr;
    PyObject* maxlen = nullptr;  // the deque's maxlen attribute (a descriptor of the type)
    PyObject* append = nullptr;
    PyObject* popleft = nullptr;
    PyObject* remove = nullptr;
    PyTypeObject* future = nullptr;
    PyObject* done = nullptr;
    PyObject* set_result = nullptr;
    PyObject* cancel = nullptr;
};

// A change a dict watcher was told of, kept until its dict is seen to hold what it
// announced (remembered.cpp).
struct Announced {
    PyObject* dict;  // borrowed: a dict is not freed while a change to it is on its way,
                     // and its DEALLOCATED event drops what is kept of it
    PyDict_WatchEvent event;
    // ADDED, MODIFIED, DELETED: the key, owned, and the new value's address (compared,
    // never used). Keys are exact str or bytes, whose release runs no code.
    PyObject* key;
    const void* value;
    // CLONED: the source's entries in the same way.
    PyObject** keys;
    const void** values;
    Py_ssize_t count;
};

// What the rules of remembered.hpp keep track of.
struct Remembering {
    uint64_t epoch = 1;
    uint64_t serial = 0;  // the last serial handed out
    Announced announced[kAnnounced] = {};
    int announced_count = 0;
    PyObject* tainted[kTainted] = {};  // borrowed: each is watched, and its DEALLOCATED event drops it
    int tainted_count = 0;
    bool on = true;  // no watcher, too many changes at once or too many tainted dicts turn it off for good
    int watcher = -1;
    bool watcher_tried = false;
};

struct State {
    // The module.
    PyObject* module = nullptr;     // borrowed (the module owns the state); set while it counts as initialised
    PyObject* dict = nullptr;       // strong; the module's namespace
    PyObject* builtins = nullptr;   // strong; the builtins module
    int64_t main_interpreter = -1;  // the interpreter that first created the module
    bool strings_ready = false;
    bool dict_watched = false;  // the namespace is watched (remembered.hpp)
    Strings s{};
    Remembering remembering;

    // Remembered answers (remembered.hpp).
    KeyedMask command_masks[kCommandMasks];   // by a command's text (gatekeeper.cpp)
    KeyedMask field_masks[kFieldSets * 2];    // by a raw command field (parser.cpp)
    Memo<ModuleAttr> loads;                   // orjson.loads
    Memo<ModuleAttr> dumps;                   // orjson.dumps

    // Kept for reuse: equal to what would be made afresh, so they need no rule.
    CommandKey command_keys[kCommandKeys];    // futures.cpp
    KnownMethods known;                       // futures.cpp
    PyObject* spare_deque = nullptr;          // futures.cpp
    bool spare_deque_tracked = false;
    PyObject* free_records[kFreeRecords] = {};  // raw memory of freed records (xtpre.cpp)
    int free_record_count = 0;

    // Held until they finish: the tasks made from handlers' coroutines, task -> command,
    // and their done callback (dispatch.cpp).
    PyObject* handler_tasks = nullptr;
    PyObject* task_done = nullptr;
};

extern State g_state;

// The constant strings, after module execution has created them.
inline const Strings& S() noexcept { return g_state.s; }

// Creates the constant strings once per process; 0, or -1 with an error.
int create_strings() noexcept;

// A module global looked up now: the module's namespace, then the builtins module.
// New reference, or null with NameError "name '<name>' is not defined".
PyObject* module_global(PyObject* name) noexcept;

// asyncio.get_running_loop(), with `asyncio` the module global as at this call. New
// reference, or null with an error (RuntimeError when no loop runs).
PyObject* running_loop() noexcept;

// global.attr (orjson.loads) with the meaning of looking both up at each use. When the
// global is a plain module found in the namespace and the attribute is in its dict, the
// answer is remembered in *memo under the rules of remembered.hpp (both dicts watched);
// anything else is looked up in full every time. New reference, or null with the
// look-ups' own error (NameError, AttributeError, ...).
PyObject* global_attr(Memo<ModuleAttr>* memo, PyObject* global, PyObject* attr) noexcept;

// Visits every object the state holds that the collector may need to see (the module's
// traverse function).
int traverse_state(visitproc visit, void* arg) noexcept;

// Releases every table and cache and the module's namespace, when the module is freed or
// its cycles broken; what is used afterwards starts empty again. The constant strings
// stay, as interned strings do.
void release_state() noexcept;

}  // namespace vrel
