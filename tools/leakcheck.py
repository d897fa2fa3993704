#!/usr/bin/env python3
"""Reference-leak check for vrel_dll: every public operation, on its success path and on each
error path, run many times while the number of live memory blocks must stay put.

    python tools/leakcheck.py [--calls N] [--rounds R] [-k TEXT] [--list]

Each case builds its own arguments afresh on every call, so a reference the module fails to
drop keeps a new object alive and shows up as allocated blocks; the long-lived objects a case
uses (gates, queues, tables) are also checked by reference count. A case is warmed up first
(caches that fill once: traceback code objects per exit point, interned names, the parser's
recent-key table, the interpreter's free lists), then measured over R rounds of N calls.

Needs an interpreter using its own allocator (sys.getallocatedblocks() counts pymalloc
blocks), so not under PYTHONMALLOC=malloc or the sanitizer build. Exit status 1 on a leak.
"""

from __future__ import annotations

import argparse
import array
import asyncio
import contextlib
import copy
import gc
import os
import pickle
import subprocess
import sys
import warnings
from collections import deque

import vrel_dll
from vrel_dll import Gatekeeper, XtPre, XtPreParser, cy_format_json_xt, cy_format_xml, cy_format_xt

CASES: list[tuple[str, str, object, tuple]] = []


def case(group: str, name: str, op, *probes) -> None:
    CASES.append((group, name, op, probes))


def fails(exc_type, fn, *args, **kwargs):
    """An operation expected to raise exc_type; anything else is a broken case."""

    def op():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {exc_type}")

    return op


def fresh(text: str) -> str:
    """A new str object equal to text (never the interned constant)."""
    return "".join(list(text))


class Obj:
    """A plain object with given attributes (weakly referable, unlike SimpleNamespace)."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def raise_new(exc):
    # A new instance each time: raising one instance again would chain its tracebacks.
    raise type(exc)(*exc.args)


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __call__(self, *args):
        raise_new(self.exc)


class HasInt:
    """An object converted through __int__, which gives `result` (called if callable) or raises it."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise_new(self.result)
        return self.result() if callable(self.result) else self.result


IntSub = type("IntSub", (int,), {})
StrSub = type("StrSub", (str,), {})
DictSub = type("DictSub", (dict,), {})
Sub = type("Sub", (XtPre,), {})

# ---- module globals, rebound for the cases that need other collaborators
QUIET_LOGGER = Obj(warning=lambda text: None)
LOOP = asyncio.new_event_loop()
FAKE_ASYNCIO = Obj(get_running_loop=lambda: LOOP)
RAISING_ASYNCIO = Obj(get_running_loop=Raises(KeyError("no loop here")))
MISSING = object()


@contextlib.contextmanager
def rebound(name, value):
    old = vrel_dll.__dict__.get(name, MISSING)
    if value is MISSING:
        vrel_dll.__dict__.pop(name, None)
    else:
        setattr(vrel_dll, name, value)
    try:
        yield
    finally:
        if old is MISSING:
            vrel_dll.__dict__.pop(name, None)
        else:
            setattr(vrel_dll, name, old)


def with_global(name, value, op):
    def run():
        with rebound(name, value):
            op()

    return run


