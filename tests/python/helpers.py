"""Shared helpers for the Python tests of veltra_engine."""

import os
import pathlib
import subprocess
import sys

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
