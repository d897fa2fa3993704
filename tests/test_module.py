"""Import-time behaviour of the module, each case in a fresh interpreter; what its functions and methods
show, and how a method takes its `self`."""

import inspect
import os
import subprocess
import sys
import textwrap
import types

import pytest

import vrel_dll
from conftest import own_entries

PUBLISHED = [
    "XtPre",
    "XtPreParser",
    "Gatekeeper",
    "StatusError",
    "orjson",
    "asyncio",
    "deque",
    "logger",
    "cy_format_xt",
    "cy_format_json_xt",
    "cy_format_xml",
    "__test__",
]
# The module's functions: their parameters and docstrings.
FUNCTIONS = {
    "cy_format_xt": ("(server_header, command, data)", "Formatează un mesaj XT raw: %xt%header%command%arg1%arg2%...%"),
    "cy_format_json_xt": ("(server_header, command, data)", None),
    "cy_format_xml": ("(t, action, r, data)", None),
}
TYPES = [vrel_dll.XtPre, vrel_dll.XtPreParser, vrel_dll.Gatekeeper, vrel_dll.StatusError]
SLOTS = (types.WrapperDescriptorType, types.BuiltinFunctionType)  # the slots' wrappers and __new__
METHODS = [(cls, name) for cls in TYPES for name, f in vars(cls).items() if callable(f) and not isinstance(f, SLOTS)]


@pytest.mark.parametrize(
    "owner, name",
    [(vrel_dll, name) for name in FUNCTIONS] + METHODS,
    ids=lambda x: getattr(x, "__name__", x),
)
def test_callables_name_themselves(owner, name):
    f = getattr(owner, name)
    prefix = "" if owner is vrel_dll else owner.__name__ + "."
    assert (f.__module__, f.__name__, f.__qualname__) == ("vrel_dll", name, prefix + name)
    if owner is vrel_dll:
        # The interpreter's own builtin functions, which it calls without a detour.
        assert type(f) is types.BuiltinFunctionType and f.__self__ is vrel_dll
        assert (str(inspect.signature(f)), f.__doc__) == FUNCTIONS[name]
        assert repr(f) == f"<built-in function {name}>"
    else:
        assert type(owner) is type and type(f).__module__ == "vrel_dll"
        assert f.__text_signature__.startswith("($self") and f.__objclass__ is owner


Gate = vrel_dll.Gatekeeper
SubGate = type("SubGate", (Gate,), {})
STATUS = "vrel_dll.Gatekeeper.process_status"


# Every way a method is reached: the common call (all by position, on the class's own
# instance) and the rest, which must behave alike.
@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda g: g.process_status("c", 1, 0, None), {}),
        (lambda g: g.process_status("c", 1, error_code=453, data=[1]), [1]),
        (lambda g: SubGate({}, {}).process_status("c", 1, 0, [2]), [2]),
        (lambda g: Gate.process_status(g, "c", 1, 0, [3]), [3]),
        (lambda g: Gate.get_handler(SubGate({"c": 4}, {}), "c"), 4),
        (lambda g: g.get_handler(*["c"]), 5),
    ],
)
def test_method_calls(call, expected):
    assert call(Gate({"c": 5}, {})) == expected


@pytest.mark.parametrize(
    "call, message, entries",
    [
        (lambda g: Gate.get_handler(), "unbound method vrel_dll.Gatekeeper.get_handler() needs an argument", []),
        (
            lambda g: Gate.get_handler(object(), "c"),
            "descriptor 'get_handler' for 'vrel_dll.Gatekeeper' objects doesn't apply to a 'object' object",
            [],
        ),
        (
            lambda g: vrel_dll.XtPreParser.parse_and_route(g, b"%xt%c%0%"),
            "descriptor 'parse_and_route' for 'vrel_dll.XtPreParser' objects doesn't apply to a "
            "'vrel_dll.Gatekeeper' object",
            [],
        ),
        (lambda g: g.process_status("c", "x", 0, None), "an integer is required", [STATUS]),
        (lambda g: SubGate({}, {}).process_status("c", "x", 0, None), "an integer is required", [STATUS]),
        (lambda g: g.process_status("c", 1, error_code="x", data=None), "an integer is required", [STATUS]),
        (
            lambda g: g.process_status("c", 1, 0),
            "process_status() takes exactly 4 positional arguments (3 given)",
            [STATUS],
        ),
    ],
)
def test_method_call_errors(call, message, entries):
    with pytest.raises(TypeError) as exc:
        call(Gate({}, {}))
    assert str(exc.value) == message and own_entries(exc.value) == entries