# ---- XtPre
def xtpre_cases():
    rec = XtPre("abc", 1, 0, None, 3)
    good = lambda: (fresh("abc"), 1, 0, {"k": [1]}, 3)  # noqa: E731
    case("XtPre", "call", lambda: XtPre(*good()))
    case("XtPre", "call by keyword", lambda: XtPre(command=fresh("c"), status=1, error_code=2, data=[1], destination=3))
    case("XtPre", "__init__", lambda: rec.__init__(*good()), rec)
    case("XtPre", "subclass call", lambda: Sub(*good()))
    case("XtPre", "subclass call by keyword", lambda: Sub(fresh("c"), 1, 2, data={}, destination=3))
    bad_args = {
        "too few": ((fresh("c"), 1, 2, {}), {}),
        "unexpected keyword": ((), dict(command="c", status=1, error_code=2, data={}, destination=3, extra=1)),
        "multiple values": ((fresh("c"),), dict(command="c", status=1, error_code=2, data={}, destination=3)),
        "missing keyword": ((), dict(command="c", status=1)),
        "status str": ((fresh("c"), "1", 2, {}, 3), {}),
        "status 2**31": ((fresh("c"), 2**31, 2, {}, 3), {}),
        "status 2**64": ((fresh("c"), 2**64, 2, {}, 3), {}),
        "__int__ raises": ((fresh("c"), HasInt(ValueError("x")), 2, {}, 3), {}),
        "__int__ returns str": ((fresh("c"), HasInt("5"), 2, {}, 3), {}),
        "destination float nan": ((fresh("c"), 1, 2, {}, float("nan")), {}),
        "command bytes": ((b"c", 1, 2, {}, 3), {}),
        "command str subclass": ((StrSub("c"), 1, 2, {}, 3), {}),
    }
    for name, (args, kwargs) in bad_args.items():
        error = (TypeError, ValueError, OverflowError)
        case("XtPre", f"call: {name}", fails(error, XtPre, *args, **kwargs))
        case("XtPre", f"__init__: {name}", fails(error, rec.__init__, *args, **kwargs), rec)
        case("XtPre", f"subclass call: {name}", fails(error, Sub, *args, **kwargs))

    def warned_int():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            rec.status = HasInt(lambda: IntSub(7))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            fails(DeprecationWarning, setattr, rec, "status", HasInt(lambda: IntSub(7)))()

    case("XtPre", "int subclass from __int__, warning and error", warned_int, rec)
    case("XtPre", "set command", lambda: setattr(rec, "command", fresh("new")), rec)
    case("XtPre", "set data", lambda: setattr(rec, "data", {"a": [1]}), rec)
    case("XtPre", "del command and data", lambda: (delattr(rec, "command"), delattr(rec, "data")), rec)
    for field in ("status", "error_code", "destination"):
        case("XtPre", f"set {field}", lambda f=field: setattr(rec, f, HasInt(lambda: 12345678901 % 1000)), rec)
        case("XtPre", f"set {field}: overflow", fails(OverflowError, setattr, rec, field, 2**40), rec)
        case("XtPre", f"set {field}: not an int", fails(TypeError, setattr, rec, field, [1]), rec)
        case("XtPre", f"del {field}", fails(NotImplementedError, delattr, rec, field), rec)
    case("XtPre", "set command: int", fails(TypeError, setattr, rec, "command", 12345), rec)
    case("XtPre", "set unknown attribute", fails(AttributeError, setattr, rec, "other", 1), rec)
    case("XtPre", "bare instance", lambda: XtPre.__new__(XtPre))


def pickling_cases():
    tagged = Sub("t", 1, 2, [3], 4)
    tagged.tag = {"x": 1}
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        case(
            "pickle/copy",
            f"XtPre protocol {protocol}",
            lambda p=protocol: pickle.loads(pickle.dumps(XtPre(fresh("c"), 1, 2, {"k": [1]}, 3), p)),
        )
    case("pickle/copy", "subclass with __dict__", lambda: pickle.loads(pickle.dumps(tagged)), tagged)
    case("pickle/copy", "copy and deepcopy", lambda: (copy.copy(tagged), copy.deepcopy(XtPre("c", 1, 2, [[1]], 3))))
    rec = XtPre("c", 1, 2, None, 3)
    for name, state in {
        "not a tuple": [1],
        "short": (1, 2),
        "bad int": ("c", "x", 2, None, 3),
        "bad command": (b"c", 1, 2, None, 3),
        "dict on a plain record": ("c", 1, 2, None, 3, {"a": 1}),
    }.items():
        case(
            "pickle/copy",
            f"__setstate__: {name}",
            fails((TypeError, ValueError, AttributeError), rec.__setstate__, state),
            rec,
        )
    gk = Gatekeeper({}, {})
    case(
        "pickle/copy",
        "Gatekeeper and XtPreParser refused",
        lambda: (fails(TypeError, pickle.dumps, gk)(), fails(TypeError, copy.copy, XtPreParser(gk))()),
        gk,
    )
    case(
        "pickle/copy",
        "functions and methods by reference",
        lambda: pickle.loads(pickle.dumps([cy_format_xt, Gatekeeper.register_rpc, XtPreParser.parse_and_route])),
    )


# ---- XtPreParser
class Gate:
    def __init__(self, answer):
        self.answer = answer

    def get_destination_mask(self, name):
        answer = self.answer
        if isinstance(answer, BaseException):
            raise_new(answer)
        return answer() if callable(answer) else answer


class FakeOrjson:
    def __init__(self, loads):
        self.loads = loads


