import asyncio
import gc
import sys
import weakref
from collections import deque
from types import SimpleNamespace

import pytest

import vrel_dll
from conftest import own_entries


@pytest.fixture
def loop():
    with asyncio.Runner() as runner:
        yield runner.get_loop()


@pytest.fixture
def gate(loop):
    """A gatekeeper built inside the running loop, so it makes its futures there."""

    async def make():
        return vrel_dll.Gatekeeper({}, {})

    return loop.run_until_complete(make())


def fake(log, name="f", hook=lambda: None, done=False):
    """A future that logs its set_result, set_exception and cancel calls under its name, then runs hook."""

    def record(value):
        log.append((name, value))
        hook()

    return SimpleNamespace(done=lambda: done, set_result=record, set_exception=record, cancel=lambda: record("cancel"))


def test_fifo_per_lower_cased_command_done_futures_and_remove(gate, loop):
    first, second, third = (gate.register_rpc(c) for c in ("Foo\u00c4", "FOO\u00e4", "foo\u00e4"))
    gate.resolve_rpc("foo\u00c4", "A")
    second.cancel()  # its answer is dropped, not handed to the next request
    gate.resolve_rpc(command="fOO\u00e4", result="B")
    assert first.result() == "A" and not third.done() and list(gate._pending_futures) == ["foo\u00e4"]
    gate.resolve_rpc("FOO\u00c4", "C")
    assert third.result() == "C" and gate._pending_futures == {}
    assert gate.resolve_rpc("foo\u00e4", "D") is None and gate._pending_futures == {}
    first, second = gate.register_rpc("X"), gate.register_rpc("x")
    assert gate.remove_future("x", third) is None and list(gate._pending_futures["x"]) == [first, second]
    gate.remove_future("X", first)
    assert list(gate._pending_futures["x"]) == [second]
    gate.remove_future("x", fut=second)
    assert gate._pending_futures == {} and not first.done() and not second.done()
    # cancel_all: every pending future cancelled, done ones left alone, the same table emptied
    a, b, c = gate.register_rpc("a"), gate.register_rpc("b"), gate.register_rpc("b")
    b.set_result("kept")
    table = gate._pending_futures
    assert gate.cancel_all() is None and gate._pending_futures is table and table == {}
    assert a.cancelled() and c.cancelled() and b.result() == "kept"
    assert gate.register_rpc("a").get_loop() is loop and list(table) == ["a"]


# ---- reject_rpc: resolve_rpc's look-up and order, with set_exception


class NeedsArgument(Exception):
    def __init__(self, argument):
        super().__init__(argument)


class NotAnException(Exception):
    def __new__(cls):
        return 5


# what set_exception would refuse: refused before any future leaves the table
REFUSED = [
    (42, "invalid exception object"),
    ("dropped", "invalid exception object"),
    (None, "invalid exception object"),
    (int, "invalid exception object"),
    (NotAnException, "invalid exception object"),
    (NeedsArgument, "NeedsArgument.__init__() missing 1 required positional argument: 'argument'"),
]
if sys.version_info < (3, 13):  # later versions set a RuntimeError in its place
    REFUSED += [
        (StopIteration, "StopIteration interacts badly with generators and cannot be raised into a Future"),
        (StopIteration(), "StopIteration interacts badly with generators and cannot be raised into a Future"),
    ]


def test_reject_rpc_sets_the_exception_on_the_oldest_future(gate):
    first, second, third = (gate.register_rpc(c) for c in ("Foo", "FOO", "foo"))
    error = LookupError("refused")
    assert gate.reject_rpc("fOO", error) is None and first.exception() is error
    second.cancel()  # dropped with the exception, which the next request does not get
    gate.reject_rpc(command="foo", exception=KeyError)  # a class: an instance of its own
    assert not third.done() and list(gate._pending_futures) == ["foo"]
    gate.resolve_rpc("foo", "answer")
    assert third.result() == "answer" and gate._pending_futures == {}
    assert gate.reject_rpc("foo", error) is None and gate._pending_futures == {}
    fut = gate.register_rpc("x")
    gate.reject_rpc("x", KeyError)
    assert type(fut.exception()) is KeyError and fut.exception().args == ()


