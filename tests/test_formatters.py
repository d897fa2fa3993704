import builtins
import pathlib
import shlex
import shutil
import subprocess
import sys
import sysconfig
import types

import orjson
import pytest

import vrel_dll as m
from conftest import own_entries


def text(value):
    """An object whose str() is value (which need not be a str)."""
    return type("Text", (), {"__str__": lambda self: value})()


def str_error(obj):
    """The interpreter's own message when str(obj) fails (its wording changed in 3.15)."""
    try:
        str(obj)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"str() accepted {obj!r}")


MyStr, OwnStr = type("MyStr", (str,), {}), type("OwnStr", (str,), {"__str__": lambda self: "own"})
OwnInt = type("OwnInt", (int,), {"__str__": lambda self: "own"})
PLAIN = ["ab", "cd", "ef", "gh"]  # header, command and two items, each widened in turn below
WIDENED = [PLAIN[:at] + ["x" + char + "y"] + PLAIN[at + 1 :] for at in range(4) for char in ["é", "ă", "😀"]]


@pytest.mark.parametrize(
    "header, command, data, expected",
    [
        ("1", "c", [], "%xt%1%c%"),
        ("1", "c", [""], "%xt%1%c%"),
        ("1", "c", ["", ""], "%xt%1%c%%%"),
        (None, None, [None, True, 1.5, -7, 2**70], "%xt%None%None%None%True%1.5%-7%1180591620717411303424%"),
        ("h", "c", [text("obj"), MyStr("sub"), OwnStr("x"), text("")], "%xt%h%c%obj%sub%own%%"),
        ("é", "€", ["😀", "a", "ă"], "%xt%é%€%😀%a%ă%"),  # one-, two- and four-byte characters mixed
        ("😀", "é\x00\ud800", [text("€")], "%xt%😀%é\x00\ud800%€%"),
        ("h", "c", list(range(40)), "%xt%h%c%" + "%".join(map(str, range(40))) + "%"),
        ("h", "c", [0], "%xt%h%c%0%"),
        # ints either side of the one-digit bound, and an int subclass's own __str__
        (
            "😀",
            "c",
            [1 - 2**30, 2**30 - 1, 2**30, -(2**31), OwnInt(5)],
            "%xt%😀%c%-1073741823%1073741823%1073741824%-2147483648%own%",
        ),
        *[(p[0], p[1], p[2:], "%xt%{}%{}%{}%{}%".format(*p)) for p in WIDENED],
    ],
)
def test_xt(header, command, data, expected):
    result = m.cy_format_xt(header, command, data)
    assert type(result) is str and result == expected


def test_xt_walk_follows_the_list_as_str_changes_it():
    data = []
    append = type("Append", (), {"__str__": lambda s: data.append(clear) or "appended"})()
    clear = type("Clear", (), {"__str__": lambda s: data.clear() or "cleared"})()
    data += ["".join(["fr", "esh"]), append]  # "fresh" is held by the list alone until it is cleared
    assert m.cy_format_xt("h", "c", data) == "%xt%h%c%fresh%appended%cleared%" and data == []


# the typed arguments' errors: test_args.py
@pytest.mark.parametrize(
    "data, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        (["a", text(1)], TypeError, str_error(text(1))),
        (["a", type("Bad", (), {"__str__": lambda self: 1 / 0})()], ZeroDivisionError, "division by zero"),
    ],
)
def test_xt_errors(data, error, message):
    with pytest.raises(error) as exc:
        m.cy_format_xt("h", "c", data)
    assert str(exc.value) == message and own_entries(exc.value) == ["vrel_dll.cy_format_xt"]


def test_json_xt_with_the_real_orjson():
    assert m.cy_format_json_xt(server_header=None, data={}, command="€") == "%xt%None%€%1%{}%"
    assert m.cy_format_json_xt("h", "c", None) == "%xt%h%c%1%null%"
    for at in range(18):  # a non-ASCII character at each byte of the 8-byte scan and of its tail
        for char in ["é", "€", "😀"]:
            assert m.cy_format_json_xt("h", "c", {"k": "a" * at + char}) == '%xt%h%c%1%{"k":"' + "a" * at + char + '"}%'


def dumped(decoded):
    """A dumps result whose decode("utf-8") answers decoded."""
    return type("Dumped", (), {"decode": lambda self, *a, **k: decoded if (a, k) == (("utf-8",), {}) else a})()


