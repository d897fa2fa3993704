"""XtPreParser.feed_and_dispatch: checked against feed_and_route followed by the receive loop in Python."""

import asyncio
import gc
from collections import deque
from types import SimpleNamespace

import pytest

import vrel_dll
from conftest import own_entries
from vrel_dll import Gatekeeper, StatusError, XtPreParser
from vrel_testkit import packet_model
from vrel_testkit.corpus import ANSWERED, ERROR_CODES, HANDLED, build_corpus

DISPATCH = "vrel_dll.XtPreParser.feed_and_dispatch"
STATUS = "vrel_dll.Gatekeeper.process_status"
RESOLVE = "vrel_dll.Gatekeeper.resolve_rpc"
RESIZED = "Existing exports of data: object cannot be re-sized"
STREAM = b"".join(m + b"\0" for m in build_corpus(size=600, seed=11).messages)
ANSWERS = [c.lower() for c in ANSWERED] + ["userjoin"]  # userJoin is both answer and event


class Boom(Exception):
    pass


class SubGate(Gatekeeper):
    """Not exactly a Gatekeeper: its methods are called by name, and these run the inherited ones."""


@pytest.fixture
def warnings(monkeypatch):
    lines = []
    monkeypatch.setattr(vrel_dll, "logger", SimpleNamespace(warning=lines.append))
    return lines


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


def corpus_gate(kind, loop, calls):
    """Handlers log their calls (buddyStatus has None); every answer finds a request pending,
    so that answering one never changes where a later packet goes."""
    handlers = {c: (lambda data, c=c: calls.append((c, data))) for c in HANDLED} | {"buddyStatus": None}
    gate = (Gatekeeper if kind == "gatekeeper" else SubGate)(handlers, dict(ERROR_CODES))
    futures = {c: [loop.create_future() for _ in range(STREAM.count(b"\0"))] for c in ANSWERS}
    gate._pending_futures.update((c, deque(fs)) for c, fs in futures.items())
    return gate, futures


class Puts:
    """Both queues of feed_and_route as one list of records, in the order they were put."""

    def __init__(self):
        self.records = []

    def put_nowait(self, record):
        if not self.records or self.records[-1] is not record:  # a record put into both queues once
            self.records.append(record)


def route_and_drain(parser, gate, buffer, puts, calls):
    """The reference: feed_and_route, then each record through the gate in Python, in order."""
    messages, _ = parser.feed_and_route(buffer, puts, puts)
    answers = events = 0
    for p in puts.records:
        result = gate.process_status(p.command, p.status, p.error_code, p.data)
        if p.destination & 1:
            if result is False:
                description = gate._error_codes.get(p.error_code, "Unknown error code")
                gate.reject_rpc(p.command, StatusError(p.command, p.status, p.error_code, description, p.data))
            else:
                gate.resolve_rpc(p.command, result)
            answers += 1
        if p.destination & 2 and result is not False and (handler := gate.get_handler(p.command)) is not None:
            handler(result)
            events += 1
    puts.records.clear()
    return messages, answers, events


def settled(future):
    """A done future's result, or its exception's type and fields."""
    if (error := future.exception()) is None:
        return future.result()
    return type(error), error.args, str(error)


def cut(stream, size):
    return [stream[i : i + size] for i in range(0, len(stream), size)]


@pytest.mark.parametrize("gate_kind", ["gatekeeper", "subclass"])
@pytest.mark.parametrize(
    "chunks",
    [
        pytest.param([STREAM], id="at-once"),
        pytest.param(cut(STREAM, 997), id="inside-messages"),
        pytest.param([m + b"\0" for m in STREAM.split(b"\0")[:-1]], id="after-each-NUL"),
    ],
)
def test_same_results_as_feed_and_route_and_the_python_loop(gate_kind, chunks, warnings, loop):
    sides = []
    for dispatch in (True, False):
        calls, puts = [], Puts()
        gate, futures = corpus_gate(gate_kind, loop, calls)
        parser, buffer, counts = XtPreParser(gate), bytearray(), []
        for chunk in chunks:
            buffer += chunk
            counts.append(
                parser.feed_and_dispatch(buffer) if dispatch else route_and_drain(parser, gate, buffer, puts, calls)
            )
        answered = {c: [settled(f) for f in q if f.done()] for c, q in futures.items()}
        sides.append((counts, calls, answered, warnings[:], bytes(buffer)))
        warnings.clear()
    assert sides[0] == sides[1]
    counts, calls, answered, logged, rest = sides[0]
    handled = {c.lower() for c in HANDLED}
    messages, left = packet_model.split_stream(STREAM)
    records = [r for r in (packet_model.parse(m, lambda n: (n in ANSWERS) | 2 * (n in handled)) for m in messages) if r]
    ok = [r[1] == 1 and r[2] in (0, 453) for r in records]
    assert rest == left and sum(c[0] for c in counts) == len(messages)
    # each answer settled a request, with a StatusError when refused; each failure was logged once
    assert sum(c[1] for c in counts) == sum(map(len, answered.values())) == sum(r[4] & 1 for r in records)
    assert sum(type(r) is tuple for rs in answered.values() for r in rs) == sum(
        r[4] & 1 and not k for r, k in zip(records, ok)
    )
    assert len(logged) == ok.count(False) > 0
    assert (
        sum(c[2] for c in counts)
        == len(calls)
        == sum(bool(r[4] & 2) and k and r[0] != "buddystatus" for r, k in zip(records, ok))
    )