@pytest.mark.parametrize("method", ["reject_rpc", "fail_all"])
@pytest.mark.parametrize("bad, message", REFUSED)
def test_refused_exceptions_leave_the_table_untouched(gate, method, bad, message):
    fut = gate.register_rpc("x")
    with pytest.raises(TypeError) as info:
        gate.reject_rpc("x", bad) if method == "reject_rpc" else gate.fail_all(bad)
    assert str(info.value) == message and own_entries(info.value) == [f"vrel_dll.Gatekeeper.{method}"]
    assert list(gate._pending_futures["x"]) == [fut] and not fut.done()
    gate.cancel_all()


# ---- fail_all: cancel_all's walk, with set_exception and a count


def test_fail_all_sets_the_exception_on_every_pending_future(gate):
    a, b, c, d = (gate.register_rpc(command) for command in ("a", "b", "B", "c"))
    b.set_result("kept")
    d.cancel()
    table, error = gate._pending_futures, ConnectionResetError("dropped")
    assert gate.fail_all(error) == 2 and gate._pending_futures is table and table == {}
    assert a.exception() is c.exception() is error and b.result() == "kept" and d.cancelled()
    e, f = gate.register_rpc("e"), gate.register_rpc("e")
    assert gate.fail_all(exception=EOFError) == 2 and table == {}  # a class: an instance for each future
    assert type(e.exception()) is type(f.exception()) is EOFError and e.exception() is not f.exception()
    assert gate.fail_all(error) == 0
    with pytest.raises(TypeError, match=r"^fail_all\(\) takes exactly 1 positional argument \(0 given\)$"):
        gate.fail_all()
    gate.cancel_all()


@pytest.mark.parametrize("method", ["fail_all", "cancel_all"])
def test_the_walk_over_a_snapshot_of_the_keys(method):
    gate, log, error = vrel_dll.Gatekeeper({}, {}), [], ValueError("x")
    walk, settled = (lambda: gate.fail_all(error), error) if method == "fail_all" else (gate.cancel_all, "cancel")

    def fails_with(exc_type):
        with pytest.raises(exc_type) as info:
            walk()
        assert own_entries(info.value) == [f"vrel_dll.Gatekeeper.{method}"]
        return info.value

    def empty_snapshot_and_replace_table():  # drops every other hold on the key
        key = next(iter(gate._pending_futures))
        for holder in gc.get_referrers(key):
            if isinstance(holder, list):
                holder.clear()
        gate._pending_futures = {}

    late = deque([fake(log, "late")])  # added during the walk: not in the snapshot
    table = gate._pending_futures = {
        "b": deque([fake(log, "b", lambda: table.update(late=late)), fake(log, "done", done=True)]),
        "a": deque([fake(log, "a")]),
    }
    assert walk() == (2 if method == "fail_all" else None) and table == {"late": late}
    assert log == [("b", settled), ("a", settled)]
    table = gate._pending_futures = {"a": deque([fake(log, "a")]), 7: deque([fake(log, 7)]), "z": deque([fake(log)])}
    assert str(fails_with(TypeError)) == "Expected str, got int"  # a key that is no str stops the walk
    assert log[2:] == [("a", settled)] and list(table) == [7, "z"] and len(table[7]) == 1
    table = gate._pending_futures = {"a": deque([fake(log, hook=lambda: table.pop("b")), fake(log)]), "b": deque()}
    assert fails_with(KeyError).args == ("b",) and table == {}
    gate._pending_futures = {"a": deque([fake(log, "a", lambda: 1 / 0), fake(log, "next")])}
    fails_with(ZeroDivisionError)  # the failing future is taken, the next one stays
    assert len(gate._pending_futures["a"]) == 1 and log[-1] == ("a", settled)
    gate._pending_futures = {"".join(["r", "eq"]): deque([fake(log, "r", empty_snapshot_and_replace_table)])}
    assert fails_with(KeyError).args == ("req",)  # the entry's deletion finds the new, empty table
    assert log[-1] == ("r", settled) and gate._pending_futures == {}


