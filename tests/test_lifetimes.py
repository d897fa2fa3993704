"""Lifetimes: cycles, long chains, objects dropped mid-call, re-entry and huge input."""

import asyncio
import ctypes
import gc
import threading
import tracemalloc
import weakref
from types import SimpleNamespace

import pytest

import vrel_dll
from conftest import fields
from vrel_dll import Gatekeeper, StatusError, XtPre, XtPreParser

# Subclass instances accept weak references; a Held's repr shows nothing it holds.
Rec, Probe, Held = type("Rec", (XtPre,), {}), type("Probe", (SimpleNamespace,), {}), type("Held", (), {})


def tp_clear(obj) -> int:
    """The type's tp_clear slot called on `obj`, as the collector calls it to break a cycle."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    py_tp_clear = 51  # slot number from typeslots.h, stable across versions
    # PYFUNCTYPE keeps the GIL held during the call, as the collector does.
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), py_tp_clear))(obj)


def gate_with(table, held):
    setattr(gate := Gatekeeper({}, {}), table, {"held": held})
    return gate


def gate_in_loop(held):
    with pytest.MonkeyPatch.context() as patch:  # undone on return: the stand-in keeps no loop alive
        patch.setattr(vrel_dll, "asyncio", Probe(get_running_loop=lambda: held))
        return Gatekeeper({}, {})


async def gate_awaiting(held):  # gate -> table -> deque -> future -> callback -> held
    (gate := Gatekeeper({}, {})).register_rpc("cmd")
    gate.resolve_rpc("cmd", None)  # its deque, emptied, is kept for reuse: the next one may be that one
    gate.register_rpc("cmd").add_done_callback(lambda fut, keep=held: None)
    return gate


def parser_caching(held):
    parser = XtPreParser(None)
    next(r for r in gc.get_referents(parser) if type(r) is dict)[b"held"] = held
    return parser


def record(cls, held):
    XtPre("c", 0, 0, None, 0)  # dropped at once: an exact XtPre made next is this one, from the free list
    return cls("x", 1, 2, held, 3)


def status_error(held):
    (error := StatusError("c", 1, 2, "d", held)).args = ()  # then the field alone holds the data
    return error


CYCLES = {  # each field of the module's objects that can hold `held`, which then holds the object
    "_pending_futures": lambda held: gate_with("_pending_futures", held),
    "_handler_map": lambda held: gate_with("_handler_map", held),
    "_error_codes": lambda held: gate_with("_error_codes", held),
    "loop": gate_in_loop,
    "future callback": lambda held: asyncio.run(gate_awaiting(held)),
    "parser gate": XtPreParser,
    "parser cache": parser_caching,
    "record": lambda held: record(XtPre, held),
    "record subclass": lambda held: record(Rec, held),
    "status error": status_error,
}


@pytest.mark.parametrize("breaker", ["collector", "tp_clear"])
@pytest.mark.parametrize("field", CYCLES)
def test_cycles_through_each_field_are_broken(field, breaker):
    """The collector must see the field (tp_traverse), and clearing the object alone must let go
    of it (tp_clear): the cycle's other objects may have no tp_clear of their own, as tuples."""
    held = Held()
    ref = weakref.ref(held)
    held.obj = obj = CYCLES[field](held)
    del held
    if breaker == "collector":
        del obj
        gc.collect()
    else:
        assert tp_clear(obj) == 0  # `obj` is still ours: nothing is collected
        assert not isinstance(obj, XtPre) or fields(obj) == ("x", 1, 2, None, 3)  # the data alone is let go
    assert ref() is None


LINKS = {  # each new object holds the one before; a gatekeeper through the loop it captures
    "record": lambda head: XtPre("c", 0, 0, head, 1),
    "subclass": lambda head: Rec("c", 0, 0, [head], 1),
    "parser": XtPreParser,
    "gatekeeper": lambda head: Gatekeeper({}, {}),
}


