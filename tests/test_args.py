"""Argument rules shared by every callable, and the 32-bit integer conversion."""

import sys
import warnings

import pytest

import vrel_dll
from conftest import fields, own_entries
from vrel_dll import XtPre

OWN = "Python int too large to convert to C long"  # the interpreter's own conversion error
TOO_LARGE = OWN if sys.platform == "win32" else "value too large to convert to int"
PARAMS = ("command", "status", "error_code", "data", "destination")
VALID = ("abc", 1, 0, None, 2)
KEEP = ("keep", 11, 12, None, 13)
MyStr = type("MyStr", (str,), {})
Sub = type("Sub", (XtPre,), {})  # constructed through tp_new and tp_init


def takes(given, n=5, func="__init__"):
    return f"{func}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


INIT, GET, FEED = "vrel_dll.XtPre.__init__", "vrel_dll.Gatekeeper.get_handler", "vrel_dll.XtPreParser.feed_and_route"
UNEXPECTED = "__init__() got an unexpected keyword argument 'bogus'"
MULTIPLE = "__init__() got multiple values for keyword argument 'command'"
BUF = bytearray(b"\0")  # a complete message, were the arguments not refused
# name -> (the callable, made from a live record that must survive every failure; its traceback entry)
TARGETS = {
    "XtPre": (lambda r: XtPre, INIT),  # vectorcall
    "init": (lambda r: r.__init__, INIT),  # tp_init
    "subclass": (lambda r: Sub, INIT),
    "get_handler": (lambda r: vrel_dll.Gatekeeper({}, {}).get_handler, GET),
    "Gatekeeper": (lambda r: vrel_dll.Gatekeeper, "vrel_dll.Gatekeeper.__init__"),
    "XtPreParser": (lambda r: vrel_dll.XtPreParser, "vrel_dll.XtPreParser.__init__"),
    "feed": (lambda r: vrel_dll.XtPreParser(vrel_dll.Gatekeeper({}, {})).feed_and_route, FEED),
}
# The record's checks: the three integers in the order status, error_code, destination; then command.
# Each failed check is noted with the argument it refused.
CHECK_ORDER = [
    ((b"abc", "x", 0, None, 0), "an integer is required", "status"),
    ((b"abc", 0, 2**31, None, "x"), TOO_LARGE, "error_code"),
    ((b"abc", 0, 0, None, "x"), "an integer is required", "destination"),
    ((b"abc", 0, 0, None, 0), "Argument 'command' has incorrect type (expected str, got bytes)", "command"),
    ((MyStr("a"), 0, 0, None, 0), "Argument 'command' has incorrect type (expected str, got MyStr)", "command"),
]
ERRORS = [
    *(
        (target, args, {}, message, f"argument '{name}' of XtPre()")
        for target in ("XtPre", "init", "subclass")
        for args, message, name in CHECK_ORDER
    ),
    # positional only, or too many: the number passed; too many wins over any keyword error
    ("XtPre", VALID[:4], {}, takes(4)),
    ("XtPre", (), {}, takes(0)),
    ("XtPre", VALID + (1,), {"bogus": 1}, takes(6)),
    ("init", VALID[:4], {}, takes(4)),
    ("init", VALID + (1,), {"bogus": 1}, takes(6)),
    ("subclass", VALID[:4], {}, takes(4)),
    ("subclass", VALID + (1,), {"bogus": 1}, takes(6)),
    ("Gatekeeper", ({}, {}, {}), {1: 2}, takes(3, 2)),
    ("XtPreParser", (), {}, takes(0, 1)),
    ("get_handler", ("a", "b"), {"bogus": 1}, takes(2, 1, "get_handler")),
    ("feed", (BUF,), {}, takes(1, 3, "feed_and_route")),
    ("feed", (BUF, 1, 2, 3), {}, takes(4, 3, "feed_and_route")),
    # with keywords: the leading parameters that got a value
    ("XtPre", (), {"command": "a", "status": 1}, takes(2)),
    ("XtPre", (), {"status": 1, "error_code": 0, "data": None, "destination": 2}, takes(0)),
    ("XtPre", ("a", 1), {"destination": 2}, takes(2)),
    ("init", (), {"destination": 2, "error_code": 0, "command": "a"}, takes(1)),
    ("Gatekeeper", (), {"error_codes": {}}, takes(0, 2)),
    ("get_handler", (), {}, takes(0, 1, "get_handler")),
    ("feed", (), {"rpc_queue": 1, "evt_queue": 2}, takes(0, 3, "feed_and_route")),
    # keyword errors come before anything missing, in the order the keywords were given
    ("XtPre", ("a",), {"bogus": 1, "command": "b"}, UNEXPECTED),
    ("XtPre", ("a",), {"command": "b", "bogus": 1}, MULTIPLE),
    ("subclass", ("a",), {"bogus": 1, "command": "b"}, UNEXPECTED),
    ("XtPreParser", (), {"gate": None}, "__init__() got an unexpected keyword argument 'gate'"),
    ("init", ("a",), {"command": "b"}, MULTIPLE),
    ("init", VALID, {1: 2}, "__init__() keywords must be strings"),
    ("Gatekeeper", (), {1: 2, "bogus": 3}, "__init__() keywords must be strings"),
    ("Gatekeeper", (), {"bogus": 3, 1: 2}, UNEXPECTED),
    ("get_handler", (), {"bogus": 1}, "get_handler() got an unexpected keyword argument 'bogus'"),
    ("get_handler", ("a",), {"command": "a"}, "get_handler() got multiple values for keyword argument 'command'"),
    ("feed", (BUF, 1), {"rpc_queue": 2}, "feed_and_route() got multiple values for keyword argument 'rpc_queue'"),
    ("feed", (), {"buffer": BUF, "queue": 1}, "feed_and_route() got an unexpected keyword argument 'queue'"),
]


