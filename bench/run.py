#!/usr/bin/env python3
"""Time vrel_dll's hot paths against a hand-written Python baseline and against floors.

    PYTHONPATH=. python bench/run.py [pyperf options] [--results PATH] [--only TEXT] [--check-only]
                                    [--stat median|mean|min] [--load RAW]
    PYTHONPATH=BUILD:. python bench/run.py --compare OTHER_BUILD [--rounds N] [--only TEXT]

Each scenario is timed per operation (one message, one call) for vrel_dll, for the
pure-Python baseline (bench/baseline.py) and, where one applies, for a floor: the least
work any implementation must do in the same loop (decoding the payloads, a bare C call,
building a tuple). Before timing, the module's and the baseline's answers are compared
on the whole corpus. The table at the end gives the ratio to the baseline (how many times
faster vrel_dll is) and to the floor (how many times slower), checks the targets, and is
saved as JSON (bench/results.json unless --results says otherwise). pyperf's own options
apply: --fast for a rough run, --rigorous for the final one, -o FILE for the raw values.

--compare DIR judges a change: the vrel_dll built into DIR (another checkout's build
folder) is loaded beside the one on sys.path, each checked against the baseline, and every
scenario's module loop is timed for both in alternation in one process; the table gives
the medians and the ratio current/compare per row (below 1: the current build is faster).
"""

from __future__ import annotations

import argparse
import asyncio
import atexit
import gc
import json
import platform
import statistics
import sys
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from time import perf_counter
from typing import Any, Protocol

import orjson
import pyperf  # type: ignore[import-untyped]

import baseline
import vrel_dll
from vrel_testkit import packet_model
from vrel_testkit.corpus import ANSWERED, CORPUS_SIZE, ERROR_CODES, HANDLED, SEED, build_corpus, build_requests

HERE = Path(__file__).resolve().parent


class NoopLogger:
    """Stands in for loguru so that failures time the module, not the log sinks."""

    def warning(self, message: str, /) -> None:
        pass


class RecordingLogger:
    def __init__(self) -> None:
        self.lines: list[str] = []

    def warning(self, message: str, /) -> None:
        self.lines.append(message)


class AnyParser(Protocol):
    def parse_and_route(self, msg: bytes, /) -> Any: ...


class AnyGate(Protocol):
    def get_destination_mask(self, command: str, /) -> int: ...
    def process_status(self, command: str, status: int, error_code: int, data: Any, /) -> Any: ...
    def route_to_queues(self, packet: Any, rpc_queue: Any, evt_queue: Any, /) -> None: ...
    def register_rpc(self, command: str, /) -> asyncio.Future[Any]: ...
    def resolve_rpc(self, command: str, result: Any, /) -> None: ...


def handler_table() -> dict[str, Any]:
    return {command: object() for command in HANDLED}


def pending_commands(gate: AnyGate, loop: asyncio.AbstractEventLoop) -> None:
    """Keeps one request pending for each answered command, so answers are wanted too."""

    async def register() -> None:
        for command in ANSWERED:
            gate.register_rpc(command)

    loop.run_until_complete(register())


def fields(record: Any) -> tuple[Any, ...] | None:
    if record is None:
        return None
    return record.command, record.status, record.error_code, record.data, record.destination


def expect_packet(msg: bytes) -> packet_model.Header:
    """The header of a message of the corpus that must be an XT packet, by the model of the packet rules."""
    header = packet_model.header(msg)
    if header is None:
        raise ValueError(f"not an XT packet: {msg[:60]!r}")
    return header


def delivered_payload(msg: bytes) -> bytes | None:
    return expect_packet(msg).payload


# --- the fixtures: built identically in the manager and in every worker process ---


@dataclass
class Fixtures:
    loop: asyncio.AbstractEventLoop
    corpus: list[bytes]
    wanted: list[bytes]
    unwanted: list[bytes]
    malformed: list[bytes]
    mod: Any  # the vrel_dll module being timed: this build's, or the one --compare names
    gate: vrel_dll.Gatekeeper
    parser: vrel_dll.XtPreParser
    base_gate: baseline.Gate
    base_parser: baseline.Parser
    payloads_corpus: list[bytes]  # the non-empty payloads of the delivered packets
    payloads_wanted: list[bytes]
    names: list[str]  # command names as the parser hands them to the gate
    small_dict: dict[str, Any]
    records: list[tuple[str, int, int, Any, int]]
    packets: list[Any]  # the delivered records, as the parser made them
    base_packets: list[Any]
    status_ok: list[tuple[str, int, int, Any]]
    status_failed: list[tuple[str, int, int, Any]]
    rpc_commands: list[str]
    requests_xt: list[tuple[str, str, list[Any]]]
    requests_xt_flat: list[tuple[str, str, Any, Any, Any]]
    requests_json: list[tuple[str, str, dict[str, Any]]]
    requests_xml: list[tuple[str, str, str, str]]
    receiver: Receiver  # the receive path's gate and parser, as a client has them
    base_receiver: Receiver


class Receiver:
    """What the receive-path scenarios run on: a gate whose handlers keep what they are given
    (a C-level append to `sink`), its parser, and before each pass a request pending for every
    answer the corpus holds, as a client would have them."""

    def __init__(self, gate: Any, parser: Any, loop: asyncio.AbstractEventLoop, corpus: list[bytes]) -> None:
        self.gate, self.parser, self.loop = gate, parser, loop
        self.sink: list[Any] = []
        self.futures: list[asyncio.Future[Any]] = []
        answered = {command.lower() for command in ANSWERED}
        self.answers: dict[str, int] = {}
        for msg in corpus:
            header = packet_model.header(msg)
            if header is not None and header.name in answered:
                self.answers[header.name] = self.answers.get(header.name, 0) + 1

    @classmethod
    def build(
        cls,
        make_gate: Callable[[dict[str, Any], dict[int, str]], Any],
        make_parser: Callable[[Any], Any],
        loop: asyncio.AbstractEventLoop,
        corpus: list[bytes],
    ) -> Receiver:
        sink: list[Any] = []
        gate = make_gate(dict.fromkeys(HANDLED, sink.append), dict(ERROR_CODES))
        receiver = cls(gate, make_parser(gate), loop, corpus)
        receiver.sink = sink
        atexit.register(receiver.retire)  # the last pass's refusals too
        return receiver

    def retire(self) -> None:
        """Reads a refusal's StatusError, so that dropping its future logs nothing."""
        for f in self.futures:
            if f.done() and not f.cancelled():
                f.exception()

    def start_pass(self) -> None:
        self.sink.clear()
        self.retire()
        create = self.loop.create_future
        self.futures = [create() for _ in range(sum(self.answers.values()))]
        at = 0
        for command, n in self.answers.items():
            self.gate._pending_futures[command] = deque(self.futures[at : at + n])
            at += n

    def outcome(self) -> tuple[list[Any], list[Any]]:
        """What a pass did: the handlers' arguments, and the results of the requests; a refusal,
        False from the Python loops and a StatusError from feed_and_dispatch, shows as "refused"."""

        def settled(f: asyncio.Future[Any]) -> Any:
            if not f.done():
                return "pending"
            if type(f.exception()).__name__ == "StatusError":  # of whichever build made the gate
                return "refused"
            return "refused" if f.result() is False else f.result()

        return list(self.sink), [settled(f) for f in self.futures]


