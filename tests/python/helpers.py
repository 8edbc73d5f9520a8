"""Shared helpers for the Python tests of veltra_engine."""

import os
import pathlib
import subprocess
import sys
import tempfile

import veltra_engine

MODULE_DIR = pathlib.Path(veltra_engine.__file__).resolve().parent
MODULE_FILE = pathlib.Path(veltra_engine.__file__).resolve()


def run_python(
    code: str, interpreter: str = sys.executable, **env_vars: str
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter that can import the module under test."""
    env = {**os.environ, "PYTHONPATH": str(MODULE_DIR), **env_vars}
    return subprocess.run(
        [interpreter, "-c", code], env=env, capture_output=True, text=True, timeout=120, check=False
    )


EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name: str, *args: str) -> str:
    """Runs an example as a user would, from outside the repository; returns its output."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        cwd=tempfile.gettempdir(),
        env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)),
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert result.returncode == 0, result.stderr
    assert not result.stderr
    return result.stdout
