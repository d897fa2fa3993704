"""Leak mode of the test suite: `pytest --leaks`.

Every test runs several times in one process: warm-up runs first (caches that fill once:
traceback code objects per exit point, interned names, the module's free records, the
interpreter's free lists), the first of them pytest's own call of the test, then measured
runs. After each measured run (and `gc.collect()`) the number of allocated memory blocks and
the reference counts of the module's long-lived objects (its types, functions, methods,
globals and the names they use) are read. A test
fails when the blocks grow in every measured run, or a reference count moves the same way in
every run, and it does so again after longer warm-ups. A leak repeats with every run; caches
fill in bursts and stop, so they cannot pass that test for long, and no tolerance is needed.

Function-scoped fixtures are torn down and made afresh between runs, so each run starts as
the first one did (a monkeypatch undone, a new event loop, a new log capture). Objects made
at collection (parameters, module globals) are shared by every run: they must not collect
state from run to run, and an exception instance among them must not be raised as it is (a
raised instance keeps growing its traceback; raise `exc.with_traceback(None)`). Tests that
cannot repeat in one process (those that start a fresh interpreter or another program) carry
the `no_leak_check` marker and run once, unmeasured; so do those using tmp_path, as on 3.12
pathlib interns each new directory name for good (a block a run).

Needs an interpreter using its own allocator: `sys.getallocatedblocks()` counts pymalloc's
blocks, and is 0 under PYTHONMALLOC=malloc, where leak mode refuses to start. The allocator's
debug hooks (PYTHONMALLOC=debug) keep pymalloc underneath and its count, so one run can be
both the leak check and the debug-hooks run.
"""

from __future__ import annotations

import array
import functools
import gc
import sys
import types

import pytest

try:  # where tmp_path's teardown looks for the test's outcome (pytest 7.3 and later)
    from _pytest.tmpdir import tmppath_result_key
except ImportError:
    tmppath_result_key = None

# Warm-up runs before each measurement: the first for every test (pytest's own call of the
# test among them; --leak-warmup), the others only while a leak is suspected (some libraries'
# caches, hypothesis's among them, fill over tens of runs).
WARMUP_RUNS = (2, 8, 24)
DEFAULT_RUNS = 4


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("leaks", "reference-leak check")
    group.addoption(
        "--leaks",
        action="store_true",
        default=False,
        help="run every test repeatedly and fail the ones that leak memory blocks or references",
    )
    group.addoption(
        "--leak-runs",
        type=int,
        default=DEFAULT_RUNS,
        metavar="N",
        help=f"measured runs per test in leak mode, after the warm-up runs (default {DEFAULT_RUNS}, at least 3)",
    )
    group.addoption(
        "--leak-warmup",
        type=int,
        default=WARMUP_RUNS[0],
        metavar="N",
        help="runs of each test before its first measurement in leak mode, pytest's own call of it "
        f"included (default {WARMUP_RUNS[0]}, at least 1)",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "no_leak_check(reason): the test cannot repeat in one process; leak mode runs it once, unmeasured"
    )
    if not config.getoption("leaks"):
        return
    if config.getoption("leak_runs") < 3:
        raise pytest.UsageError("--leak-runs must be at least 3")
    if config.getoption("leak_warmup") < 1:
        raise pytest.UsageError("--leak-warmup must be at least 1 (pytest's own call of the test)")
    if sys.getallocatedblocks() == 0:
        raise pytest.UsageError(
            "leak mode needs sys.getallocatedblocks(), which is not counting here (PYTHONMALLOC=malloc?)"
        )
    # Taken before any test runs, so that no fixture has replaced a global yet.
    config.stash[STATE] = LeakState(config.getoption("leak_runs"), config.getoption("leak_warmup"), Probes())


class LeakState:
    def __init__(self, runs: int, warmup: int, probes: Probes) -> None:
        self.runs, self.warmup, self.probes = runs, warmup, probes
        self.measured = 0
        self.opted_out = 0
        self.measured_again = 0  # suspected after the first warm-up, measured again after a longer one


STATE = pytest.StashKey["LeakState"]()


