"""XtPreParser.feed_and_route: whole read buffers, checked against the per-packet path."""

import asyncio
import importlib
import os
import subprocess
import sys
import types
from collections import deque

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrel_dll
from conftest import TOO_LARGE, fields, own_entries
from vrel_dll import Gatekeeper, XtPreParser
from vrel_testkit import packet_model
from vrel_testkit.corpus import ANSWERED, HANDLED, build_corpus

FEED = "vrel_dll.XtPreParser.feed_and_route"
ROUTE = "vrel_dll.Gatekeeper.route_to_queues"
MASK = "vrel_dll.Gatekeeper.get_destination_mask"
STREAM = b"".join(m + b"\0" for m in build_corpus().messages)
RESIZED = "Existing exports of data: object cannot be re-sized"


class DequeQueue(deque):
    """A queue whose put_nowait is a C call."""

    put_nowait = deque.append


class ListQueue(list):
    put_nowait = list.append


class LogQueue:
    """Logs (queue name, record fields) into a log both queues share, so that their order shows."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def put_nowait(self, item):
        self.log.append((self.name, fields(item)))


def log_queues(log):
    return LogQueue("rpc", log), LogQueue("evt", log)


class PyGate:
    """A gate written in Python: masks from a table (an exception there is raised), routing logged."""

    def __init__(self, masks, log, fail_route=None):
        self.masks, self.log, self.fail_route = masks, log, fail_route

    def get_destination_mask(self, name):
        answer = self.masks.get(name, 0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def route_to_queues(self, record, rpc_queue, evt_queue):
        self.log.append(("gate", record.command))
        if record.command == self.fail_route:
            raise Boom("route")
        if record.destination & 1:
            rpc_queue.put_nowait(record)
        if record.destination & 2:
            evt_queue.put_nowait(record)


class SubGate(Gatekeeper):
    """Not exactly a Gatekeeper, so its own route_to_queues is the one called."""

    def route_to_queues(self, record, rpc_queue, evt_queue):
        evt_queue.put_nowait(record)  # everything to the event queue


class Boom(Exception):
    pass


CORPUS_MASKS = {c.lower(): 2 for c in HANDLED} | {c.lower(): 1 for c in ANSWERED} | {"userjoin": 3}


def corpus_gate(kind, log):
    """A gate for the corpus: handled commands get 2, answered ones 1, userJoin both."""
    if kind == "python":
        return PyGate(CORPUS_MASKS, log)
    gate = (Gatekeeper if kind == "gatekeeper" else SubGate)({c: None for c in HANDLED}, {})
    gate._pending_futures.update(dict.fromkeys([c.lower() for c in ANSWERED] + ["userjoin"]))
    return gate


def per_packet(parser, gate, buffer, rpc, evt):
    """The reference: each complete message through parse_and_route, then the gate's route_to_queues."""
    *messages, rest = bytes(buffer).split(b"\0")
    records = 0
    for msg in messages:
        record = parser.parse_and_route(msg)
        if record is not None:
            gate.route_to_queues(record, rpc, evt)
            records += 1
    buffer[:] = rest
    return len(messages), records


def chunked(stream, how):
    """The stream cut as a reader might receive it."""
    if isinstance(how, int):
        return [stream[i : i + how] for i in range(0, len(stream), how)]
    keep = 1 if how == "after each NUL" else 0
    out, start = [], 0
    for i, byte in enumerate(stream):
        if byte == 0:
            out.append(stream[start : i + keep])
            start = i + keep
    return out + [stream[start:]]


def run_both(gate_kind, chunks):
    """Feeds the chunks to feed_and_route and to the reference; returns both sides' counts, logs and buffers."""
    sides = []
    for use_feed in (True, False):
        log = []
        gate = corpus_gate(gate_kind, log)
        parser, queues, buffer, counts = XtPreParser(gate), log_queues(log), bytearray(), []
        for chunk in chunks:
            buffer += chunk
            counts.append(
                parser.feed_and_route(buffer, *queues) if use_feed else per_packet(parser, gate, buffer, *queues)
            )
        sides.append((counts, log, buffer))
    return sides


