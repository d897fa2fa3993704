import asyncio
from collections import deque

import pytest

import vrel_dll


def in_loop(body):
    """body(gate) run inside a fresh running event loop, on a gate built there."""

    async def main():
        return body(vrel_dll.Gatekeeper({}, {}))

    return asyncio.run(main())


class Fake:
    """A future whose methods record their calls and run a hook."""

    def __init__(self, hook=None):
        self.hook, self.calls = hook, []

    def done(self):
        return False

    def set_result(self, value):
        self.calls.append(value)
        if self.hook:
            self.hook()

    def cancel(self):
        self.set_result("cancel")


def test_answers_complete_requests_first_in_first_out():
    def body(gate):
        first, second = gate.register_rpc("Foo\u00c4"), gate.register_rpc("FOO\u00e4")
        assert list(gate._pending_futures) == ["foo\u00e4"]
        gate.resolve_rpc("foo\u00c4", "A")
        assert list(gate._pending_futures) == ["foo\u00e4"]
        gate.resolve_rpc(command="fOO\u00e4", result="B")
        assert (first.result(), second.result(), gate._pending_futures) == ("A", "B", {})
        assert gate.resolve_rpc("foo\u00e4", "C") is None and gate._pending_futures == {}

    in_loop(body)


def test_done_future_swallows_the_answer_and_remove_future():
    def body(gate):
        first, second = gate.register_rpc("x"), gate.register_rpc("x")
        first.cancel()
        gate.resolve_rpc("x", "answer")
        assert not second.done() and list(gate._pending_futures["x"]) == [second]
        gate.remove_future("x", first)  # no longer queued: no error
        assert list(gate._pending_futures["x"]) == [second]
        gate.remove_future("x", fut=second)
        assert gate._pending_futures == {} and not second.done()

    in_loop(body)


@pytest.mark.parametrize("error", [ValueError, type("Sub", (ValueError,), {}), LookupError])
def test_remove_swallows_only_value_errors(names, error):
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
        assert names(info.value)[1] == "vrel_dll.Gatekeeper.remove_future"
    assert list(gate._pending_futures["x"]) == [1]


def test_cancel_all_then_register_again():
    def body(gate):
        a, b, c = gate.register_rpc("a"), gate.register_rpc("b"), gate.register_rpc("b")
        b.set_result("kept")
        table = gate._pending_futures
        assert gate.cancel_all() is None and gate._pending_futures is table and table == {}
        assert a.cancelled() and c.cancelled() and b.result() == "kept"
        fresh = gate.register_rpc("a")
        assert list(table) == ["a"] and fresh.get_loop() is asyncio.get_running_loop()

    in_loop(body)


def test_cancel_all_stops_at_a_non_str_key(names):
    gate, early, stuck, late = vrel_dll.Gatekeeper({}, {}), Fake(), Fake(), Fake()
    gate._pending_futures = {"a": deque([early]), 7: deque([stuck]), "z": deque([late])}
    with pytest.raises(TypeError, match="^Expected str, got int$") as info:
        gate.cancel_all()
    assert names(info.value)[1:] == ["vrel_dll.Gatekeeper.cancel_all"]
    assert list(gate._pending_futures) == [7, "z"] and early.calls == ["cancel"]
    assert stuck.calls == late.calls == [] and len(gate._pending_futures[7]) == 1


def test_cancel_all_key_gone_mid_walk():
    gate, table = vrel_dll.Gatekeeper({}, {}), {}
    table.update(a=deque([Fake(lambda: table.pop("b")), Fake()]), b=deque())
    gate._pending_futures = table
    with pytest.raises(KeyError) as info:
        gate.cancel_all()
    assert info.value.args == ("b",) and table == {}


def test_resolve_failures_keep_the_pop():
    gate, raising = vrel_dll.Gatekeeper({}, {}), Fake(lambda: 1 / 0)
    gate._pending_futures = {"x": deque([raising])}
    with pytest.raises(ZeroDivisionError):
        gate.resolve_rpc("x", 5)
    assert raising.calls == [5] and gate._pending_futures == {"x": deque()}

    def drop_table():
        gate._pending_futures = None

    gate._pending_futures = {"x": deque([Fake(drop_table)])}
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        gate.resolve_rpc("x", 5)


def test_outside_entries_empty_or_none():
    def body(gate):
        empty = deque()
        gate._pending_futures = {"e": empty, "n": None}
        gate.resolve_rpc("e", 1)
        gate.remove_future("e", 1)
        gate.resolve_rpc("n", 1)
        assert gate._pending_futures == {"e": empty, "n": None}
        fut_e, fut_n = gate.register_rpc("e"), gate.register_rpc("n")
        assert gate._pending_futures["e"] is empty and list(empty) == [fut_e]
        assert type(gate._pending_futures["n"]) is deque and list(gate._pending_futures["n"]) == [fut_n]

    in_loop(body)


def test_missing_table():
    def body(gate):
        gate._pending_futures = None
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$"):
            gate.register_rpc("x")
        return gate, asyncio.get_running_loop()

    gate, loop = in_loop(body)
    for call, method in [(lambda: gate.resolve_rpc("x", 1), "get"), (lambda: gate.remove_future("x", 1), "get"),
                         (gate.cancel_all, "keys")]:
        with pytest.raises(AttributeError, match=f"'{method}'$"):
            call()
    gate._pending_futures = {}
    # The failed call had already taken the loop: no running loop is needed now.
    assert gate.register_rpc("x").get_loop() is loop


def test_store_reads_the_table_again():
    def body(gate):
        replacement = {}

        class Key:
            def __hash__(self):
                return hash("k")

            def __eq__(self, other):
                gate._pending_futures = replacement  # drops the dict being searched
                return False

        gate._pending_futures = {Key(): deque()}
        fut = gate.register_rpc("k")
        assert list(replacement) == ["k"] and list(replacement["k"]) == [fut]

    in_loop(body)


def test_no_loop_and_none_table_at_store(monkeypatch):
    gate = vrel_dll.Gatekeeper({}, {})
    with pytest.raises(RuntimeError, match="no running event loop"):
        gate.register_rpc("x")
    assert gate._pending_futures == {}

    def make_deque():
        gate._pending_futures = None
        return deque()

    monkeypatch.setattr(vrel_dll, "deque", make_deque)
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        in_loop(lambda _: gate.register_rpc("x"))


@pytest.mark.parametrize("method, extra", [("register_rpc", ()), ("resolve_rpc", (1,)), ("remove_future", (1,))])
def test_command_type(names, method, extra):
    call = getattr(vrel_dll.Gatekeeper({}, {}), method)
    with pytest.raises(TypeError, match=r"^Argument 'command' has incorrect type \(expected str, got S\)$") as info:
        call(type("S", (str,), {})("x"), *extra)
    assert names(info.value)[1:] == []
    # Refused before the loop is looked for (no RuntimeError here) or the table touched.
    with pytest.raises(TypeError, match="^command must be a str, not None$") as info:
        call(None, *extra)
    assert names(info.value)[1:] == [f"vrel_dll.Gatekeeper.{method}"]


def test_cancel_all_takes_no_arguments():
    gate = vrel_dll.Gatekeeper({}, {})
    with pytest.raises(TypeError, match=r"^cancel_all\(\) takes exactly 0 positional arguments \(1 given\)$"):
        gate.cancel_all(1)
    with pytest.raises(TypeError, match=r"^cancel_all\(\) got an unexpected keyword argument 'x'$"):
        gate.cancel_all(x=1)