def parser_cases():
    wanted = Gate(3)
    parser = XtPreParser(wanted)
    real = vrel_dll.orjson
    case("XtPreParser", "construct", lambda: XtPreParser(Gate(1)))
    case("XtPreParser", "__init__ again", lambda: parser.__init__(wanted), parser, wanted)
    case("XtPreParser", "construct: count", fails(TypeError, XtPreParser))
    case("XtPreParser", "construct: keyword", fails(TypeError, XtPreParser, gate=wanted), wanted)
    gk = Gatekeeper({"abc": 1}, {})
    shapes = {
        "foreign": (wanted, b"<msg t='sys'><body/></msg>"),
        "malformed": (wanted, b"%xt%ext%abc%x%{}%"),
        "unwanted": (Gate(0), b"%xt%abc%0%{}%"),
        "wanted": (wanted, b'%xt%abc%1%5%{"k":[1,2,"x"]}%'),
        "wanted, long layout": (wanted, b"%xt%ext%ABC%1%0%[1]%"),
        "wanted, no payload": (wanted, b"%xt%abc%0"),
        "undecodable payload": (wanted, b"%xt%abc%0%{bad%"),
        "through a Gatekeeper": (gk, b"%xt%ABC%0%{}%"),
        "non-ASCII command": (wanted, b"%xt%\xc3\xa9T\xff%0%{}%"),
        "mask float": (Gate(lambda: 3.7), b"%xt%abc%0%{}%"),
    }
    for name, (gate, msg) in shapes.items():
        p = XtPreParser(gate)
        case("XtPreParser", f"parse: {name}", lambda p=p, m=msg: p.parse_and_route(bytes(bytearray(m))), p, gate)
    errors = {
        "gate raises": Gate(KeyError("x")),
        "mask None": Gate(None),
        "mask 2**31": Gate(2**31),
        "mask 2**70": Gate(2**70),
        "gate without the method": object(),
        "gatekeeper without tables": Gatekeeper.__new__(Gatekeeper),
    }
    for name, gate in errors.items():
        p = XtPreParser(gate)
        case("XtPreParser", f"parse: {name}", fails(Exception, p.parse_and_route, b"%xt%abc%0%{}%"), p, gate)
    bare = XtPreParser.__new__(XtPreParser)
    case("XtPreParser", "parse: bare parser", fails(AttributeError, bare.parse_and_route, b"%xt%abc%0%"), bare)
    odd = XtPreParser(wanted)
    [cache] = [r for r in gc.get_referents(odd) if type(r) is dict]
    cache[b"abc"] = 5
    case("XtPreParser", "parse: wrong cache entry", fails(TypeError, odd.parse_and_route, b"%xt%abc%0%"), odd)
    case(
        "XtPreParser",
        "parse: msg of another type",
        fails(TypeError, parser.parse_and_route, bytearray(b"%xt%")),
        parser,
    )
    case("XtPreParser", "parse: count", fails(TypeError, parser.parse_and_route, b"a", b"b"), parser)
    case("XtPreParser", "parse: None", lambda: parser.parse_and_route(None), parser)
    for name, orjson in {
        "loads raises": FakeOrjson(Raises(ValueError("x"))),
        "loads returns odd": FakeOrjson(lambda b: [b]),
        "no loads attribute": object(),
        "deleted": MISSING,
    }.items():
        case(
            "XtPreParser",
            f"parse: orjson {name}",
            with_global("orjson", orjson, lambda: parser.parse_and_route(b'%xt%abc%0%{"a":1}%')),
            parser,
        )
    full = XtPreParser(Gate(0))
    [cache] = [r for r in gc.get_referents(full) if type(r) is dict]
    cache.update((b"k%d" % i, "k%d" % i) for i in range(65536))
    counter = iter(range(10**9))
    case(
        "XtPreParser",
        "parse: new names on a full cache",
        lambda: full.parse_and_route(b"%%xt%%new%d%%0%%" % next(counter)),
        full,
    )
    assert vrel_dll.orjson is real


# ---- Gatekeeper
class Key(str):
    def lower(self):
        return self.result() if callable(self.result) else self.result


def key(result):
    k = Key("Key")
    k.result = result
    return k


def gatekeeper_cases():
    gk = Gatekeeper({"abc": 1, b"Raw": 2, None: 3, 7: 4}, {5: "five", 6: None, 7: b"bytes"})
    handlers = {"Foo": 1, b"B\xc3\xa4r": 2, key("k"): 3}
    case("Gatekeeper", "construct", lambda: Gatekeeper(dict(handlers), {1: "x"}), *handlers.values())
    case("Gatekeeper", "__init__ again", lambda: gk.__init__(dict(handlers), gk._error_codes), gk)
    case("Gatekeeper", "construct in a loop", with_global("asyncio", FAKE_ASYNCIO, lambda: Gatekeeper({}, None)), LOOP)
    growing = {"a": 1, key(lambda: growing.pop("b", None) or "k"): 2, "b": 3}
    construct_errors = {
        "handlers list": (([], {}), {}),
        "error_codes subclass": (({}, DictSub()), {}),
        "handlers None": ((None, {}), {}),
        "count": (({},), {}),
        "keyword": (({},), dict(handlers={})),
        "lower raises": (({key(Raises(KeyError("k"))): 1}, {}), {}),
        "lower unhashable": (({key(lambda: [1]): 1}, {}), {}),
    }
    for name, (args, kwargs) in construct_errors.items():
        case("Gatekeeper", f"construct: {name}", fails(Exception, Gatekeeper, *args, **kwargs))
    case(
        "Gatekeeper",
        "construct: table changes size",
        lambda: (growing.__setitem__("b", 3), fails(RuntimeError, Gatekeeper, growing, {})()),
    )
    case(
        "Gatekeeper",
        "construct: get_running_loop raises",
        with_global("asyncio", RAISING_ASYNCIO, fails(KeyError, Gatekeeper, {}, {})),
    )
    case(
        "Gatekeeper",
        "construct: asyncio missing",
        with_global("asyncio", MISSING, fails(NameError, Gatekeeper, {}, {})),
    )
    for table in ("_pending_futures", "_handler_map", "_error_codes"):
        g = Gatekeeper({}, {})
        case("Gatekeeper", f"set {table}", lambda t=table, g=g: setattr(g, t, {"a": [1]}), g)
        case("Gatekeeper", f"set {table}: list", fails(TypeError, setattr, g, table, [1]), g)
        case("Gatekeeper", f"del {table}", lambda t=table, g=g: (delattr(g, t), setattr(g, t, {})), g)
    bare = Gatekeeper.__new__(Gatekeeper)
    for name in ("get_destination_mask", "get_handler"):
        method = getattr(gk, name)
        case("Gatekeeper", f"{name}", lambda m=method: (m(fresh("abc")), m(fresh("nope")), m(None)), gk)
        case("Gatekeeper", f"{name}: type", fails(TypeError, method, b"abc"), gk)
        case("Gatekeeper", f"{name}: count", fails(TypeError, method), gk)
        case("Gatekeeper", f"{name}: no table", fails((TypeError, AttributeError), getattr(bare, name), "abc"), bare)


