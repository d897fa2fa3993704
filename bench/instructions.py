#!/usr/bin/env python3
"""Instructions per operation of every benchmark scenario, counted by valgrind's callgrind.

    PYTHONPATH=. python bench/instructions.py [--ops N] [--only TEXT] [--profile TEXT] [--top K]
                                              [--results PATH] [--keep DIR]

The scenarios are bench/run.py's, with their fixtures, loops and targets. One process
runs under callgrind; for each scenario and role (vrel_dll, baseline, floor) it runs the
timed loop once to warm up, then for N operations and again for 2N, with a marker call
between the runs (os.getppid, at which callgrind writes out and resets its counts). The
difference between the two counts divided by N is the cost of one operation: start-up,
the loop's own set-up and the markers cancel. Counts vary by well under 1% between runs,
so a change can be judged on a busy machine, where timings vary by 10% or more.

--profile TEXT adds, for each scenario whose key contains TEXT, the functions that the
module's operations spend their instructions in (self cost per operation, the same N/2N
difference). valgrind comes from Debian's packages and is installed when missing.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROLES = ("vrel_dll", "baseline", "floor")
MARKER = "getppid"  # the libc function behind os.getppid, which nothing else here calls


# --- inside callgrind: run the scenarios between markers ---


def child(out: Path, ops: int, only: str) -> int:
    import baseline
    import run as bench
    import vrel_dll

    # As bench/run.py times them: failures cost the module's work, not a logger's sinks.
    setattr(vrel_dll, "logger", bench.NoopLogger())  # noqa: B010
    baseline.logger = bench.NoopLogger()
    fx = bench.build_fixtures()

    segments: list[dict[str, Any]] = []  # what runs after each marker, in order
    scenarios: list[dict[str, Any]] = []

    def mark(**what: Any) -> None:
        segments.append(what)
        os.getppid()

    for scenario in bench.scenarios(fx):
        if only and only not in scenario.key:
            continue
        targets = [t for t in (scenario.target, *getattr(scenario, "also", ())) if t is not None]
        scenarios.append(
            {
                "key": scenario.key,
                "title": scenario.title,
                "floor": scenario.floor.label if scenario.floor else None,
                "targets": [{"against": t.against, "factor": t.factor, "text": t.text()} for t in targets],
            }
        )
        for role, timing in zip(ROLES, (scenario.vrel, scenario.base, scenario.floor), strict=True):
            if timing is None:
                continue
            loops = max(1, math.ceil(ops / timing.inner_loops))
            timing.func(loops, *timing.args)  # warm-up: caches, free lists, specialised bytecode
            for factor in (1, 2):
                gc.collect()  # outside the counted runs, so both start alike
                mark(key=scenario.key, role=role, factor=factor, ops=loops * timing.inner_loops)
                timing.func(loops * factor, *timing.args)
                mark(key=None)
    out.write_text(json.dumps({"segments": segments, "scenarios": scenarios}))
    return 0


# --- callgrind's output ---


@dataclass
class Part:
    number: int
    total: int
    path: Path


def read_parts(prefix: Path) -> list[Part]:
    parts = []
    for path in prefix.parent.glob(prefix.name + "*"):
        number = total = None
        with path.open(encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("part:"):
                    number = int(line.split()[1])
                elif line.startswith(("totals:", "summary:")):
                    total = int(line.split()[1])
                    break
        if number is not None and total is not None:
            parts.append(Part(number, total, path))
    return sorted(parts, key=lambda p: p.number)


_NAME = re.compile(r"^\((\d+)\)(?: (.*))?$")


def self_costs(path: Path) -> dict[str, int]:
    """Instructions spent in each function itself (calls excluded), by "object: function"."""
    names: dict[str, dict[str, str]] = {"ob": {}, "fn": {}}
    costs: dict[str, int] = defaultdict(int)
    obj = fn = ""
    skip_next = False

    def name(kind: str, text: str) -> str:
        m = _NAME.match(text)
        if m is None:
            return text
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
        return names[kind].get(m.group(1), text)

    with path.open(encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line:
                continue
            head = line[0]
            if head.isdigit() or head in "+-*":
                if skip_next:  # the inclusive cost of the call just named
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    costs[f"{obj}: {fn}"] += int(fields[1])
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                obj = Path(name("ob", value)).name
            elif key == "cob":
                name("ob", value)
            elif key == "fn":
                fn = name("fn", value)
            elif key == "cfn":
                name("fn", value)
            elif key == "calls":
                skip_next = True
    return costs


# --- the outside: run, match markers to counts, report ---


def ensure_valgrind() -> str:
    found = shutil.which("valgrind")
    if found is not None:
        return found
    print("instructions: installing valgrind from Debian's packages", flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    for cmd in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "valgrind"]):
        subprocess.run(sudo + cmd, check=True, env=env)
    found = shutil.which("valgrind")
    if found is None:
        sys.exit("instructions: valgrind is still not on PATH after installing it")
    return found


@dataclass
class Measured:
    ops: int
    per_op: float
    profile: dict[str, float]


def measure(args: argparse.Namespace, work: Path) -> tuple[list[dict[str, Any]], dict[tuple[str, str], Measured]]:
    prefix = work / "callgrind.out"
    segments_file = work / "segments.json"
    cmd = [
        ensure_valgrind(),
        "--tool=callgrind",
        f"--dump-before={MARKER}",
        f"--callgrind-out-file={prefix}",
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        str(segments_file),
        "--ops",
        str(args.ops),
        "--only",
        args.only,
    ]
    # A fixed hash seed: dict layouts, and so the counts, are the same in every run.
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    print(
        f"instructions: running the scenarios under callgrind ({sys.executable}, "
        f"{args.ops} operations per run), a few minutes",
        flush=True,
    )
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0 or not segments_file.exists():
        sys.exit(f"instructions: the run under callgrind failed ({done.returncode}):\n{done.stdout[-4000:]}")
    recorded = json.loads(segments_file.read_text())
    segments = recorded["segments"]
    parts = read_parts(prefix)
    # Part 1 runs up to the first marker; part k + 1 holds what ran after marker k.
    if len(parts) != len(segments) + 1:
        sys.exit(
            f"instructions: {len(parts)} counts for {len(segments)} markers: something else called "
            f"{MARKER}(), the counts cannot be matched to the runs"
        )
    runs: dict[tuple[str, str, int], tuple[int, Part]] = {}
    for segment, part in zip(segments, parts[1:], strict=True):
        if segment.get("key") is not None:
            runs[(segment["key"], segment["role"], segment["factor"])] = (segment["ops"], part)
    out: dict[tuple[str, str], Measured] = {}
    for (key, role, factor), (ops, part) in runs.items():
        if factor != 1:
            continue
        twice = runs[(key, role, 2)][1]
        profile: dict[str, float] = {}
        if args.profile and args.profile in key:
            once_costs, twice_costs = self_costs(part.path), self_costs(twice.path)
            profile = {
                fn: (twice_costs.get(fn, 0) - once_costs.get(fn, 0)) / ops for fn in set(once_costs) | set(twice_costs)
            }
        out[(key, role)] = Measured(ops, (twice.total - part.total) / ops, profile)
    return recorded["scenarios"], out


Rows = dict[str, dict[str, Measured]]


def judge(target: dict[str, Any], key: str, rows: Rows) -> tuple[float | None, bool | None]:
    """As bench/run.py judges a target: the ratio it is about, and whether it is met (None:
    what it compares with was not counted in this run)."""
    row, factor = rows[key], target["factor"]
    vrel = row["vrel_dll"].per_op
    if target["against"] == "floor":
        if "floor" not in row:
            return None, None
        ratio = vrel / row["floor"].per_op
        return ratio, ratio <= factor
    if target["against"] == "baseline":
        ratio = row["baseline"].per_op / vrel
    elif target["against"] in rows:  # another scenario's module run
        ratio = rows[target["against"]]["vrel_dll"].per_op / vrel
    else:
        return None, None
    return ratio, ratio >= factor


def table_rows(scenarios: list[dict[str, Any]], measured: dict[tuple[str, str], Measured]) -> Rows:
    return {
        sc["key"]: {role: measured[(sc["key"], role)] for role in ROLES if (sc["key"], role) in measured}
        for sc in scenarios
    }


def yes_no(met: bool | None) -> str:
    return "" if met is None else ("yes" if met else "NO")


def short(fn: str, width: int = 96) -> str:
    fn = re.sub(r"\(anonymous namespace\)::", "", fn)
    return fn if len(fn) <= width else fn[: width - 3] + "..."


def render(scenarios: list[dict[str, Any]], measured: dict[tuple[str, str], Measured], top: int) -> Iterator[str]:
    head = (
        f"{'scenario':40} {'vrel_dll':>9} {'baseline':>9} {'floor':>9}  {'vs baseline':>13}  {'vs floor':>8}  "
        f"{'target':32} met?"
    )
    yield "instructions per operation (callgrind, N and 2N operations in one process)"
    yield head
    yield "-" * len(head)
    rows = table_rows(scenarios, measured)
    for sc in scenarios:
        row = rows[sc["key"]]
        speedup = row["baseline"].per_op / row["vrel_dll"].per_op
        floor = f"{row['floor'].per_op:9.0f}" if "floor" in row else ""
        ratio = f"{row['vrel_dll'].per_op / row['floor'].per_op:7.2f}x" if "floor" in row else ""
        targets = sc["targets"] or [None]
        first = targets[0]
        text, met = ("", None) if first is None else (first["text"], judge(first, sc["key"], rows)[1])
        yield (
            f"{sc['title']:40} {row['vrel_dll'].per_op:9.0f} {row['baseline'].per_op:9.0f} {floor:>9}  "
            f"{speedup:6.2f}x faster  {ratio:>8}  {text:32} {yes_no(met)}"
        )
        for extra in targets[1:]:  # further targets, each on a line of its own, with its own ratio
            value, met = judge(extra, sc["key"], rows)
            shown = "" if value is None else f"{value:.2f}x"
            yield f"{'':40} {'':>9} {'':>9} {'':>9}  {shown:>13}  {'':>8}  {extra['text']:32} {yes_no(met)}"
    for sc in scenarios:
        for role in ROLES:
            m = measured.get((sc["key"], role))
            if m is None or not m.profile:
                continue
            yield ""
            yield f"{sc['title']} ({role}): {m.per_op:.0f} instructions per operation, self cost by function"
            ranked = sorted(m.profile.items(), key=lambda item: -abs(item[1]))[:top]
            for fn, cost in ranked:
                yield f"  {cost:8.1f}  {short(fn)}"


def save(path: Path, scenarios: list[dict[str, Any]], measured: dict[tuple[str, str], Measured], ops: int) -> None:
    out: dict[str, Any] = {
        "python": platform.python_version(),
        "unit": "instructions per operation",
        "operations_per_run": ops,
        "scenarios": [],
    }
    rows = table_rows(scenarios, measured)
    for sc in scenarios:
        row = rows[sc["key"]]
        out["scenarios"].append(
            {
                "key": sc["key"],
                "title": sc["title"],
                "floor": sc["floor"],
                "instructions": {role: m.per_op for role, m in row.items()},
                "speedup_vs_baseline": row["baseline"].per_op / row["vrel_dll"].per_op,
                "ratio_to_floor": row["vrel_dll"].per_op / row["floor"].per_op if "floor" in row else None,
                "targets": [
                    {"target": t["text"], "ratio": judge(t, sc["key"], rows)[0], "met": judge(t, sc["key"], rows)[1]}
                    for t in sc["targets"]
                ],
            }
        )
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(out, indent=2) + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", type=int, default=4000, help="operations in the shorter run (default 4000)")
    parser.add_argument("--only", default="", help="only the scenarios whose key contains this text")
    parser.add_argument(
        "--profile",
        default="",
        metavar="TEXT",
        help="show where the instructions go for the scenarios whose key contains TEXT",
    )
    parser.add_argument("--top", type=int, default=20, help="functions shown per profile (default 20)")
    parser.add_argument(
        "--results",
        type=Path,
        default=HERE / "instructions.json",
        help="where to save the table as JSON (default: bench/instructions.json)",
    )
    parser.add_argument("--keep", type=Path, metavar="DIR", help="keep callgrind's files in DIR")
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.ops < 1:
        parser.error("--ops must be at least 1")
    if args.child is not None:
        return child(args.child, args.ops, args.only)

    if args.keep is not None:
        args.keep.mkdir(parents=True, exist_ok=True)
        scenarios, measured = measure(args, args.keep)
    else:
        with tempfile.TemporaryDirectory(prefix="vrel-callgrind-") as work:
            scenarios, measured = measure(args, Path(work))
    if not scenarios:
        print(f"instructions: no scenario key contains {args.only!r}", file=sys.stderr)
        return 1
    print()
    print("\n".join(render(scenarios, measured, args.top)))
    save(args.results, scenarios, measured, args.ops)
    print(f"\ninstructions: results saved to {args.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
