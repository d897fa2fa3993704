"""What the module keeps between calls never outlives what it was derived from: other code's
dict watchers, keys whose comparison runs Python code, and finalisers run mid-update.

Once a watched dict has held a key other than an exact str or bytes, the module remembers
nothing more from that dict, and too many such dicts turn remembering off for the process;
so that no other test can have done that, each check runs in an interpreter of its own."""

import ctypes
import gc
import random
import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path
from types import SimpleNamespace

import orjson
import pytest

import vrel_dll
from vrel_dll import Gatekeeper, XtPreParser

WATCHER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)


@contextmanager
def foreign_watcher(watched, react):
    """A dict watcher of other code's, added after the module's: `react()` runs at every change
    of `watched`, after the watchers before it and before the change lands."""
    api, failures = ctypes.pythonapi, []

    def callback(event, d, key, value):
        try:
            react()
        except BaseException as exc:  # noqa: BLE001 (re-raised below, outside the watcher)
            failures.append(exc)
        return 0

    api.PyDict_AddWatcher.argtypes, api.PyDict_AddWatcher.restype = [WATCHER], ctypes.c_int
    api.PyDict_Watch.argtypes = api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
    api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
    hook = WATCHER(callback)
    watcher = api.PyDict_AddWatcher(hook)
    api.PyDict_Watch(watcher, watched)
    try:
        yield
    finally:
        api.PyDict_Unwatch(watcher, watched)
        api.PyDict_ClearWatcher(watcher)
    if failures:
        raise failures[0]


class Sink:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def warning(self, text):
        self.log.append(self.name)


def loads_as(name):
    return lambda payload: name


def swap_module_attr(module, attr, value):
    """Rebinds module.attr and hands back a restorer; nothing else keeps the old value alive."""
    old = getattr(module, attr)
    setattr(module, attr, value)
    return lambda: setattr(module, attr, old)


FAILED = ("x", 0, 1, None)  # a status that is logged
WANTED = b"%xt%b%1%0%[1]%"


def mask_case():
    gate = Gatekeeper({"a": 0}, {})
    parser = XtPreParser(gate)
    ask = lambda: (gate.get_destination_mask("b"), getattr(parser.parse_and_route(WANTED), "destination", 0))  # noqa: E731
    return gate._handler_map, ask, lambda: gate._handler_map.__setitem__("b", 0), (2, 2), lambda: None


def logger_case():
    log, gate = [], Gatekeeper({}, {})
    restore = swap_module_attr(vrel_dll, "logger", Sink("old", log))
    ask = lambda: (gate.process_status(*FAILED), log[-1])  # noqa: E731
    return vrel_dll.__dict__, ask, lambda: setattr(vrel_dll, "logger", Sink("new", log)), (False, "new"), restore


def decoder_case():
    parser = XtPreParser(SimpleNamespace(get_destination_mask=lambda name: 2))
    restore = swap_module_attr(orjson, "loads", loads_as("old"))
    ask = lambda: (parser.parse_and_route(WANTED).data, vrel_dll.cy_format_json_xt("h", "c", {}))  # noqa: E731

    dumps = orjson.dumps

    def change():
        orjson.loads = loads_as("new")
        orjson.dumps = lambda data: b"new"

    def undo():
        restore()
        orjson.dumps = dumps

    return orjson.__dict__, ask, change, ("new", "%xt%h%c%1%new%"), undo


def check_answers_asked_for_while_another_watcher_runs_do_not_outlive_the_change():
    for case in (mask_case, logger_case, decoder_case):
        watched, ask, change, after, undo = case()
        during = []
        try:
            ask()
            ask()  # whatever the module may keep, it has had the chance to keep it
            with foreign_watcher(watched, lambda: during.append(ask())):
                change()
                gc.collect()
                assert ask() == after and ask() == after, case.__name__
            assert during and during[0] != after, case.__name__  # the watcher saw the old contents
        finally:
            undo()


class Flip:
    """A key whose equality with anything of `like`'s hash is `state["equal"]`."""

    def __init__(self, like, state):
        self.like, self.state = like, state

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        return self.state["equal"]


class FlipStr(str):
    state: dict

    def __hash__(self):
        return hash("logger")

    def __eq__(self, other):
        return self.state["equal"]


