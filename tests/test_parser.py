"""XtPreParser: raw inbound bytes to XtPre records."""

import gc
import types

import orjson
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrel_dll
from conftest import IS_WINDOWS, fields
from vrel_dll import Gatekeeper, XtPre, XtPreParser
from vrel_testkit import packet_model

PARSE = "vrel_dll.XtPreParser.parse_and_route"


class Stub:
    """Stands in for a gate or for orjson: records what it is given, answers (or raises) `answer`."""

    def __init__(self, answer=2):
        self.answer, self.calls = answer, []

    def get_destination_mask(self, arg):
        self.calls.append(arg)
        if isinstance(self.answer, BaseException):
            raise self.answer.with_traceback(None)  # a reused instance would grow its traceback
        return self.answer

    loads = get_destination_mask


def cache_of(parser):
    (cache,) = [r for r in gc.get_referents(parser) if type(r) is dict]
    return cache


def result(rec):
    return None if rec is None else fields(rec)


# Integer fields: optional '-', ASCII digits only, reduced modulo 2**32 into the signed range.
INTS = [
    (b"-0", 0),
    (b"0" * 22 + b"42", 42),
    (b"2147483647", 2**31 - 1),
    (b"2147483648", -(2**31)),
    (b"-2147483649", 2**31 - 1),
    (b"4294967297", 1),
    (b"12345678901234567890123", 1900168395),
    (b"-12345678901234567890123", -1900168395),
    (b"18446744073709551617", 1),
    (b"1" * 40, -954437177),
]
NOT_INTS = [b"+1", b" 1", b"1 ", b"-", b"--1", b"1-", b"/", b":", b"0x1", "١".encode()]


@pytest.mark.parametrize(
    "msg, expected",
    [
        # short layout: command, status[, error code][, payload]
        (b"%xt%abc%0%{}%", ("abc", 0, 0, {})),
        (b"%xt%abc%1%5%[1,2]", ("abc", 1, 5, [1, 2])),
        (b"%xt%abc%0%1%2%3%", ("abc", 0, 1, 2)),
        (b"%xt%007%-0008%00%", ("007", -8, 0, None)),
        (b"%xt%abc%0", ("abc", 0, 0, None)),
        (b"%xt%abc%0%%", ("abc", 0, 0, None)),
        (b"%xt%abc%0%7", ("abc", 0, 7, None)),
        (b"%xt%abc%0%7%", ("abc", 0, 7, None)),
        (b"%xt%abc%-3%-%", ("abc", -3, 0, None)),
        (b"%xt%abc%0%+1%", ("abc", 0, 0, None)),
        (b"%xt%abc%0% 1%", ("abc", 0, 0, 1)),
        (b'%xt%abc%0%{"a":"50%"}%', ("abc", 0, 0, None)),
        (b"%xt%abc%0%[1]%,2]%", ("abc", 0, 0, [1])),
        pytest.param(b"%xt%abc%1%2%[3]" + b"%x" * 5000, ("abc", 1, 2, [3]), id="thousands-of-fields"),
        # long layout: field 2 is no integer, so field 1 is skipped unread
        (b"%xt%ext%abc%1%0%{}%", ("abc", 1, 0, {})),
        (b'%xt%\xff-x%abc%1%{"a":1}%', ("abc", 1, 0, {"a": 1})),
        (b'%xt%ext%abc%1%4%"x"%[9]%', ("abc", 1, 4, "x")),
        (b"%xt%abc%+1%5%{}%", ("+1", 5, 0, {})),
        # the command name: bytes >= 128 dropped, A-Z lower-cased, nothing else touched
        (b"%xt%Hi_@[Z\x00-.%0%", ("hi_@[z\x00-.", 0, 0, None)),
        (b"%xt%a" + "é".encode() + b"B\x80\xff%0%", ("ab", 0, 0, None)),
        (b"%xt%%0%{}%", ("", 0, 0, {})),
        *[(b"%xt%abc%" + t + b"%" + t + b"%", ("abc", v, v, None)) for t, v in INTS],
        *[(b"%xt%abc%" + t + b"%{}%", None) for t in NOT_INTS],
        # not an XT packet, or malformed
        *[
            (m, None)
            for m in [
                None,
                b"",
                b"%xt",
                b"%xt%",
                b"%xt%abc",
                b"%xt%abc%",
                b"%xt%ext%abc%",
                b"%xt%ext%abc%x%{}%",
                b"xxt%abc%0%",
                b"%Xt%abc%0%",
                b"%xT%abc%0%",
                b"%xt abc%0%",
                b'<msg t="sys"><body action="verChk" r="0"></body></msg>\x00',
                b'{"a":1}',
            ]
        ],
    ],
)
def test_packet(monkeypatch, msg, expected):
    payloads = []  # what reaches the decoder: never an empty field
    decode = lambda p: payloads.append(p) or orjson.loads(p)
    monkeypatch.setattr(vrel_dll, "orjson", types.SimpleNamespace(loads=decode))
    parser = XtPreParser(gatekeeper=(gate := Stub()))
    rec = parser.parse_and_route(msg=msg)
    assert packet_model.parse(msg, lambda name: 2) == (None if expected is None else (*expected, 2))
    if expected is None:
        assert rec is None and gate.calls == [] and cache_of(parser) == {} and payloads == []
    else:
        assert type(rec) is XtPre and fields(rec) == (*expected, 2) and b"" not in payloads
        assert gate.calls == [expected[0]] and list(cache_of(parser).values()) == [expected[0]]