EMPTIES = b"%xt%userJoin%1%{}%\0" + b"\0" * 40 + b"%xt%ext%publicMessage%1%0%[1]%\0\0\0%xt%userLeave%1%0%{}"


@pytest.mark.parametrize("gate_kind", ["gatekeeper", "subclass", "python"])
@pytest.mark.parametrize(
    "stream, how",
    [
        pytest.param(STREAM, len(STREAM), id="corpus-at-once"),
        pytest.param(STREAM, "after each NUL", id="corpus-after-each-NUL"),
        pytest.param(STREAM, "before each NUL", id="corpus-before-each-NUL"),
        pytest.param(STREAM, 997, id="corpus-inside-messages"),
        pytest.param(STREAM, 65536, id="corpus-64KB"),
        pytest.param(STREAM[:30_000], 1, id="corpus-byte-by-byte"),
        pytest.param(EMPTIES, "after each NUL", id="empty-messages-after-each-NUL"),
        pytest.param(EMPTIES, "before each NUL", id="empty-messages-before-each-NUL"),
        pytest.param(EMPTIES, 3, id="empty-messages-by-3"),
    ],
)
def test_same_results_as_the_per_packet_path(gate_kind, stream, how):
    (counts, log, buffer), (want_counts, want_log, want_buffer) = run_both(gate_kind, chunked(stream, how))
    assert counts == want_counts and log == want_log and buffer == want_buffer
    assert sum(m for m, _ in counts) == stream.count(0) and sum(r for _, r in counts) > 0
    if gate_kind == "gatekeeper":  # the module's own routing: the puts are those of the model
        modelled = packet_model.feed(stream, lambda name: CORPUS_MASKS.get(name, 0))
        assert log == modelled.routed and buffer == modelled.rest
        assert (sum(m for m, _ in counts), sum(r for _, r in counts)) == modelled[:2]


@pytest.mark.parametrize(
    "make_queue, drain",
    [
        (DequeQueue, lambda q: [fields(r) for r in q]),
        (asyncio.Queue, lambda q: [fields(q.get_nowait()) for _ in range(q.qsize())]),
    ],
)
def test_records_reach_the_queues_in_order(make_queue, drain):
    gate = Gatekeeper({"evt": None, "both": None}, {})
    gate._pending_futures.update(rpc=None, both=None)
    rpc, evt = make_queue(), make_queue()
    buffer = bytearray(b'%xt%EVT%1%0%[1]%\0%xt%nobody%1%{}%\0%xt%ext%Both%-2%7%\0\0%xt%rpc%1%{"a":1}%\0%xt%rpc')
    assert XtPreParser(gate).feed_and_route(buffer=buffer, rpc_queue=rpc, evt_queue=evt) == (5, 3)
    assert buffer == b"%xt%rpc"
    assert drain(rpc) == [("both", -2, 7, None, 3), ("rpc", 1, 0, {"a": 1}, 1)]
    assert drain(evt) == [("evt", 1, 0, [1], 2), ("both", -2, 7, None, 3)]


@pytest.mark.parametrize("buffer", [bytearray(), bytearray(b"%xt%abc%1%{}%"), bytearray(b"x" * 100_000), None])
def test_without_a_complete_message_nothing_happens(buffer):
    before = None if buffer is None else bytes(buffer)
    gate = PyGate({"abc": Boom("asked")}, log := [])
    assert XtPreParser(gate).feed_and_route(buffer, *log_queues(log)) == (0, 0)
    assert (buffer if buffer is None else bytes(buffer)) == before and log == []


def test_payload_decoder_failures_are_not_failures(monkeypatch):
    def loads(payload):
        raise KeyboardInterrupt  # dropped like any other decoding failure: the record gets data None

    monkeypatch.setattr(vrel_dll, "orjson", types.SimpleNamespace(loads=loads))
    buffer, log = bytearray(b"%xt%a%1%[1]%\0%xt%a%1%0%{}%\0"), []
    assert XtPreParser(PyGate({"a": 2}, log)).feed_and_route(buffer, *log_queues(log)) == (2, 2)
    assert buffer == b"" and [entry for entry in log if entry[0] == "evt"] == [("evt", ("a", 1, 0, None, 2))] * 2


