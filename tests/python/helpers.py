"""Shared helpers for the Python tests of veltra_engine."""

import os
import pathlib
import struct
import subprocess
import sys

import veltra_engine

MODULE_DIR = pathlib.Path(veltra_engine.__file__).resolve().parent
MODULE_FILE = pathlib.Path(veltra_engine.__file__).resolve()


def f32(value: float) -> float:
    """Rounds a Python float to the nearest 32-bit float (inf beyond its range)."""
    try:
        return float(struct.unpack("f", struct.pack("f", value))[0])
    except OverflowError:
        return float("inf") if value > 0 else float("-inf")


def run_python(
    code: str, interpreter: str = sys.executable, **env_vars: str
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter that can import the module under test."""
    env = {**os.environ, "PYTHONPATH": str(MODULE_DIR), **env_vars}
    return subprocess.run(
        [interpreter, "-c", code], env=env, capture_output=True, text=True, timeout=120, check=False
    )