def status_cases():
    gk = Gatekeeper({}, {5: "five", 6: None, 7: b"bytes", 8: StrSub("sub")})
    quiet = lambda op: with_global("logger", QUIET_LOGGER, op)  # noqa: E731
    data = {"k": 1}
    case("process_status", "success with data", lambda: gk.process_status(fresh("c"), 1, 453, {"x": [1]}), gk)
    case("process_status", "success without data", lambda: gk.process_status("c", 1.9, 0, None), gk)
    for code in (5, 6, 99, -(2**31)):
        case(
            "process_status",
            f"failure, code {code}",
            quiet(lambda c=code: gk.process_status(fresh("c\u00e9"), -1, c, data)),
            gk,
            data,
        )
    case("process_status", "failure, None command", quiet(lambda: gk.process_status(None, 0, 0, data)), gk, data)
    for code in (7, 8):
        case(
            "process_status",
            f"bad description {code}",
            quiet(fails(TypeError, gk.process_status, "c", 0, code, data)),
            gk,
        )
    no_table = Gatekeeper({}, None)
    case("process_status", "no error table", fails(AttributeError, no_table.process_status, "c", 0, 5, data), no_table)
    case(
        "process_status",
        "logger missing",
        with_global("logger", MISSING, fails(NameError, gk.process_status, "c", 0, 5, data)),
        gk,
    )
    case(
        "process_status",
        "logger.warning raises",
        with_global("logger", Obj(warning=Raises(OSError("disk"))), fails(OSError, gk.process_status, "c", 0, 5, data)),
        gk,
    )
    case(
        "process_status",
        "logger without warning",
        with_global("logger", object(), fails(AttributeError, gk.process_status, "c", 0, 5, data)),
        gk,
    )
    case("process_status", "status not an int", fails(TypeError, gk.process_status, "c", "1", 0, data), gk)
    case("process_status", "error code overflow", fails(OverflowError, gk.process_status, "c", 1, 2**31, data), gk)
    case("process_status", "command type", fails(TypeError, gk.process_status, b"c", 0, 0, data), gk)
    case("process_status", "count", fails(TypeError, gk.process_status, "c", 0, 0), gk)


class Queue:
    def __init__(self, fail=None):
        self.fail, self.items = fail, []

    def put_nowait(self, item):
        if self.fail is not None:
            raise_new(self.fail)
        self.items.append(item)
        self.items.clear()


def routing_cases():
    gk = Gatekeeper({}, {})
    rpc, evt, bad = Queue(), Queue(), Queue(OverflowError("full"))
    for dest in (0, 1, 2, 3, -1, 12):
        case(
            "route_to_queues",
            f"XtPre destination {dest}",
            lambda d=dest: gk.route_to_queues(XtPre("c", 1, 0, [1], d), rpc, evt),
            gk,
            rpc,
            evt,
        )
        case(
            "route_to_queues",
            f"other packet destination {dest}",
            lambda d=dest: gk.route_to_queues(Obj(destination=HasInt(d)), rpc, evt),
            gk,
            rpc,
            evt,
        )
    case(
        "route_to_queues",
        "by keyword",
        lambda: gk.route_to_queues(packet=XtPre("c", 1, 0, None, 3), rpc_queue=rpc, evt_queue=evt),
        gk,
        rpc,
        evt,
    )
    case(
        "route_to_queues",
        "rpc put raises",
        fails(OverflowError, gk.route_to_queues, XtPre("c", 1, 0, None, 3), bad, evt),
        gk,
        bad,
        evt,
    )
    case(
        "route_to_queues",
        "evt put raises",
        fails(OverflowError, gk.route_to_queues, XtPre("c", 1, 0, None, 3), rpc, bad),
        gk,
        rpc,
        bad,
    )
    case(
        "route_to_queues",
        "queue without put_nowait",
        fails(AttributeError, gk.route_to_queues, XtPre("c", 1, 0, None, 3), object(), evt),
        gk,
    )
    case("route_to_queues", "no destination", fails(AttributeError, gk.route_to_queues, object(), rpc, evt), gk)
    case("route_to_queues", "destination str", fails(TypeError, gk.route_to_queues, Obj(destination="3"), rpc, evt), gk)
    case(
        "route_to_queues",
        "destination 2**31",
        fails(OverflowError, gk.route_to_queues, Obj(destination=2**31), rpc, evt),
        gk,
    )
    case("route_to_queues", "count", fails(TypeError, gk.route_to_queues, 1, 2), gk)


