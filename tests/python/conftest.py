"""Makes the freshly built module importable: VELTRA_MODULE_DIR, else the default build folder."""

import os
import pathlib
import sys

_REPO = pathlib.Path(__file__).resolve().parents[2]
_MODULE_DIR = pathlib.Path(os.environ.get("VELTRA_MODULE_DIR", _REPO / "build"))
if _MODULE_DIR.is_dir():
    sys.path.insert(0, str(_MODULE_DIR))