# ---- failures: what came before stays routed and removed, the failing message is removed too
HEAD = b"%xt%first%1%[1]%\0\0%xt%bad%1%[2]%\0"
TAIL = b"%xt%after%1%{}%\0%xt%part"


class PickyQueue(LogQueue):
    def put_nowait(self, item):
        if item.command == "bad":
            raise Boom("put")
        super().put_nowait(item)


class EqualToBad:
    """A table key that collides with "bad" and fails the comparison."""

    def __hash__(self):
        return hash("bad")

    def __eq__(self, other):
        raise Boom("compare")


def gatekeeper(pending=(), handled=("first",)):
    gate = Gatekeeper(dict.fromkeys(handled), {})
    gate._pending_futures.update(dict.fromkeys(pending))
    return gate


def no_str_in_cache(parser):
    parser.parse_and_route(b"%xt%bad%1%")
    cache = next(r for r in __import__("gc").get_referents(parser) if type(r) is dict)
    cache[b"bad"] = 5


def full_queue():
    queue = asyncio.Queue(1)
    queue.put_nowait(0)
    return queue


def py_gate(bad, **kw):
    return lambda log: PyGate({"first": 2, "bad": bad}, log, **kw)


def failing(gate, error, message, entries=(), rpc=None, setup=None, routed=("first",)):
    """gate(log), the error and its own entries after the call's, an rpc queue other than a logging
    one, setup(parser), and the records routed before the failure."""
    return gate, error, message, [FEED, *entries], rpc, setup, list(routed)


FAILURES = {
    # a new exception at each run: a reused one would grow its traceback
    "gate raises": failing(lambda log: PyGate({"first": 2, "bad": Boom("boom")}, log), Boom, "boom"),
    "mask is no integer": failing(py_gate("3"), TypeError, "an integer is required"),
    "mask out of range": failing(py_gate(2**40), OverflowError, TOO_LARGE),
    "gate's routing raises": failing(py_gate(2, fail_route="bad"), Boom, "route"),
    "full rpc queue": failing(lambda log: gatekeeper(["bad"]), asyncio.QueueFull, "", [ROUTE], full_queue),
    "evt queue raises after the rpc put": failing(
        lambda log: gatekeeper(["bad"], ["first", "bad"]), Boom, "put", [ROUTE], routed=["first", "bad"]
    ),
    "table key raises": failing(lambda log: gatekeeper([EqualToBad()]), Boom, "compare", [MASK]),
    "cache entry no str": failing(
        lambda log: gatekeeper(["bad"]), TypeError, "Expected str, got int", setup=no_str_in_cache
    ),
}


@pytest.mark.parametrize("name", FAILURES)
def test_a_failing_message_is_removed_and_the_rest_kept(name):
    make_gate, exc_type, message, entries, make_rpc, setup, routed = FAILURES[name]
    log = []
    parser = XtPreParser(make_gate(log))
    rpc = make_rpc() if make_rpc else LogQueue("rpc", log)
    evt = PickyQueue("evt", log) if name.startswith("evt") else LogQueue("evt", log)
    if setup:
        setup(parser)
    buffer = bytearray(HEAD + TAIL)
    with pytest.raises(exc_type) as info:
        parser.feed_and_route(buffer, rpc, evt)
    assert str(info.value) == message and own_entries(info.value) == entries
    assert buffer == b"%xt%part"  # every complete message left the buffer at the start
    assert [f[0] for queue, f in log if queue != "gate"] == routed
    # the rest waits in the parser, which handles it first at its next call, once
    parser.__init__(Gatekeeper({"after": None}, {}))
    del log[:]
    buffer += b"%\0"
    assert parser.feed_and_route(buffer, *log_queues(log)) == (2, 1)
    assert buffer == b"" and log == [("evt", ("after", 1, 0, {}, 2))]
    assert parser.feed_and_route(buffer, *log_queues(log)) == (0, 0)


def test_a_parser_without_a_cache_fails_at_its_first_packet():
    parser, log = XtPreParser.__new__(XtPreParser), []
    buffer = bytearray(b"\0not xt\0%xt%first%1%\0" + TAIL)
    with pytest.raises(AttributeError) as info:
        parser.feed_and_route(buffer, *log_queues(log))
    assert str(info.value) == "'NoneType' object has no attribute 'get'" and own_entries(info.value) == [FEED]
    assert buffer == b"%xt%part" and log == []