# the count and keyword errors, which name the callable already, carry no note
@pytest.mark.parametrize("target, args, kwargs, message, note", [(*e, None)[:5] for e in ERRORS])
def test_argument_errors(target, args, kwargs, message, note):
    record = XtPre(*KEEP)
    make, entry = TARGETS[target]
    with pytest.raises((TypeError, OverflowError)) as exc:
        make(record)(*args, **kwargs)
    assert str(exc.value) == message
    # A typed parameter's error is the one that adds no traceback entry.
    assert own_entries(exc.value) == ([] if message.startswith("Argument ") else [entry])
    assert getattr(exc.value, "__notes__", None) == (None if note is None else [note])
    assert fields(record) == KEEP


gate, parser = vrel_dll.Gatekeeper({}, {}), vrel_dll.XtPreParser(None)  # this parser fails if it asks its gate
MSG = b"%xt%abc%1%\0"
S, B, Buffer = type("S", (str,), {}), type("B", (bytes,), {}), type("Buffer", (bytearray,), {})
COMMAND_TAKERS = {
    "get_destination_mask": (),
    "get_handler": (),
    "register_rpc": (),  # outside a running loop: a look-up of the loop first would fail otherwise
    "resolve_rpc": (1,),
    "reject_rpc": (KeyError(),),
    "remove_future": (1,),
}
# (callable, arguments, the one refused, what it expected and got)
TYPED = [
    *(
        (getattr(gate, method), (bad, *rest), "command", f"str, got {type(bad).__name__}")
        for method, rest in COMMAND_TAKERS.items()
        for bad in (b"x", S("x"))
    ),
    (gate.process_status, (b"c", 1, 0, None), "command", "str, got bytes"),
    (vrel_dll.Gatekeeper, ({}, []), "error_codes", "dict, got list"),
    (vrel_dll.StatusError, ("c", 1, 0, b"d", None), "description", "str, got bytes"),
    *((parser.parse_and_route, (bad,), "msg", f"bytes, got {type(bad).__name__}") for bad in (MSG.decode(), B(MSG))),
    (parser.parse_and_route, (bytearray(MSG),), "msg", "bytes, got bytearray"),
    *(
        (parser.feed_and_route, (bad, None, None), "buffer", f"bytearray, got {type(bad).__name__}")
        for bad in (MSG, memoryview(bytearray(MSG)), MSG.decode(), Buffer(MSG), [0])
    ),
    (parser.feed_and_dispatch, (MSG,), "buffer", "bytearray, got bytes"),
    (vrel_dll.cy_format_xt, ("h", "c", ()), "data", "list, got tuple"),
    (vrel_dll.cy_format_xt, (b"h", "c", []), "server_header", "str, got bytes"),
    (vrel_dll.cy_format_xt, ("h", "c", type("L", (list,), {})()), "data", "list, got L"),
    (vrel_dll.cy_format_json_xt, ("h", MyStr(), []), "command", "str, got MyStr"),
    (vrel_dll.cy_format_json_xt, ("h", "c", []), "data", "dict, got list"),
    (vrel_dll.cy_format_xml, ("t", "a", b"r", 1), "r", "str, got bytes"),
]


# A typed argument is refused before anything is read, looked up or called, with no traceback
# entry; the note names the argument and the callable as it is written (Class.method, function).
@pytest.mark.parametrize("call, args, param, types", TYPED, ids=lambda v: getattr(v, "__qualname__", None))
def test_typed_arguments(monkeypatch, call, args, param, types):
    for name in ("orjson", "asyncio", "deque", "logger"):
        monkeypatch.delattr(vrel_dll, name)
    with pytest.raises(TypeError) as exc:
        call(*args)
    assert str(exc.value) == f"Argument '{param}' has incorrect type (expected {types})"
    assert own_entries(exc.value) == [] and exc.value.__notes__ == [f"argument '{param}' of {call.__qualname__}()"]