# A C long is 64 bits on Linux, so the 32-bit range gets its own check there.
TOO_LARGE = "Python int too large to convert to C long" if IS_WINDOWS else "value too large to convert to int"


GATES = {"no method": object, "bare gatekeeper": lambda: Gatekeeper.__new__(Gatekeeper)}


@pytest.mark.parametrize(
    "answer, expected",
    [  # what the gate answers, or a gate named in GATES
        (3.7, ("abc", 0, 0, "decoded", 3)),
        (0, None),
        (None, (TypeError, "an integer is required")),
        (2**31, (OverflowError, TOO_LARGE)),
        (2**70, (OverflowError, "Python int too large to convert to C long")),
        (ValueError("boom"), (ValueError, "boom")),
        ("no method", (AttributeError, "'object' object has no attribute 'get_destination_mask'")),
        ("bare gatekeeper", (TypeError, "'NoneType' object is not iterable")),  # no tables yet
    ],
)
def test_gate_answer(monkeypatch, names, answer, expected):
    gate = GATES[answer]() if isinstance(answer, str) else Stub(answer)
    fake = Stub("decoded")
    monkeypatch.setattr(vrel_dll, "orjson", fake)
    parser = XtPreParser(gate)
    try:
        got = result(parser.parse_and_route(b"%xt%ABC%0%{}%"))
    except Exception as exc:
        assert PARSE in names(exc)
        got = (type(exc), str(exc))
    assert got == expected
    # the payload is decoded only for a packet that is delivered; the name is cached regardless
    assert fake.calls == ([b"{}"] if len(expected or ()) == 5 else [])
    assert cache_of(parser) == {b"ABC": "abc"}


def test_gatekeeper_directly_and_through_a_subclass(names):
    class Sub(Gatekeeper):
        def get_destination_mask(self, command):
            return super().get_destination_mask(command) | 1

    gk = Gatekeeper({"Evt": 1, "both": 2}, {})
    gk._pending_futures.update(rpc=None, both=None)
    direct, sub = XtPreParser(gk), XtPreParser(Sub({"Evt": 1}, {}))
    dest = lambda p, cmd: getattr(p.parse_and_route(b"%xt%" + cmd + b"%0%"), "destination", None)
    assert [dest(direct, c) for c in (b"EVT", b"rpc", b"both", b"none")] == [2, 1, 3, None]
    assert [dest(sub, b"EVT"), dest(sub, b"none")] == [3, 1]
    del gk._handler_map
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$") as exc:
        direct.parse_and_route(b"%xt%abc%0%")
    assert names(exc.value)[-2:] == [PARSE, "vrel_dll.Gatekeeper.get_destination_mask"]