class Probes:
    """The module's long-lived objects, whose reference counts a test must leave as it found them."""

    def __init__(self) -> None:
        import vrel_dll

        self.labels: list[str] = []
        self.objects: list[object] = []
        seen: set[int] = set()

        def add(label: str, obj: object) -> None:
            if id(obj) not in seen:
                seen.add(id(obj))
                self.labels.append(label)
                self.objects.append(obj)

        add("the module vrel_dll", vrel_dll)
        add("the namespace of vrel_dll", vars(vrel_dll))
        for name, value in list(vars(vrel_dll).items()):
            add(f"the name {name!r}", name)
            add(f"vrel_dll.{name}", value)
            if isinstance(value, types.ModuleType):  # the attributes the module remembers
                for attr in ("loads", "dumps", "get_running_loop", "warning"):
                    if hasattr(value, attr):
                        add(f"vrel_dll.{name}.{attr}", getattr(value, attr))
            owned = value if isinstance(value, type) else type(value)
            if getattr(owned, "__module__", None) != "vrel_dll":
                continue
            add(f"the type {owned.__qualname__}", owned)
            for attr, member in list(vars(owned).items()):
                add(f"the name {attr!r}", attr)
                add(f"vrel_dll.{owned.__qualname__}.{attr}", member)
                if getattr(type(member), "__module__", None) == "vrel_dll":
                    add(f"the type of vrel_dll.{owned.__qualname__}.{attr}", type(member))

    def __len__(self) -> int:
        return len(self.objects)


class Measurement:
    """Blocks and reference counts after each of `runs` runs, kept in machine integers: a list of
    int objects would itself grow by a block a run."""

    def __init__(self, probes: Probes, runs: int, warmed: int) -> None:
        self.probes, self.runs, self.warmed = probes, runs, warmed
        self.blocks = array.array("q", bytes(8 * (runs + 1)))
        self.refs = array.array("q", bytes(8 * (runs + 1) * len(probes)))

    def take(self, index: int) -> None:
        clear_type_cache()
        gc.collect()
        n = len(self.probes)
        objects = self.probes.objects
        # By index: a loop variable over the objects would hold one more reference.
        for i in range(n):
            self.refs[index * n + i] = sys.getrefcount(objects[i])
        self.blocks[index] = sys.getallocatedblocks()

    def block_steps(self) -> list[int]:
        return [self.blocks[r + 1] - self.blocks[r] for r in range(self.runs)]

    def ref_steps(self) -> dict[str, list[int]]:
        """The probes whose count moved the same way in every run, with their steps."""
        n, found = len(self.probes), {}
        for i in range(n):
            steps = [self.refs[(r + 1) * n + i] - self.refs[r * n + i] for r in range(self.runs)]
            if all(s > 0 for s in steps) or all(s < 0 for s in steps):
                found[self.probes.labels[i]] = steps
        return found

    def leaking(self) -> bool:
        return all(s > 0 for s in self.block_steps()) or bool(self.ref_steps())

    def describe(self) -> str:
        text = [
            f"allocated blocks changed by {' '.join(f'{s:+d}' for s in self.block_steps())} "
            f"in {self.runs} runs after {self.warmed} earlier runs"
        ]
        for label, steps in self.ref_steps().items():
            text.append(f"the reference count of {label} changed by {' '.join(f'{s:+d}' for s in steps)}")
        return "; ".join(text)


# The interpreter's method cache keeps a reference to each attribute name it has seen, up to
# 4096: a test that looks attributes up by names it builds at run time (as asyncio's and
# hypothesis's own code does) would leave a few more there each run until the cache is full.
# Emptying it before each reading is what the interpreter offers for leak hunting.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def fill_record_free_list() -> None:
    """Fills the module's list of freed records kept for reuse (at most 64 of them), so that a test
    making records on a path that does not take from the list (XtPre.__new__, a subclass) while
    freeing them into it does not look like a leak of a record a run until the list is full."""
    import vrel_dll

    records = [vrel_dll.XtPre.__new__(vrel_dll.XtPre) for _ in range(256)]
    del records