@pytest.mark.parametrize("error", [ValueError, type("Sub", (ValueError,), {}), LookupError])
def test_remove_swallows_only_value_errors(error):
    class Que(deque):
        def remove(self, item):
            raise error("no")

    gate = vrel_dll.Gatekeeper({}, {})
    gate._pending_futures = {"x": Que([1])}
    if issubclass(error, ValueError):
        assert gate.remove_future("x", 1) is None
    else:
        with pytest.raises(error) as info:
            gate.remove_future("x", 1)
        assert own_entries(info.value) == ["vrel_dll.Gatekeeper.remove_future"]
    assert list(gate._pending_futures["x"]) == [1]


def test_entries_put_in_from_outside(gate):
    empty = deque()
    gate._pending_futures = {"e": empty, "n": None}
    gate.resolve_rpc("e", 1), gate.remove_future("e", 1), gate.resolve_rpc("n", 1), gate.remove_future("n", 1)
    assert gate._pending_futures == {"e": empty, "n": None}
    fut_e, fut_n = gate.register_rpc("e"), gate.register_rpc("n")
    assert gate._pending_futures["e"] is empty and list(empty) == [fut_e]
    assert type(gate._pending_futures["n"]) is deque and list(gate._pending_futures["n"]) == [fut_n]
    # A key whose __eq__ drops the dict being searched: the store goes to the table as it is then.
    replacement = {}
    key = type(
        "Key",
        (),
        {"__hash__": lambda s: hash("k"), "__eq__": lambda s, o: setattr(gate, "_pending_futures", replacement)},
    )
    gate._pending_futures = {key(): deque()}
    fut = gate.register_rpc("k")
    assert list(replacement) == ["k"] and list(replacement["k"]) == [fut]


def test_loop_taken_at_first_register_and_missing_table(monkeypatch, loop):
    gate = vrel_dll.Gatekeeper({}, {})  # built outside any running loop
    with pytest.raises(RuntimeError, match="no running event loop"):
        gate.register_rpc("x")
    assert gate._pending_futures == {}

    async def register_without_table():
        gate._pending_futures = None
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$"):
            gate.register_rpc("x")

    loop.run_until_complete(register_without_table())
    for method, args, missing in [
        ("resolve_rpc", ("x", 1), "get"),
        ("remove_future", ("x", 1), "get"),
        ("cancel_all", (), "keys"),
    ]:
        with pytest.raises(AttributeError, match=f"^'NoneType' object has no attribute '{missing}'$") as info:
            getattr(gate, method)(*args)
        assert own_entries(info.value) == [f"vrel_dll.Gatekeeper.{method}"]
    gate._pending_futures = {}
    assert gate.register_rpc("x").get_loop() is loop  # kept by the failed call: no running loop is needed
    # The table is read again at each store and deletion.
    log, unsubscriptable = [], "^'NoneType' object is not subscriptable$"
    monkeypatch.setattr(vrel_dll, "deque", lambda: setattr(gate, "_pending_futures", None) or deque())
    with pytest.raises(TypeError, match=unsubscriptable):
        gate.register_rpc("y")
    gate._pending_futures = {"x": deque([fake(log, hook=lambda: setattr(gate, "_pending_futures", None))])}
    with pytest.raises(TypeError, match=unsubscriptable):
        gate.resolve_rpc("x", 5)
    gate._pending_futures = table = {"x": deque([fake(log, hook=lambda: 1 / 0)])}
    with pytest.raises(ZeroDivisionError):
        gate.resolve_rpc("x", 6)
    assert log == [("f", 5), ("f", 6)] and table == {"x": deque()}  # the failed future stays popped