def build_fixtures(mod: Any = vrel_dll) -> Fixtures:
    loop = asyncio.new_event_loop()
    built = build_corpus()
    gate = mod.Gatekeeper(handler_table(), dict(ERROR_CODES))
    base_gate = baseline.Gate(handler_table(), dict(ERROR_CODES))
    pending_commands(gate, loop)
    pending_commands(base_gate, loop)
    parser = mod.XtPreParser(gate)
    base_parser = baseline.Parser(base_gate)

    packets = [p for p in map(parser.parse_and_route, built.messages) if p is not None]
    base_packets = [p for p in map(base_parser.parse_and_route, built.messages) if p is not None]
    records = [fields(parser.parse_and_route(msg)) for msg in built.messages]
    delivered = [msg for msg, record in zip(built.messages, records, strict=True) if record is not None]
    payloads = [p for p in map(delivered_payload, delivered) if p]
    wanted_payloads = [p for p in map(delivered_payload, built.wanted) if p]
    names = [expect_packet(msg).name for msg in built.wanted + built.unwanted]
    rows = [r for r in records if r is not None]
    ok = [(r[0], r[1], r[2], r[3]) for r in rows if r[1] == 1 and r[2] in (0, 453)]
    failed = [(r[0], r[1], r[2], r[3]) for r in rows if not (r[1] == 1 and r[2] in (0, 453))]
    requests = build_requests()
    return Fixtures(
        loop=loop,
        mod=mod,
        corpus=built.messages,
        wanted=built.wanted,
        unwanted=built.unwanted,
        malformed=built.malformed,
        gate=gate,
        parser=parser,
        base_gate=base_gate,
        base_parser=base_parser,
        payloads_corpus=payloads,
        payloads_wanted=wanted_payloads,
        names=names,
        small_dict={command.lower(): object() for command in HANDLED},
        records=[(r[0], r[1], r[2], r[3], r[4]) for r in rows],
        packets=packets,
        base_packets=base_packets,
        status_ok=ok,
        status_failed=failed,
        rpc_commands=["getRoomList", "joinRoom", "getInventory", "buyItem", "moveTo", "sendMessage"],
        requests_xt=requests.xt,
        requests_xt_flat=[(h, c, d[0], d[1], d[2]) for h, c, d in requests.xt],
        requests_json=requests.json_xt,
        requests_xml=requests.xml,
        receiver=Receiver.build(mod.Gatekeeper, mod.XtPreParser, loop, built.messages),
        base_receiver=Receiver.build(baseline.Gate, baseline.Parser, loop, built.messages),
    )


# --- checks: the module and the baseline must agree before anything is timed ---


class Mismatch(Exception):
    pass


def expect_equal(what: str, ours: Sequence[Any], theirs: Sequence[Any]) -> None:
    if len(ours) != len(theirs):
        raise Mismatch(f"{what}: {len(ours)} results against {len(theirs)}")
    for index, (a, b) in enumerate(zip(ours, theirs, strict=True)):
        if a != b:
            raise Mismatch(f"{what}: item {index} differs:\n  vrel_dll: {a!r}\n  baseline: {b!r}")


