"""The stub stubs/veltra_engine.pyi against the compiled module, and the examples against the stub.

stubtest checks that every class and member exists on both sides, but pybind11 functions carry
no inspectable signature, so the signatures are compared here with the ones pybind11 writes into
each docstring: parameter names and order, positional-only parameters (pybind11's argN),
defaults and annotations.
"""

import ast
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import veltra_engine
from helpers import MODULE_DIR

pytestmark = pytest.mark.tooling

REPO = pathlib.Path(__file__).resolve().parents[2]
STUB = REPO / "stubs" / "veltra_engine.pyi"
MYPY_CONFIG = REPO / "mypy.ini"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)

# pybind11 accepts None for a shared-holder object parameter and for a callable.
NONE_ACCEPTING = re.compile(r"^(Node|SearchTree|collections\.abc\.Callable\[.*\])$")
# Members whose native result may be an empty handle, which Python receives as None.
MAY_RETURN_NONE = {"select", "expand"}


def run_python(*args: str) -> subprocess.CompletedProcess[str]:
    """Runs the interpreter from the repository root with the built module importable."""
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    return subprocess.run(
        [sys.executable, *args], cwd=REPO, env=env, capture_output=True, text=True, timeout=600,
        check=False,
    )


def run_mypy(*paths: str, cache_dir: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return run_python(
        "-m", "mypy", "--strict", "--config-file", str(MYPY_CONFIG), "--cache-dir", str(cache_dir),
        *paths,
    )


def parse_function(source: str) -> ast.FunctionDef:
    node = ast.parse(source).body[0]
    assert isinstance(node, ast.FunctionDef)
    return node


def runtime_functions() -> dict[str, ast.FunctionDef]:
    """Every member with a pybind11 signature, as `Class.member` (`Class.member.setter`)."""
    functions = {}
    for class_name, cls in vars(veltra_engine).items():
        if not isinstance(cls, type):
            continue
        for name, member in vars(cls).items():
            if isinstance(member, property):
                accessors = {name: member.fget, f"{name}.setter": member.fset}
            elif callable(member) and (name == "__init__" or not name.startswith("_")):
                accessors = {name: member}
            else:
                continue
            for key, accessor in accessors.items():
                # pybind11 writes "name(self: ..., ...) -> ..." ("(self: ...) -> ..." for
                # property accessors) as the first docstring line.
                signature = ((accessor.__doc__ or "").strip().splitlines() or [""])[0]
                if re.fullmatch(rf"({name})?\(.*\) -> .+", signature):
                    text = signature if signature.startswith(name) else name + signature
                    functions[f"{class_name}.{key}"] = parse_function(f"def {text}: ...")
    return functions


def stub_functions() -> dict[str, ast.FunctionDef]:
    functions = {}
    for cls in ast.parse(STUB.read_text()).body:
        if not isinstance(cls, ast.ClassDef) or cls.name.startswith("_"):
            continue
        for item in cls.body:
            if isinstance(item, ast.FunctionDef):
                setter = any(
                    isinstance(d, ast.Attribute) and d.attr == "setter" for d in item.decorator_list
                )
                functions[f"{cls.name}.{item.name}{'.setter' if setter else ''}"] = item
    return functions


RUNTIME = runtime_functions()
STUBBED = stub_functions()


def annotation(node: ast.expr | None) -> str:
    assert node is not None, "every parameter and result is annotated"
    return ast.unparse(node).replace("veltra_engine.", "")


def described_parameters(function: ast.FunctionDef) -> list[tuple[str, bool, str, object]]:
    """(name, positional-only, annotation, default) of each parameter after self."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    assert not arguments.kwonlyargs and arguments.vararg is None and arguments.kwarg is None
    return [
        (
            parameter.arg,
            index < len(arguments.posonlyargs),
            annotation(parameter.annotation),
            None if default is None else ast.literal_eval(default),
        )
        for index, (parameter, default) in enumerate(zip(positional, defaults))
        if index > 0
    ]


class TestStubSignatures:
    def test_every_bound_member_is_in_the_stub_and_back(self) -> None:
        assert sorted(RUNTIME) == sorted(STUBBED)

    @pytest.mark.parametrize("key", sorted(RUNTIME))
    def test_parameters_match(self, key: str) -> None:
        runtime = described_parameters(RUNTIME[key])
        stub = described_parameters(STUBBED[key])
        assert len(stub) == len(runtime)
        if not key.endswith(".setter"):  # a setter's value is never passed by name
            assert [p[0] for p in stub] == [p[0] for p in runtime], "names and order"
        for (name, positional_only, stub_type, default), expected in zip(stub, runtime):
            runtime_name, _, runtime_type, runtime_default = expected
            # pybind11 names a parameter argN exactly when it has no keyword name.
            assert positional_only == bool(re.fullmatch(r"arg\d+", runtime_name)), name
            assert (default, type(default)) == (runtime_default, type(runtime_default)), name
            if NONE_ACCEPTING.match(runtime_type):
                runtime_type += " | None"
            assert stub_type == runtime_type, name

    @pytest.mark.parametrize("key", sorted(RUNTIME))
    def test_result_matches(self, key: str) -> None:
        runtime_type = annotation(RUNTIME[key].returns)
        member = key.split(".")[1]
        expected = f"{runtime_type} | None" if member in MAY_RETURN_NONE else runtime_type
        assert annotation(STUBBED[key].returns) == expected


# Each line is a misuse that the module rejects at run time or that can fail at run time;
# the stub must make mypy reject it with the given error code.
MISUSES = {
    "update_by_keyword": ("veltra_engine.Node().update(value=1.0)", "call-arg"),
    "engine_config_by_keyword": (
        "veltra_engine.SearchEngine(config=veltra_engine.SearchConfig())", "call-arg"),
    "reroot_by_keyword": ("veltra_engine.SearchTree().reroot(arg0=1)", "call-arg"),
    "select_result_may_be_none": (
        "veltra_engine.UCBSelection().select(veltra_engine.Node()).action()", "union-attr"),
    "expand_result_may_be_none": (
        "veltra_engine.FullExpansion().expand(veltra_engine.Node(), [1]).action()",
        "union-attr"),
    "str_actions": ("veltra_engine.SearchResult().actions = 'ab'", "assignment"),
    "str_root_values": ("veltra_engine.BatchSearchResult().root_values = ['a']", "list-item"),
    "record_not_a_tree": (
        "veltra_engine.SearchEngine(veltra_engine.SearchConfig()).search("
        "veltra_engine.SearchResult(), None, None, None)", "arg-type"),
    "base_has_no_select": ("veltra_engine.SelectionPolicy.select", "attr-defined"),
    "root_values_are_floats": ("x: list[int] = veltra_engine.BatchSearchResult().root_values",
                               "assignment"),
}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory: pytest.TempPathFactory) -> dict[int, str]:
    directory = tmp_path_factory.mktemp("misuse")
    lines = ["import veltra_engine"] + [code for code, _ in MISUSES.values()]
    (directory / "misuse.py").write_text("\n".join(lines) + "\n")
    result = run_mypy(str(directory / "misuse.py"), cache_dir=directory / "cache")
    errors: dict[int, str] = {}
    for match in re.finditer(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]", result.stdout):
        errors.setdefault(int(match[1]), match[2])
    return errors


@needs_mypy
class TestMypy:
    def test_stubtest_finds_no_difference(self, tmp_path: pathlib.Path) -> None:
        # The allowlist is shared with veltra_search; this module's entries are checked alone, so
        # that an unused one is an error too and the list cannot go stale.
        shared = (REPO / "stubs" / "stubtest_allowlist.txt").read_text().splitlines()
        allowlist = tmp_path / "allowlist.txt"
        allowlist.write_text("\n".join(line for line in shared if line.startswith("veltra_engine")))
        result = run_python(
            "-m", "mypy.stubtest", "veltra_engine", "--allowlist", str(allowlist),
            "--mypy-config-file", str(MYPY_CONFIG),
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_examples_pass_strict_checking(self, tmp_path: pathlib.Path) -> None:
        examples = sorted(str(path) for path in (REPO / "examples").glob("*.py"))
        assert examples
        result = run_mypy(*examples, cache_dir=tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr

    @pytest.mark.parametrize("case", sorted(MISUSES))
    def test_misuse_is_rejected(self, case: str, mypy_errors: dict[int, str]) -> None:
        line = 2 + list(MISUSES).index(case)
        assert mypy_errors.get(line) == MISUSES[case][1], MISUSES[case][0]
