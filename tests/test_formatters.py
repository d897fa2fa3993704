import builtins
import gc
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


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class MyStr(str):
    pass


class OwnStr(str):
    def __str__(self):
        return "own"


@pytest.mark.parametrize("header, command, data, expected", [
    ("1", "c", [], "%xt%1%c%"),
    ("1", "c", [""], "%xt%1%c%"),
    ("1", "c", ["", ""], "%xt%1%c%%%"),
    ("1", "c", [1, 2], "%xt%1%c%1%2%"),
    (None, None, [None, True, 1.5, -7, 2**70], "%xt%None%None%None%True%1.5%-7%1180591620717411303424%"),
    ("h", "c", [Text("obj"), MyStr("sub"), OwnStr("x"), Text("")], "%xt%h%c%obj%sub%own%%"),
    ("é", "€", ["😀", "a", "ă"], "%xt%é%€%😀%a%ă%"),
    ("😀", "é", [Text("€")], "%xt%😀%é%€%"),
    ("h", "c", list(range(40)), "%xt%h%c%" + "%".join(map(str, range(40))) + "%"),
])
def test_xt(header, command, data, expected):
    result = m.cy_format_xt(header, command, data)
    assert type(result) is str and result == expected


@pytest.mark.parametrize("char", ["é", "ă", "😀"])  # every character width
@pytest.mark.parametrize("where", range(4))
def test_xt_wide_character_in_each_position(char, where):
    pieces = ["ab", "cd", "ef", "gh"]
    pieces[where] = "x" + char + "y"
    assert m.cy_format_xt(pieces[0], pieces[1], pieces[2:]) == "%xt%{}%{}%{}%{}%".format(*pieces)


def test_xt_walk_follows_the_list_as_str_changes_it():
    data = []
    append = type("Append", (), {"__str__": lambda s: data.append(clear) or "appended"})()
    clear = type("Clear", (), {"__str__": lambda s: data.clear() or "cleared"})()
    data += ["".join(["fr", "esh"]), append]  # "fresh" is held by the list alone until it is cleared
    assert m.cy_format_xt("h", "c", data) == "%xt%h%c%fresh%appended%cleared%" and data == []


@pytest.mark.parametrize("item, error, message", [
    (Text(1), TypeError, "__str__ returned non-string (type int)"),
    (type("Bad", (), {"__str__": lambda self: 1 / 0})(), ZeroDivisionError, "division by zero"),
])
def test_xt_item_conversion_error_propagates(names, item, error, message):
    with pytest.raises(error) as exc:
        m.cy_format_xt("h", "c", ["a", item])
    assert str(exc.value) == message and names(exc.value)[1] == "vrel_dll.cy_format_xt"


