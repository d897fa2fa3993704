"""The code examples of the README and the user's guide, run as a reader would run them.

Every ```python block is a complete program; the ```text block right after it is what the
program prints (stdout and stderr together, as on a terminal). Each example runs in a new
interpreter from an empty folder, so the documents cannot drift from the module, and passes
`mypy --strict` against the repository's type stubs, as a user's typed client must. The
README's API table is checked against the stubs, so neither can drift from the other.
"""

import ast
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = ["README.md", "docs/guide.md", "docs/dispatch.md"]
FENCE = re.compile(r"^```(\S*)\s*$")


@dataclass
class Example:
    document: str
    line: int  # of the opening fence, 1-based
    code: str
    output: str | None  # None: no output block follows


def fenced_blocks(text: str) -> list[tuple[int, str, str, int]]:
    """(opening line, info string, body, closing line) of each fenced block, lines 1-based."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        end = next((j for j in range(i + 1, len(lines)) if lines[j].rstrip() == "```"), None)
        if end is None:
            raise AssertionError(f"unclosed code fence at line {i + 1}")
        blocks.append((i + 1, opening.group(1), "".join(line + "\n" for line in lines[i + 1 : end]), end + 1))
        i = end + 1
    return blocks


def examples_in(document: str) -> list[Example]:
    text = (ROOT / document).read_text(encoding="utf-8")
    lines, blocks, found = text.splitlines(), fenced_blocks(text), []
    for k, (start, info, body, end) in enumerate(blocks):
        if info != "python":
            continue
        output = None
        if k + 1 < len(blocks):
            next_start, next_info, next_body, _ = blocks[k + 1]
            if next_info == "text" and all(not line.strip() for line in lines[end : next_start - 1]):
                output = next_body
        found.append(Example(document, start, body, output))
    return found


EXAMPLES = [example for document in DOCUMENTS for example in examples_in(document)]


def run_example(code: str, folder: Path) -> subprocess.CompletedProcess[str]:
    script = folder / "example.py"
    script.write_text(code, encoding="utf-8")
    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join(p for p in sys.path if p),
        "PYTHONUNBUFFERED": "1",
        "PYTHONIOENCODING": "utf-8",
    }
    return subprocess.run(
        [sys.executable, str(script)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        encoding="utf-8",
        env=env,
        cwd=folder,
        timeout=120,
    )


@pytest.mark.no_leak_check("runs each example in a new interpreter")
@pytest.mark.parametrize("example", EXAMPLES, ids=[f"{e.document}:{e.line}" for e in EXAMPLES])
def test_example_prints_what_the_document_shows(example, tmp_path):
    assert example.output is not None, "show the example's output in a ```text block right after it"
    result = run_example(example.code, tmp_path)
    assert (result.returncode, result.stdout) == (0, example.output)


@pytest.mark.no_leak_check("reads the documents only; the module is not called here")
def test_documents_hold_their_examples():
    # Every ```python fence was found: one the pattern missed would go unchecked.
    for document in DOCUMENTS:
        fences = re.findall(r"^```python\s*$", (ROOT / document).read_text(encoding="utf-8"), re.M)
        assert len(fences) == sum(e.document == document for e in EXAMPLES) > 0, document
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "(docs/guide.md)" in readme
    quick_start = readme.index("\n## Quick start\n")
    first = next(e for e in EXAMPLES if e.document == "README.md" and e.line > readme.count("\n", 0, quick_start))
    assert "feed_and_dispatch" in first.code and "register_rpc" in first.code


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory) -> dict[str, list[str]]:
    """Every example type-checked in one mypy --strict run against stubs/: errors by example id."""
    pytest.importorskip("mypy", reason="mypy is part of the test extra")
    folder = tmp_path_factory.mktemp("typed")
    shutil.copytree(ROOT / "stubs" / "vrel_dll-stubs", folder / "stubs" / "vrel_dll")
    names = {}
    for example in EXAMPLES:
        name = f"{Path(example.document).stem.lower()}_{example.line}.py"
        (folder / name).write_text(example.code, encoding="utf-8")
        names[name] = f"{example.document}:{example.line}"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONMALLOC"}
    env["MYPYPATH"] = str(folder / "stubs")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(folder / "cache"), *names],
        capture_output=True,
        text=True,
        cwd=folder,
        env=env,
        timeout=600,
    )
    errors: dict[str, list[str]] = {example_id: [] for example_id in names.values()}
    for line in result.stdout.splitlines():
        name, _, rest = line.partition(":")
        errors.setdefault(names.get(name, "other"), []).append(rest)
    assert result.returncode in (0, 1) and not result.stderr and "other" not in errors, (result.stdout, result.stderr)
    return errors


@pytest.mark.no_leak_check("type-checks in another process; the module is not called here")
@pytest.mark.parametrize("example", EXAMPLES, ids=[f"{e.document}:{e.line}" for e in EXAMPLES])
def test_example_passes_mypy_strict(example, mypy_errors):
    assert mypy_errors[f"{example.document}:{example.line}"] == []


def stub_api() -> dict[str, tuple[list[str], str | None]]:
    """Public name -> (parameters, return annotation) from the stubs; classes by their __init__,
    None for the return of a class or an overloaded method, ([], None) for a variable (the logger)."""
    tree = ast.parse((ROOT / "stubs" / "vrel_dll-stubs" / "__init__.pyi").read_text(encoding="utf-8"))
    api: dict[str, tuple[list[str], str | None]] = {}

    def add(name: str, function: ast.FunctionDef, returns: bool) -> None:
        params = [a.arg for a in function.args.posonlyargs + function.args.args + function.args.kwonlyargs]
        overloaded = any(ast.unparse(d) == "overload" for d in function.decorator_list)
        api[name] = (
            [p for p in params if p != "self"],
            ast.unparse(function.returns) if returns and not overloaded and function.returns else None,
        )

    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            add(node.name, node, True)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                if not isinstance(item, ast.FunctionDef):
                    continue
                decorators = {ast.unparse(d).rsplit(".", 1)[-1] for d in item.decorator_list}
                if item.name == "__init__":
                    add(node.name, item, False)
                elif not item.name.startswith("_") and not decorators & {"property", "setter", "deleter"}:
                    add(f"{node.name}.{item.name}", item, True)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.target.id[0] != "_":
            api[node.target.id] = ([], None)
    return api


def readme_api() -> dict[str, tuple[list[str], str | None]]:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    table = readme.split("\n## API at a glance\n", 1)[1].split("\n## ", 1)[0]
    api: dict[str, tuple[list[str], str | None]] = {}
    for cell in re.findall(r"^\| `(.+?)` \|", table, re.M):
        entry = re.fullmatch(r"([\w.]+)(?:\(([^)]*)\))?(?: -> (.+))?", cell.replace("\\|", "|"))
        assert entry is not None, cell
        name, params, returns = entry.groups()
        assert name not in api, name
        api[name] = ([p.strip() for p in params.split(",")] if params else [], returns)
    return api


@pytest.mark.no_leak_check("reads the documents only; the module is not called here")
def test_readme_api_table_matches_the_stubs():
    assert readme_api() == stub_api()