LowerFails = type("LowerFails", (str,), {"lower": lambda self: 1 / 0})


# Any other argument error is noted likewise.
@pytest.mark.parametrize(
    "call, error, note",
    [
        (lambda: gate.process_status("c", 1, "0", None), TypeError, "error_code of Gatekeeper.process_status"),
        (lambda: vrel_dll.Gatekeeper(None, {}), AttributeError, "handlers of Gatekeeper"),
        (lambda: vrel_dll.Gatekeeper({LowerFails("a"): 1}, {}), ZeroDivisionError, "handlers of Gatekeeper"),
    ],
)
def test_the_note_names_the_callable(call, error, note):
    with pytest.raises(error) as exc:
        call()
    name, _, callable_name = note.partition(" of ")
    assert exc.value.__notes__ == [f"argument '{name}' of {callable_name}()"]


def test_keywords_match_by_value_and_land_in_their_slots():
    fresh = ["".join(list(name)) for name in PARAMS]
    assert not any(name is sys.intern(name) for name in fresh)  # equal to the names, not the same objects
    values = ("abc", 1, 2, object(), 3)
    record = XtPre.__new__(XtPre)
    record.__init__(**dict(zip(reversed(fresh), reversed(values))))
    for made in (record, XtPre(**dict(zip(fresh, values))), XtPre(values[0], **dict(zip(fresh[1:], values[1:])))):
        assert fields(made) == values


# ---- the 32-bit integer conversion, through the constructor and the three setters


IntSub = type("IntSub", (int,), {"__int__": lambda self: 99})  # taken as it is: its __int__ is not consulted


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type):
            raise self.result("own")
        return self.result


DEPRECATION = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict subclass of "
    "int is deprecated, and may be removed in a future version of Python."
)
REQUIRED = (TypeError, "an integer is required")
INT32 = [
    (True, 1),
    (IntSub(5), 5),
    (2.9, 2),
    (-2.9, -2),
    (HasInt(12), 12),
    (2**31 - 1, 2**31 - 1),
    (-(2**31), -(2**31)),
    (HasInt(-(2**31)), -(2**31)),
    # -1 is the C API's error value too: a slow path that yields it is no error
    *((v, -1) for v in (IntSub(-1), HasInt(-1), -1.5, True - 2)),
    (type("IndexOnly", (), {"__index__": lambda self: 3})(), REQUIRED),
    ("1", REQUIRED),
    (None, REQUIRED),
    (HasInt(2.5), (TypeError, "__int__ returned non-int (type float)")),
    (HasInt(IntSub(4)), (DeprecationWarning, DEPRECATION.format("IntSub"))),  # warnings are errors here
    (HasInt(True), (DeprecationWarning, DEPRECATION.format("bool"))),
    (HasInt(LookupError), (LookupError, "own")),
    *((v, (OverflowError, TOO_LARGE)) for v in (2**31, -(2**31) - 1, 2**63 - 1, -(2**63), 1e10, HasInt(2**31))),
    *((v, (OverflowError, OWN)) for v in (2**63, -(2**63) - 1, 2**100, HasInt(-(2**64)))),
    (float("nan"), (ValueError, "cannot convert float NaN to integer")),
    (float("inf"), (OverflowError, "cannot convert float infinity to integer")),
]
ROUTES = pytest.mark.parametrize("route", ["init", "status", "error_code", "destination"])


def store(route, value, record):
    """Stores value through the route; returns the integer read back."""
    if route == "init":
        record.__init__("new", 21, 22, None, value)
        assert fields(record)[:4] == ("new", 21, 22, None)
        route = "destination"
    else:
        setattr(record, route, value)
    return getattr(record, route)


@ROUTES
@pytest.mark.parametrize("value, expected", INT32)
def test_int32_conversion(route, value, expected):
    record = XtPre(*KEEP)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        if isinstance(expected, int):
            result = store(route, value, record)
            assert result == expected and type(result) is int
            return
        with pytest.raises(expected[0]) as exc:
            store(route, value, record)
    assert (type(exc.value), str(exc.value)) == expected
    assert own_entries(exc.value) == [INIT if route == "init" else f"vrel_dll.XtPre.{route}.__set__"]
    # the constructor names the argument; a setter's error needs no note
    assert getattr(exc.value, "__notes__", None) == (["argument 'destination' of XtPre()"] if route == "init" else None)
    assert fields(record) == KEEP
    if expected[0] is DeprecationWarning:  # unless warnings are errors, the value is used
        with pytest.warns(DeprecationWarning):
            assert store(route, value, record) == value.result