class FakeFuture:
    def __init__(self, done=False, fail=None):
        self._done, self.fail = done, fail

    def done(self):
        if self.fail == "done":
            raise RuntimeError("done")
        return self._done

    def set_result(self, result):
        if self.fail == "set_result":
            raise RuntimeError("set_result")

    def cancel(self):
        if self.fail == "cancel":
            raise RuntimeError("cancel")


class FakeDeque(deque):
    def __init__(self, items=(), fail=None):
        super().__init__(items)
        self.fail = fail

    def popleft(self):
        if self.fail == "popleft":
            raise RuntimeError("popleft")
        return super().popleft()

    def remove(self, value):
        raise TypeError("remove")


class RoutingGate(Gate):
    def route_to_queues(self, record, rpc_queue, evt_queue):
        evt_queue.put_nowait(record)


def feed_cases():
    """feed_and_route over a fresh buffer per call: each message handled, routed and removed."""
    stream = (b'%xt%abc%1%0%{"k":[1,2]}%\0\0%xt%ext%ABC%1%[1]%\0<msg t="sys"/>\0%xt%nobody%1%{}%\0'
              b"%xt%abc%1%{bad%\0%xt%ab")
    gk = Gatekeeper({"abc": 1}, {})
    gk._pending_futures["abc"] = None
    rpc, evt, bad = Queue(), Queue(), Queue(OverflowError("full"))
    through_gk, through_gate = XtPreParser(gk), XtPreParser(RoutingGate(2))
    for name, p in (("Gatekeeper", through_gk), ("other gate", through_gate)):
        case("feed_and_route", name, lambda p=p: p.feed_and_route(bytearray(stream), rpc, evt), p, rpc, evt)
    case("feed_and_route", "put raises", fails(OverflowError, lambda: through_gk.feed_and_route(
        bytearray(stream), bad, evt)), through_gk, bad, evt)
    no_routing = XtPreParser(Gate(2))
    case("feed_and_route", "route_to_queues missing", fails(AttributeError, lambda: no_routing.feed_and_route(
        bytearray(stream), rpc, evt)), no_routing, rpc, evt)
    failing = XtPreParser(Gate(KeyError("x")))
    case("feed_and_route", "gate raises", fails(KeyError, lambda: failing.feed_and_route(
        bytearray(stream), rpc, evt)), failing, rpc, evt)

    def exported():
        buffer = bytearray(stream)
        with memoryview(buffer):
            through_gk.feed_and_route(buffer, rpc, evt)

    case("feed_and_route", "exported buffer", fails(BufferError, exported), through_gk)
    case("feed_and_route", "buffer of another type", fails(TypeError, through_gk.feed_and_route, stream, rpc, evt))
    case("feed_and_route", "count", fails(TypeError, through_gk.feed_and_route, bytearray(stream)))
    case("feed_and_route", "None", lambda: through_gk.feed_and_route(None, rpc, evt), through_gk)


