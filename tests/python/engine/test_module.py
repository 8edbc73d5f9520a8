"""The module as Python sees it: its classes, their members, signatures and import behaviour."""

import pathlib
import shutil
from collections.abc import Callable
from typing import Any

import pytest
import veltra_engine as ve

from helpers import MODULE_FILE, run_python

CLASS_ORDER = [
    "SearchConfig",
    "SearchResult",
    "BatchSearchResult",
    "Node",
    "SearchTree",
    "SearchEngine",
    "SelectionPolicy",
    "UCBSelection",
    "PolicyWeightedUCB",
    "ExpansionPolicy",
    "FullExpansion",
    "ProgressiveExpansion",
]

MEMBERS = {
    "SearchConfig": [
        "num_simulations",
        "exploration_constant",
        "max_rollout_depth",
        "discount_factor",
        "seed",
    ],
    "SearchResult": ["best_action", "actions", "visit_counts", "root_value", "num_simulations"],
    "BatchSearchResult": ["best_actions", "root_values", "num_simulations"],
    "Node": [
        "action",
        "visit_count",
        "total_value",
        "mean_value",
        "ucb_score",
        "is_expanded",
        "add_child",
        "clear_children",
        "update",
    ],
    "SearchTree": ["root", "total_nodes", "reroot", "clear"],
    "SearchEngine": ["search"],
    "SelectionPolicy": [],
    "UCBSelection": ["select"],
    "PolicyWeightedUCB": ["select"],
    "ExpansionPolicy": [],
    "FullExpansion": ["expand"],
    "ProgressiveExpansion": ["expand"],
}

RECORDS = ["SearchConfig", "SearchResult", "BatchSearchResult"]

SUBCLASSES = {
    ("UCBSelection", "SelectionPolicy"),
    ("PolicyWeightedUCB", "SelectionPolicy"),
    ("FullExpansion", "ExpansionPolicy"),
    ("ProgressiveExpansion", "ExpansionPolicy"),
}

# One instance of every class that Python can construct.
FACTORIES: dict[str, Callable[[], Any]] = {
    "SearchConfig": ve.SearchConfig,
    "SearchResult": ve.SearchResult,
    "BatchSearchResult": ve.BatchSearchResult,
    "Node": ve.Node,
    "SearchTree": ve.SearchTree,
    "SearchEngine": lambda: ve.SearchEngine(ve.SearchConfig()),
    "UCBSelection": ve.UCBSelection,
    "PolicyWeightedUCB": ve.PolicyWeightedUCB,
    "FullExpansion": ve.FullExpansion,
    "ProgressiveExpansion": ve.ProgressiveExpansion,
}


def public_names(namespace: Any) -> list[str]:
    return [name for name in vars(namespace) if not name.startswith("_")]


def _python_3_12() -> str | None:
    # pyenv shims run only for a selected version; the variable is ignored by real executables.
    interpreter = shutil.which("python3.12")
    if interpreter is None:
        return None
    probe = run_python("import sys; print(sys.version)", interpreter, PYENV_VERSION="3.12")
    return interpreter if probe.returncode == 0 else None


class TestRegistration:
    def test_docstring(self) -> None:
        assert ve.__doc__ == "Veltra LibTorch backend with pybind11 bindings"

    def test_exactly_the_twelve_classes_in_registration_order(self) -> None:
        assert public_names(ve) == CLASS_ORDER
        assert all(isinstance(getattr(ve, name), type) for name in CLASS_ORDER)

    @pytest.mark.parametrize("name", CLASS_ORDER)
    def test_members_in_registration_order_without_docstrings(self, name: str) -> None:
        assert public_names(getattr(ve, name)) == MEMBERS[name]
        assert getattr(ve, name).__doc__ is None

    @pytest.mark.parametrize("name", RECORDS)
    def test_record_fields_are_properties(self, name: str) -> None:
        cls = getattr(ve, name)
        for field in MEMBERS[name]:
            attribute = vars(cls)[field]
            assert isinstance(attribute, property)
            assert attribute.fset is not None

    def test_reimport_gives_the_same_module_and_classes(self) -> None:
        code = (
            "import sys, veltra_engine as first\n"
            "node = first.Node(3)\n"
            "classes = [getattr(first, n) for n in dir(first) if not n.startswith('_')]\n"
            "del sys.modules['veltra_engine']\n"
            "import veltra_engine as second\n"
            "assert second is first\n"
            "assert [getattr(second, n) for n in dir(second) if not n.startswith('_')] == classes\n"
            "assert type(node) is second.Node and isinstance(node, second.Node)\n"
            "assert second.Node(4).action() == 4\n"
            "print('ok')\n"
        )
        completed = run_python(code)
        assert completed.returncode == 0, completed.stderr
        assert completed.stdout.strip() == "ok"

    def test_import_under_another_python_is_refused(self, tmp_path: pathlib.Path) -> None:
        interpreter = _python_3_12()
        if interpreter is None:
            pytest.skip("no runnable python3.12")
        # Every CPython loads a plain ".so" extension, whatever version it was built for.
        (tmp_path / "veltra_engine.so").symlink_to(MODULE_FILE)
        code = (
            "import sys\n"
            "try:\n"
            "    import veltra_engine\n"
            "except ImportError as error:\n"
            "    print(error)\n"
            "print(sys.version)\n"
        )
        completed = run_python(code, interpreter, PYENV_VERSION="3.12", PYTHONPATH=str(tmp_path))
        message, version = completed.stdout.splitlines()
        assert version.startswith("3.12")
        assert message == (
            "Python version mismatch: module was compiled for Python 3.11, but the interpreter "
            f"version is incompatible: {version}."
        )


