"""Gatekeeper: construction, the three table attributes and the two look-ups."""

import gc
import types
from collections import OrderedDict, deque

import pytest

import vrel_dll
from conftest import own_entries
from vrel_dll import Gatekeeper

INIT = "vrel_dll.Gatekeeper.__init__"
TABLES = ["_pending_futures", "_handler_map", "_error_codes"]
H1, H2, LOOP = object(), object(), object()


def tables(g):
    return [getattr(g, t) for t in TABLES]


def loop_of(g):  # seen through the collector: the one referent that is not a table
    (loop,) = [r for r in gc.get_referents(g) if not any(r is t for t in tables(g))]
    return loop


def fake_asyncio(outcome):
    def get_running_loop():
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)  # a reused instance would grow its traceback
        return outcome

    return types.SimpleNamespace(get_running_loop=get_running_loop)


@pytest.fixture
def gk():
    return Gatekeeper({"Foo": H1}, {1: "one"})


def key(lower):
    """A str key whose lower() is the given function."""
    return type("Key", (str,), {"lower": lambda self: lower()})("Key")


@pytest.mark.parametrize(
    "handlers, expected",
    [
        ({"Foo": H1, b"BAR": H2}, {"foo": H1, "bar": H2}),
        ({"A": 1, "a": 2}, {"a": 2}),
        ({"a": 2, "A": 1}, {"a": 1}),
        ({b"d" + "é".encode() + b"J\xff": H1, b"": H2}, {"dj": H1, "": H2}),
        ({"ÉCOLE": H1}, {"école": H1}),
        ({None: 1, 5: 2, (1, 2): 3, "x": H1}, {"x": H1}),
        ({type("B", (bytes,), {})(b"XY"): H1}, {"xy": H1}),
        ({key(lambda: "custom"): H1}, {"custom": H1}),
    ],
)
def test_handler_keys_are_normalised(handlers, expected):
    table = Gatekeeper(handlers=handlers, error_codes=None)._handler_map
    assert table == expected and all(table[k] is v for k, v in expected.items())
    assert {type(k) for k in table} <= {str}


def resizing(position, grow):
    """A handler table one of whose keys adds or removes a pair when it is lower-cased."""
    d = {}
    k = key(lambda: (d.update(new=0) if grow else d.pop("other"), "k")[1])
    d.update({"first": {k: 1, "other": 2}, "last": {"other": 2, k: 1}, "only": {k: 1}}[position])
    return d


try:
    {}[[]] = None
except TypeError as unhashable:
    UNHASHABLE = str(unhashable)  # the interpreter's own wording, which varies by version
RESIZED = (RuntimeError, "dictionary changed size during iteration", [INIT])


@pytest.mark.parametrize(
    "handlers, codes, error",
    [
        ([], {}, (TypeError, "Argument 'handlers' has incorrect type (expected dict, got list)", [])),
        (5, "x", (TypeError, "Argument 'handlers' has incorrect type (expected dict, got int)", [])),
        (
            {},
            OrderedDict(),
            (TypeError, "Argument 'error_codes' has incorrect type (expected dict, got collections.OrderedDict)", []),
        ),
        (None, {}, (AttributeError, "'NoneType' object has no attribute 'items'", [INIT])),
        ({"ok": 1, key(lambda: {}["no lower"]): 2}, {}, (KeyError, "'no lower'", [INIT])),
        ({"ok": 1, key(lambda: ["unhashable"]): 2}, {}, (TypeError, UNHASHABLE, [INIT])),
        *[
            (lambda p=p, g=g: resizing(p, g), {}, RESIZED)
            for p, g in [("first", True), ("last", True), ("only", True), ("first", False), ("last", False)]
        ],
    ],
)
def test_construction_errors_change_nothing(gk, handlers, codes, error):
    before = tables(gk)
    with pytest.raises(error[0]) as exc:
        gk.__init__(handlers() if callable(handlers) else handlers, codes)
    assert str(exc.value) == error[1] and own_entries(exc.value) == error[2]
    assert all(a is b for a, b in zip(tables(gk), before))


@pytest.mark.parametrize(
    "outcome, loop",
    [
        (LOOP, LOOP),
        (RuntimeError("no running event loop"), None),
        (type("NoLoop", (RuntimeError,), {})(), None),
        (ValueError("odd loop"), ValueError),
        (KeyboardInterrupt(), KeyboardInterrupt),
        ("deleted", NameError),
    ],
)
def test_loop_capture(monkeypatch, gk, names, outcome, loop):
    if isinstance(outcome, str):
        monkeypatch.delattr(vrel_dll, "asyncio")
    else:
        monkeypatch.setattr(vrel_dll, "asyncio", fake_asyncio(outcome))
    old_pending, codes = gk._pending_futures, {}  # __init__ again rebuilds every table
    if isinstance(loop, type):
        with pytest.raises(loop) as exc:
            gk.__init__({"A": 1}, codes)
        assert INIT in names(exc.value)
    else:
        gk.__init__({"A": 1}, codes)
        assert loop_of(gk) is loop
    # the tables are set before the loop is looked for; the error codes are the caller's own dict
    assert gk._pending_futures == {} and gk._pending_futures is not old_pending
    assert gk._handler_map == {"a": 1} and gk._error_codes is codes


@pytest.mark.parametrize("attr", TABLES)
def test_table_attribute(gk, attr):
    table = {"k": 1}
    for value in (None, table):
        setattr(gk, attr, value)
        assert getattr(gk, attr) is value
    for bad, type_name in [([], "list"), (OrderedDict(), "collections.OrderedDict")]:
        with pytest.raises(TypeError) as exc:
            setattr(gk, attr, bad)
        assert str(exc.value) == f"Expected dict, got {type_name}" and getattr(gk, attr) is table
        assert own_entries(exc.value) == [f"vrel_dll.Gatekeeper.{attr}.__set__"]
    delattr(gk, attr)
    delattr(gk, attr)
    assert getattr(gk, attr) is None


@pytest.mark.parametrize(
    "command, mask, handler",
    [
        ("evt", 2, H1),
        ("rpc", 1, None),
        ("both", 3, H2),
        ("empty", 1, None),
        ("none", 0, None),
        ("EVT", 0, None),
        (None, 0, None),
        ("", 0, None),
    ],
)
def test_lookups(command, mask, handler):
    g = Gatekeeper({"Evt": H1, "both": H2}, {})
    g._pending_futures.update({"rpc": deque([1]), "both": deque([1]), "empty": deque()})
    result = g.get_destination_mask(command=command)
    assert result == mask and type(result) is int and g.get_handler(command) is handler
    # with the pending table empty, only the handler bit can be set
    assert Gatekeeper({"Evt": H1, "both": H2}, {}).get_destination_mask(command) == mask & 2


@pytest.mark.parametrize("missing", ["_pending_futures", "_handler_map", "bare"])
def test_lookups_without_a_table(gk, missing):
    g = Gatekeeper.__new__(Gatekeeper) if missing == "bare" else gk
    if missing != "bare":
        delattr(g, missing)
    failing = [("get_destination_mask", TypeError, "'NoneType' object is not iterable")]
    if missing != "_pending_futures":
        failing.append(("get_handler", AttributeError, "'NoneType' object has no attribute 'get'"))
    for method, error, message in failing:
        with pytest.raises(error) as exc:
            getattr(g, method)("foo")
        assert str(exc.value) == message and own_entries(exc.value) == [f"vrel_dll.Gatekeeper.{method}"]
