"""Packaging: a wheel built from the source tree installs into a fresh virtual environment and
works there, with its type stub.

Slow: it builds the module through pip and scikit-build-core (the build folder is kept in the
module's build folder, so later runs rebuild incrementally) and creates a virtual environment.
The build uses the running environment's scikit-build-core, pybind11 and torch (no build isolation,
which would download a second torch); the new environment sees that torch through a .pth file, so
the installed module must find a torch outside its own folder and never a build-time path.
"""

import importlib.util
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

pytestmark = pytest.mark.tooling

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("VELTRA_MODULE_DIR", REPO / "build"))
STUBS = {
    "veltra_engine-stubs/__init__.pyi": REPO / "stubs" / "veltra_engine.pyi",
    "veltra_search-stubs/__init__.pyi": REPO / "stubs" / "veltra_search.pyi",
}
# PEP 561 stub-only packages: type checkers do not read a lone .pyi beside a compiled module in
# site-packages, but do read <module>-stubs/__init__.pyi.
BINDINGS_IN_WHEEL = "veltra_engine.libs/libveltra_engine_bindings.so"

# Run inside the virtual environment, from outside the source tree.
SMOKE_TEST = """
import pathlib, sys, sysconfig
import veltra_engine
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert pathlib.Path(veltra_engine.__file__).resolve().parent == site, veltra_engine.__file__
assert sys.prefix != sys.base_prefix
config = veltra_engine.SearchConfig()
config.num_simulations = 4
result = veltra_engine.SearchEngine(config).search(
    veltra_engine.SearchTree(), lambda state: [10, 20, 30], None, lambda: 1.0)
print(result.best_action, result.visit_counts, result.root_value)
import numpy as np, veltra_search
assert pathlib.Path(veltra_search.__file__).resolve().parent == site, veltra_search.__file__
forest = veltra_search.Forest(veltra_search.SearchConfig(2, num_simulations=3, dirichlet_fraction=0.0),
                              ["root"], np.zeros((1, 2)), np.zeros(1))
def recurrent_fn(states, actions):
    b = len(states)
    return [s + str(a) for s, a in zip(states, actions)], np.zeros(b), -np.ones(b), np.zeros((b, 2)), np.zeros(b), None
print(forest.search(recurrent_fn).visit_counts.tolist())
"""

TYPED_USE = """
import veltra_engine

def best(simulations: int) -> int:
    config = veltra_engine.SearchConfig()
    config.num_simulations = simulations
    tree = veltra_engine.SearchTree()
    result = veltra_engine.SearchEngine(config).search(tree, lambda s: [1, 2], None, lambda: 1.0)
    child = veltra_engine.UCBSelection().select(tree.root())
    return result.best_action if child is None else child.action()
"""


def run(*command: str | pathlib.Path, cwd: pathlib.Path) -> str:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VELTRA_MODULE_DIR")}
    result = subprocess.run(
        [str(part) for part in command], cwd=cwd, env=env, capture_output=True, text=True,
        timeout=1800, check=False,
    )
    assert result.returncode == 0, f"{command}:\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    wheel_dir = tmp_path_factory.mktemp("wheel")
    build_dir = BUILD_DIR.resolve() / "wheel-build"
    run(sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation",
        "--wheel-dir", wheel_dir, f"--config-settings=build-dir={build_dir}", cwd=REPO)
    (wheel,) = wheel_dir.glob("veltra_engine-*.whl")
    return wheel


@pytest.fixture(scope="module")
def venv_python(wheel: pathlib.Path, tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", venv, cwd=venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", wheel, cwd=venv)
    site = run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])", cwd=venv)
    torch_site = pathlib.Path(importlib.util.find_spec("torch").origin).parents[1]  # type: ignore
    (pathlib.Path(site.strip()) / "outer_torch.pth").write_text(f"{torch_site}\n")
    return python


class TestWheel:
    def test_wheel_holds_the_module_and_its_stub(self, wheel: pathlib.Path) -> None:
        with zipfile.ZipFile(wheel) as archive:
            names = archive.namelist()
            for module in ("veltra_engine", "veltra_search"):
                assert [n for n in names if n.startswith(module + ".") and n.endswith(".so")]
            assert BINDINGS_IN_WHEEL in names, names
            assert "_veltra_search_draw.py" in names, names  # draw_tree's Python side
            # No run path into the build's torch: the module finds torch where it runs.
            torch_lib = pathlib.Path(importlib.util.find_spec("torch").origin).parent / "lib"  # type: ignore
            assert str(torch_lib).encode() not in archive.read(BINDINGS_IN_WHEEL)
            for stub_in_wheel, stub in STUBS.items():
                assert archive.read(stub_in_wheel) == stub.read_bytes()

    def test_installed_wheel_runs_a_search_outside_the_source_tree(
        self, venv_python: pathlib.Path, tmp_path: pathlib.Path
    ) -> None:
        output = run(venv_python, "-I", "-c", SMOKE_TEST, cwd=tmp_path)
        assert output.split() == ["10", "[2,", "1,", "1]", "0.5", "[[2,", "1]]"]

    @pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
    def test_type_checkers_find_the_installed_stub(
        self, venv_python: pathlib.Path, tmp_path: pathlib.Path
    ) -> None:
        (tmp_path / "use.py").write_text(TYPED_USE)
        run(sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--python-executable", venv_python, "use.py", cwd=tmp_path)