class TestClassHierarchy:
    @pytest.mark.parametrize("name", ["SelectionPolicy", "ExpansionPolicy"])
    def test_abstract_bases_have_no_constructor(self, name: str) -> None:
        with pytest.raises(TypeError) as raised:
            getattr(ve, name)()
        assert str(raised.value) == f"veltra_engine.{name}: No constructor defined!"

    @pytest.mark.parametrize("derived", CLASS_ORDER)
    def test_only_policies_derive_from_their_base(self, derived: str) -> None:
        for base in CLASS_ORDER:
            expected = derived == base or (derived, base) in SUBCLASSES
            assert issubclass(getattr(ve, derived), getattr(ve, base)) == expected, (derived, base)

    @pytest.mark.parametrize("name", FACTORIES)
    def test_instances_refuse_new_attributes(self, name: str) -> None:
        instance = FACTORIES[name]()
        with pytest.raises(AttributeError):
            instance.tag = 1


def _search_by_keyword() -> ve.SearchResult:
    config = ve.SearchConfig()
    config.num_simulations = 3
    return ve.SearchEngine(config).search(
        tree=ve.SearchTree(),
        legal_actions_fn=lambda state: [0, 1],
        transition_fn=lambda state, action: [],
        rollout_fn=lambda: 1.0,
    )


class TestParameterNames:
    @pytest.mark.parametrize(
        "call, expected_type",
        [
            (lambda: ve.Node(prior_prob=0.5, action=3), ve.Node),
            (lambda: ve.SearchTree(root_action=4), ve.SearchTree),
            (lambda: ve.UCBSelection(c=2.0), ve.UCBSelection),
            (lambda: ve.PolicyWeightedUCB(c=2.0), ve.PolicyWeightedUCB),
            (lambda: ve.ProgressiveExpansion(seed=7), ve.ProgressiveExpansion),
            (_search_by_keyword, ve.SearchResult),
        ],
    )
    def test_named_parameters_accept_keywords(
        self, call: Callable[[], Any], expected_type: type
    ) -> None:
        assert isinstance(call(), expected_type)

    def test_keyword_arguments_reach_the_object(self) -> None:
        assert ve.Node(prior_prob=0.5, action=3).action() == 3
        assert ve.SearchTree(root_action=4).root().action() == 4
        result = _search_by_keyword()
        assert result.num_simulations == 3
        assert sorted(result.actions) == [0, 1]

    @pytest.mark.parametrize(
        "target, method, kwargs",
        [
            (ve.Node, "update", {"value": 1.0}),
            (ve.Node, "ucb_score", {"c": 1.0}),
            (ve.Node, "add_child", {"action": 1, "prior_prob": 0.5}),
            (ve.SearchTree, "reroot", {"action": 1}),
            (ve.UCBSelection, "select", {"node": None}),
            (ve.FullExpansion, "expand", {"node": None, "actions": [1]}),
        ],
    )
    def test_positional_only_parameters_refuse_keywords(
        self, target: type, method: str, kwargs: dict[str, Any]
    ) -> None:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(target(), method)(**kwargs)

    def test_refused_keyword_leaves_node_untouched(self) -> None:
        node = ve.Node(3, 0.5)
        with pytest.raises(TypeError):
            node.update(value=1.0)  # type: ignore[call-arg]
        with pytest.raises(TypeError):
            node.add_child(action=1, prior_prob=0.5)  # type: ignore[call-arg]
        assert (node.visit_count(), node.total_value(), node.is_expanded()) == (0, 0.0, False)
        node.update(1.0)
        assert node.visit_count() == 1

    def test_engine_configuration_is_positional_only(self) -> None:
        assert isinstance(ve.SearchEngine(ve.SearchConfig()), ve.SearchEngine)
        with pytest.raises(TypeError):
            ve.SearchEngine(config=ve.SearchConfig())  # type: ignore[call-arg]

    @pytest.mark.parametrize("wrong", ["rollout", "state_fn"])
    def test_search_refuses_unknown_keywords(self, wrong: str) -> None:
        engine = ve.SearchEngine(ve.SearchConfig())
        tree = ve.SearchTree()
        with pytest.raises(TypeError):
            engine.search(tree, lambda s: [0], lambda s, a: [], **{wrong: lambda: 1.0})
        assert tree.total_nodes() == 1