def test_gate_may_drop_the_parsers_hold_on_it():
    gate = Stub()
    gate.get_destination_mask = lambda name: parser.__init__(Stub(0)) or 3  # frees the gate mid-call
    parser = XtPreParser(gate)
    del gate
    assert result(parser.parse_and_route(b"%xt%abc%0%[1]%")) == ("abc", 0, 0, [1], 3)
    assert parser.parse_and_route(b"%xt%abc%0%") is None


# ---- the command cache
def test_cache_keys_are_raw_fields_and_entries_are_used(names):
    parser = XtPreParser(gate := Stub())
    for msg in (b"%xt%ABC%0%", b"%xt%abc%0%", b"%xt%ext%aBc%0%", b"%xt%x\xffY%0%"):
        parser.parse_and_route(msg)
    cache = cache_of(parser)
    assert cache == {b"ABC": "abc", b"abc": "abc", b"aBc": "abc", b"x\xffY": "xy"}
    assert {type(k) for k in cache} == {bytes}
    cache[b"ABC"], cache[b"DEF"] = "other", None
    assert [parser.parse_and_route(b"%xt%" + c + b"%0%").command for c in (b"ABC", b"DEF")] == ["other", "def"]
    assert cache[b"DEF"] == "def" and gate.calls[-2:] == ["other", "def"]
    for entry in (5, type("S", (str,), {})("abc")):
        cache[b"ABC"] = entry
        with pytest.raises(TypeError) as exc:
            parser.parse_and_route(b"%xt%ABC%0%")
        assert str(exc.value) == f"Expected str, got {type(entry).__name__}" and PARSE in names(exc.value)
    assert gate.calls[-2:] == ["other", "def"]
    many = [b"c%03d" % i for i in range(300)] * 2  # equal lengths, each seen again: none taken for another
    assert [parser.parse_and_route(b"%xt%" + f + b"%0%").command for f in many] == [f.decode() for f in many]


def test_cache_stops_growing_at_65536_entries():
    # Bounded so that a peer sending endless distinct commands cannot exhaust memory.
    parser = XtPreParser(gate := Stub())
    cache = cache_of(parser)
    cache.update((b"k%d" % i, "k%d" % i) for i in range(65535))
    parser.parse_and_route(b"%xt%LAST%0%")
    assert len(cache) == 65536 and cache[b"LAST"] == "last"
    assert result(parser.parse_and_route(b"%xt%Over%0%{}%")) == ("over", 0, 0, {}, 2)
    assert len(cache) == 65536 and b"Over" not in cache and gate.calls[-1] == "over"
    cache[b"k0"] = None  # replacing a None entry does not grow the cache
    assert parser.parse_and_route(b"%xt%k0%0%").command == "k0"
    assert cache[b"k0"] == "k0" and len(cache) == 65536


def test_bare_parser_then_init_and_init_again(names):
    parser = XtPreParser.__new__(XtPreParser)
    assert parser.parse_and_route(b"%xt%") is None and parser.parse_and_route(None) is None
    with pytest.raises(AttributeError) as exc:
        parser.parse_and_route(b"%xt%abc%0%")
    assert str(exc.value) == "'NoneType' object has no attribute 'get'" and names(exc.value)[-1] == PARSE
    parser.__init__(Stub())
    parser.parse_and_route(b"%xt%abc%0%")
    old = cache_of(parser)
    parser.__init__(Stub(1))  # a new cache and a new gate
    assert cache_of(parser) == {} and old == {b"abc": "abc"}
    assert parser.parse_and_route(b"%xt%abc%0%").destination == 1


# ---- the payload decoder: orjson.loads, as bound at each use; any failure gives data None
GETATTR_MODULE = types.ModuleType("m")
GETATTR_MODULE.__getattr__ = lambda name: lambda payload: ("getattr", payload)


def failing_decoder(error):
    def loads(payload):
        raise error("bad")

    return types.SimpleNamespace(loads=loads)