@pytest.mark.parametrize(
    "result, expected",
    [
        (b'{"x":1}', '%xt%h%c%1%{"x":1}%'),
        ("é€".encode(), "%xt%h%c%1%é€%"),
        (type("OwnBytes", (bytes,), {"decode": lambda self, *a: "own"})(b"x"), "%xt%h%c%1%own%"),
        (type("Failing", (), {"decode": lambda self, *a: 1 / 0})(), ZeroDivisionError("division by zero")),
        (dumped(None), "%xt%h%c%1%None%"),
        (dumped(5), TypeError("Expected str, got int")),
        (dumped(MyStr("s")), TypeError("Expected str, got MyStr")),
        *[(bad, UnicodeDecodeError("utf-8", bad, 0, 1, "invalid start byte")) for bad in [b"\xff", b"\xff" + b"a" * 8]],
        ("text", AttributeError("'str' object has no attribute 'decode'")),
    ],
)
def test_json_xt_with_a_rebound_orjson(monkeypatch, result, expected):
    calls = []
    monkeypatch.setattr(m, "orjson", type("Fake", (), {"dumps": lambda *a, **k: calls.append((a, k)) or result}))
    data = {"d": 1}
    if isinstance(expected, str):
        assert m.cy_format_json_xt("h", "c", data) == expected
    else:
        with pytest.raises(type(expected)) as exc:
            m.cy_format_json_xt("h", "c", data)
        assert str(exc.value) == str(expected) and own_entries(exc.value) == ["vrel_dll.cy_format_json_xt"]
    assert calls == [((data,), {})] and calls[0][0][0] is data


def test_json_xt_orjson_lookup(monkeypatch):
    with pytest.raises(orjson.JSONEncodeError) as exc:
        m.cy_format_json_xt("h", "c", {"x": object()})
    assert own_entries(exc.value) == ["vrel_dll.cy_format_json_xt"]
    monkeypatch.setattr(m, "orjson", module := types.ModuleType("fake"))
    for word in ("first", "swapped"):  # each call sees the module's dumps as it is now
        module.dumps = lambda d, word=word: word.encode()
        assert m.cy_format_json_xt("h", "c", {}) == f"%xt%h%c%1%{word}%"
    del module.dumps
    module.__getattr__ = lambda name: lambda d: name.encode()
    assert m.cy_format_json_xt("h", "c", {}) == "%xt%h%c%1%dumps%"
    del module.__getattr__
    with pytest.raises(AttributeError, match=r"^module 'fake' has no attribute 'dumps'$"):
        m.cy_format_json_xt("h", "c", {})
    monkeypatch.delattr(m, "orjson")
    with pytest.raises(NameError, match=r"^name 'orjson' is not defined$") as exc:
        m.cy_format_json_xt("h", "c", {})
    assert own_entries(exc.value) == ["vrel_dll.cy_format_json_xt"]
    monkeypatch.setattr(builtins, "orjson", types.SimpleNamespace(dumps=lambda d: b"b"), raising=False)
    assert m.cy_format_json_xt("h", "c", {}) == "%xt%h%c%1%b%"


@pytest.mark.parametrize(
    "args, expected",
    [
        (("1", "login", "0", "<x a='&'/>"), "<msg t='1'><body action='login' r='0'><x a='&'/></body></msg>"),
        ((None, None, None, None), "<msg t='None'><body action='None' r='None'>None</body></msg>"),
        (("é", "'", "😀", "€\x00\ud800"), "<msg t='é'><body action=''' r='😀'>€\x00\ud800</body></msg>"),
    ],
)
def test_xml(args, expected):
    assert m.cy_format_xml(*args) == expected
    assert m.cy_format_xml(data=args[3], r=args[2], action=args[1], t=args[0]) == expected


@pytest.mark.no_leak_check("compiles and runs a program of its own")
def test_native_length_bound(tmp_path):
    compiler = shlex.split(sysconfig.get_config_var("CXX") or "") or [shutil.which("c++") or ""]
    if sys.platform == "win32" or not shutil.which(compiler[0]):
        pytest.skip("no C++ compiler available to build the native length test")
    tests = pathlib.Path(__file__).resolve().parent
    exe = tmp_path / "test_text_lengths"
    subprocess.run(
        [
            *compiler,
            "-std=c++20",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-I",
            sysconfig.get_paths()["include"],
            "-I",
            str(tests.parent / "src"),
            str(tests / "native" / "test_text_lengths.cpp"),
            "-o",
            str(exe),
        ],
        check=True,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stdout


# Each argument in turn: None, a one-byte character above ASCII, a two-byte and a four-byte one.
@pytest.mark.parametrize("at", range(4))
@pytest.mark.parametrize("value", [None, "\u00e9", "\u0103", "\U0001f600"])
def test_xml_and_json_xt_whatever_the_width_of_each_argument(at, value):
    args = ["t", "a", "r", "d"]
    args[at] = value if value is None else "x" + value
    t, action, r, data = (str(a) for a in args)
    assert m.cy_format_xml(*args) == f"<msg t='{t}'><body action='{action}' r='{r}'>{data}</body></msg>"
    header, command, payload = args[:3]  # the payload a JSON string
    expected = f"%xt%{header}%{command}%1%{orjson.dumps({'k': payload}).decode()}%"
    assert m.cy_format_json_xt(header, command, {"k": payload}) == expected