def futures_cases():
    with rebound("asyncio", FAKE_ASYNCIO):
        gk = Gatekeeper({}, {})  # futures on LOOP, which never runs: nothing gets scheduled
    table = gk._pending_futures

    def pair():
        gk.register_rpc(fresh("Cmd"))
        gk.resolve_rpc(fresh("CMD"), {"answer": [1]})

    def remove():
        fut = gk.register_rpc(fresh("Cmd"))
        gk.remove_future(fresh("cmd"), Obj())  # not queued: ValueError swallowed
        gk.remove_future(command=fresh("cmd"), fut=fut)

    def several_then_cancel_all():
        for name in ("a", "b", "a", "c"):
            gk.register_rpc(fresh(name))
        gk.resolve_rpc("b", 1)
        gk._pending_futures["a"][0].cancel()
        gk.cancel_all()

    def set_table(**entries):
        gk._pending_futures = {k: v() for k, v in entries.items()}

    def restore(op):
        def run():
            try:
                op()
            finally:
                gk._pending_futures = table
                table.clear()

        return run

    case("futures", "register and resolve", pair, gk, LOOP)
    case("futures", "register and remove", remove, gk, LOOP)
    case("futures", "register several, cancel_all", several_then_cancel_all, gk, LOOP)
    case(
        "futures",
        "resolve and remove with no entry",
        lambda: (gk.resolve_rpc("none", [1]), gk.remove_future("none", 1)),
        gk,
    )
    case(
        "futures",
        "resolve a done future",
        restore(
            lambda: (
                set_table(x=lambda: deque([FakeFuture(True), FakeFuture()])),
                gk.resolve_rpc("x", [1]),
                gk.resolve_rpc("x", [2]),
            )
        ),
        gk,
    )
    case(
        "futures",
        "empty and None entries",
        restore(
            lambda: (
                set_table(x=deque, y=lambda: None),
                gk.resolve_rpc("x", 1),
                gk.remove_future("x", 1),
                gk.register_rpc("y"),
            )
        ),
        gk,
    )
    failing = {
        "popleft raises": (
            RuntimeError,
            lambda: set_table(x=lambda: FakeDeque([FakeFuture()], "popleft")),
            lambda: gk.resolve_rpc("x", [1]),
        ),
        "done raises": (
            RuntimeError,
            lambda: set_table(x=lambda: deque([FakeFuture(fail="done")])),
            lambda: gk.resolve_rpc("x", [1]),
        ),
        "set_result raises": (
            RuntimeError,
            lambda: set_table(x=lambda: deque([FakeFuture(fail="set_result")])),
            lambda: gk.resolve_rpc("x", [1]),
        ),
        "remove raises TypeError": (
            TypeError,
            lambda: set_table(x=lambda: FakeDeque([1])),
            lambda: gk.remove_future("x", 1),
        ),
        "cancel raises midway": (
            RuntimeError,
            lambda: set_table(
                a=lambda: deque([FakeFuture(True)]),
                b=lambda: deque([FakeFuture(fail="cancel"), FakeFuture()]),
                c=lambda: deque([FakeFuture()]),
            ),
            gk.cancel_all,
        ),
        "non-str key": (
            TypeError,
            lambda: gk._pending_futures.update({"a": deque([FakeFuture()]), 5: deque()}),
            gk.cancel_all,
        ),
        "table None": (AttributeError, lambda: setattr(gk, "_pending_futures", None), lambda: gk.register_rpc("x")),
        "table None, cancel_all": (AttributeError, lambda: setattr(gk, "_pending_futures", None), gk.cancel_all),
        "command None": (TypeError, lambda: None, lambda: gk.register_rpc(None)),
        "command bytes": (TypeError, lambda: None, lambda: gk.resolve_rpc(b"x", 1)),
        "deque missing": (NameError, lambda: None, with_global("deque", MISSING, lambda: gk.register_rpc("x"))),
        "count": (TypeError, lambda: None, lambda: gk.cancel_all(1)),
    }
    for name, (error, prepare, op) in failing.items():
        case("futures", name, restore(lambda p=prepare, e=error, o=op: (p(), fails(e, o)())), gk)
    no_loop = Gatekeeper({}, {})  # built outside a running loop; asyncio has none either
    case("futures", "no running loop", fails(RuntimeError, no_loop.register_rpc, "x"), no_loop)
    case(
        "futures",
        "create_future raises",
        with_global(
            "asyncio",
            Obj(get_running_loop=lambda: Obj(create_future=Raises(MemoryError()))),
            fails(MemoryError, lambda: Gatekeeper({}, {}).register_rpc("x")),
        ),
    )


# ---- formatters
class Text:
    def __init__(self, result):
        self.result = result

    def __str__(self):
        if isinstance(self.result, BaseException):
            raise_new(self.result)
        return self.result


class Dumped:
    def __init__(self, decoded):
        self.decoded = decoded

    def decode(self, encoding):
        return self.decoded() if callable(self.decoded) else self.decoded


