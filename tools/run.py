#!/usr/bin/env python3
"""Build vrel_dll and run its test suite, its demo or its benchmarks on the interpreters found here.

    python3 tools/run.py tests [pytest args]   the lint checks once, then the suite on every supported
                                               interpreter found (3.12-3.15)
    python3 tools/run.py lint                  ruff (lint, format) and clang-format, with pinned versions
    python3 tools/run.py wheel [pytest args]   build, repair (manylinux) and test a wheel on each
    python3 tools/run.py demo [demo args]      the newest supported interpreter found
    python3 tools/run.py bench [bench args]    benchmarks (pyperf), the newest interpreter found
    python3 tools/run.py instructions [args]   instructions per operation of each benchmark scenario
                                               (callgrind; bench/instructions.py), the newest found
    python3 tools/run.py sanitize [pytest args]  the test suite on an ASan+UBSan build, on each
    python3 tools/run.py leaks [pytest args]   the test suite in leak mode (pytest --leaks), on each
    python3 tools/run.py coverage [pytest args]  line and branch coverage of src/ by the suite (gcov), the oldest found
    python3 tools/run.py fuzz [seconds [target...]]  coverage-guided fuzzing under ASan+UBSan, on each
    python3 tools/run.py windows               cross-compile for Windows x64 (mingw-w64) and check the DLL, on each

Interpreters are looked for on PATH and in pyenv's versions folder; the commands run "on each"
end by naming the supported ones not found here and how to get them. `--python X.Y` right
after a command (repeatable) runs it on those interpreters alone (without the lint checks
`tests` runs first) and exits with status 3 when one of them is not found here. nox is taken
from the running interpreter when it has it, otherwise installed once into .nox/bootstrap.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERSIONS = ["3.12", "3.13", "3.14", "3.15"]
# Exit status of a command asked (--python) for an interpreter that this machine does not have:
# the same as that of the tools entering the Debian roots when the root cannot be had.
NOT_HERE = 3


def how_to_get(version: str, command: str) -> str:
    """How to run `command` on a supported interpreter that was not found."""
    if version in ("3.14", "3.15"):
        tool = ROOT.parent / "shared" / "tools" / f"py{version.replace('.', '')}"
        system = "env VREL_SYSTEM_PACKAGES=1 " if version == "3.14" else ""
        where = "" if tool.exists() else f" (it is not beside this checkout: {tool})"
        return (
            f"run the command in a Debian root, ../shared/tools/{tool.name} {system}python3 tools/run.py "
            f"{command}{where}; see docs/development.md"
        )
    return f"install it with pyenv (pyenv install {version}); run.py finds pyenv's versions by themselves"


def runs_as(exe: str, version: str) -> bool:
    """True when `exe` really starts and is Python `version` (pyenv shims may not)."""
    try:
        out = subprocess.run(
            [exe, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], capture_output=True, text=True, timeout=60
        )
    except OSError:
        return False
    return out.returncode == 0 and out.stdout.strip() == version


def find_interpreters(versions: list[str] = VERSIONS) -> dict[str, str]:
    """Supported version (of `versions`) -> a directory holding a working `pythonX.Y`."""
    found: dict[str, str] = {}
    pyenv_root = os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))
    for version in versions:
        candidates = [shutil.which(f"python{version}")]
        candidates += sorted(glob.glob(f"{pyenv_root}/versions/{version}.*/bin/python{version}"), reverse=True)
        if sys.version_info[:2] == tuple(map(int, version.split("."))):
            candidates.append(sys.executable)
        for exe in candidates:
            if exe is not None and runs_as(exe, version):
                found[version] = str(Path(exe).parent)
                break
    return found


def nox_command() -> list[str]:
    try:
        import nox  # noqa: F401

        return [sys.executable, "-m", "nox"]
    except ImportError:
        pass
    env_dir = ROOT / ".nox" / "bootstrap"
    python = env_dir / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    if not python.exists():
        print("run.py: installing nox into .nox/bootstrap", flush=True)
        venv.create(env_dir, with_pip=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "nox"], check=True)
    return [str(python), "-m", "nox"]


def run_nox(args: list[str], interpreters: dict[str, str]) -> int:
    env = dict(os.environ)
    path_dirs = list(dict.fromkeys(interpreters.values()))
    env["PATH"] = os.pathsep.join(path_dirs + [env.get("PATH", "")])
    return subprocess.run(nox_command() + args, cwd=ROOT, env=env).returncode


# Sessions run once before a command's per-interpreter ones: `tests` checks the lint rules and
# the formatting too (the lint session, on the interpreter running nox).
ONCE_BEFORE = {"tests": ["lint"]}


def report_missing(session: str, missing: list[str]) -> None:
    """The last words of a command run on each interpreter found: which supported ones it did not
    run on, and how to get them, so that a pass on some of them is not taken for a pass on all."""
    if not missing:
        return
    print(
        f"\nrun.py: !! {session} did NOT run on CPython {', '.join(missing)} (not found on PATH or in pyenv's versions)"
    )
    for version in missing:
        print(f"  {version}: {how_to_get(version, session)}")


def every_interpreter(session: str, extra: list[str], versions: list[str] | None = None) -> int:
    """Runs `session` (tests, wheel) once per supported interpreter found, after ONCE_BEFORE's;
    with `versions`, on those alone (status NOT_HERE when one is missing), without ONCE_BEFORE's."""
    wanted = versions or VERSIONS
    interpreters = find_interpreters(wanted)
    missing = [v for v in wanted if v not in interpreters]
    if versions and missing:
        print(f"run.py: CPython {', '.join(missing)} not found here (PATH, pyenv's versions)", file=sys.stderr)
        report_missing(session, missing)
        return NOT_HERE
    if not interpreters:
        print(f"run.py: no supported interpreter ({', '.join(VERSIONS)}) found", file=sys.stderr)
        report_missing(session, missing)
        return 1
    print("run.py: interpreters found: " + ", ".join(f"{v} ({d})" for v, d in interpreters.items()), flush=True)
    report = ROOT / ".nox" / f"report-{session}-{'-'.join(interpreters)}.json"
    report.parent.mkdir(parents=True, exist_ok=True)
    report.unlink(missing_ok=True)
    once = [] if versions else ONCE_BEFORE.get(session, [])
    sessions = [*once, *(f"{session}-{v}" for v in interpreters)]
    rc = run_nox(["--report", str(report), "-s", *sessions, "--", *extra], interpreters)
    results = json.loads(report.read_text())["sessions"] if report.exists() else []
    ran = [r for r in results if r.get("result") in ("success", "failed") and r["name"] not in once]
    print(f"\nrun.py: {session} runs" + (f" ({', '.join(once)} once, then per interpreter)" if once else ""))
    for r in results:
        print(f"  {r['signatures'][0] if r.get('signatures') else r['name']}: {r.get('result')}")
    passed = [r for r in ran if r["result"] == "success"]
    if not passed:
        print(f"run.py: no interpreter ran the {session} session", file=sys.stderr)
        rc = rc or 1
    report_missing(session, missing)
    return rc