# ---- the buffer while the call runs: its complete messages were taken out before any code ran,
# so code the call runs may change it, keep views of it or feed it again, and a message is
# handled exactly once whatever it does
CHANGES = {
    "extend": lambda b: b.extend(b"%1%\0"),
    "append": lambda b: b.append(0),
    "del front": lambda b: b.__delitem__(slice(0, 1)),
    "clear": lambda b: b.clear(),
    "grow slice": lambda b: b.__setitem__(slice(0, 1), b"abc"),
    "+=": lambda b: b.__iadd__(b"x"),
    "re-init": lambda b: b.__init__(b"%xt%new%1%\0"),
    "in place": lambda b: b.__setitem__(slice(-4, None), b"new\0"),
    "view kept": lambda b: VIEWS.append(memoryview(b)),
}
VIEWS = []


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("where", ["gate", "queue", "decoder"])
def test_code_run_by_the_call_changes_the_buffer(monkeypatch, change, where):
    buffer, log, done = bytearray(HEAD + TAIL), [], []
    gate = PyGate({"first": 2, "bad": 2, "after": 2, "new": 2, "part": 2}, log)
    rpc, evt = log_queues(log)

    def at_bad(seen):
        if seen == "bad" and not done:
            done.append(CHANGES[change](buffer))

    if where == "gate":
        gate.get_destination_mask = lambda name: at_bad(name) or gate.masks[name]
    elif where == "queue":
        evt.put_nowait = lambda record: at_bad(record.command) or LogQueue.put_nowait(evt, record)
    else:
        loads = lambda p: at_bad(p == b"[2]" and "bad") or p  # noqa: E731
        monkeypatch.setattr(vrel_dll, "orjson", types.SimpleNamespace(loads=loads))
    expected = bytearray(b"%xt%part")
    CHANGES[change](expected)
    parser = XtPreParser(gate)
    try:
        assert parser.feed_and_route(buffer, rpc, evt)[0] == 4
        assert buffer == expected  # what the code did, to what the call left
        assert [f[0] for q, f in log if q == "evt"] == ["first", "bad", "after"]
        if VIEWS:
            handled = list(log)
            with pytest.raises(BufferError, match=RESIZED) as info:  # still viewed: nothing is handled
                parser.feed_and_route(buffer, rpc, evt)
            assert own_entries(info.value) == [FEED] and log == handled and buffer == expected
            VIEWS.clear()
        # whatever the code completed is the next call's, handled once
        del log[:]
        parser.feed_and_route(buffer, rpc, evt)
        reference = XtPreParser(PyGate(gate.masks, []))
        records = [reference.parse_and_route(bytes(m)) for m in expected.split(b"\0")[:-1]]
        assert [f[0] for q, f in log if q == "evt"] == [r.command for r in records if r is not None]
    finally:
        VIEWS.clear()


@pytest.mark.parametrize("how", ["same buffer", "other buffer"])
def test_the_call_feeds_the_parser_again(how):
    """An inner call handles the outer call's remaining messages first: stream order, each once."""
    buffer, log, inner = bytearray(HEAD + TAIL), [], []
    other = bytearray(b"%xt%other%1%\0") if how == "other buffer" else buffer

    def mask(name):
        if name == "bad" and not inner:
            buffer.extend(b"%1%\0")  # completes the last message: the inner call's to handle
            inner.append(parser.feed_and_route(other, *log_queues(log)))
        return 2

    gate = PyGate({}, log)
    gate.get_destination_mask = mask
    parser = XtPreParser(gate)
    assert parser.feed_and_route(buffer, *log_queues(log)) == (3, 2)
    evts = [f[0] for q, f in log if q == "evt"]
    if how == "same buffer":
        assert inner == [(2, 2)] and evts == ["first", "after", "part", "bad"] and buffer == b""
    else:
        assert inner == [(2, 2)] and evts == ["first", "after", "other", "bad"] and buffer == b"%xt%part%1%\0"