@pytest.mark.parametrize("kind", LINKS)
def test_long_chains_are_freed_on_a_small_stack(monkeypatch, kind):
    box = [None]
    monkeypatch.setattr(vrel_dll, "asyncio", Probe(get_running_loop=lambda: box[0]))

    def build_and_drop():  # one dealloc frame per link would overflow 1 MiB long before 100,000 links
        for _ in range(100_000):
            box[0] = LINKS[kind](box[0])
        box[0] = None
        box.append("freed")

    size = threading.stack_size(1 << 20)
    (worker := threading.Thread(target=build_and_drop)).start()
    threading.stack_size(size)  # taken by a thread when it starts
    worker.join()
    assert box == [None, "freed"]


def test_objects_dropped_during_the_call_outlive_it():
    holder = [XtPreParser(None)]  # the gate drops the parser it is called by
    gate_ref = weakref.ref(probe := Probe(get_destination_mask=lambda name: holder.clear() or 3))
    holder[0].__init__(probe)
    del probe
    assert fields(holder[0].parse_and_route(b"%xt%abc%0%[1]%")) == ("abc", 0, 0, [1], 3)
    assert holder == [] and gate_ref() is None  # freed with the parser
    drop = type("Drop", (), {"__int__": lambda self: holder.clear() or 7})()  # drops the record being set
    for store in (lambda r: setattr(r, "status", drop), lambda r: XtPre.__init__(r, "x", drop, 0, None, 0)):
        holder.append(Rec("c", 1, 2, None, 3))
        ref = weakref.ref(holder[0])
        store(holder[0])
        assert ref() is None
    packets, got = [Rec("c", 1, 0, None, 3)], []  # the first put drops the packet routed
    ref = weakref.ref(packets[0])
    queue = Probe(put_nowait=lambda p: (packets.clear(), got.append(p)))
    Gatekeeper({}, {}).route_to_queues(packets[0], queue, queue)
    assert len(got) == 2 and got[0] is got[1] is ref()
    got.clear()
    assert ref() is None


def test_reentry():
    parser = XtPreParser(None)

    def mask(name):  # parses a packet of its own on the same parser, 30 levels deep
        depth = int(name[3:] or 0)
        if depth < 30:
            inner = parser.parse_and_route(b"%%xt%%Cmd%d%%%d%%0%%[%d]%%" % (depth + 1, depth, depth))
            assert fields(inner) == (f"cmd{depth + 1}", depth, 0, [depth], 2)
        return 2

    parser.__init__(Probe(get_destination_mask=mask))
    assert fields(parser.parse_and_route(b"%xt%Cmd%1%5%{}%")) == ("cmd", 1, 5, {}, 2)
    g = Gatekeeper({}, {})
    key = type("Key", (str,), {"lower": lambda self: g.__init__({"inner": 1}, {}) or "outer"})("K")
    g.__init__({key: 2}, None)
    assert g._handler_map == {"outer": 2} and g._error_codes is None


@pytest.mark.parametrize(
    "message, expected",
    [  # the record's fields, a long text as its length
        (lambda: b'%xt%big%0%"' + b"a" * 40_000_000 + b'"%', ("big", 0, 0, 40_000_000, 2)),
        (lambda: b"%xt%" + b"B" * 40_000_000 + b"%0%", (40_000_000, 0, 0, None, 2)),
        (lambda: b"%xt%big%0%" + b"[" * 1_000_000, ("big", 0, 0, None, 2)),  # nesting past the decoder's limit
    ],
    ids=["40 MB payload", "40 MB command", "deep nesting"],
)
def test_huge_and_nested_packets(message, expected):
    got = fields(XtPreParser(Probe(get_destination_mask=lambda name: 2)).parse_and_route(message()))
    assert tuple(len(v) if isinstance(v, str) and len(v) > 99 else v for v in got) == expected


def test_distinct_commands_do_not_grow_memory_past_the_cache():
    parser = XtPreParser(Probe(get_destination_mask=lambda name: 0))
    messages = [b"%%xt%%C%07d%%0%%" % i for i in range(150_000)]
    tracemalloc.start()
    for msg in messages[:70_000]:  # fills the cache (65,536 entries)
        parser.parse_and_route(msg)
    filled = tracemalloc.get_traced_memory()[0]
    for msg in messages[70_000:]:
        parser.parse_and_route(msg)
    grown = tracemalloc.get_traced_memory()[0] - filled
    tracemalloc.stop()
    assert grown < 64 << 10
