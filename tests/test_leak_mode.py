"""Leak mode itself: planted leaks are reported by name, clean tests pass, and the normal run is untouched.

Each check starts pytest anew, so they run in the leaks session (`pytest --leaks`) only, once
each, and leave the ordinary run as fast as it was."""

import os
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

PLANTED = """
import asyncio
import ctypes

import pytest

import vrel_dll

incref = ctypes.pythonapi.Py_IncRef
incref.argtypes = [ctypes.py_object]
runs = []


def test_new_object_kept():
    incref({"new": [1]})  # one reference too many: the dict outlives the run


def test_reference_to_a_function_kept():
    incref(vrel_dll.cy_format_xt)


def test_reference_to_a_method_kept():
    incref(vars(vrel_dll.Gatekeeper)["register_rpc"])


decref = ctypes.pythonapi.Py_DecRef
decref.argtypes = [ctypes.py_object]
spare = [vrel_dll.logger] * 200  # references enough for the drops below, given back at the end


def test_reference_to_a_global_dropped():
    decref(vrel_dll.logger)
    runs.append(None)


def teardown_module():
    for _ in runs:
        incref(vrel_dll.logger)


@pytest.fixture
def table():
    return {}


def test_clean_with_fresh_fixtures(table, monkeypatch):
    assert table == {}  # a fresh fixture each run
    table["x"] = vrel_dll.XtPre("c", 1, 2, [1], 3)
    monkeypatch.setattr(vrel_dll, "orjson", None)


@pytest.fixture(scope="module")
def shared():
    return {}


@pytest.fixture
def uses_shared(shared):  # pytest notes on `shared`, at each set-up, how to tear this one down
    return [shared]


def test_clean_with_a_module_fixture(uses_shared):
    assert uses_shared == [{}]


def test_clean_with_an_event_loop():
    async def register():
        return vrel_dll.Gatekeeper({}, {}).register_rpc("x")

    asyncio.run(register())


@pytest.mark.no_leak_check("planted: leaks, but opts out")
def test_opted_out():
    incref([1])
"""

LEAKS = {
    "test_new_object_kept": "allocated blocks changed by +",
    "test_reference_to_a_function_kept": "the reference count of vrel_dll.cy_format_xt changed by +1 +1 +1 +1",
    "test_reference_to_a_method_kept": "the reference count of vrel_dll.Gatekeeper.register_rpc changed by +1 +1 +1 +1",
    "test_reference_to_a_global_dropped": "the reference count of vrel_dll.logger changed by -1 -1 -1 -1",
}
CLEAN = [
    "test_clean_with_fresh_fixtures",
    "test_clean_with_a_module_fixture",
    "test_clean_with_an_event_loop",
    "test_opted_out",
]
pytestmark = pytest.mark.no_leak_check("runs pytest in a new interpreter")


@pytest.fixture(autouse=True)
def in_leak_mode_only(request):
    if not request.config.getoption("leaks"):
        pytest.skip("checks of leak mode itself run with --leaks")


def run_planted(tmp_path, *options, env=None):
    """Runs the planted tests in a new pytest process; returns {test name: failure message or None}."""
    (tmp_path / "test_planted.py").write_text(textwrap.dedent(PLANTED))
    report = tmp_path / "report.xml"
    here = str(Path(__file__).resolve().parent)
    environ = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join([here, *(p for p in sys.path if p)])}
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-p",
            "leak_mode",
            "-p",
            "no:cacheprovider",
            "-q",
            f"--junitxml={report}",
            "--rootdir",
            str(tmp_path),
            *options,
            "test_planted.py",
        ],
        cwd=tmp_path,
        env=environ,
        capture_output=True,
        text=True,
        timeout=300,
    )
    if not report.exists():
        return proc, {}
    outcomes = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        failure = case.find("failure")
        outcomes[case.get("name")] = None if failure is None else failure.get("message")
    return proc, outcomes


def test_planted_leaks_are_named(tmp_path):
    proc, outcomes = run_planted(tmp_path, "--leaks")
    assert set(outcomes) == {*LEAKS, *CLEAN}, proc.stdout + proc.stderr
    for name, text in LEAKS.items():
        assert outcomes[name] is not None and text in outcomes[name], (name, outcomes[name])
    assert [outcomes[name] for name in CLEAN] == [None] * len(CLEAN), proc.stdout
    assert "leak mode: 7 tests measured" in proc.stdout and "1 run once (no_leak_check)" in proc.stdout


def test_without_the_option_nothing_is_measured(tmp_path):
    proc, outcomes = run_planted(tmp_path)
    assert outcomes == dict.fromkeys([*LEAKS, *CLEAN]), proc.stdout + proc.stderr
    assert "leak mode" not in proc.stdout


def test_refused_where_blocks_are_not_counted(tmp_path):
    proc, outcomes = run_planted(tmp_path, "--leaks", env={"PYTHONMALLOC": "malloc"})
    assert proc.returncode == 4 and outcomes == {}  # a usage error: nothing ran
    assert "leak mode needs sys.getallocatedblocks()" in proc.stderr
