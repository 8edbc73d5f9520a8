"""Checkpoints: plain data (tensors, numbers, strings, lists and dicts) in torch's format, written
atomically and read with `weights_only=True`, so that a checkpoint can never run code."""

from __future__ import annotations

import os
import pathlib
import pickle
import tempfile
import zipfile
from typing import Any

import torch

FORMAT = "veltra_train checkpoint"
VERSION = 1
KEYS = ("format", "version", "config", "model", "optimizer", "counters")


class CheckpointError(ValueError):
    """A file that is not a usable checkpoint: missing, corrupted, unsafe or of another run."""


def save_checkpoint(path: str | os.PathLike[str], config: dict[str, Any], model: dict[str, torch.Tensor],
                    optimizer: dict[str, Any], counters: dict[str, Any]) -> None:
    """Writes beside `path`, flushes to disk, then renames over it: a crash leaves the old file."""
    path = pathlib.Path(path)
    data = {"format": FORMAT, "version": VERSION, "config": config, "model": model,
            "optimizer": optimizer, "counters": counters}
    handle, temporary = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as an ordinary file, not mkstemp's owner-only mode
        with os.fdopen(handle, "wb") as file:
            torch.save(data, file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def load_checkpoint(path: str | os.PathLike[str]) -> dict[str, Any]:
    path = pathlib.Path(path)
    if not path.is_file():
        raise CheckpointError(f"checkpoint {path} does not exist")
    try:
        data = torch.load(path, map_location="cpu", weights_only=True)
    except pickle.UnpicklingError as error:
        unsafe = [line.strip() for line in str(error).splitlines() if "Unsupported global" in line]
        if unsafe:
            raise CheckpointError(f"checkpoint {path} holds something other than data (refused, "
                                  f"nothing in it was run): {unsafe[0].split('. ')[0]}") from error
        raise CheckpointError(f"checkpoint {path} is corrupted or not a checkpoint") from error
    except (RuntimeError, EOFError, OSError, zipfile.BadZipFile, ValueError) as error:
        raise CheckpointError(f"checkpoint {path} is corrupted or not a checkpoint: {error}") from error
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise CheckpointError(f"{path} is not a {FORMAT}")
    if data.get("version") != VERSION or any(key not in data for key in KEYS):
        raise CheckpointError(f"checkpoint {path} has version {data.get('version')!r} or lacks fields; "
                              f"expected version {VERSION} with {', '.join(KEYS)}")
    return data
