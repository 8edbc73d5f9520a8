"""Makes the freshly built modules importable (VELTRA_MODULE_DIR, else the default build folder),
and, from every test folder, the shared test helpers beside this file and the repository's
`reference` package."""

import os
import pathlib
import sys

_TESTS = pathlib.Path(__file__).resolve().parent
_REPO = _TESTS.parents[1]
for _path in (_REPO, _TESTS):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))
_MODULE_DIR = pathlib.Path(os.environ.get("VELTRA_MODULE_DIR", _REPO / "build"))
if _MODULE_DIR.is_dir():
    sys.path.insert(0, str(_MODULE_DIR))