@pytest.mark.parametrize(
    "method, extra",
    [("register_rpc", ()), ("resolve_rpc", (1,)), ("reject_rpc", (KeyError(),)), ("remove_future", (1,))],
)
def test_command_none(method, extra):
    gate = vrel_dll.Gatekeeper({}, {})
    gate._pending_futures = table = {"none": deque([1])}
    # Refused before the loop is looked for (no RuntimeError here) or the table touched.
    with pytest.raises(TypeError, match="^command must be a str, not None$") as info:
        getattr(gate, method)(None, *extra)
    assert own_entries(info.value) == [f"vrel_dll.Gatekeeper.{method}"] and table == {"none": deque([1])}


# ---- what the calls out take from the built-in types, and where they ask by name instead


@pytest.mark.parametrize(
    "command",
    ["@AZ[`az{", "getRoomList", "FOO\u00c4", "\u0130x", "\u03a3\u0391\u03a3", "\u00df", "", "Q" * 65, "q" * 65],
)
def test_each_key_is_the_commands_lower(gate, command):
    for _ in range(2):  # the second time from the keys made lately
        fut = gate.register_rpc(command)
        assert list(gate._pending_futures) == [command.lower()] and type(next(iter(gate._pending_futures))) is str
        gate.resolve_rpc(command, "r")
        assert fut.result() == "r" and gate._pending_futures == {}


def test_entries_and_futures_of_other_types_are_called_by_name(gate, loop):
    log = []

    class LoggedDeque(deque):
        def append(self, item):
            log.append("append")
            super().append(item)

        def popleft(self):
            log.append("popleft")
            return super().popleft()

        def remove(self, item):
            log.append("remove")
            super().remove(item)

    class LoggedFuture(asyncio.Future):
        def done(self):
            log.append("done")
            return super().done()

        def set_result(self, result):
            log.append(("set_result", result))
            super().set_result(result)

        def cancel(self, msg=None):
            log.append("cancel")
            return super().cancel()

    gate._pending_futures = {"x": LoggedDeque([sub := LoggedFuture(loop=loop)])}
    fut = gate.register_rpc("x")
    gate.resolve_rpc("x", 1)
    gate.remove_future("x", fut)
    assert log == ["append", "popleft", "done", ("set_result", 1), "remove"] and sub.result() == 1
    gate._pending_futures = {"x": deque([sub := LoggedFuture(loop=loop)])}
    gate.cancel_all()
    assert log[5:] == ["done", "cancel"] and sub.cancelled()


@pytest.mark.parametrize(
    "attribute, standin, logged, state",
    [
        ("done", lambda log: lambda: True, [], "pending"),  # taken as done: the answer is dropped
        ("set_result", lambda log: log.append, ["answer"], "pending"),
        ("cancel", lambda log: lambda: log.append("cancel"), ["cancel"], "pending"),
        ("unrelated", lambda log: 0, [], "answer"),
    ],
)
def test_a_futures_own_attribute_stands_in_for_its_method(gate, attribute, standin, logged, state):
    log, fut = [], gate.register_rpc("x")
    setattr(fut, attribute, standin(log))
    if attribute == "cancel":
        gate.cancel_all()
    else:
        gate.resolve_rpc("x", "answer")
    assert log == logged and gate._pending_futures == {}
    assert (fut.result() if asyncio.Future.done(fut) else "pending") == state


