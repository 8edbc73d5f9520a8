"""The module shares one LibTorch with PyTorch: both import orders work, a search can call a
torch model, and a missing or mismatched torch is a clear ImportError. Every case runs in a fresh
interpreter, so a crash fails its test instead of the run."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from helpers import MODULE_DIR, run_python

torch = pytest.importorskip("torch")

BUILT_MINOR = re.match(r"\d+\.\d+", torch.__version__).group(0)  # type: ignore[union-attr]

# A search whose rollout is a small torch model, and the same search with the model's output as a
# plain constant: the visit counts must be identical.
MODEL_SEARCH = """
{imports}
import veltra_engine as ve
torch.manual_seed(0)
model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Tanh(), torch.nn.Linear(8, 1))
position = torch.ones(1, 4)
calls = []
def rollout():
    with torch.no_grad():
        value = float(model(position + len(calls) % 3))
    calls.append(value)
    return value
config = ve.SearchConfig()
config.num_simulations = 60
legal = lambda state: [0, 1, 2]
with_model = ve.SearchEngine(config).search(ve.SearchTree(), legal, None, rollout)
replay = iter(calls)
with_values = ve.SearchEngine(config).search(ve.SearchTree(), legal, None, lambda: next(replay))
assert len(calls) == 60
assert with_model.visit_counts == with_values.visit_counts, (with_model.visit_counts,
                                                             with_values.visit_counts)
assert with_model.root_value == with_values.root_value
print("ok", sum(with_model.visit_counts))
"""


class TestImportOrder:
    @pytest.mark.parametrize(
        "imports",
        ["import torch", "import veltra_engine\nimport torch"],
        ids=["torch-first", "module-first"],
    )
    def test_search_with_a_torch_model(self, imports: str) -> None:
        completed = run_python(MODEL_SEARCH.format(imports=imports))
        assert completed.returncode == 0, completed.stderr
        assert completed.stdout.split() == ["ok", "60"]

    def test_one_copy_of_libtorch_is_loaded(self) -> None:
        code = (
            "import veltra_engine, torch\n"
            "maps = open('/proc/self/maps').read().split()\n"
            "print(sorted({p for p in maps if p.endswith(('libc10.so', 'libtorch_cpu.so'))}))\n"
        )
        completed = run_python(code)
        assert completed.returncode == 0, completed.stderr
        torch_lib = pathlib.Path(torch.__file__).resolve().parent / "lib"
        assert completed.stdout.strip() == str(
            sorted(str(torch_lib / name) for name in ("libc10.so", "libtorch_cpu.so"))
        )


class TestWrongTorch:
    def test_missing_torch_is_an_import_error(self) -> None:
        # -S leaves site-packages, and so torch, off the path.
        completed = subprocess.run(
            [sys.executable, "-S", "-c", "import veltra_engine"],
            env={**os.environ, "PYTHONPATH": str(MODULE_DIR)},
            capture_output=True, text=True, timeout=120, check=False,
        )
        assert completed.returncode != 0
        assert "ImportError: veltra_engine needs torch " + BUILT_MINOR in completed.stderr
        assert "torch is not installed" in completed.stderr

    def test_other_torch_version_is_an_import_error(self, tmp_path: pathlib.Path) -> None:
        fake = tmp_path / "torch"
        fake.mkdir()
        (fake / "__init__.py").write_text("")
        (fake / "version.py").write_text("__version__ = '1.13.1+cpu'\n")
        completed = run_python(
            f"import sys; sys.path.insert(0, {str(tmp_path)!r})\nimport veltra_engine"
        )
        assert completed.returncode != 0
        assert "ImportError: veltra_engine needs torch " + BUILT_MINOR in completed.stderr
        assert f"torch 1.13.1+cpu is installed at {fake}" in completed.stderr
        assert f"pip install 'torch=={BUILT_MINOR}.*'" in completed.stderr