def check(fx: Fixtures) -> list[str]:
    """Compares every scenario's results; returns what was compared."""
    done: list[str] = []
    for label, msgs in (
        ("corpus", fx.corpus),
        ("wanted", fx.wanted),
        ("unwanted", fx.unwanted),
        ("malformed", fx.malformed),
    ):
        ours = [fields(fx.parser.parse_and_route(m)) for m in msgs]
        theirs = [fields(fx.base_parser.parse_and_route(m)) for m in msgs]
        expect_equal(f"parse_and_route over {label}", ours, theirs)
        done.append(f"parse_and_route: {len(msgs)} {label} messages, {sum(r is not None for r in ours)} delivered")
    if any(r is not None for r in (fx.parser.parse_and_route(m) for m in fx.unwanted + fx.malformed)):
        raise Mismatch("an unwanted or malformed message was delivered")
    if not all(fx.parser.parse_and_route(m) is not None for m in fx.wanted):
        raise Mismatch("a wanted message was dropped")
    mask_of = fx.base_gate.get_destination_mask
    expect_equal(
        "parse_and_route over corpus against the model",
        [fields(fx.parser.parse_and_route(m)) for m in fx.corpus],
        [packet_model.parse(m, mask_of) for m in fx.corpus],
    )
    done.append("parse_and_route: the corpus against the model of the packet rules")
    decoded = [orjson.loads(p) for p in fx.payloads_corpus]
    delivered_data = [r[3] for r in fx.records if r[3] is not None]
    expect_equal("delivered payloads against orjson.loads", delivered_data, decoded)

    def routed(parser: AnyParser, gate: AnyGate) -> list[tuple[str, Any]]:
        rpc_q: asyncio.Queue[Any] = asyncio.Queue()
        evt_q: asyncio.Queue[Any] = asyncio.Queue()
        for msg in fx.corpus:
            packet = parser.parse_and_route(msg)
            if packet is not None:
                gate.route_to_queues(packet, rpc_q, evt_q)
        out = [("rpc", fields(rpc_q.get_nowait())) for _ in range(rpc_q.qsize())]
        return out + [("evt", fields(evt_q.get_nowait())) for _ in range(evt_q.qsize())]

    expect_equal("route_to_queues", routed(fx.parser, fx.gate), routed(fx.base_parser, fx.base_gate))
    done.append("route_to_queues: queue contents in order")

    def ingested(run: Callable[..., float], *args: Any) -> list[tuple[str, Any]]:
        queues: list[DequeQueue] = []

        def make_queue() -> DequeQueue:
            queues.append(DequeQueue())
            return queues[-1]

        run(1, *args, make_queue)
        return [(name, fields(r)) for name, q in zip(("rpc", "evt"), queues, strict=True) for r in q]

    chunks = ingest_chunks(fx.corpus)
    base_ingested = ingested(t_ingest_split, fx.base_parser, fx.base_gate, chunks)
    expect_equal("ingestion, split", ingested(t_ingest_split, fx.parser, fx.gate, chunks), base_ingested)
    expect_equal("ingestion, feed_and_route", ingested(t_ingest_feed, fx.parser, chunks), base_ingested)
    modelled = packet_model.feed(b"".join(chunks), mask_of).routed
    expect_equal("ingestion against the model", base_ingested, sorted(modelled, key=lambda put: put[0] == "evt"))
    done.append(f"ingestion of {len(chunks)} reads: queue contents of (a), (b) and (c) in order, as the model has them")

    def received(run: Callable[..., float], receiver: Receiver, *args: Any) -> tuple[list[Any], list[Any]]:
        run(1, receiver, chunks, *args)
        return receiver.outcome()

    base_received = received(t_receive_split, fx.base_receiver)
    expect_equal("receive path, split", received(t_receive_split, fx.receiver), base_received)
    for name, make_queue in INGEST_QUEUES.items():
        expect_equal(
            f"receive path, feed_and_route + drain, {name}",
            received(t_ingest_drain, fx.receiver, make_queue),
            base_received,
        )
    expect_equal("receive path, feed_and_dispatch", received(t_ingest_dispatch, fx.receiver), base_received)
    if "pending" in base_received[1] or not base_received[0]:
        raise Mismatch("receive path: a request left pending, or no handler called")
    done.append(
        f"receive path: {len(base_received[0])} handler calls and {len(base_received[1])} answers of "
        "(d) drain and (e) feed_and_dispatch as the baseline's"
    )

    async def rpc(gate: AnyGate) -> list[Any]:
        futures = [gate.register_rpc(c) for c in fx.rpc_commands * 2]
        for index, command in enumerate(fx.rpc_commands * 2):
            gate.resolve_rpc(command.upper(), index)
        return [f.result() for f in futures]

    expect_equal(
        "register_rpc/resolve_rpc",
        fx.loop.run_until_complete(rpc(fx.mod.Gatekeeper(handler_table(), {}))),
        fx.loop.run_until_complete(rpc(baseline.Gate(handler_table(), {}))),
    )
    done.append("register_rpc + resolve_rpc: results in order")

    ours_log, theirs_log = RecordingLogger(), RecordingLogger()
    saved = fx.mod.logger, baseline.logger
    # setattr: the stubs type the module's logger as loguru's, which these stand-ins are not.
    setattr(fx.mod, "logger", ours_log)  # noqa: B010
    baseline.logger = theirs_log
    try:
        rows = fx.status_ok + fx.status_failed
        expect_equal(
            "process_status",
            [fx.gate.process_status(*r) for r in rows],
            [fx.base_gate.process_status(*r) for r in rows],
        )
    finally:
        setattr(fx.mod, "logger", saved[0])  # noqa: B010
        baseline.logger = saved[1]
    expect_equal("process_status warnings", ours_log.lines, theirs_log.lines)
    done.append(f"process_status: {len(fx.status_ok)} successes, {len(fx.status_failed)} failures and their warnings")

    expect_equal(
        "get_destination_mask",
        [fx.gate.get_destination_mask(n) for n in fx.names],
        [fx.base_gate.get_destination_mask(n) for n in fx.names],
    )
    expect_equal(
        "XtPre", [fields(vrel_dll.XtPre(*r)) for r in fx.records], [fields(baseline.Record(*r)) for r in fx.records]
    )
    expect_equal(
        "cy_format_xt",
        [fx.mod.cy_format_xt(*r) for r in fx.requests_xt],
        [baseline.format_xt(*r) for r in fx.requests_xt],
    )
    expect_equal(
        "cy_format_xt floor",
        [fx.mod.cy_format_xt(*r) for r in fx.requests_xt],
        [f"%xt%{h}%{c}%{a}%{b}%{e}%" for h, c, a, b, e in fx.requests_xt_flat],
    )
    expect_equal(
        "cy_format_json_xt",
        [fx.mod.cy_format_json_xt(*r) for r in fx.requests_json],
        [baseline.format_json_xt(*r) for r in fx.requests_json],
    )
    expect_equal(
        "cy_format_xml",
        [fx.mod.cy_format_xml(*r) for r in fx.requests_xml],
        [baseline.format_xml(*r) for r in fx.requests_xml],
    )
    done.append("get_destination_mask, XtPre and the three formatters")
    return done


# --- timed loops: each returns the seconds for `loops` passes over its items ---