def formatter_cases():
    case(
        "formatters",
        "cy_format_xt",
        lambda: cy_format_xt(fresh("h"), "c", [fresh("a"), 1, None, 2.5, Text(fresh("t"))]),
    )
    case(
        "formatters",
        "cy_format_xt, wide and many items",
        lambda: cy_format_xt("h\u00e9", "\U0001f600", [fresh("x\u0103")] * 40 + list(range(40))),
    )
    case("formatters", "cy_format_xt, empty", lambda: (cy_format_xt("h", "c", []), cy_format_xt(None, None, [""])))
    items = []
    case(
        "formatters",
        "cy_format_xt, __str__ changes the list",
        lambda: (items.extend(["a", Text(fresh("x")), Obj()]), cy_format_xt("h", "c", items), items.clear()),
    )
    xt_errors = {
        "__str__ raises": (ZeroDivisionError, ("h", "c", ["a", Text(ZeroDivisionError())])),
        "__str__ not a str": (TypeError, ("h", "c", ["a", Text(5)])),
        "data None": (TypeError, ("h", "c", None)),
        "data tuple": (TypeError, ("h", "c", ("a",))),
        "header bytes": (TypeError, (b"h", "c", [])),
    }
    for name, (error, args) in xt_errors.items():
        case("formatters", f"cy_format_xt: {name}", fails(error, cy_format_xt, *args))
    case("formatters", "cy_format_xt: count", fails(TypeError, cy_format_xt, "h", "c"))
    case("formatters", "cy_format_xt: keyword", fails(TypeError, cy_format_xt, "h", "c", [], extra=1))
    case("formatters", "cy_format_json_xt", lambda: cy_format_json_xt(fresh("h"), "c", {"k": [1, "x"], "n": None}))
    case(
        "formatters",
        "cy_format_json_xt, non-ASCII",
        lambda: cy_format_json_xt("h", "c", {"k": fresh("\u00e9\U0001f600")}),
    )
    case("formatters", "cy_format_json_xt, None", lambda: cy_format_json_xt("h", "c", None))
    case(
        "formatters",
        "cy_format_json_xt: cannot serialise",
        fails(TypeError, cy_format_json_xt, "h", "c", {"k": object()}),
    )
    case(
        "formatters",
        "cy_format_json_xt: lone surrogate",
        fails(TypeError, cy_format_json_xt, "h", "c", {"k": "\ud800"}),
    )
    case("formatters", "cy_format_json_xt: data list", fails(TypeError, cy_format_json_xt, "h", "c", [1]))
    fakes = {
        "decode gives str": (None, lambda d: Dumped(lambda: fresh("{}"))),
        "decode gives None": (None, lambda d: Dumped(None)),
        "decode gives int": (TypeError, lambda d: Dumped(5)),
        "decode gives str subclass": (TypeError, lambda d: Dumped(lambda: StrSub("{}"))),
        "decode raises": (UnicodeError, lambda d: Dumped(Raises(UnicodeError("x")))),
        "no decode": (AttributeError, lambda d: object()),
        "invalid UTF-8 bytes": (UnicodeDecodeError, lambda d: b"\xff{}"),
        "dumps raises": (ValueError, Raises(ValueError("x"))),
    }
    for name, (error, dumps) in fakes.items():
        call = lambda: cy_format_json_xt("h", "c", {"k": 1})  # noqa: E731
        op = call if error is None else fails(error, call)
        case("formatters", f"cy_format_json_xt: orjson {name}", with_global("orjson", Obj(dumps=dumps), op))
    case(
        "formatters",
        "cy_format_json_xt: orjson missing",
        with_global("orjson", MISSING, fails(NameError, cy_format_json_xt, "h", "c", {})),
    )
    case(
        "formatters",
        "cy_format_json_xt: no dumps",
        with_global("orjson", object(), fails(AttributeError, cy_format_json_xt, "h", "c", {})),
    )
    case("formatters", "cy_format_xml", lambda: cy_format_xml(fresh("t"), "a\u00e9", None, fresh("<x y='1'/>")))
    case("formatters", "cy_format_xml: type", fails(TypeError, cy_format_xml, "t", "a", "r", 5))
    case("formatters", "cy_format_xml: count", fails(TypeError, cy_format_xml, "t", "a", "r"))


def self_test_cases():
    """Leaks the tool must report: a new object per call kept alive by one reference too many
    taken at the C level, and a reference taken on a long-lived object."""
    import ctypes

    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    kept = Obj()
    case("self-test", "a new object leaked per call", lambda: incref({"new": [1]}))
    case("self-test", "a reference leaked per call", lambda: incref(kept), kept)
    case("self-test", "one leak every 50 calls", lambda c=iter(range(10**9)): next(c) % 50 or incref([1]))


def build_cases():
    for build in (
        xtpre_cases,
        pickling_cases,
        parser_cases,
        gatekeeper_cases,
        status_cases,
        routing_cases,
        feed_cases,
        futures_cases,
        formatter_cases,
    ):
        build()


# ---- measuring
def measure(op, probes, calls, rounds):
    """(blocks after warm-up, blocks after each round, reference-count changes of the probes)."""
    for _ in range(calls):
        op()
    gc.collect()
    refs = [sys.getrefcount(probes[i]) for i in range(len(probes))]
    # Counts kept as machine integers: a list of int objects would itself grow by a block a round.
    counts = array.array("q", [0] * (rounds + 1))
    counts[0] = sys.getallocatedblocks()
    for r in range(rounds):
        for _ in range(calls):
            op()
        gc.collect()
        counts[r + 1] = sys.getallocatedblocks()
    # By index: a loop variable or zip's tuple would hold one more reference.
    ref_changes = [sys.getrefcount(probes[i]) - refs[i] for i in range(len(probes))]
    return list(counts), ref_changes