def check_keys_whose_comparison_runs_code_are_compared_every_time():
    state = {"equal": True}
    seen = []
    # the parser's own cache, reached as anyone can
    parser = XtPreParser(SimpleNamespace(get_destination_mask=lambda name: 2))
    cache = next(c for c in gc.get_referents(parser) if isinstance(c, dict))
    cache[Flip(b"abc", state)] = "odd"
    # a gate table
    gate = Gatekeeper({}, {})
    gate._handler_map[Flip("chat", state)] = 0
    # the module's namespace: the logger's name is an odd str
    log, sink = [], None
    logger = vrel_dll.logger
    del vrel_dll.logger
    FlipStr.state = state
    vrel_dll.__dict__[FlipStr("logger")] = sink = Sink("odd", log)
    try:
        for equal in (True, True, False, False, True):
            state["equal"] = equal
            try:
                status = gate.process_status(*FAILED)
            except NameError:
                status = "NameError"
            seen.append((parser.parse_and_route(b"%xt%abc%1%").command, gate.get_destination_mask("chat"), status))
    finally:
        del vrel_dll.__dict__[FlipStr("logger")]
        vrel_dll.logger = logger
    odd, plain = ("odd", 2, False), ("abc", 0, "NameError")
    assert seen == [odd, odd, plain, plain, odd]
    assert log == [sink.name] * 3


class RebindsWhenDropped:
    """A callable whose finaliser runs `effect`."""

    def __init__(self, answer, effect):
        self.answer, self.effect = answer, effect

    def __call__(self, *args):
        return self.answer

    def __del__(self):
        self.effect()


def check_finalisers_run_while_a_value_is_replaced():
    gate = SimpleNamespace(get_destination_mask=lambda name: 2)
    parser = XtPreParser(gate)
    restore = swap_module_attr(
        orjson, "loads", RebindsWhenDropped("first", lambda: setattr(orjson, "loads", loads_as("third")))
    )
    try:
        assert parser.parse_and_route(WANTED).data == "first"
        orjson.loads = loads_as("second")  # drops the first, whose finaliser rebinds it again
        gc.collect()
        parser.parse_and_route(WANTED)  # whichever it finds: dropping a value it replaces may rebind it
        assert [parser.parse_and_route(WANTED).data for _ in range(2)] == [orjson.loads(b"")] * 2 == ["third"] * 2
    finally:
        restore()

    # the old cache's keys run code while the parser takes its new cache
    class Key(bytes):
        def __del__(self):
            new_cache = next(c for c in gc.get_referents(parser) if isinstance(c, dict))
            seen.append(parser.parse_and_route(b"%xt%abc%1%").command)
            new_cache[b"abc"] = "changed"

    seen = []
    parser.parse_and_route(b"%xt%abc%1%")
    next(c for c in gc.get_referents(parser) if isinstance(c, dict))[Key(b"key")] = "k"
    parser.__init__(gate)
    gc.collect()
    assert seen == ["abc"] and parser.parse_and_route(b"%xt%abc%1%").command == "changed"

    # a gate initialised again: what the old tables' finalisers ask for is what the new ones say
    gate = Gatekeeper({}, {})
    parser, held = XtPreParser(gate), gate._handler_map  # the old handler table outlives the call
    asked = []

    class AsksWhenDropped:
        def __del__(self):
            asked.append((gate.get_destination_mask("new"), parser.parse_and_route(b"%xt%new%1%").destination))

    gate._pending_futures["old"] = AsksWhenDropped()
    gate.__init__({"new": None}, {})
    gc.collect()
    assert asked == [(2, 2)] and held == {}
    asks = [(gate.get_destination_mask("new"), parser.parse_and_route(b"%xt%new%1%").destination) for _ in range(2)]
    assert asks == asked * 2


class Attributes:
    """An object whose attribute dict serves as a table: on 3.13 `obj.x = ...` can change that
    dict with no watcher event at all."""


