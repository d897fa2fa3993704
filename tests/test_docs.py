"""The code examples of the README and the user's guide, run as a reader would run them.

Every ```python block is a complete program; the ```text block right after it is what the
program prints (stdout and stderr together, as on a terminal). Each example runs in a new
interpreter from an empty folder, so the documents cannot drift from the module.
"""
import os
import re
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
        blocks.append((i + 1, opening.group(1), "".join(line + "\n" for line in lines[i + 1:end]), end + 1))
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
            if next_info == "text" and all(not line.strip() for line in lines[end:next_start - 1]):
                output = next_body
        found.append(Example(document, start, body, output))
    return found


EXAMPLES = [example for document in DOCUMENTS for example in examples_in(document)]


def run_example(code: str, folder: Path) -> subprocess.CompletedProcess[str]:
    script = folder / "example.py"
    script.write_text(code, encoding="utf-8")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p),
           "PYTHONUNBUFFERED": "1", "PYTHONIOENCODING": "utf-8"}
    return subprocess.run([sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, encoding="utf-8", env=env, cwd=folder, timeout=120)


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
    assert "feed_and_route" in first.code and "register_rpc" in first.code
