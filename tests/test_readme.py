"""The README's Python examples run as written."""

import re
from pathlib import Path

import pytest

from conftest import under_sanitizer

ROOT = Path(__file__).resolve().parent.parent
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.S)
assert BLOCKS, "the README has no Python examples"


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block-{i + 1}" for i in range(len(BLOCKS))])
def test_readme_python_block_runs(monkeypatch, tmp_path, block):
    if "velmor.distributed" in block:  # starts a Ray of its own on this machine
        if under_sanitizer():
            pytest.skip("Ray's workers do not run under a sanitizer's runtime")
        pytest.importorskip("ray")
    # The examples read data/ relative to the repository and write into the current folder.
    (tmp_path / "data").symlink_to(ROOT / "data")
    monkeypatch.chdir(tmp_path)
    exec(compile(block, str(ROOT / "README.md"), "exec"), {})