def on_newest(session: str, extra: list[str], pick: int = -1, versions: list[str] | None = None) -> int:
    """Runs `session` (demo, bench, instructions) once, on the newest supported interpreter found
    (coverage: on the oldest, pick=0), of `versions` when given (status NOT_HERE when one is missing)."""
    interpreters = find_interpreters(versions or VERSIONS)
    if versions and len(interpreters) < len(versions):
        missing = [v for v in versions if v not in interpreters]
        print(f"run.py: CPython {', '.join(missing)} not found here (PATH, pyenv's versions)", file=sys.stderr)
        return NOT_HERE
    if not interpreters:
        print(f"run.py: no supported interpreter ({', '.join(VERSIONS)}) found", file=sys.stderr)
        return 1
    chosen = list(interpreters)[pick]
    return run_nox(["-s", f"{session}-{chosen}", "--", *extra], {chosen: interpreters[chosen]})


def main() -> int:
    commands = (
        "tests",
        "lint",
        "wheel",
        "demo",
        "bench",
        "instructions",
        "sanitize",
        "leaks",
        "coverage",
        "fuzz",
        "windows",
    )
    if len(sys.argv) < 2 or sys.argv[1] not in commands:
        print(__doc__, file=sys.stderr)
        return 2
    command, extra = sys.argv[1], sys.argv[2:]
    versions = []
    while command != "lint" and extra[:1] == ["--python"]:
        if len(extra) < 2 or extra[1] not in VERSIONS:
            print(f"run.py: --python takes one of {', '.join(VERSIONS)}", file=sys.stderr)
            return 2
        versions.append(extra[1])
        extra = extra[2:]
    if command == "lint":
        return run_nox(["-s", "lint"], {})
    if command in ("demo", "bench", "instructions"):
        return on_newest(command, extra, versions=versions)
    if command == "coverage":
        return on_newest(command, extra, pick=0, versions=versions)
    return every_interpreter(command, extra, versions)


if __name__ == "__main__":
    sys.exit(main())