# Swapping a module's class changes no namespace, yet changes what getattr finds.
ClassLoads = type("ClassLoads", (types.ModuleType,), {"loads": property(lambda self: lambda p: ("class", p))})


@pytest.mark.parametrize(
    "replacement, data",
    [
        ("patched", ("patched", b"[1]")),
        ("class swapped", ("class", b"[1]")),
        (types.SimpleNamespace(loads=lambda p: ("ns", type(p), p)), ("ns", bytes, b"[1]")),
        (GETATTR_MODULE, ("getattr", b"[1]")),
        (failing_decoder(ValueError), None),
        (failing_decoder(KeyboardInterrupt), None),
        (object(), None),
        ("deleted", None),
    ],
)
def test_payload_decoder(monkeypatch, replacement, data):
    parser = XtPreParser(Stub())
    assert parser.parse_and_route(b"%xt%abc%0%[1]%").data == [1]  # the real decoder first
    if replacement == "patched":
        monkeypatch.setattr(orjson, "loads", lambda p: ("patched", p))
    elif replacement == "class swapped":
        monkeypatch.setattr(orjson, "__class__", ClassLoads)
    elif replacement == "deleted":
        monkeypatch.delattr(vrel_dll, "orjson")
    else:
        monkeypatch.setattr(vrel_dll, "orjson", replacement)
    assert result(parser.parse_and_route(b"%xt%abc%1%2%[1]%")) == ("abc", 1, 2, data, 2)
    monkeypatch.undo()
    assert parser.parse_and_route(b"%xt%abc%0%[1]%").data == [1]


# ---- differential check against the model of the packet rules
def mask_of(name):
    return (sum(name.encode()) + 3) % 4


int_st = st.from_regex(rb"-?[0-9]{1,3}|-?0*[0-9]{9,25}", fullmatch=True)
command_st = st.from_regex(rb"[A-Za-z_\x80-\xff]{0,6}", fullmatch=True)
payload_st = st.sampled_from([b"", b"{}", b"[1,2]", b'"x"', b'{"a":[1,null]}', b"1.5", b"{", b"-", b"+1", b" 1"])
field_st = int_st | command_st | payload_st | st.binary(max_size=6)
layout_st = st.builds(
    lambda head, status, rest: head + [status] + rest,
    st.lists(command_st, min_size=1, max_size=1) | st.tuples(field_st, command_st).map(list),
    int_st | int_st | field_st,
    st.lists(int_st | payload_st | field_st, max_size=6),
)
packet_st = st.builds(
    lambda pre, parts, end: pre + b"%".join(parts) + end,
    st.sampled_from([b"%xt%"] * 12 + [b"%XT%", b"%xt", b""]),
    layout_st | st.lists(field_st, max_size=10),
    st.sampled_from([b"", b"%"]),
)
# One parser for every example, so that its cache is exercised too.
SHARED = XtPreParser(types.SimpleNamespace(get_destination_mask=mask_of))


@settings(max_examples=400, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(packet_st | st.binary(max_size=30).map(lambda b: b"%xt%" + b))
def test_matches_model(msg):
    assert result(SHARED.parse_and_route(msg)) == packet_model.parse(msg, mask_of)


# ---- recent command fields, recognised by every byte
VARIANTS = b"abcdefghijklmnopqrstuvwxyz0123456789_-.:"  # more than the kept keys have sets


@pytest.mark.parametrize("size", [1, 2, 7, 8, 9, 16, 17, 64])
def test_fields_told_apart_by_any_byte(size):
    """Fields that differ in one byte only, at each position in turn, many sharing a set of
    kept keys: each keeps its own name, however they alternate."""
    parser = XtPreParser(gate := Stub())
    expected = []
    for position in range(size):
        fields = [b"a" * position + bytes([v]) + b"a" * (size - position - 1) for v in VARIANTS]
        for field in fields + fields[::-1]:
            parser.parse_and_route(b"%xt%" + field + b"%0%")
        expected += [f.decode() for f in fields + fields[::-1]]
    assert gate.calls == expected