def test_an_emptied_deque_that_something_else_can_reach_is_never_handed_out_again(gate, monkeypatch):
    gate.register_rpc("x")
    held = gate._pending_futures["x"]
    gate.resolve_rpc("x", 1)
    gate.register_rpc("x")
    assert gate._pending_futures["x"] is not held and len(held) == 0
    gate.resolve_rpc("x", 1)
    died = []
    gate.register_rpc("x")
    ref = weakref.ref(gate._pending_futures["x"], died.append)
    gate.resolve_rpc("x", 1)
    assert ref() is None and len(died) == 1
    gate._pending_futures["x"] = deque(maxlen=3)
    gate.register_rpc("x")
    gate.resolve_rpc("x", 1)
    gate.register_rpc("x")
    assert gate._pending_futures["x"].maxlen is None
    gate.resolve_rpc("x", 1)  # a deque now free to be reused, while the module's deque is another
    made = []
    monkeypatch.setattr(vrel_dll, "deque", lambda: made.append(1) or LoggedQueue())
    gate.register_rpc("x")
    assert made == [1] and type(gate._pending_futures["x"]) is LoggedQueue
    monkeypatch.undo()
    gate.resolve_rpc("x", 1)
    fresh = [gate.register_rpc(c) for c in "xyz"]
    entries = [gate._pending_futures[c] for c in "xyz"]
    assert all(type(e) is deque and e.maxlen is None and list(e) == [f] for e, f in zip(entries, fresh))
    assert len({id(e) for e in entries}) == 3 and all(gc.is_tracked(e) for e in entries)


class LoggedQueue(deque):
    pass


def stand_in(log, name, failing):
    """A future whose calls are logged as (name, method) and whose `failing` method raises."""

    def method(attr, answer=None):
        def call(*args):
            log.append((name, attr))
            if attr == failing:
                raise RuntimeError(f"{name}.{attr}")
            return answer

        return call

    return SimpleNamespace(done=method("done", False), set_result=method("set_result"), cancel=method("cancel"))


class PopleftFails(deque):
    def popleft(self):
        raise RuntimeError("popleft")


@pytest.mark.parametrize(
    "failing, method, log, left",
    [
        # the deque's own popleft: nothing is taken
        ("popleft", "resolve_rpc", [], {"w": ["a"], "x": ["b", "c"]}),
        # the first future's done or set_result: that future is taken, the next stays for the next answer
        ("done", "resolve_rpc", [("b", "done")], {"w": ["a"], "x": ["c"]}),
        ("set_result", "resolve_rpc", [("b", "done"), ("b", "set_result")], {"w": ["a"], "x": ["c"]}),
        # a cancel midway: the commands walked before it are gone, the rest stays for the next cancel_all
        ("cancel", "cancel_all", [("a", "done"), ("a", "cancel"), ("b", "done"), ("b", "cancel")], {"x": ["c"]}),
    ],
)
def test_a_failing_deque_or_future(failing, method, log, left):
    gate, calls = vrel_dll.Gatekeeper({}, {}), []
    futures = {name: stand_in(calls, name, failing if name == "b" else None) for name in "abc"}
    queue = PopleftFails if failing == "popleft" else deque
    gate._pending_futures = table = {"w": deque([futures["a"]]), "x": queue([futures["b"], futures["c"]])}
    with pytest.raises(RuntimeError, match="^popleft$" if failing == "popleft" else f"^b.{failing}$") as info:
        getattr(gate, method)(*(("x", 1) if method == "resolve_rpc" else ()))
    assert own_entries(info.value) == [f"vrel_dll.Gatekeeper.{method}"] and calls == log
    assert {key: [n for n in "abc" if futures[n] in entry] for key, entry in table.items()} == left


def test_deque_is_looked_up_for_each_new_entry(gate, monkeypatch):
    monkeypatch.delattr(vrel_dll, "deque")
    with pytest.raises(NameError, match="^name 'deque' is not defined$") as info:
        gate.register_rpc("x")
    assert own_entries(info.value) == ["vrel_dll.Gatekeeper.register_rpc"] and gate._pending_futures == {}
    gate._pending_futures["x"] = entry = deque()
    fut = gate.register_rpc("x")  # an existing entry needs no new deque
    assert list(entry) == [fut]
