"""The README's Python examples run as written, each in a fresh interpreter."""

import pathlib
import re

import pytest

from helpers import run_python

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.M | re.S)


def test_both_modules_have_an_example() -> None:
    imported = {name for block in BLOCKS for name in re.findall(r"^import (veltra_\w+)", block,
                                                                flags=re.M)}
    assert imported == {"veltra_engine", "veltra_search"}


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs_as_written(block: str) -> None:
    result = run_python(block)
    assert result.returncode == 0, result.stderr
    assert not result.stderr
    assert result.stdout
