"""The README's Python examples run as written, and print what they show: an expression followed
by a comment ``# -> VALUE`` must have that repr, which the comment may follow with ``; remark``."""

import ast
import re
from pathlib import Path

import pytest

from conftest import under_sanitizer

ROOT = Path(__file__).resolve().parent.parent
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.S)
assert BLOCKS, "the README has no Python examples"
SHOWN = re.compile(r"#\s*->\s*(.*?)\s*$")


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block-{i + 1}" for i in range(len(BLOCKS))])
def test_readme_python_block_runs_and_shows_its_values(monkeypatch, tmp_path, block):
    if "velmor.distributed" in block:  # starts a Ray of its own on this machine
        if under_sanitizer():
            pytest.skip("Ray's workers do not run under a sanitizer's runtime")
        pytest.importorskip("ray")
    # The examples read data/ relative to the repository and write into the current folder.
    (tmp_path / "data").symlink_to(ROOT / "data")
    monkeypatch.chdir(tmp_path)
    lines, namespace, checked = block.splitlines(), {}, set()
    for statement in ast.parse(block).body:
        shown = SHOWN.search(lines[statement.end_lineno - 1])
        if shown is None or not isinstance(statement, ast.Expr):
            exec(compile(ast.Module([statement], []), str(ROOT / "README.md"), "exec"), namespace)
            continue
        value = repr(eval(compile(ast.Expression(statement.value), "README.md", "eval"), namespace))
        assert shown[1] == value or shown[1].startswith(value + "; "), (shown[1], value)
        checked.add(statement.end_lineno)
    assert checked == {i + 1 for i, line in enumerate(lines) if SHOWN.search(line)}