PRELUDE = f"""
import sys, traceback
PUBLISHED = {PUBLISHED!r}
def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
def bound(module):
    return [name for name in vars(module) if name in PUBLISHED]
def raises(exc_type, action, *args):
    try:
        action(*args)
    except exc_type as exc:
        return exc
    raise AssertionError("no " + exc_type.__name__)
"""


def run(code, tmp_path):
    """Runs code in a new interpreter on the same import path; returns (returncode, stdout, stderr)."""
    script = tmp_path / "case.py"
    script.write_text(PRELUDE + textwrap.dedent(code))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    proc = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120
    )
    return proc.returncode, proc.stdout, proc.stderr


@pytest.mark.no_leak_check("runs in a new interpreter")
def test_import_registration_and_globals(tmp_path):
    rc, _, err = run(
        """
        import _imp, builtins, collections, importlib.machinery, importlib.util, loguru, orjson, asyncio, types
        # created and executed by hand under a package-qualified name, with and without a search path
        found = importlib.util.find_spec("vrel_dll")
        spec = importlib.machinery.ModuleSpec("pkg.vrel_dll", found.loader, origin=found.origin)
        package = importlib.machinery.ModuleSpec("pkg.vrel_dll", found.loader, origin=found.origin, is_package=True)
        package.submodule_search_locations = ["/nowhere"]
        module, other = _imp.create_dynamic(spec), _imp.create_dynamic(package)
        assert module is not other and module.__name__ == "pkg.vrel_dll"
        assert (module.__file__, module.__loader__, module.__package__) == (found.origin, found.loader, "pkg")
        assert not hasattr(module, "__path__") and (other.__path__, other.__package__) == (["/nowhere"], "pkg.vrel_dll")
        _imp.exec_dynamic(module)
        _imp.exec_dynamic(module)  # the stored module itself: nothing to do
        assert sys.modules["vrel_dll"] is module and _imp.create_dynamic(spec) is module
        exc = raises(RuntimeError, _imp.exec_dynamic, other)
        assert str(exc) == "Module 'vrel_dll' has already been imported. Re-initialisation is not supported."
        assert "init vrel_dll" not in entry_names(exc)
        import vrel_dll as first, vrel_dll as second
        assert first is second is module and bound(first) == PUBLISHED, bound(first)
        assert first.__test__ == {} and first.orjson is orjson and first.asyncio is asyncio
        assert first.deque is collections.deque and first.logger is loguru.logger
        assert first.__builtins__ is builtins and first.__doc__ is None
        methods = [(cls, name) for cls in (first.XtPreParser, first.Gatekeeper) for name in vars(cls) if name[0] != "_"]
        assert len(methods) == 13, methods
        # importing again after deleting the entry does not run the body again
        before, marker = dict(vars(first)), object()
        first.__test__ = marker
        del sys.modules["vrel_dll"]
        import vrel_dll
        assert vrel_dll is first and sys.modules["vrel_dll"] is first and first.__test__ is marker
        assert [n for n in before if n not in ("__test__", "__spec__") and vars(first)[n] is not before[n]] == []
        # the parser looks orjson up at each use: module first, then builtins
        parse = vrel_dll.XtPreParser(vrel_dll.Gatekeeper({"abc": None}, {})).parse_and_route
        fake = types.ModuleType("fake")
        fake.loads = lambda payload: ("decoded", payload)
        vrel_dll.orjson = fake
        assert parse(b'%xt%abc%0%{"a":1}%').data == ("decoded", b'{"a":1}')
        del vrel_dll.orjson
        assert parse(b'%xt%abc%0%{"a":1}%').data is None  # the NameError means no payload
        builtins.orjson = fake
        assert parse(b'%xt%abc%0%[]%').data == ("decoded", b"[]")
    """,
        tmp_path,
    )
    assert rc == 0, err


