"""Lifetimes: cycles, long chains, objects dropped mid-call, re-entry and hostile input."""
import asyncio
import gc
import threading
import tracemalloc
import types
import weakref

import pytest

import vrel_dll
from conftest import fields
from vrel_dll import Gatekeeper, XtPre, XtPreParser

# Subclass instances can carry a finaliser.
Rec = type("Rec", (XtPre,), {})
Probe = type("Probe", (types.SimpleNamespace,), {})


def finalised(obj):
    freed = []
    weakref.finalize(obj, freed.append, True)
    return freed



def test_gatekeeper_and_future_callback_cycle_is_collected():
    held = Probe()
    freed = finalised(held)

    async def register(held):  # gatekeeper -> table -> deque -> future -> callback -> gatekeeper
        g = Gatekeeper({}, {})
        g.register_rpc("cmd").add_done_callback(lambda fut, keep=(g, held): None)

    asyncio.run(register(held))
    del held
    gc.collect()
    assert freed == [True]


LINKS = {  # each new object holds the one before; a gatekeeper through the loop it captures
    "record": lambda head: XtPre("c", 0, 0, head, 1), "subclass": lambda head: Rec("c", 0, 0, [head], 1),
    "parser": XtPreParser, "gatekeeper": lambda head: Gatekeeper({}, {}),
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
    try:
        (worker := threading.Thread(target=build_and_drop)).start()
        worker.join()
    finally:
        threading.stack_size(size)
    assert box == [None, "freed"]


def test_objects_dropped_during_the_call_outlive_it():
    holder = [XtPreParser(None)]
    parser_freed = finalised(probe := Probe(get_destination_mask=lambda name: holder.clear() or 3))
    holder[0].__init__(probe)
    del probe
    assert fields(holder[0].parse_and_route(b"%xt%abc%0%[1]%")) == ("abc", 0, 0, [1], 3)
    assert holder == [] and parser_freed == [True]

    holder = [Rec("c", 1, 2, None, 3)]
    freed = finalised(holder[0])
    drop = type("Drop", (), {"__int__": lambda self: holder.clear() or 7})()
    holder[0].status = drop
    assert freed == [True]
    holder.append(Rec("c", 1, 2, None, 3))
    freed = finalised(holder[0])
    XtPre.__init__(holder[0], "x", drop, 0, None, 0)
    assert freed == [True]

    packets, got = [Rec("c", 1, 0, None, 3)], []
    freed = finalised(packets[0])
    queue = Probe(put_nowait=lambda p: (packets.clear(), got.append(p)))
    Gatekeeper({}, {}).route_to_queues(packets[0], queue, queue)
    assert len(got) == 2 and got[0] is got[1] and freed == []
    got.clear()
    assert freed == [True]


def test_reentry_from_every_hook():
    parser = XtPreParser(None)

    def mask(name):  # parses a packet of its own on the same parser, 30 levels deep
        depth = int(name[3:] or 0)
        if depth < 30:
            inner = parser.parse_and_route(b"%%xt%%Cmd%d%%%d%%0%%[%d]%%" % (depth + 1, depth, depth))
            assert fields(inner) == (f"cmd{depth + 1}", depth, 0, [depth], 2)
        return 2

    parser.__init__(Probe(get_destination_mask=mask))
    assert fields(parser.parse_and_route(b"%xt%Cmd%1%5%{}%")) == ("cmd", 1, 5, {}, 2)

    g, calls = Gatekeeper({}, {}), []  # a queue that routes the packet again, 20 levels deep
    queue = Probe(put_nowait=lambda p: calls.append(p) or len(calls) < 20 and g.route_to_queues(p, queue, queue))
    g.route_to_queues(XtPre("c", 0, 0, None, 1), queue, queue)
    assert len(calls) == 20

    record = XtPre("c", 1, 2, None, 3)
    sets_itself = type("SetsItself", (), {"__int__": lambda self: setattr(record, "status", 9) or 5})()
    record.status = sets_itself
    assert record.status == 5

    key = type("Key", (str,), {"lower": lambda self: g.__init__({"inner": 1}, {}) or "outer"})("K")
    g.__init__({key: 2}, None)
    assert g._handler_map == {"outer": 2} and g._error_codes is None


HOSTILE = {  # message, then the record's fields (a long text as its length), or None
    "40 MB payload": (lambda: b'%xt%big%0%"' + b"a" * 40_000_000 + b'"%', ("big", 0, 0, 40_000_000, 2)),
    "40 MB of separators": (lambda: b"%xt%big%0%" + b"%" * 40_000_000, ("big", 0, 0, None, 2)),
    "40 MB without one": (lambda: b"%xt%big%0%" + b"x" * 40_000_000, ("big", 0, 0, None, 2)),
    "40 MB command": (lambda: b"%xt%" + b"B" * 40_000_000 + b"%0%", (40_000_000, 0, 0, None, 2)),
    "nesting past the decoder's limit": (lambda: b"%xt%big%0%" + b"[" * 1_000_000, ("big", 0, 0, None, 2)),
    "NUL in the status": (lambda: b"%xt%\xff\x00A%1\x00%\xfe%", None),
    "invalid UTF-8 and NUL": (lambda: b'%xt%\xff\x00A\xc3(%1%7%"\xff\x00"%', ("\x00a(", 1, 7, None, 2)),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_huge_nested_and_invalid_packets(case):
    make, expected = HOSTILE[case]
    got = XtPreParser(Probe(get_destination_mask=lambda name: 2)).parse_and_route(make())
    got = got and tuple(len(v) if isinstance(v, str) and len(v) > 99 else v for v in fields(got))
    assert got == expected


def test_distinct_commands_do_not_grow_memory_past_the_cache():
    parser = XtPreParser(Probe(get_destination_mask=lambda name: 0))
    messages = [b"%%xt%%C%07d%%0%%" % i for i in range(150_000)]
    tracemalloc.start()
    try:
        for msg in messages[:70_000]:  # fills the cache (65,536 entries)
            parser.parse_and_route(msg)
        filled = tracemalloc.get_traced_memory()[0]
        for msg in messages[70_000:]:
            parser.parse_and_route(msg)
        assert tracemalloc.get_traced_memory()[0] - filled < 64 << 10
    finally:
        tracemalloc.stop()


def test_nul_and_lone_surrogates_pass_through_every_text(monkeypatch):
    odd = "\x00\ud800\U0010ffff'<"
    xml = f"<msg t='{odd}'><body action='{odd}' r='{odd}'>{odd}</body></msg>"
    assert vrel_dll.cy_format_xml(odd, odd, odd, odd) == xml
    assert vrel_dll.cy_format_xt(odd, odd, [odd, odd]) == f"%xt%{odd}%{odd}%{odd}%{odd}%"
    with pytest.raises(TypeError):  # no UTF-8 form: the encoder's own error
        vrel_dll.cy_format_json_xt(odd, odd, {"k": odd})
    lines = []
    monkeypatch.setattr(vrel_dll, "logger", Probe(warning=lines.append))
    assert Gatekeeper({b"\xff\x00A": 1}, {5: odd}).process_status(odd, 0, 5, None) is False
    assert lines == [f"[{odd}] STATUS 0 | ERROR 5: {odd}"]
    assert Gatekeeper({b"\xff\x00A": 1, odd: 2}, {})._handler_map == {"\x00a": 1, odd.lower(): 2}