@pytest.mark.parametrize("gate_type", [Gatekeeper, SubGate])
def test_the_receive_rules(gate_type, warnings, loop):
    calls = []
    gate = gate_type({"both": calls.append, "evt": calls.append, "none": None}, {104: "Player not found"})
    futures = [loop.create_future() for _ in range(4)]
    gate._pending_futures.update(both=deque(futures[:2]), rpc=deque(futures[2:]))
    buffer = bytearray(
        b"%xt%Both%1%104%{}%\0%xt%both%1%0%[1]%\0%xt%rpc%-1%12%\0%xt%none%1%{}%\0"
        b"%xt%evt%1%0%\0%xt%other%1%{}%\0%xt%rpc%1%0%false%\0%xt%evt%1%"
    )
    assert XtPreParser(gate).feed_and_dispatch(buffer) == (7, 4, 2)
    assert buffer == b"%xt%evt%1%"
    # a refused answer's request gets a StatusError holding what its warning line (written
    # once) names, and no handler is called; success without data hands the handler {};
    # a handler stored as None is not called
    refused = [futures[0].exception(), futures[2].exception()]
    assert [(type(e), e.command, e.status, e.error_code, e.description, e.data) for e in refused] == [
        (StatusError, "both", 1, 104, "Player not found", {}),
        (StatusError, "rpc", -1, 12, "Unknown error code", None),
    ]
    assert (
        [str(e) for e in refused]
        == warnings
        == [
            "[both] STATUS 1 | ERROR 104: Player not found",
            "[rpc] STATUS -1 | ERROR 12: Unknown error code",
        ]
    )
    assert futures[1].result() == [1] and calls == [[1], {}]
    # a success whose payload is false: no refusal for an exact gate, whose judgement tells;
    # a gate called by name has only its False to go by
    if gate_type is Gatekeeper:
        assert futures[3].result() is False
    else:
        assert str(futures[3].exception()) == "[rpc] STATUS 1 | ERROR 0: Unknown error code"
    assert XtPreParser(gate).feed_and_dispatch(None) == (0, 0, 0)


class LoggingGate(Gatekeeper):
    """Overrides that must be the ones called."""

    def __init__(self, log):
        super().__init__({"evt": log.append, "both": log.append}, {})
        self.log = log

    def process_status(self, command, status, error_code, data):
        self.log.append(("status", command))
        return ("judged", data) if status == 1 else False

    def resolve_rpc(self, command, result):
        self.log.append(("resolve", command, result))

    def reject_rpc(self, command, exception):
        self.log.append(("reject", command, exception.args, str(exception)))

    def get_handler(self, command):
        self.log.append(("handler", command))
        return super().get_handler(command)


def test_a_subclass_has_its_own_methods_called():
    log = []
    gate = LoggingGate(log)
    gate._pending_futures["both"] = deque()  # the mask asks for the key only
    gate._error_codes[5] = "Five"  # what a refusal's description comes from, for a gate called by name
    buffer = bytearray(b"%xt%evt%1%0%[1]%\0%xt%both%1%0%\0%xt%both%2%5%[2]%\0")
    assert XtPreParser(gate).feed_and_dispatch(buffer) == (3, 2, 2)
    assert log == [
        ("status", "evt"),
        ("handler", "evt"),
        ("judged", [1]),
        ("status", "both"),
        ("resolve", "both", ("judged", None)),
        ("handler", "both"),
        ("judged", None),
        ("status", "both"),
        ("reject", "both", ("both", 2, 5, "Five", [2]), "[both] STATUS 2 | ERROR 5: Five"),
    ]