def test_xt_none_data(names):
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$") as exc:
        m.cy_format_xt("h", "c", None)
    assert names(exc.value)[-1] == "vrel_dll.cy_format_xt"


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("cy_format_xt", ("a", "b"), {}, "cy_format_xt() takes exactly 3 positional arguments (2 given)"),
    ("cy_format_json_xt", ("a", "b", {}, 1), {}, "cy_format_json_xt() takes exactly 3 positional arguments (4 given)"),
    ("cy_format_xml", ("a",), {"action": "b", "data": "d"}, "cy_format_xml() takes exactly 4 positional arguments (2 given)"),
    ("cy_format_xml", (), {"action": "b"}, "cy_format_xml() takes exactly 4 positional arguments (0 given)"),
    ("cy_format_xt", ("a", "b", []), {"header": "x"}, "cy_format_xt() got an unexpected keyword argument 'header'"),
    ("cy_format_json_xt", ("a",), {"server_header": "x"},
     "cy_format_json_xt() got multiple values for keyword argument 'server_header'"),
])
def test_argument_errors(names, name, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        getattr(m, name)(*args, **kwargs)
    assert str(exc.value) == message and names(exc.value)[-1] == "vrel_dll." + name


@pytest.mark.parametrize("name, args, message", [
    ("cy_format_xt", ("h", "c", ()), "Argument 'data' has incorrect type (expected list, got tuple)"),
    ("cy_format_xt", ("h", "c", type("L", (list,), {})()), "Argument 'data' has incorrect type (expected list, got L)"),
    ("cy_format_xt", (1, b"c", ()), "Argument 'server_header' has incorrect type (expected str, got int)"),
    ("cy_format_json_xt", ("h", MyStr(), []), "Argument 'command' has incorrect type (expected str, got MyStr)"),
    ("cy_format_json_xt", ("h", "c", []), "Argument 'data' has incorrect type (expected dict, got list)"),
    ("cy_format_xml", ("t", "a", b"r", 1), "Argument 'r' has incorrect type (expected str, got bytes)"),
    ("cy_format_xml", ("t", "a", "r", 1), "Argument 'data' has incorrect type (expected str, got int)"),
])
def test_typed_errors_add_no_entry(names, monkeypatch, name, args, message):
    monkeypatch.delattr(m, "orjson")  # the type test comes before the look-up
    with pytest.raises(TypeError) as exc:
        getattr(m, name)(*args)
    assert str(exc.value) == message and len(names(exc.value)) == 1


@pytest.mark.parametrize("data, expected", [
    ({}, "%xt%None%€%1%{}%"),
    (None, "%xt%None%€%1%null%"),
    ({"k": "é€ă😀", "n": [1, None]}, '%xt%None%€%1%{"k":"é€ă😀","n":[1,null]}%'),
])
def test_json_xt(data, expected):
    assert m.cy_format_json_xt(server_header=None, data=data, command="€") == expected


@pytest.mark.parametrize("at", range(18))  # each byte of the 8-byte ASCII scan and of its tail
def test_json_xt_non_ascii_found_anywhere(at):
    for char in ["é", "€"]:
        data = {"k": "a" * at + char}
        assert m.cy_format_json_xt("h", "c", data) == "%xt%h%c%1%" + orjson.dumps(data).decode() + "%"


class Dumped:
    def __init__(self, decoded):
        self.decoded = decoded

    def decode(self, *args, **kwargs):
        assert args == ("utf-8",) and kwargs == {}
        return self.decoded


@pytest.mark.parametrize("dumped, expected", [
    (b'{"x":1}', '%xt%h%c%1%{"x":1}%'),
    ("é€".encode(), "%xt%h%c%1%é€%"),
    (bytearray(b"ba"), "%xt%h%c%1%ba%"),
    (type("OwnBytes", (bytes,), {"decode": lambda self, *a: "own"})(b"x"), "%xt%h%c%1%own%"),
    (Dumped(None), "%xt%h%c%1%None%"),
    (Dumped(5), TypeError("Expected str, got int")),
    (Dumped(MyStr("s")), TypeError("Expected str, got MyStr")),
    (b"\xff", UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")),
    ("text", AttributeError("'str' object has no attribute 'decode'")),
])
def test_json_xt_with_a_rebound_orjson(monkeypatch, names, dumped, expected):
    calls = []
    monkeypatch.setattr(m, "orjson", type("Fake", (), {"dumps": lambda *a, **k: calls.append((a, k)) or dumped}))
    data = {"d": 1}
    if isinstance(expected, str):
        # Repeated, so that a reference dropped too often (the shared "None" text) shows.
        for _ in range(200):
            assert m.cy_format_json_xt("h", "c", data) == expected
            assert m.cy_format_xml(None, "a", "r", "d") == "<msg t='None'><body action='a' r='r'>d</body></msg>"
    else:
        with pytest.raises(type(expected)) as exc:
            m.cy_format_json_xt("h", "c", data)
        assert str(exc.value) == str(expected) and names(exc.value)[-1] == "vrel_dll.cy_format_json_xt"
    assert calls[0] == ((data,), {}) and calls[0][0][0] is data


def test_json_xt_orjson_lookup(monkeypatch, names):
    with pytest.raises(orjson.JSONEncodeError) as exc:
        m.cy_format_json_xt("h", "c", {"x": object()})
    assert names(exc.value)[-1] == "vrel_dll.cy_format_json_xt"
    module = types.ModuleType("fake")
    monkeypatch.setattr(m, "orjson", module)
    module.dumps = lambda d: b"entry"
    assert m.cy_format_json_xt("h", "c", {}) == "%xt%h%c%1%entry%"
    del module.dumps
    module.__getattr__ = lambda name: lambda d: name.encode()
    assert m.cy_format_json_xt("h", "c", {}) == "%xt%h%c%1%dumps%"
    del module.__getattr__
    with pytest.raises(AttributeError, match=r"^module 'fake' has no attribute 'dumps'$"):
        m.cy_format_json_xt("h", "c", {})
    monkeypatch.delattr(m, "orjson")
    with pytest.raises(NameError, match=r"^name 'orjson' is not defined$") as exc:
        m.cy_format_json_xt("h", "c", {})
    assert names(exc.value)[-1] == "vrel_dll.cy_format_json_xt"
    monkeypatch.setattr(builtins, "orjson", type("Fake", (), {"dumps": staticmethod(lambda d: b"b")}), raising=False)
    assert m.cy_format_json_xt("h", "c", {}) == "%xt%h%c%1%b%"


@pytest.mark.parametrize("args, expected", [
    (("1", "login", "0", "<x a='&'/>"), "<msg t='1'><body action='login' r='0'><x a='&'/></body></msg>"),
    ((None, None, None, None), "<msg t='None'><body action='None' r='None'>None</body></msg>"),
    (("é", "'", "😀", "€"), "<msg t='é'><body action=''' r='😀'>€</body></msg>"),
])
def test_xml(args, expected):
    assert m.cy_format_xml(*args) == expected
    assert m.cy_format_xml(data=args[3], r=args[2], action=args[1], t=args[0]) == expected


def test_functions_have_their_names():
    # The order of publication is checked on a fresh import in test_module.py.
    for name in ("cy_format_xt", "cy_format_json_xt", "cy_format_xml"):
        f = getattr(m, name)
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "vrel_dll")
    assert m.cy_format_xt.__doc__ == "Formatează un mesaj XT raw: %xt%header%command%arg1%arg2%...%"
    assert m.cy_format_json_xt.__doc__ is None and m.cy_format_xml.__doc__ is None


def test_no_leaks_on_success_or_failure():
    def run():
        m.cy_format_xt("h", "c", ["a", Text("€"), 1] + ["x" * 50] * 20)
        m.cy_format_json_xt("h", "c", {"k": "é" * 20})
        for bad in (["a", Text("b"), Text(1)], ()):
            with pytest.raises(TypeError):
                m.cy_format_xt("h", "c", bad)

    run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


def test_native_length_bound(tmp_path):
    compiler = shlex.split(sysconfig.get_config_var("CXX") or "") or [shutil.which("c++") or ""]
    if sys.platform == "win32" or not shutil.which(compiler[0]):
        pytest.skip("no C++ compiler available to build the native length test")
    tests = pathlib.Path(__file__).resolve().parent
    exe = tmp_path / "test_text_lengths"
    subprocess.run([*compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", sysconfig.get_paths()["include"],
                    "-I", str(tests.parent / "src"), str(tests / "native" / "test_text_lengths.cpp"), "-o", str(exe)],
                   check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stdout