IMPORT_LOOP = r"""
import array, gc, sys
sys.modules["orjson"] = None  # blocks the import: every attempt fails in its execution step
def attempt():
    try:
        import vrel_dll
    except ImportError:
        pass
    else:
        raise SystemExit("vrel_dll imported although orjson is blocked")
    sys.modules.pop("vrel_dll", None)
for _ in range(%(calls)d):
    attempt()
gc.collect()
counts = array.array("q", [0] * (%(rounds)d + 1))
counts[0] = sys.getallocatedblocks()
for r in range(%(rounds)d):
    for _ in range(%(calls)d):
        attempt()
    gc.collect()
    counts[r + 1] = sys.getallocatedblocks()
print(*counts)
"""


def import_failures(calls, rounds):
    """Failed imports, counted in a fresh interpreter where orjson cannot be imported."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(
        [sys.executable, "-c", IMPORT_LOOP % {"calls": calls, "rounds": rounds}],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return [int(n) for n in out.stdout.split()], []


def leaking(counts, ref_changes, calls):
    """A leak grows in every measured round; the interpreter's own caches and free lists
    (pickle's, the import system's, tuples kept for reuse) fill up in bursts and stop.
    So: every round adds at least one block per hundred calls, or a probe changed."""
    deltas = [b - a for a, b in zip(counts, counts[1:])]
    return all(d >= max(2, calls // 100) for d in deltas) or any(ref_changes)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls per round (default 1000)")
    parser.add_argument("--rounds", type=int, default=3, help="measured rounds (default 3)")
    parser.add_argument("-k", default="", help="only cases whose group or name contains this text")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every case's block counts")
    parser.add_argument("--self-test", action="store_true", help="check that deliberate leaks are reported")
    args = parser.parse_args()
    if os.environ.get("PYTHONMALLOC", "pymalloc").startswith("malloc") or sys.getallocatedblocks() == 0:
        print("leakcheck: sys.getallocatedblocks() is not counting (PYTHONMALLOC=malloc?)", file=sys.stderr)
        return 2

    if args.self_test:
        self_test_cases()
        found = [leaking(*measure(op, pr, args.calls, args.rounds), args.calls) for _, _, op, pr in CASES]
        print(f"leakcheck self-test: {sum(found)} of {len(found)} deliberate leaks reported")
        return 0 if all(found) else 1
    build_cases()
    selected = [c for c in CASES if args.k.lower() in f"{c[0]} {c[1]}".lower()]
    if args.list:
        for group, name, _, _ in selected:
            print(f"{group}: {name}")
        return 0
    print(f"leakcheck: Python {sys.version.split()[0]}, vrel_dll from {vrel_dll.__file__}")
    print(
        f"leakcheck: {len(selected)} cases, each warmed up with {args.calls} calls, "
        f"then {args.rounds} measured rounds of {args.calls} calls"
    )
    runs = [(g, n, lambda op=op, pr=pr: measure(op, pr, args.calls, args.rounds)) for g, n, op, pr in selected]
    if args.k.lower() in "import: failed imports":
        runs.append(
            (
                "import",
                "failed imports (orjson blocked), fresh interpreter",
                lambda: import_failures(args.calls, args.rounds),
            )
        )
    groups: dict[str, dict] = {}
    leaks = []
    for group, name, run in runs:
        gc.collect()
        start = sys.getallocatedblocks()
        counts, ref_changes = run()
        g = groups.setdefault(group, {"start": start, "cases": 0, "growth": 0, "worst": 0, "leaking": 0})
        g["end"] = counts[-1] if group == "import" else sys.getallocatedblocks()
        g["start"] = counts[0] if group == "import" and g["cases"] == 0 else g["start"]
        g["cases"] += 1
        g["growth"] += counts[-1] - counts[0]
        g["worst"] = max(g["worst"], counts[-1] - counts[0])
        if leaking(counts, ref_changes, args.calls):
            # Caches outside the module can fill in bursts over a few rounds (the pickle
            # machinery does on 3.14): a real leak is still there when measured again.
            counts, ref_changes = run()
        if leaking(counts, ref_changes, args.calls):
            g["leaking"] += 1
            leaks.append(f"{group}: {name}: blocks {counts}, probe reference changes {ref_changes}")
        elif args.verbose:
            print(f"  {group}: {name}: blocks {counts}")
    width = max(len(g) for g in groups)
    print(f"{'group':<{width}}  cases  blocks before -> after group   measured growth (sum, worst case)  leaking")
    for name, g in groups.items():
        print(
            f"{name:<{width}}  {g['cases']:5d}  {g['start']:>12,d} -> {g['end']:<12,d}  "
            f"{g['growth']:+12d} {g['worst']:+8d}                  {g['leaking']}"
        )
    for line in leaks:
        print("LEAK " + line)
    print(f"leakcheck: {'FAILED, ' + str(len(leaks)) + ' leaking case(s)' if leaks else 'no leaks'}")
    LOOP.close()
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