# ---- failures: a record's Exception goes to the running loop's exception handler and the
# next record is handled; without a running loop, and for any other BaseException, it
# propagates: what came before stays done and removed, the failing message is removed too
def handler_raising(data):
    raise Boom("handler")


def handler_interrupting(data):
    raise KeyboardInterrupt("handler")


def failing_subclass(method):
    def override(self, command, *args):
        if command == "bad":
            raise Boom(method)
        return getattr(Gatekeeper, method)(self, command, *args)

    return type("Failing", (Gatekeeper,), {method: override})


NO_GET = "'NoneType' object has no attribute 'get'"
# name -> (gate class, error codes, pending entry of "bad", error type, message, own entries after the call's)
FAILURES = {
    "handler raises": (Gatekeeper, {}, None, Boom, "handler", []),
    "handler interrupts": (Gatekeeper, {}, None, KeyboardInterrupt, "handler", []),
    # a failed status, and no error-code table to describe it
    "process_status fails": (Gatekeeper, None, None, AttributeError, NO_GET, [STATUS]),
    "resolve_rpc fails": (Gatekeeper, {}, [1], AttributeError, "'list' object has no attribute 'popleft'", [RESOLVE]),
    "process_status raises": (failing_subclass("process_status"), {}, None, Boom, "process_status", []),
    "resolve_rpc raises": (failing_subclass("resolve_rpc"), {}, "future", Boom, "resolve_rpc", []),
    "get_handler raises": (failing_subclass("get_handler"), {}, None, Boom, "get_handler", []),
}
BAD_HANDLERS = {"handler raises": handler_raising, "handler interrupts": handler_interrupting}


def feed(parser, buffer, loop):
    """parser.feed_and_dispatch(buffer), inside `loop` when it is given: (counts, None) or (None, exception)."""

    def attempt():
        try:
            return parser.feed_and_dispatch(buffer), None
        except BaseException as exc:  # KeyboardInterrupt is one of the cases
            return None, exc

    if loop is None:
        return attempt()

    async def inside():
        return attempt()

    return loop.run_until_complete(inside())


@pytest.mark.parametrize("running", [True, False], ids=["loop", "no-loop"])
@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("name", FAILURES)
def test_a_failing_record(name, position, running, warnings, loop):
    gate_type, error_codes, pending, exc_type, message, entries = FAILURES[name]
    log, reported = [], []
    gate = gate_type({"first": log.append, "bad": BAD_HANDLERS.get(name, log.append), "after": log.append}, error_codes)
    if pending is not None:
        gate._pending_futures["bad"] = deque([loop.create_future()]) if pending == "future" else pending
    messages = [b"%xt%first%1%0%[1]%", b"%xt%after%1%{}%"]
    messages.insert(position, b"%xt%bad%1%7%[2]%" if error_codes is None else b"%xt%bad%1%0%[2]%")
    buffer = bytearray(b"".join(m + b"\0" for m in messages) + b"%xt%part")
    parser = XtPreParser(gate)
    loop.set_exception_handler(lambda loop, context: reported.append(context))
    counts, error = feed(parser, buffer, loop if running else None)
    if running and exc_type is not KeyboardInterrupt:
        # reported as it was raised, before it could leave the call, and the rest handled
        assert counts == (3, 0, 2) and buffer == b"%xt%part" and log == [[1], {}]
        assert [sorted(context) for context in reported] == [["command", "exception", "message"]]
        context = reported[0]
        assert context["message"] == "Exception in feed_and_dispatch while handling command 'bad'"
        assert context["command"] == "bad" and type(context["exception"]) is exc_type
        assert str(context["exception"]) == message and own_entries(context["exception"]) == entries
        return
    assert type(error) is exc_type and str(error) == message and own_entries(error) == [DISPATCH, *entries]
    assert reported == []
    assert buffer == b"%xt%part" and log == [[1], {}][:position]  # the rest waits in the parser
    assert parser.feed_and_dispatch(buffer) == (2 - position, 0, 2 - position) and buffer == b"%xt%part"
    assert log == [[1], {}]