def refresh_fixtures(item: pytest.Function) -> None:
    """Tears down the test's function-scoped fixtures and sets them up again; wider scopes stay."""
    # tmp_path's teardown reads the outcome that pytest records only after the call.
    if tmppath_result_key is not None:
        item.stash.setdefault(tmppath_result_key, {})
    state = item.session._setupstate
    state.teardown_exact(item.parent)  # pops the item alone: its parent chain stays needed
    drop_spent_finalizers(item)
    item._initrequest()
    state.setup(item)


def drop_spent_finalizers(item: pytest.Function) -> None:
    """pytest gives each wider-scoped fixture a test's fixtures use (tmp_path_factory for tmp_path)
    a call to tear the dependent one down; those pile up there until the wider scope ends. The
    ones of this test's fixtures just torn down would do nothing more: dropped, as they would
    otherwise grow by one a run."""
    for fixturedefs in item._fixtureinfo.name2fixturedefs.values():
        for fixturedef in fixturedefs:
            if fixturedef.scope != "function":
                fixturedef._finalizers[:] = [fin for fin in fixturedef._finalizers if not spent(fin, item)]


def spent(finalizer: object, item: pytest.Function) -> bool:
    if not isinstance(finalizer, functools.partial):
        return False
    owner = getattr(finalizer.func, "__self__", None)
    request = finalizer.keywords.get("request")
    return (
        owner is not None and getattr(owner, "cached_result", True) is None and getattr(request, "node", None) is item
    )


def run_once(item: pytest.Function, run: int) -> None:
    try:
        item.runtest()
    except Exception as exc:
        if run:
            exc.add_note(f"(leak mode: raised when the test ran for the {run + 1}. time in this process)")
        raise
    refresh_fixtures(item)


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_runtest_call(item: pytest.Item):
    """pytest's own call of the test is its first run, failing and reported as in the ordinary
    mode. The further runs and the measurements follow it within the same call phase, so their
    output is captured and their failures are reported as the first run's would be."""
    state = item.config.stash.get(STATE, None)
    measured = state is not None and isinstance(item, pytest.Function)
    if measured and item.get_closest_marker("no_leak_check") is not None:
        state.opted_out += 1
        measured = False
    if measured:
        fill_record_free_list()
    result = yield
    if not measured:
        return result
    refresh_fixtures(item)
    # For the further runs, what exists now (pytest, the libraries, the parameters, what the
    # first run left, garbage or not) is moved out of the garbage collector's sight until the
    # test is done: the collection before each reading then walks only what the runs made,
    # where a full one over everything had taken most of leak mode's time. Frozen objects are
    # still counted among the blocks, and their reference counts still read; what is frozen
    # stays as it is through the measurement, so it adds no step. pytest's own call above ran
    # with nothing frozen.
    gc.freeze()
    try:
        found = measure(item, state)
    finally:
        gc.unfreeze()
    state.measured += 1
    if found.leaking():
        pytest.fail(f"leak: {found.describe()}", pytrace=False)
    return result


def measure(item: pytest.Function, state: LeakState) -> Measurement:
    """Runs the test on after its first run: warm-up runs, then measured ones; when they suggest
    a leak, again after a longer warm-up. Returns the last measurement."""
    run = 1
    for attempt, warmup in enumerate((state.warmup - 1, *WARMUP_RUNS[1:])):
        state.measured_again += attempt == 1
        for _ in range(warmup):
            run_once(item, run)
            run += 1
        found = Measurement(state.probes, state.runs, warmed=run)
        found.take(0)
        for r in range(state.runs):
            run_once(item, run)
            run += 1
            found.take(r + 1)
        if not found.leaking():
            break
    return found


def pytest_terminal_summary(terminalreporter, exitstatus: int, config: pytest.Config) -> None:
    state = config.stash.get(STATE, None)
    if state is not None:
        terminalreporter.write_line(
            f"leak mode: {state.measured} tests measured ({state.warmup} warm-up runs, then {state.runs} "
            f"measured runs each), {state.opted_out} run once (no_leak_check)"
            + (f"; {state.measured_again} measured again after a longer warm-up" if state.measured_again else "")
        )