@pytest.mark.no_leak_check("runs in a new interpreter")
def test_failed_imports_leave_nothing_behind(tmp_path):
    rc, _, err = run(
        """
        import importlib, types, asyncio, collections, orjson
        sys.modules["orjson"] = None
        exc = raises(ModuleNotFoundError, importlib.import_module, "vrel_dll")
        assert exc.name == "orjson" and "init vrel_dll" in entry_names(exc), entry_names(exc)
        assert "vrel_dll" not in sys.modules
        sys.modules["orjson"] = orjson
        seen = []
        def probe(attr):  # what the module holds when its last import runs
            seen.append(bound(sys.modules["vrel_dll"]))
            raise AttributeError(attr)
        sys.modules["loguru"] = types.ModuleType("loguru")
        sys.modules["loguru"].__getattr__ = probe
        exc = raises(ImportError, importlib.import_module, "vrel_dll")
        assert type(exc) is ImportError and str(exc) == "cannot import name logger", exc
        assert "init vrel_dll" in entry_names(exc), entry_names(exc)
        assert "vrel_dll" not in sys.modules and seen[0] == PUBLISHED[:7], seen
        sys.modules["loguru.logger"] = stand_in = object()  # a submodule entry stands in
        import vrel_dll
        assert vrel_dll.logger is stand_in and vrel_dll.orjson is orjson and bound(vrel_dll) == PUBLISHED
        gate = vrel_dll.Gatekeeper({"abc": None}, {})  # the methods work after being installed again
        assert vrel_dll.XtPreParser(gate).parse_and_route(b'%xt%abc%0%{"a":1}%').data == {"a": 1}
    """,
        tmp_path,
    )
    assert rc == 0, err


@pytest.mark.no_leak_check("runs in a new interpreter, which counts its own blocks")
def test_failed_imports_leak_nothing(tmp_path):
    rc, out, err = run(
        """
        import gc, importlib
        if not sys.getallocatedblocks():
            print("not counting")  # the allocator is not pymalloc (PYTHONMALLOC=malloc)
            raise SystemExit
        sys.modules["orjson"] = None  # every import now fails while the module executes
        def attempt():
            raises(ImportError, importlib.import_module, "vrel_dll")
            assert "vrel_dll" not in sys.modules
        for _ in range(200):
            attempt()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            attempt()
        gc.collect()
        print(sys.getallocatedblocks() - before)
    """,
        tmp_path,
    )
    assert rc == 0, err
    if out == "not counting\n":
        pytest.skip("sys.getallocatedblocks() does not count with this allocator")
    assert int(out) < 500  # one object kept per failed import would be 2000 blocks


@pytest.mark.no_leak_check("runs in a new interpreter")
def test_second_interpreter_is_refused(tmp_path):
    rc, out, err = run(
        """
        import importlib, vrel_dll
        code = "try:\\n import vrel_dll\\nexcept Exception as exc:\\n print(repr(exc), flush=True)\\n"
        for name, create, run in [("_interpreters", lambda api: api.create("legacy"), "exec"),
                                  ("_xxsubinterpreters", lambda api: api.create(isolated=False), "run_string")]:
            try:
                api = importlib.import_module(name)
            except ImportError:
                continue
            iid = create(api)
            getattr(api, run)(iid, code)
            api.destroy(iid)
            break
        else:
            try:
                importlib.import_module("_testcapi").run_in_subinterp(code)
            except ImportError:
                print("no facility")
    """,
        tmp_path,
    )
    assert rc == 0, err
    if out == "no facility\n":
        pytest.skip("this interpreter offers no way to start a second interpreter")
    assert out == (
        "ImportError('Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.')\n"
    )


@pytest.mark.no_leak_check("runs in a new interpreter")
def test_what_the_module_keeps_is_released_at_exit(tmp_path):
    # A decoder remembered from a module that leads back to the caller's globals, and a
    # handler's task still waiting: both are let go when the interpreter finalises.
    rc, out, err = run(
        """
        import asyncio, os, types, vrel_dll
        class Probe:
            def __del__(self, write=os.write):
                write(1, b"released\\n")
        fake = types.ModuleType("fake_json")
        fake.loads, fake.probe = len, Probe()
        vrel_dll.orjson = fake
        async def waits(data):
            await asyncio.Event().wait()
        parser = vrel_dll.XtPreParser(vrel_dll.Gatekeeper({"evt": waits}, {}))
        assert parser.parse_and_route(b"%xt%evt%1%0%{}%").data == 2
        async def main():
            assert parser.feed_and_dispatch(bytearray(b"%xt%evt%1%0%{}%\\0")) == (1, 0, 1)
            await asyncio.sleep(0)
        loop = asyncio.new_event_loop()
        loop.run_until_complete(main())
        del fake
        print("exit", flush=True)
    """,
        tmp_path,
    )
    assert rc == 0, err
    assert out == "exit\nreleased\n", out
    assert "Task was destroyed but it is pending!" in err, err
