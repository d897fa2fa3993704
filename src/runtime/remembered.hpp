// What the module remembers between calls to skip work, and the one rule that keeps it
// right.
//
// A remembered value is derived from the contents of dicts, owned (strong references), and
// stamped with the epoch at which it was read. It is used only while the epoch is unchanged:
//  1. It is derived only from dicts whose every change a watcher sees: the namespaces of
//     plain modules (the module's own, orjson's), a parser's command cache and the two
//     tables a gate built itself. A dict a caller hands over may change unseen (on 3.13 an
//     object's attribute dict changes through `obj.x = ...` with no event), so a gate whose
//     table was assigned from outside has its masks looked up every time. Every change to a
//     watched dict moves the epoch (one dict watcher sees them all), and so does anything
//     else that could change an answer: a table or a gate replaced, a parser or a gate
//     initialised again.
//  2. Watchers are told of a change before it lands, and a watcher added by other code
//     after ours may run Python code that reads the dict meanwhile, old contents under the
//     new epoch. So each change is also written down until the dict is seen to hold what
//     it announced, and nothing is remembered while any change is written down.
//  3. A key other than an exact str or bytes compares by its own __eq__, which may answer
//     differently with no change to any dict: once such a key has been in a watched dict,
//     nothing more is remembered from that dict for as long as it lives (nor from any dict,
//     should more than a few dicts hold such keys at once).
//  4. Every update replaces all its fields and moves the epoch before it drops an old
//     value (a remembered value, a table, a gate, a cache), so that a finaliser run by the
//     drop sees the object whole and moves the epoch past any stamp taken before.
// The watcher runs no Python code: changes are checked by identity, by the content of
// exact str and bytes keys, and by look-ups that rule 3 keeps free of Python code.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

namespace vrel {

extern uint64_t g_epoch;

// The epoch a value read now is stamped with.
inline uint64_t epoch() noexcept { return g_epoch; }

// Something other than a watched dict's contents changed an answer (rule 1).
inline void forget_remembered() noexcept { ++g_epoch; }

// Watches `dict` from now on, checking once that its keys are exact str or bytes (the
// caller says when: a dict it starts to rely on). False when nothing may be remembered
// from it: no watcher to be had, or remembering is off for good (rule 3).
bool watch(PyObject* dict) noexcept;

// Whether a value read at `stamp` from the dicts `sources` may be remembered now: no change
// since, none still on its way (rule 2), and none of them has held an odd key (rule 3).
bool may_remember(uint64_t stamp, std::initializer_list<PyObject*> sources) noexcept;

// The next serial number: remembered answers that belong to one object carry its serial,
// which no other object ever has.
uint64_t next_serial() noexcept;

}  // namespace vrel