# ---- handlers that return a coroutine: a task of the running loop, held until it finishes
def test_a_coroutine_handler_runs_as_a_task(warnings, loop):
    log, reported = [], []

    async def works(data):
        await asyncio.sleep(0)
        log.append(data)

    async def fails(data):
        await asyncio.sleep(0)
        raise Boom(f"task {data}")

    async def waits(data):
        await asyncio.Event().wait()  # only cancelled

    gate = Gatekeeper({"works": works, "fails": fails, "waits": waits}, {})
    buffer = bytearray(b"%xt%works%1%0%[1]%\0%xt%fails%1%0%[2]%\0%xt%waits%1%0%[3]%\0")

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
        counts = XtPreParser(gate).feed_and_dispatch(buffer)
        tasks = asyncio.all_tasks() - {asyncio.current_task()}
        task_names = sorted(t.get_coro().__name__ for t in tasks)
        del tasks
        for _ in range(3):
            await asyncio.sleep(0)
        gc.collect()  # the waiting task is held by the module, not by the loop's weak set alone
        (waiting,) = asyncio.all_tasks() - {asyncio.current_task()}
        waiting.cancel()
        await asyncio.sleep(0)
        return counts, task_names

    assert loop.run_until_complete(main()) == ((3, 0, 3), ["fails", "waits", "works"])
    gc.collect()  # a task whose exception nobody retrieved would be reported again now
    assert log == [[1]] and [sorted(context) for context in reported] == [["command", "exception", "message", "task"]]
    context = reported[0]
    assert context["message"] == "Exception in the task of the handler of command 'fails'"
    assert context["command"] == "fails" and context["task"].get_coro().__name__ == "fails"
    assert type(context["exception"]) is Boom and str(context["exception"]) == "task [2]"


# ---- code run by the call: handlers that change the parser, the gate or the buffer
def reenter(parser, gate, buffer, log, loop):
    other = bytearray(b"%xt%b%1%[9]%\0")

    def handler(data):
        log.append(data)
        if data == [1]:  # the outer call's remaining messages come first
            log.append(parser.feed_and_dispatch(other))

    return handler


def replace_gate(parser, gate, buffer, log, loop):
    def handler(data):
        log.append(data)
        parser.__init__(Gatekeeper({"b": lambda data: log.append(("second gate", data))}, {}))

    return handler


def resize(parser, gate, buffer, log, loop):
    def handler(data):
        log.append(data)
        buffer.extend(b"x")  # the complete messages left the buffer before any handler ran

    return handler


def change_tables(parser, gate, buffer, log, loop):
    def handler(data):
        log.append(data)
        if data == [1]:  # the later messages of the buffer go where the tables say by then
            gate._pending_futures["c"] = deque([future := loop.create_future()])
            log.append(future)
            del gate._handler_map["b"]

    return handler


def keep_view(parser, gate, buffer, log, loop):
    def handler(data):
        log.append(data)
        if data == [1]:
            log.append(memoryview(buffer))

    return handler


def shown(item):
    if isinstance(item, asyncio.Future):
        return ("answer", item.result())
    return "view" if isinstance(item, memoryview) else item


@pytest.mark.parametrize(
    "make_handler, counts, logged, rest",
    [
        (reenter, (1, 0, 1), [[1], [2], [3], [9], (3, 0, 3)], b"%xt%"),
        (replace_gate, (3, 0, 2), [[1], ("second gate", [2])], b"%xt%"),
        (resize, (3, 0, 3), [[1], [2], [3]], b"%xt%xxx"),
        (change_tables, (3, 1, 2), [[1], ("answer", [3]), [3]], b"%xt%"),
        (keep_view, (3, 0, 3), [[1], "view", [2], [3]], b"%xt%"),
    ],
)
def test_handlers_that_change_what_the_call_uses(make_handler, counts, logged, rest, loop):
    log = []
    gate = Gatekeeper({}, {})
    buffer = bytearray(b"%xt%a%1%[1]%\0%xt%b%1%[2]%\0%xt%c%1%[3]%\0%xt%")
    parser = XtPreParser(gate)
    handler = make_handler(parser, gate, buffer, log, loop)
    gate._handler_map.update(a=handler, b=handler, c=handler)
    del gate
    assert parser.feed_and_dispatch(buffer) == counts
    assert [shown(item) for item in log] == logged and buffer == rest
    if make_handler is keep_view:  # refused while the view is kept, nothing handled twice after
        with pytest.raises(BufferError, match=RESIZED):
            parser.feed_and_dispatch(buffer)
        log.clear()
        assert parser.feed_and_dispatch(buffer) == (0, 0, 0) and log == [] and buffer == b"%xt%"
