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
//
// Two helpers carry the rule, so that no user spells it out: a remembered answer lives in
// a Memo (state.hpp) read and written only through recall() and remember(), and an
// object's fields that answers are derived from change through an Update.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "runtime/state.hpp"

namespace vrel {

// The epoch a value read now is stamped with.
inline uint64_t epoch() noexcept { return g_state.remembering.epoch; }

// Something other than a watched dict's contents changed an answer (rule 1).
inline void forget_remembered() noexcept { ++g_state.remembering.epoch; }

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

// Turns remembering off for good and lets go of every dict watched, when the module is
// freed: what is remembered is no longer current.
void stop_remembering() noexcept;

// The owner of answers that belong to the process rather than to one object.
inline constexpr uint64_t kProcessOwner = UINT64_MAX;

// The steps every remembered answer (a Memo, state.hpp) goes through:
//
//     if (const T* known = recall(memo, owner)) ...   // still current: use it
//     const uint64_t stamp = epoch();                  // before the look-up runs any code
//     ... the look-up, from the dicts `sources` ...
//     remember(memo, stamp, owner, answer, {sources...});

// The answer remembered for `owner`, when nothing it was derived from has changed since;
// null otherwise.
template <typename T>
const T* recall(const Memo<T>& memo, uint64_t owner) noexcept {
    return memo.owner == owner && owner != 0 && memo.stamp == epoch() ? &memo.value : nullptr;
}

template <typename T>
void drop_value(T& old) noexcept {
    if constexpr (requires { old.release(); }) old.release();
}

// Keeps `answer`, found for `owner` by a look-up stamped `stamp` from the dicts `sources`,
// when may_remember allows; the old value is dropped last. Takes over what `answer` owns
// either way. True when kept.
template <typename T>
bool remember(Memo<T>& memo, uint64_t stamp, uint64_t owner, T answer,
              std::initializer_list<PyObject*> sources) noexcept {
    if (!may_remember(stamp, sources)) {
        drop_value(answer);
        return false;
    }
    std::swap(memo.value, answer);
    memo.owner = owner;
    memo.stamp = stamp;
    drop_value(answer);  // the old value, with the memo already whole
    return true;
}

// Empties the memo, the old value dropped last.
template <typename T>
void forget(Memo<T>& memo) noexcept {
    T old = std::exchange(memo.value, T{});
    memo.owner = 0;
    memo.stamp = 0;
    drop_value(old);
}

// A change to an object's fields that remembered answers are derived from (a gate's
// tables, a parser's gate and cache). set() gives each field its new value; when the
// Update ends, the epoch moves, and only then are the old values dropped.
class Update {
public:
    Update() noexcept = default;
    Update(const Update&) = delete;
    Update& operator=(const Update&) = delete;
    ~Update() noexcept {
        forget_remembered();
        for (int i = count_; i-- > 0;) Py_XDECREF(old_[i]);
    }

    // *field = value (a new reference, stolen); the old one is kept until the end. At most
    // kFields fields per Update.
    void set(PyObject** field, PyObject* value) noexcept {
        old_[count_++] = *field;
        *field = value;
    }

    static constexpr int kFields = 4;

private:
    PyObject* old_[kFields] = {};
    int count_ = 0;
};

}  // namespace vrel