def test_gate_replaced_while_a_buffer_is_handled():
    log = []
    second = PyGate({"b": 2}, log)

    def mask(name):
        parser.__init__(second)  # drops the parser's hold on the first gate
        return 2

    first = PyGate({}, log)
    first.get_destination_mask = mask
    parser = XtPreParser(first)
    del first
    buffer = bytearray(b"%xt%a%1%\0%xt%b%1%\0")
    assert parser.feed_and_route(buffer, *log_queues(log)) == (2, 2)
    # each record is routed by the gate the parser has when the record is routed
    assert [entry for entry in log if entry[0] == "gate"] == [("gate", "a"), ("gate", "b")]


# ---- random streams cut at random places
message_st = st.one_of(
    st.sampled_from([m for m in build_corpus(size=200, seed=3).messages if len(m) < 400]),
    st.sampled_from([b"", b"%xt%", b"%xt%userJoin%1%", b"%xt%ext%getRoomList%-1%12%[1]%", b"%xt%PlayerMove%1%{%"]),
    st.binary(max_size=20).map(lambda b: b.replace(b"\0", b"%")),
    st.binary(max_size=20).map(lambda b: b"%xt%" + b.replace(b"\0", b"")),
)


@settings(max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(message_st, max_size=30), st.booleans(), st.data())
def test_random_chunking_of_a_random_stream(messages, terminated, data):
    stream = b"\0".join(messages) + (b"\0" if terminated else b"")
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=12)))
    chunks = [stream[a:b] for a, b in zip([0, *cuts], [*cuts, len(stream)], strict=True)]
    (counts, log, buffer), (want_counts, want_log, want_buffer) = run_both("gatekeeper", chunks)
    assert counts == want_counts and log == want_log and buffer == want_buffer
    assert bytes(buffer) == stream[stream.rfind(b"\0") + 1 :]


# ---- the example client's bound on a message
@pytest.fixture(scope="module")
def demo():
    return importlib.import_module("demo")


@pytest.mark.parametrize("ingest", ["feed", "dispatch", "streams"])
@pytest.mark.parametrize(
    "extra, terminated, received",
    [
        (0, True, 3),  # exactly the longest message allowed
        (0, False, 1),  # as long, and still unfinished when the server closes
        (1, True, None),  # one byte too long, terminator and all
        (1, False, None),  # one byte too long, no terminator in sight
    ],
)
def test_the_example_client_bounds_a_message(demo, ingest, extra, terminated, received):
    head = b"%xt%big%1%0%"
    big = head + b"x" * (demo.MAX_MESSAGE_SIZE + extra - len(head))
    data = b"%xt%big%1%0%[1]%\0" + big + (b"\0%xt%big%1%0%[2]%\0" if terminated else b"")
    closed, handled = [], []

    async def session():
        reader = asyncio.StreamReader(limit=demo.MAX_MESSAGE_SIZE)
        client = demo.Client(
            reader, types.SimpleNamespace(close=lambda: closed.append(True)), {"big": handled.append}, ingest
        )
        for i in range(0, len(data), 100_000):  # as the network might deliver it
            reader.feed_data(data[i : i + 100_000])
        reader.feed_eof()
        await client.read_messages()
        return client.stats.received, client.stats.dropped, client.evt_queue.qsize() + len(handled)

    # A loop of its own rather than asyncio.run, whose SIGINT handling keeps a few blocks
    # per call and so would look like a leak in leak mode.
    loop = asyncio.new_event_loop()
    try:
        if received is None:
            with pytest.raises(demo.MessageTooLong, match="longer than 1,048,576 bytes"):
                loop.run_until_complete(session())
            assert closed == [True]
        else:
            assert loop.run_until_complete(session()) == (received, 0, received) and closed == []
    finally:
        loop.close()


# ---- exactly once, whatever the caller and the code the call runs do with views and memory
def numbered(first, count):
    """Messages whose payload is their number, decoded by `int` (see below)."""
    return b"".join(b"%%xt%%n%%1%%0%%%d%%\0" % i for i in range(first, first + count))


def handled_numbers(log):
    return [f[3] for q, f in log if q == "evt"]


