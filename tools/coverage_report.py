#!/usr/bin/env python3
"""Line and branch coverage of the module's sources, from a test run of a gcc --coverage build.

    python tools/coverage_report.py BUILD_DIR [--root DIR] [--gcov GCOV] [--json PATH]

Reads the counts that the run left beside the object files in BUILD_DIR through gcovr, and
prints for each source file under src/ the lines and branches covered, the totals, then every
line holding a branch that was never taken (file: line, or line(n) for n branches not taken
there). Branches are gcc's: the two ways of each condition, including those inside the C
API's macros (a reference count reaching zero, an allocation failing), so 100% is not the
aim; the list shows which paths no test reaches. Branches on lines without code and those of
C++ exception handling (the module throws none) are left out. It reports; it fails nothing.
`--json PATH` also writes the figures as JSON.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def gcovr(build_dir: Path, root: Path, gcov: str, out: Path) -> tuple[dict, dict]:
    """gcovr's detailed and summary reports, as dicts."""
    detail, summary = out / "detail.json", out / "summary.json"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "gcovr",
            "--root",
            str(root),
            "--filter",
            str(root / "src") + "/",
            "--gcov-executable",
            gcov,
            "--exclude-unreachable-branches",
            "--exclude-throw-branches",
            "--json",
            str(detail),
            "--json-summary",
            str(summary),
            str(build_dir),
        ],
        check=True,
    )
    return json.loads(detail.read_text()), json.loads(summary.read_text())


def untaken_branches(detail: dict) -> dict[str, list[tuple[int, int]]]:
    """File -> [(line, branches never taken there)], lines in order. A line of an inline or
    template function appears once per instance; their branches are added up."""
    found: dict[str, dict[int, int]] = defaultdict(lambda: defaultdict(int))
    for entry in detail["files"]:
        for line in entry["lines"]:
            untaken = sum(1 for branch in line.get("branches", []) if branch["count"] == 0)
            if untaken:
                found[entry["file"]][line["line_number"]] += untaken
    return {file: sorted(lines.items()) for file, lines in sorted(found.items())}


def percent(covered: int, total: int) -> str:
    return f"{100 * covered / total:5.1f}%" if total else "    - "


def report(summary: dict, untaken: dict[str, list[tuple[int, int]]]) -> list[str]:
    files = sorted(summary["files"], key=lambda f: f["filename"])
    width = max([len(f["filename"]) for f in files] + [len("total")])
    out = [f"{'file':<{width}}  {'lines':>15}  {'branches':>15}"]
    for f in files:
        out.append(
            f"{f['filename']:<{width}}  {f['line_covered']:>5}/{f['line_total']:<5} "
            f"{percent(f['line_covered'], f['line_total'])}  {f['branch_covered']:>5}/{f['branch_total']:<5} "
            f"{percent(f['branch_covered'], f['branch_total'])}"
        )
    out.append(
        f"{'total':<{width}}  {summary['line_covered']:>5}/{summary['line_total']:<5} "
        f"{percent(summary['line_covered'], summary['line_total'])}  "
        f"{summary['branch_covered']:>5}/{summary['branch_total']:<5} "
        f"{percent(summary['branch_covered'], summary['branch_total'])}"
    )
    out.append("")
    out.append(f"lines with branches never taken ({sum(len(v) for v in untaken.values())}):")
    for file, lines in untaken.items():
        out.append(f"{file}: " + " ".join(f"{n}({k})" if k > 1 else f"{n}" for n, k in lines))
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir", type=Path, help="the build folder of the --coverage build, after the test run")
    parser.add_argument("--root", type=Path, default=ROOT, help="the source tree the build was made from")
    parser.add_argument("--gcov", default="gcov", help="gcov of the gcc that built the module")
    parser.add_argument("--json", type=Path, help="also write the figures and the untaken branches here")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        detail, summary = gcovr(args.build_dir, args.root.resolve(), args.gcov, Path(tmp))
    untaken = untaken_branches(detail)
    if not summary["files"]:
        print(f"coverage: no counts found under {args.build_dir} for sources in {args.root / 'src'}", file=sys.stderr)
        return 1
    print("\n".join(report(summary, untaken)))
    if args.json:
        figures = {key: summary[key] for key in ("line_covered", "line_total", "branch_covered", "branch_total")}
        figures["files"] = {f["filename"]: {key: f[key] for key in figures if key != "files"} for f in summary["files"]}
        figures["untaken_branches"] = {file: [list(pair) for pair in lines] for file, lines in untaken.items()}
        args.json.write_text(json.dumps(figures, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
