"""What help(veltra_search) shows: every class, method and property has a docstring, and the
signature pybind11 writes for each member is the stub's (parameter names, kinds, defaults and
annotations, the stub's type aliases expanded)."""

import ast
import copy
import pathlib
import re

import pytest

import veltra_search as vs

pytestmark = pytest.mark.tooling

STUB = pathlib.Path(__file__).resolve().parents[3] / "stubs" / "veltra_search.pyi"
STUB_TREE = ast.parse(STUB.read_text())
ALIASES = {
    node.target.id: node.value
    for node in STUB_TREE.body
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
}
CLASSES = [node for node in STUB_TREE.body
           if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]
FUNCTIONS = {node.name: node for node in STUB_TREE.body if isinstance(node, ast.FunctionDef)}


class _ExpandAliases(ast.NodeTransformer):
    def visit_Name(self, node: ast.Name) -> ast.AST:
        if node.id in ALIASES:
            return self.visit(copy.deepcopy(ALIASES[node.id]))
        return node


def normal(node: ast.expr | None) -> str:
    """An annotation with the stub's aliases expanded, written one way."""
    assert node is not None, "every parameter and result is annotated"
    expanded = _ExpandAliases().visit(copy.deepcopy(node))
    return ast.unparse(expanded).replace("veltra_search.", "")


def described(function: ast.FunctionDef, method: bool = True) -> list[tuple[str, str, str, object]]:
    """(name, kind, annotation, default) of each parameter (after self for a method), and the
    result."""
    arguments = function.args
    positional = arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    rows = [(p.arg, "positional", normal(p.annotation), d)
            for p, d in list(zip(positional, defaults))[int(method):]]
    rows += [(p.arg, "keyword", normal(p.annotation), d)
             for p, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    rows = [(n, k, a, None if d is None else ast.literal_eval(d)) for n, k, a, d in rows]
    return rows + [("->", "result", normal(function.returns), None)]


def runtime_signatures(name: str, member: object) -> list[ast.FunctionDef]:
    """The signatures pybind11 wrote at the top of a member's docstring (one per overload)."""
    lines = (member.__doc__ or "").splitlines()  # type: ignore[attr-defined]
    pattern = re.compile(rf"^(?:\d+\. )?{name}(\(.*\) -> .+)$")
    return [ast.parse(f"def f{m[1]}: ...").body[0]  # type: ignore[misc]
            for line in lines if (m := pattern.match(line))]


def stub_members() -> dict[str, list[ast.FunctionDef]]:
    members: dict[str, list[ast.FunctionDef]] = {}
    for cls in CLASSES:
        for item in cls.body:
            if isinstance(item, ast.FunctionDef):
                members.setdefault(f"{cls.name}.{item.name}", []).append(item)
    return members


STUB_MEMBERS = stub_members()
METHODS = sorted(key for key, items in STUB_MEMBERS.items()
                 if not any(isinstance(d, ast.Name) and d.id == "property"
                            for d in items[0].decorator_list))
PROPERTIES = sorted(set(STUB_MEMBERS) - set(METHODS))


class TestSignatures:
    @pytest.mark.parametrize("key", [k for k in METHODS if k.split(".")[1] not in
                                     ("__eq__", "__hash__", "__len__")])
    def test_method_matches_the_stub(self, key: str) -> None:
        class_name, name = key.split(".")
        runtime = runtime_signatures(name, getattr(getattr(vs, class_name), name))
        assert [described(f) for f in runtime] == [described(f) for f in STUB_MEMBERS[key]]

    @pytest.mark.parametrize("key", PROPERTIES)
    def test_property_result_matches_the_stub(self, key: str) -> None:
        class_name, name = key.split(".")
        fget = getattr(vs, class_name).__dict__[name].fget
        (signature,) = runtime_signatures("", fget)
        assert normal(signature.returns) == normal(STUB_MEMBERS[key][0].returns)

    @pytest.mark.parametrize("name", sorted(FUNCTIONS))
    def test_function_matches_the_stub(self, name: str) -> None:
        runtime = runtime_signatures(name, getattr(vs, name))
        assert [described(f, method=False) for f in runtime] == [
            described(FUNCTIONS[name], method=False)]
        assert len(getattr(vs, name).__doc__.splitlines()) > 2  # a description after the signature

    def test_every_public_function_is_in_the_stub(self) -> None:
        public = {name for name, value in vars(vs).items()
                  if not name.startswith("_") and callable(value) and not isinstance(value, type)}
        assert public == set(FUNCTIONS)

    def test_every_public_member_is_in_the_stub(self) -> None:
        public = {f"{cls.name}.{name}" for cls in CLASSES for name in vars(getattr(vs, cls.name))
                  if not name.startswith("_")}
        assert public == {key for key in STUB_MEMBERS if not key.split(".")[1].startswith("_")}


class TestDocstrings:
    @pytest.mark.parametrize("cls", [c.name for c in CLASSES])
    def test_class_says_what_it_is(self, cls: str) -> None:
        assert len(getattr(vs, cls).__doc__ or "") > 20

    @pytest.mark.parametrize("key", METHODS)
    def test_method_explains_itself_after_its_signature(self, key: str) -> None:
        class_name, name = key.split(".")
        doc = getattr(getattr(vs, class_name), name).__doc__ or ""
        prose = [line for line in doc.splitlines()
                 if line.strip() and not re.match(rf"^(\d+\. )?{name}\(", line)
                 and line != "Overloaded function."]
        assert prose, doc

    @pytest.mark.parametrize("key", PROPERTIES)
    def test_property_explains_itself(self, key: str) -> None:
        class_name, name = key.split(".")
        assert len(getattr(vs, class_name).__dict__[name].__doc__ or "") > 10