def views_on_two_buffers(parser, log):
    """Two buffers whose calls each end with a view of them kept (by the queue)."""
    first, second, views = bytearray(numbered(0, 3)), bytearray(numbered(3, 3)), []
    rpc, evt = log_queues(log)
    evt.put_nowait = lambda record: views.append(memoryview(buffer)) or LogQueue.put_nowait(evt, record)
    for buffer in (first, second):
        parser.feed_and_route(buffer, rpc, evt)
    views.clear()
    first += numbered(6, 1)
    for buffer in (first, second):
        parser.feed_and_route(buffer, *log_queues(log))
    return list(range(7))


def heartbeat_after_a_clear(parser, log):
    """The same bytes arrive again after the caller cleared the buffer a view had kept."""
    buffer, views = bytearray(numbered(0, 1)), []
    rpc, evt = log_queues(log)
    evt.put_nowait = lambda record: views.append(memoryview(buffer)) or LogQueue.put_nowait(evt, record)
    parser.feed_and_route(buffer, rpc, evt)
    views.clear()
    buffer.clear()
    buffer += numbered(0, 1)
    parser.feed_and_route(buffer, *log_queues(log))
    return [0, 0]


@pytest.fixture
def int_payloads(monkeypatch):
    # orjson itself does not survive every failed allocation; int() of the payload does
    monkeypatch.setattr(vrel_dll, "orjson", types.SimpleNamespace(loads=int))


@pytest.mark.parametrize("scenario", [views_on_two_buffers, heartbeat_after_a_clear])
def test_every_message_is_handled_once_whatever_views_are_kept(scenario, int_payloads):
    log = []
    expected = scenario(XtPreParser(Gatekeeper({"n": None}, {})), log)
    assert handled_numbers(log) == expected


SHRINK_PROBE = """
import _testcapi
for failing in range(1, 4):
    buffer = bytearray(b"x" * 550 + b"tail")
    _testcapi.set_nomemory(failing, failing + 1)
    try:
        del buffer[:550]
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    assert buffer in (b"tail", b"x" * 550 + b"tail")
"""


def interpreter_keeps_a_bytearray_whose_shrinking_fails():
    """`del b[:n]` failing for want of memory must leave `b` as it was (3.15.2's frees its
    storage instead). Asked of a plain interpreter of its own: the answer may read freed memory."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    return subprocess.run([sys.executable, "-c", SHRINK_PROBE], env=env, capture_output=True).returncode == 0


@pytest.mark.parametrize("method", ["feed_and_route", "feed_and_dispatch"])
def test_an_allocation_failure_never_handles_a_message_twice(method, int_payloads):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation failures to inject")
    if not interpreter_keeps_a_bytearray_whose_shrinking_fails():
        pytest.skip("this interpreter's bytearray loses its contents when shrinking it fails")
    # Many complete messages before a short tail: taking them out shrinks the buffer by more
    # than half, which reallocates.
    stream, tail = numbered(0, 40), b"%xt%n%1%0%"
    for failing in range(1, 150):
        # only C code runs while an allocation may fail (the interpreter's own bytecode does not
        # survive every failed allocation in its debug build), and a list's append, unlike a
        # deque's, keeps no reference when it fails
        handled, rpc, evt = [], ListQueue(), ListQueue()
        parser, buffer = XtPreParser(Gatekeeper({"n": handled.append}, {})), bytearray(stream + tail)
        call = {
            "feed_and_route": lambda: parser.feed_and_route(buffer, rpc, evt),
            "feed_and_dispatch": lambda: parser.feed_and_dispatch(buffer),
        }[method]
        raised = False
        testcapi.set_nomemory(failing, failing + 1)
        try:
            call()
        except MemoryError:
            raised = True
        finally:
            testcapi.remove_mem_hooks()
        untouched = buffer == stream + tail
        buffer += b"40%\0"
        call()
        # a payload that could not be decoded arrives as None (as {} for a handler)
        numbers = [n if isinstance(n, int) else None for n in [r.data for r in evt] + handled]
        known = [n for n in numbers if n is not None]
        assert len(known) == len(set(known)), failing  # never twice
        # none lost, but the one message whose handling failed, or whose payload did
        allowed = (1 if raised and not untouched else 0) + numbers.count(None)
        assert 41 - len(known) <= allowed, failing