def check_masks_and_routing_follow_every_change():
    """The module against the plain rule (a mask is what the two tables hold now), over
    several gates and parsers while tables are changed, replaced, replaced and then changed,
    and while gates and parsers are initialised again, in an interpreter that remembers."""
    rng = random.Random(20261209)
    names = ["a", "chat", "move", "zone", "q"]
    gates = [Gatekeeper({}, {}) for _ in range(3)]
    parsers = [XtPreParser(gates[i % 3]) for i in range(4)]
    kept = []  # old caches and tables still held elsewhere, so their release moves nothing

    def table(gate, which):
        return gate._pending_futures if which == 0 else gate._handler_map

    def fresh_table(gate, which):
        if rng.random() < 0.5:
            new = dict.fromkeys(rng.sample(names, 2))
        else:
            holder = Attributes()
            for name in rng.sample(names, 2):
                setattr(holder, name, None)
            new = vars(holder)
            kept.append(holder)
        kept.append(table(gate, which))
        setattr(gate, "_pending_futures" if which == 0 else "_handler_map", new)

    def change(gate, which, name):
        t = table(gate, which)
        holder = next((h for h in kept if isinstance(h, Attributes) and vars(h) is t), None)
        present = name in t
        if holder is not None:  # through the object, as its owner would
            delattr(holder, name) if present else setattr(holder, name, None)
        else:
            t.pop(name) if present else t.__setitem__(name, None)

    # first the three ways an answer could leak, each asked twice so that the second answer
    # may come from memory: between gates, across a parser's new gate, after a replaced table
    both = Gatekeeper({"x": None}, {}), Gatekeeper({}, {})
    for _ in range(3):
        assert [g.get_destination_mask("x") for g in both] == [2, 0]
        assert [XtPreParser(g).parse_and_route(b"%xt%x%1%") is None for g in both] == [False, True]
    parser = XtPreParser(both[0])
    for gate, mask in (both[0], 2), (both[1], 0), (both[0], 2):
        kept.append(next(r for r in gc.get_referents(parser) if type(r) is dict))
        parser.__init__(gate)
        assert [getattr(parser.parse_and_route(b"%xt%x%1%"), "destination", 0) for _ in range(2)] == [mask] * 2
    for through_object in False, True:
        gate = Gatekeeper({}, {})
        parser = XtPreParser(gate)
        assert [parser.parse_and_route(b"%xt%x%1%") for _ in range(2)] == [None] * 2
        holder = Attributes()
        gate._handler_map = vars(holder) if through_object else {}
        assert [parser.parse_and_route(b"%xt%x%1%") for _ in range(2)] == [None] * 2
        setattr(holder, "x", None) if through_object else gate._handler_map.__setitem__("x", None)
        assert [getattr(parser.parse_and_route(b"%xt%x%1%"), "destination", 0) for _ in range(2)] == [2] * 2
        assert [gate.get_destination_mask("x") for _ in range(2)] == [2] * 2

    for step in range(4000):
        op = rng.random()
        gate, name = rng.choice(gates), rng.choice(names)
        if op < 0.45:
            parser = rng.choice(parsers)
            owner = parser_gate(parser)
            expected = (name in owner._pending_futures) | (name in owner._handler_map) << 1
            record = parser.parse_and_route(b"%xt%" + name.encode() + b"%1%0%[1]%")
            assert (record.destination if record else 0) == expected, (step, name)
            assert (
                gate.get_destination_mask(name) == (name in gate._pending_futures) | (name in gate._handler_map) << 1
            ), (step, name)
        elif op < 0.85:
            change(gate, rng.randrange(2), name)
        elif op < 0.87:
            fresh_table(gate, rng.randrange(2))
        elif op < 0.93:
            gate.__init__(dict.fromkeys(rng.sample(names, 2)), {})
        else:  # another gate, while the old command cache is still held
            parser = rng.choice(parsers)
            kept.append(next(r for r in gc.get_referents(parser) if type(r) is dict))
            parser.__init__(rng.choice(gates))


def parser_gate(parser):
    return next(r for r in gc.get_referents(parser) if isinstance(r, Gatekeeper))


@pytest.mark.parametrize(
    "check",
    [
        check_answers_asked_for_while_another_watcher_runs_do_not_outlive_the_change,
        check_keys_whose_comparison_runs_code_are_compared_every_time,
        check_finalisers_run_while_a_value_is_replaced,
        check_masks_and_routing_follow_every_change,
    ],
    ids=lambda check: check.__name__.removeprefix("check_"),
)
def test_in_an_interpreter_of_its_own(check):
    code = f"import test_remembered; test_remembered.{check.__name__}()"
    run = subprocess.run(
        [sys.executable, "-c", code], cwd=Path(__file__).parent, capture_output=True, text=True, timeout=300
    )
    assert run.returncode == 0, run.stderr