def t_parse(loops: int, parser: AnyParser, msgs: list[bytes]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for msg in msgs:
            parser.parse_and_route(msg)
    return perf_counter() - t0


def t_len(loops: int, msgs: list[bytes]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for msg in msgs:
            len(msg)
    return perf_counter() - t0


def t_loads(loops: int, payloads: list[bytes]) -> float:
    loads = orjson.loads
    t0 = perf_counter()
    for _ in range(loops):
        for payload in payloads:
            loads(payload)
    return perf_counter() - t0


def t_parse_route(loops: int, parser: AnyParser, gate: AnyGate, msgs: list[bytes]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        # Fresh queues per pass keep them from growing; both sides pay the same.
        rpc_q: asyncio.Queue[Any] = asyncio.Queue()
        evt_q: asyncio.Queue[Any] = asyncio.Queue()
        for msg in msgs:
            packet = parser.parse_and_route(msg)
            if packet is not None:
                gate.route_to_queues(packet, rpc_q, evt_q)
    return perf_counter() - t0


class DequeQueue(deque[Any]):
    """A queue whose put_nowait is a C call (a deque's append), so that the routing's own cost shows."""

    put_nowait = deque.append


# The queues the ingestion scenarios route into: one with a C-level put, and asyncio's own.
INGEST_QUEUES: dict[str, Callable[[], Any]] = {"C put": DequeQueue, "asyncio": asyncio.Queue}
INGEST_CHUNK = 1 << 16  # what one read of a client returns


def ingest_chunks(msgs: list[bytes]) -> list[bytes]:
    """The messages as one NUL-terminated stream, cut into reads of INGEST_CHUNK bytes."""
    stream = b"".join(msg + b"\0" for msg in msgs)
    return [stream[i : i + INGEST_CHUNK] for i in range(0, len(stream), INGEST_CHUNK)]


def t_loads_kept(loops: int, payloads: list[bytes]) -> float:
    """The decoding alone, its results kept until the pass ends, as an ingesting client's queues keep them."""
    loads = orjson.loads
    t0 = perf_counter()
    for _ in range(loops):
        kept = [loads(payload) for payload in payloads]  # noqa: F841 - kept alive for the pass
    return perf_counter() - t0


def t_ingest_split(
    loops: int, parser: AnyParser, gate: AnyGate, chunks: list[bytes], make_queue: Callable[[], Any]
) -> float:
    """A client's reads split with bytes.split, then one parse and one routing call per packet."""
    t0 = perf_counter()
    for _ in range(loops):
        rpc_q, evt_q = make_queue(), make_queue()
        parse, route = parser.parse_and_route, gate.route_to_queues
        rest = b""
        for chunk in chunks:
            *msgs, rest = (rest + chunk).split(b"\0")
            for msg in msgs:
                packet = parse(msg)
                if packet is not None:
                    route(packet, rpc_q, evt_q)
    return perf_counter() - t0


def t_ingest_feed(
    loops: int, parser: vrel_dll.XtPreParser, chunks: list[bytes], make_queue: Callable[[], Any]
) -> float:
    """A client's reads appended to a bytearray, each handed to feed_and_route whole."""
    t0 = perf_counter()
    for _ in range(loops):
        rpc_q, evt_q = make_queue(), make_queue()
        feed = parser.feed_and_route
        buffer = bytearray()
        for chunk in chunks:
            buffer += chunk
            feed(buffer, rpc_q, evt_q)
    return perf_counter() - t0


def t_receive_split(loops: int, receiver: Receiver, chunks: list[bytes]) -> float:
    """The whole receive path per packet: bytes.split, then parse, judge, resolve or call the handler."""
    t0 = perf_counter()
    for _ in range(loops):
        receiver.start_pass()
        parse, gate = receiver.parser.parse_and_route, receiver.gate
        rest = b""
        for chunk in chunks:
            *msgs, rest = (rest + chunk).split(b"\0")
            for msg in msgs:
                p = parse(msg)
                if p is not None:
                    result = gate.process_status(p.command, p.status, p.error_code, p.data)
                    if p.destination & 1:
                        gate.resolve_rpc(p.command, result)
                    if p.destination & 2 and result is not False and (handler := gate.get_handler(p.command)):
                        handler(result)
    return perf_counter() - t0


def t_ingest_drain(loops: int, receiver: Receiver, chunks: list[bytes], make_queue: Callable[[], Any]) -> float:
    """feed_and_route per read, then the guide's queue client's loop over the two queues (an
    asyncio.Queue's get_nowait; a deque is iterated directly)."""
    t0 = perf_counter()
    for _ in range(loops):
        receiver.start_pass()
        answers, events = make_queue(), make_queue()
        feed, gate = receiver.parser.feed_and_route, receiver.gate
        buffer = bytearray()
        for chunk in chunks:
            buffer += chunk
            feed(buffer, answers, events)
            if isinstance(answers, deque):
                for p in answers:
                    gate.resolve_rpc(p.command, gate.process_status(p.command, p.status, p.error_code, p.data))
                answers.clear()
                for p in events:
                    if (data := gate.process_status(p.command, p.status, p.error_code, p.data)) is not False:
                        gate.get_handler(p.command)(data)
                events.clear()
                continue
            while not answers.empty():
                p = answers.get_nowait()
                gate.resolve_rpc(p.command, gate.process_status(p.command, p.status, p.error_code, p.data))
            while not events.empty():
                p = events.get_nowait()
                if (data := gate.process_status(p.command, p.status, p.error_code, p.data)) is not False:
                    gate.get_handler(p.command)(data)
    return perf_counter() - t0


def t_ingest_dispatch(loops: int, receiver: Receiver, chunks: list[bytes]) -> float:
    """feed_and_dispatch per read: the whole receive path in one call."""
    t0 = perf_counter()
    for _ in range(loops):
        receiver.start_pass()
        dispatch = receiver.parser.feed_and_dispatch
        buffer = bytearray()
        for chunk in chunks:
            buffer += chunk
            dispatch(buffer)
    return perf_counter() - t0


def t_rpc(loops: int, make_gate: Callable[[], AnyGate], commands: list[str], loop: asyncio.AbstractEventLoop) -> float:
    async def run() -> float:
        gate = make_gate()  # inside the loop, as a client builds it
        t0 = perf_counter()
        for _ in range(loops):
            for command in commands:
                gate.register_rpc(command)
                gate.resolve_rpc(command, command)
        return perf_counter() - t0

    return loop.run_until_complete(run())


def t_route(loops: int, gate: AnyGate, packets: list[Any]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        rpc_q, evt_q = DequeQueue(), DequeQueue()  # fresh per pass, so that they do not grow
        for packet in packets:
            gate.route_to_queues(packet, rpc_q, evt_q)
    return perf_counter() - t0


def t_route_floor(loops: int, packets: list[Any]) -> float:
    """One C-level put per packet into a queue made the same way: what any routing must do."""
    t0 = perf_counter()
    for _ in range(loops):
        evt_q = DequeQueue()
        for packet in packets:
            evt_q.put_nowait(packet)
    return perf_counter() - t0


def t_handler(loops: int, gate: Any, names: list[str]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for name in names:
            gate.get_handler(name)
    return perf_counter() - t0


def t_status(loops: int, gate: AnyGate, rows: list[tuple[str, int, int, Any]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for command, status, error_code, data in rows:
            gate.process_status(command, status, error_code, data)
    return perf_counter() - t0


def t_status_dict_get(loops: int, table: dict[str, Any], rows: list[tuple[str, int, int, Any]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for command, _status, _error_code, _data in rows:
            table.get(command)
    return perf_counter() - t0


def t_mask(loops: int, gate: AnyGate, names: list[str]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for name in names:
            gate.get_destination_mask(name)
    return perf_counter() - t0


def t_dict_get(loops: int, table: dict[str, Any], names: list[str]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for name in names:
            table.get(name)
    return perf_counter() - t0


def t_record(
    loops: int, make: Callable[[str, int, int, Any, int], object], rows: list[tuple[str, int, int, Any, int]]
) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for command, status, error_code, data, destination in rows:
            make(command, status, error_code, data, destination)
    return perf_counter() - t0


def t_tuple(loops: int, rows: list[tuple[str, int, int, Any, int]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for command, status, error_code, data, destination in rows:
            (command, status, error_code, data, destination)  # noqa: B018 - the floor is building it
    return perf_counter() - t0


def t_format3(loops: int, fmt: Callable[[str, str, Any], str], rows: list[tuple[str, str, Any]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for header, command, data in rows:
            fmt(header, command, data)
    return perf_counter() - t0


def t_fstring_xt(loops: int, rows: list[tuple[str, str, Any, Any, Any]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for header, command, a, b, c in rows:
            f"%xt%{header}%{command}%{a}%{b}%{c}%"  # noqa: B018
    return perf_counter() - t0


def t_dumps_decode(loops: int, rows: list[tuple[str, str, dict[str, Any]]]) -> float:
    dumps = orjson.dumps
    t0 = perf_counter()
    for _ in range(loops):
        for _header, _command, data in rows:
            dumps(data).decode()
    return perf_counter() - t0


def t_format_xml(loops: int, fmt: Callable[[str, str, str, str], str], rows: list[tuple[str, str, str, str]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for t, action, r, data in rows:
            fmt(t, action, r, data)
    return perf_counter() - t0


def t_fstring_xml(loops: int, rows: list[tuple[str, str, str, str]]) -> float:
    t0 = perf_counter()
    for _ in range(loops):
        for t, action, r, data in rows:
            f"<msg t='{t}'><body action='{action}' r='{r}'>{data}</body></msg>"  # noqa: B018
    return perf_counter() - t0


# --- scenarios ---


@dataclass(frozen=True)
class Timing:
    label: str  # what the floor is, or the implementation's name
    func: Callable[..., float]
    args: tuple[Any, ...]
    inner_loops: int


@dataclass(frozen=True)
class Target:
    # "baseline": vrel_dll at least `factor` times faster; "floor": at most `factor` times slower;
    # anything else is another scenario's key: at least `factor` times faster than its vrel_dll
    against: str
    factor: float

    def text(self) -> str:
        if self.against == "baseline":
            return f">= {self.factor:g}x faster than baseline"
        if self.against == "floor":
            return f"<= {self.factor:g}x floor"
        return f">= {self.factor:g}x faster than {self.against}"

    def judge(self, row: Row, stat: str, rows: dict[str, Row]) -> tuple[float | None, bool | None]:
        """The ratio the target is about, and whether it is met (None: not measured in this run)."""
        vrel = row.at("vrel_dll", stat)
        if self.against == "floor":
            ratio = vrel / row.at("floor", stat) if row.has("floor") else None
            return ratio, None if ratio is None else ratio <= self.factor
        other = row if self.against == "baseline" else rows.get(self.against)
        if other is None:
            return None, None
        ratio = other.at("baseline" if other is row else "vrel_dll", stat) / vrel
        return ratio, ratio >= self.factor


@dataclass(frozen=True)
class Scenario:
    key: str
    title: str
    vrel: Timing
    base: Timing
    floor: Timing | None = None
    target: Target | None = None
    also: tuple[Target, ...] = ()  # further targets, each on a line of its own in the table


# How the table sums up a role's values. The median is the default: on a shared machine a
# few disturbed values move the mean far more. The minimum comes closest to the cost of
# the work itself when other processes compete for the cores.
STATS: dict[str, Callable[[list[float]], float]] = {"median": statistics.median, "mean": statistics.fmean, "min": min}


@dataclass
class Row:
    scenario: Scenario
    values: dict[str, list[float]] = field(default_factory=dict)  # per role, seconds per operation

    def has(self, role: str) -> bool:
        return role in self.values

    def at(self, role: str, stat: str) -> float:
        return STATS[stat](self.values[role])


def scenarios(fx: Fixtures) -> list[Scenario]:
    def make_vrel_gate() -> AnyGate:
        return fx.mod.Gatekeeper(handler_table(), dict(ERROR_CODES))

    def make_base_gate() -> AnyGate:
        return baseline.Gate(handler_table(), dict(ERROR_CODES))

    n = len(fx.corpus)
    parse_sets = [
        ("corpus", "parse_and_route: whole corpus", fx.corpus, fx.payloads_corpus),
        ("wanted", "parse_and_route: wanted only", fx.wanted, fx.payloads_wanted),
    ]
    out: list[Scenario] = []
    for key, title, msgs, payloads in parse_sets:
        out.append(
            Scenario(
                f"parse-{key}",
                title,
                Timing("vrel_dll", t_parse, (fx.parser, msgs), len(msgs)),
                Timing("baseline", t_parse, (fx.base_parser, msgs), len(msgs)),
                # The decoding alone, spread over the same number of messages.
                Timing("orjson.loads of delivered payloads", t_loads, (payloads,), len(msgs)),
                Target("floor", 1.10) if key == "corpus" else None,
            )
        )
    out.append(
        Scenario(
            "parse-unwanted",
            "parse_and_route: unwanted only",
            Timing("vrel_dll", t_parse, (fx.parser, fx.unwanted), len(fx.unwanted)),
            Timing("baseline", t_parse, (fx.base_parser, fx.unwanted), len(fx.unwanted)),
            Timing("len(msg)", t_len, (fx.unwanted,), len(fx.unwanted)),
            Target("floor", 3),
        )
    )
    out.append(
        Scenario(
            "parse-malformed",
            "parse_and_route: malformed/non-XT",
            Timing("vrel_dll", t_parse, (fx.parser, fx.malformed), len(fx.malformed)),
            Timing("baseline", t_parse, (fx.base_parser, fx.malformed), len(fx.malformed)),
            Timing("len(msg)", t_len, (fx.malformed,), len(fx.malformed)),
            Target("floor", 2),
        )
    )
    out.append(
        Scenario(
            "parse-route",
            "parse_and_route + route_to_queues",
            Timing("vrel_dll", t_parse_route, (fx.parser, fx.gate, fx.corpus), n),
            Timing("baseline", t_parse_route, (fx.base_parser, fx.base_gate, fx.corpus), n),
        )
    )
    cycle = len(fx.rpc_commands)
    out.append(
        Scenario(
            "rpc-cycle",
            "register_rpc + resolve_rpc",
            Timing("vrel_dll", t_rpc, (make_vrel_gate, fx.rpc_commands, fx.loop), cycle),
            Timing("baseline", t_rpc, (make_base_gate, fx.rpc_commands, fx.loop), cycle),
            target=Target("baseline", 1.3),
        )
    )
    out.append(
        Scenario(
            "route",
            "route_to_queues alone, C put",
            Timing("vrel_dll", t_route, (fx.gate, fx.packets), len(fx.packets)),
            Timing("baseline", t_route, (fx.base_gate, fx.base_packets), len(fx.base_packets)),
            Timing("one put_nowait per packet", t_route_floor, (fx.packets,), len(fx.packets)),
        )
    )
    out.append(
        Scenario(
            "handler",
            "get_handler",
            Timing("vrel_dll", t_handler, (fx.gate, fx.names), len(fx.names)),
            Timing("baseline", t_handler, (fx.base_gate, fx.names), len(fx.names)),
            Timing("small dict .get", t_dict_get, (fx.small_dict, fx.names), len(fx.names)),
        )
    )
    out.append(
        Scenario(
            "status-ok",
            "process_status: success",
            Timing("vrel_dll", t_status, (fx.gate, fx.status_ok), len(fx.status_ok)),
            Timing("baseline", t_status, (fx.base_gate, fx.status_ok), len(fx.status_ok)),
            Timing("small dict .get", t_status_dict_get, (fx.small_dict, fx.status_ok), len(fx.status_ok)),
            Target("floor", 1.5),
        )
    )
    out.append(
        Scenario(
            "status-failed",
            "process_status: failure (no-op logger)",
            Timing("vrel_dll", t_status, (fx.gate, fx.status_failed), len(fx.status_failed)),
            Timing("baseline", t_status, (fx.base_gate, fx.status_failed), len(fx.status_failed)),
            target=Target("baseline", 1.5),
        )
    )
    out.append(
        Scenario(
            "mask",
            "get_destination_mask",
            Timing("vrel_dll", t_mask, (fx.gate, fx.names), len(fx.names)),
            Timing("baseline", t_mask, (fx.base_gate, fx.names), len(fx.names)),
            Timing("small dict .get", t_dict_get, (fx.small_dict, fx.names), len(fx.names)),
            Target("floor", 1.5),
        )
    )
    out.append(
        Scenario(
            "xtpre",
            "XtPre(...)",
            Timing("vrel_dll", t_record, (fx.mod.XtPre, fx.records), len(fx.records)),
            Timing("baseline", t_record, (baseline.Record, fx.records), len(fx.records)),
            Timing("5-tuple", t_tuple, (fx.records,), len(fx.records)),
            Target("floor", 1.5),
        )
    )
    out.append(
        Scenario(
            "format-xt",
            "cy_format_xt",
            Timing("vrel_dll", t_format3, (fx.mod.cy_format_xt, fx.requests_xt), len(fx.requests_xt)),
            Timing("baseline", t_format3, (baseline.format_xt, fx.requests_xt), len(fx.requests_xt)),
            Timing("f-string", t_fstring_xt, (fx.requests_xt_flat,), len(fx.requests_xt)),
            Target("baseline", 2.5),
        )
    )
    out.append(
        Scenario(
            "format-json-xt",
            "cy_format_json_xt",
            Timing("vrel_dll", t_format3, (fx.mod.cy_format_json_xt, fx.requests_json), len(fx.requests_json)),
            Timing("baseline", t_format3, (baseline.format_json_xt, fx.requests_json), len(fx.requests_json)),
            Timing("orjson.dumps(data).decode()", t_dumps_decode, (fx.requests_json,), len(fx.requests_json)),
            Target("floor", 1.1),
        )
    )
    out.append(
        Scenario(
            "format-xml",
            "cy_format_xml",
            Timing("vrel_dll", t_format_xml, (fx.mod.cy_format_xml, fx.requests_xml), len(fx.requests_xml)),
            Timing("baseline", t_format_xml, (baseline.format_xml, fx.requests_xml), len(fx.requests_xml)),
            Timing("f-string", t_fstring_xml, (fx.requests_xml,), len(fx.requests_xml)),
            Target("floor", 1.0),
        )
    )
    # Ingestion: the corpus as one stream of 64 KB reads, per packet. (a) the baseline,
    # (b) bytes.split and two calls per packet, (c) feed_and_route per read.
    chunks = ingest_chunks(fx.corpus)
    for queue_name, make_queue in INGEST_QUEUES.items():
        slug = "cput" if make_queue is DequeQueue else "asyncio"
        # Every way of ingesting keeps the decoded payloads until the consumers take them
        # (here: until the pass ends), and so pays for memory that stays in use.
        floor = Timing("orjson.loads of delivered payloads, results kept", t_loads_kept, (fx.payloads_corpus,), n)
        base = Timing("baseline", t_ingest_split, (fx.base_parser, fx.base_gate, chunks, make_queue), n)
        out.append(
            Scenario(
                f"ingest-split-{slug}",
                f"ingest (b) split + 2 calls, {queue_name}",
                Timing("vrel_dll", t_ingest_split, (fx.parser, fx.gate, chunks, make_queue), n),
                base,
                floor,
            )
        )
        # The module's own work is judged where the queues cost least.
        judged = make_queue is DequeQueue
        out.append(
            Scenario(
                f"ingest-feed-{slug}",
                f"ingest (c) feed_and_route, {queue_name}",
                Timing("vrel_dll", t_ingest_feed, (fx.parser, chunks, make_queue), n),
                base,
                floor,
                Target("floor", 1.10) if judged else None,
                (Target("baseline", 2.5), Target(f"ingest-split-{slug}", 1.25)) if judged else (),
            )
        )
    # The whole receive path: each record also judged, its request completed, its handler
    # called (a C-level append that keeps the data). (d) the guide's queue client's loop after
    # each feed_and_route, (e) feed_and_dispatch; their baseline does it per packet in Python.
    base = Timing("baseline", t_receive_split, (fx.base_receiver, chunks), n)
    floor = Timing("orjson.loads of delivered payloads, results kept", t_loads_kept, (fx.payloads_corpus,), n)
    for queue_name, make_queue in INGEST_QUEUES.items():
        slug = "cput" if make_queue is DequeQueue else "asyncio"
        out.append(
            Scenario(
                f"ingest-drain-{slug}",
                f"ingest (d) feed_and_route + drain, {queue_name}",
                Timing("vrel_dll", t_ingest_drain, (fx.receiver, chunks, make_queue), n),
                base,
                floor,
            )
        )
    out.append(
        Scenario(
            "ingest-dispatch",
            "ingest (e) feed_and_dispatch",
            Timing("vrel_dll", t_ingest_dispatch, (fx.receiver, chunks), n),
            base,
            floor,
            Target("ingest-drain-asyncio", 1.2),
        )
    )
    return out


# --- report ---


def fmt_time(seconds: float) -> str:
    ns = seconds * 1e9
    return f"{ns:8.1f} ns" if ns < 10_000 else f"{ns / 1000:8.2f} us"


def verdict(row: Row, stat: str, rows: dict[str, Row] | None = None) -> tuple[float, float | None, str, bool | None]:
    """Speed-up over the baseline, ratio to the floor, target text, met (None without a target)."""
    vrel = row.at("vrel_dll", stat)
    speedup = row.at("baseline", stat) / vrel
    vs_floor = vrel / row.at("floor", stat) if row.has("floor") else None
    target = row.scenario.target
    met = None if target is None else target.judge(row, stat, rows or {})[1]
    return speedup, vs_floor, "" if target is None else target.text(), met


def met_text(met: bool | None) -> str:
    return "" if met is None else ("yes" if met else "NO")


def render(rows: list[Row], stat: str) -> str:
    head = (
        f"{'scenario':36} {'vrel_dll':>11} {'baseline':>11} {'floor':>11}  {'vs baseline':>13}  "
        f"{'vs floor':>8}  {'target':32} met?"
    )
    lines = [f"time per operation ({stat} of the pyperf values)", head, "-" * len(head)]
    floors: list[str] = []
    by_key = {row.scenario.key: row for row in rows}
    for row in rows:
        speedup, vs_floor, target, met = verdict(row, stat, by_key)
        floor = fmt_time(row.at("floor", stat)) if row.has("floor") else ""
        ratio = "" if vs_floor is None else f"{vs_floor:5.2f}x"
        lines.append(
            f"{row.scenario.title:36} {fmt_time(row.at('vrel_dll', stat)):>11} "
            f"{fmt_time(row.at('baseline', stat)):>11} {floor:>11}  {speedup:6.2f}x faster  {ratio:>8}  "
            f"{target:32} {met_text(met)}"
        )
        for extra in row.scenario.also:
            measured, extra_met = extra.judge(row, stat, by_key)
            shown = "not run" if measured is None else f"{measured:.2f}x"
            lines.append(
                f"{'':36} {'':>11} {'':>11} {'':>11}  {shown:>13}  {'':>8}  {extra.text():32} {met_text(extra_met)}"
            )
        if row.scenario.floor is not None:
            floors.append(f"  {row.scenario.title}: {row.scenario.floor.label}")
    return "\n".join(lines + ["", "floors (same loop, least work):"] + floors)


def save(rows: list[Row], path: Path, checked: list[str], stat: str) -> None:
    out: dict[str, Any] = {
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "corpus": {"seed": SEED, "messages": CORPUS_SIZE},
        "checked": checked,
        "unit": "seconds per operation",
        "stat": f"ratios and targets use the {stat}",
        "scenarios": [],
    }
    by_key = {row.scenario.key: row for row in rows}
    for row in rows:
        speedup, vs_floor, target, met = verdict(row, stat, by_key)
        scenario = row.scenario
        out["scenarios"].append(
            {
                "key": scenario.key,
                "title": scenario.title,
                **{name: {role: STATS[name](v) for role, v in row.values.items()} for name in STATS},
                "stdev": {role: statistics.stdev(v) if len(v) > 1 else 0.0 for role, v in row.values.items()},
                "values": {role: len(v) for role, v in row.values.items()},
                "floor": scenario.floor.label if scenario.floor else None,
                "speedup_vs_baseline": speedup,
                "ratio_to_floor": vs_floor,
                "target": target or None,
                "target_met": met,
                "more_targets": [
                    dict(zip(("ratio", "met"), t.judge(row, stat, by_key), strict=True), target=t.text())
                    for t in scenario.also
                ],
            }
        )
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(out, indent=2) + "\n")


def paired(fx: Fixtures, rounds: int) -> None:
    """The receive path's ways timed in alternation in this one process, one pass over the
    corpus each per round, so that what disturbs one round disturbs all of them alike: the
    medians per packet, and the median over rounds of each one's ratio to feed_and_dispatch.
    Each pass starts by dropping what the previous one kept, so all pay the same freeing."""
    chunks = ingest_chunks(fx.corpus)
    runs: dict[str, Callable[[], float]] = {
        "(d) feed_and_route + drain, asyncio": lambda: t_ingest_drain(1, fx.receiver, chunks, asyncio.Queue),
        "(d) feed_and_route + drain, C put": lambda: t_ingest_drain(1, fx.receiver, chunks, DequeQueue),
        "(e) feed_and_dispatch": lambda: t_ingest_dispatch(1, fx.receiver, chunks),
    }
    times: dict[str, list[float]] = {name: [] for name in runs}
    for run in runs.values():
        run()  # warm-up
    for index in range(rounds):
        for name in list(runs) if index % 2 == 0 else list(reversed(runs)):
            times[name].append(runs[name]())
    dispatch = times["(e) feed_and_dispatch"]
    print(f"paired: {rounds} rounds of {len(fx.corpus)} packets each, in one process")
    for name, values in times.items():
        ratio = statistics.median(v / d for v, d in zip(values, dispatch, strict=True))
        print(
            f"  {name:38} {fmt_time(statistics.median(values) / len(fx.corpus))} per packet  "
            f"{ratio:5.2f}x feed_and_dispatch's time"
        )


def load_build(folder: Path) -> Any:
    """The vrel_dll built into `folder`, loaded beside this process's own: under the same name,
    but kept out of sys.modules, so that each build's objects use that build's code."""
    import importlib.machinery
    import importlib.util

    found = [folder / f"vrel_dll{suffix}" for suffix in importlib.machinery.EXTENSION_SUFFIXES]
    found = [path for path in found if path.is_file()]
    if not found:
        sys.exit(f"bench: no build of vrel_dll for this interpreter in {folder}")
    if found[0].resolve() == Path(vrel_dll.__file__).resolve():
        sys.exit(f"bench: {found[0]} is the build being timed; --compare needs another one")
    spec = importlib.util.spec_from_file_location("vrel_dll", found[0])
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def compare(ours: list[Scenario], theirs: list[Scenario], rounds: int, only: str, other: Path) -> None:
    """Each scenario's module loop for this build and for the other, timed in alternation in
    this one process (the order flips every round), so that what disturbs one round disturbs
    both alike. Prints the medians per operation and the median, over rounds, of the ratio
    this build / the other (below 1: this build is faster), with the middle half of the ratios."""
    print(f"compare: {rounds} rounds per scenario; current = {Path(vrel_dll.__file__).parent}, compare = {other}")
    head = f"{'scenario':40} {'current':>11} {'compare':>11}  {'current/compare':>15}  {'middle half':>13}"
    print(head)
    print("-" * len(head))
    for mine, other_one in zip(ours, theirs, strict=True):
        if only and only not in mine.key:
            continue
        runs = (mine.vrel, other_one.vrel)
        for run in runs:  # warm-up: caches, free lists, specialised bytecode
            run.func(1, *run.args)
        # Loops per timing: about 10 ms each, judged on this build.
        loops = max(1, round(0.01 / max(mine.vrel.func(1, *mine.vrel.args), 1e-9)))
        times: tuple[list[float], list[float]] = ([], [])
        for index in range(rounds):
            for which in (0, 1) if index % 2 == 0 else (1, 0):
                run = runs[which]
                gc.collect()  # each timing starts with no garbage of the other's
                times[which].append(run.func(loops, *run.args) / (loops * run.inner_loops))
        ratios = sorted(a / b for a, b in zip(*times, strict=True))
        quarter = len(ratios) // 4
        print(
            f"{mine.title:40} {fmt_time(statistics.median(times[0])):>11} {fmt_time(statistics.median(times[1])):>11}  "
            f"{statistics.median(ratios):14.3f}x  {ratios[quarter]:5.3f}-{ratios[-1 - quarter]:5.3f}",
            flush=True,
        )


def add_worker_args(cmd: list[str], args: argparse.Namespace) -> None:
    if args.only:
        cmd.extend(("--only", args.only))


def main() -> int:
    runner = pyperf.Runner(add_cmdline_args=add_worker_args)
    runner.argparser.add_argument(
        "--results",
        type=Path,
        default=HERE / "results.json",
        help="where to save the table as JSON (default: bench/results.json)",
    )
    runner.argparser.add_argument("--only", default="", help="run only the scenarios whose key contains this text")
    runner.argparser.add_argument(
        "--check-only", action="store_true", help="compare the module with the baseline and stop"
    )
    runner.argparser.add_argument(
        "--stat", choices=sorted(STATS), default="median", help="what the table compares (default: median)"
    )
    runner.argparser.add_argument(
        "--load", type=Path, metavar="RAW", help="no timing: make the table from a file an earlier run wrote with -o"
    )
    runner.argparser.add_argument(
        "--paired",
        type=int,
        metavar="ROUNDS",
        default=0,
        help="no pyperf run: time the receive path's ways in alternation in one process",
    )
    runner.argparser.add_argument(
        "--compare",
        type=Path,
        metavar="DIR",
        help="no pyperf run: time each scenario for this build and for the build of vrel_dll in DIR, paired",
    )
    runner.argparser.add_argument(
        "--rounds", type=int, default=15, help="rounds per scenario of --compare (default: 15)"
    )
    args = runner.parse_args()
    # Failures time the module's own work, not the sinks of a real logger.
    setattr(vrel_dll, "logger", NoopLogger())  # noqa: B010
    baseline.logger = NoopLogger()

    fx = build_fixtures()
    if args.compare is not None:
        other = load_build(args.compare)
        setattr(other, "logger", NoopLogger())  # noqa: B010
        other_fx = build_fixtures(other)
        try:
            check(fx)
            check(other_fx)
        except Mismatch as exc:
            print(f"bench: a build and the baseline disagree, nothing timed: {exc}", file=sys.stderr)
            return 1
        compare(scenarios(fx), scenarios(other_fx), args.rounds, args.only, args.compare)
        return 0
    if args.paired > 0:
        paired(fx, args.paired)
        return 0
    if args.load is not None:
        return report_saved(args.load, scenarios(fx), args)
    checked: list[str] = []
    if not args.worker:
        try:
            checked = check(fx)
        except Mismatch as exc:
            print(f"bench: vrel_dll and the baseline disagree, nothing timed: {exc}", file=sys.stderr)
            return 1
        print("bench: vrel_dll and the baseline agree on:\n  " + "\n  ".join(checked), flush=True)
        if args.check_only:
            return 0

    rows: list[Row] = []
    for scenario in scenarios(fx):
        if args.only and args.only not in scenario.key:
            continue
        row = Row(scenario)
        for role, timing in (("vrel_dll", scenario.vrel), ("baseline", scenario.base), ("floor", scenario.floor)):
            if timing is None:
                continue
            name = f"{scenario.key} {role}"
            result = runner.bench_time_func(name, timing.func, *timing.args, inner_loops=timing.inner_loops)
            # Workers get their own partial result back; only the manager has all values.
            if result is not None and not args.worker:
                row.values[role] = list(result.get_values())
        if row.has("vrel_dll") and row.has("baseline"):
            rows.append(row)

    if args.worker or not rows:
        return 0
    publish(rows, checked, args)
    return 0


def publish(rows: list[Row], checked: list[str], args: argparse.Namespace) -> None:
    print()
    print(render(rows, args.stat))
    save(rows, args.results, checked, args.stat)
    print(f"\nbench: results saved to {args.results}")


def report_saved(raw: Path, known: list[Scenario], args: argparse.Namespace) -> int:
    suite = pyperf.BenchmarkSuite.load(str(raw))
    timed = {bench.get_name(): list(bench.get_values()) for bench in suite.get_benchmarks()}
    rows: list[Row] = []
    for scenario in known:
        row = Row(
            scenario,
            {
                role: timed[f"{scenario.key} {role}"]
                for role in ("vrel_dll", "baseline", "floor")
                if f"{scenario.key} {role}" in timed
            },
        )
        if row.has("vrel_dll") and row.has("baseline"):
            rows.append(row)
    if not rows:
        print(f"bench: no scenario of this version found in {raw}", file=sys.stderr)
        return 1
    publish(rows, [f"timings loaded from {raw}"], args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
