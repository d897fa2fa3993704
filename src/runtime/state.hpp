// Process-wide state shared by every part of the module: the module object and its
// namespace, the interpreter it belongs to, the constant strings, and the look-up of
// module globals.
//
// The module is one per process (it refuses a second interpreter), so this state is
// static storage rather than per-module state.
#pragma once

#include <Python.h>

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

struct State {
    PyObject* module = nullptr;     // strong; set while the module counts as initialised
    PyObject* dict = nullptr;       // strong; the module's namespace
    PyObject* builtins = nullptr;   // strong; the builtins module
    int64_t main_interpreter = -1;  // the interpreter that first created the module
    bool strings_ready = false;
    bool dict_watched = false;  // the namespace is watched (remembered.hpp)
    Strings s{};
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

// An attribute of a module global, such as orjson.loads, with the meaning of looking
// both up at each use. When the global is a plain module found in the namespace and the
// attribute is in its dict, the answer is remembered under the rules of remembered.hpp
// (both dicts watched); anything else is looked up in full every time.
struct GlobalAttr {
    PyObject* Strings::* global;
    PyObject* Strings::* attr;
    PyObject* value = nullptr;  // strong
    PyObject* owner = nullptr;  // strong: the module it came from, whose dict is watched
    uint64_t stamp = 0;
};

// The attribute as a new reference, or null with the look-ups' own error (NameError,
// AttributeError, ...).
PyObject* global_attr(GlobalAttr& which) noexcept;

}  // namespace vrel
