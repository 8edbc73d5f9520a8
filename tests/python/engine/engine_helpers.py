"""Shared tools for the search tests.

- `Recorder`: a callable that logs its arguments and answers per call.
- `Script`: replayable callbacks (fresh actions at every expansion, a cycle of rollout values).
- `Reference`: the reference model's tree and search (reference/engine_model.py) behind the
  module's interface, the oracle for the engine's choices.
- `snapshot`: every node of a tree, reached by replaying how the tree was grown.
- `run_isolated`: runs a function in a fresh interpreter, so that a crash fails one test only.
"""

from __future__ import annotations

import importlib
import json
import math
import pathlib
import subprocess
import sys
import textwrap
import types
from collections.abc import Callable, Sequence
from typing import Any

from reference import engine_model as ref
import veltra_engine as ve
from reference.single_precision import f32

FIXED_ACTIONS = [10, 20, 30]


def make_engine(num_simulations: int, lib: Any = ve, **fields: Any) -> Any:
    config = ve.SearchConfig()
    config.num_simulations = num_simulations
    for name, value in fields.items():
        setattr(config, name, value)
    return lib.SearchEngine(config)


def canon(value: float) -> float | str:
    """A float that compares equal to itself, NaN included."""
    return "nan" if math.isnan(value) else value


def describe(result: Any) -> dict[str, Any]:
    return {
        "best_action": result.best_action,
        "actions": result.actions,
        "visit_counts": result.visit_counts,
        "root_value": canon(result.root_value),
        "num_simulations": result.num_simulations,
    }


class Recorder:
    """Logs the arguments of every call and returns `answer(call_index)`."""

    def __init__(self, answer: Callable[[int], Any]) -> None:
        self.answer = answer
        self.calls: list[tuple[Any, ...]] = []

    def __call__(self, *args: Any) -> Any:
        self.calls.append(args)
        return self.answer(len(self.calls) - 1)


def constant(value: Any) -> Recorder:
    return Recorder(lambda _: value)


def assert_zero_states(legal: Recorder) -> None:
    """Every state handed to the legal-actions callable is the Python float +0.0."""
    for (state,) in legal.calls:
        assert type(state) is float
        assert state == 0.0 and math.copysign(1.0, state) == 1.0


class Script:
    """Replayable callbacks. Legal-actions call i returns widths[i % len(widths)] actions that no
    other call returns, so every node is reachable by its path of actions; rollout call i returns
    values[i % len(values)]."""

    def __init__(self, widths: Sequence[int], values: Sequence[float]) -> None:
        self.widths = widths
        self.values = values
        self.legal_calls = 0
        self.rollout_calls = 0

    def legal_actions(self, state: float) -> list[int]:
        call = self.legal_calls
        self.legal_calls += 1
        return [100 * (call + 1) + j for j in range(self.widths[call % len(self.widths)])]

    def rollout(self) -> float:
        value = self.values[self.rollout_calls % len(self.values)]
        self.rollout_calls += 1
        return value


def scripted_tree(
    lib: Any, widths: Sequence[int], values: Sequence[float], searches: Sequence[int], **fields: Any
) -> Any:
    """A fresh tree after one search per entry of `searches` (its simulation count)."""
    tree = lib.SearchTree()
    script = Script(widths, values)
    for count in searches:
        make_engine(count, lib, **fields).search(tree, script.legal_actions, None, script.rollout)
    return tree


def fixed_callback_tree(lib: Any, *searches: int) -> Any:
    """A fresh tree after searches with legal actions [10, 20, 30] and rollout value 1.0."""
    tree = lib.SearchTree()
    for count in searches:
        make_engine(count, lib).search(tree, lambda s: FIXED_ACTIONS, None, lambda: 1.0)
    return tree


def snapshot(lib: Any, grow: Callable[[Any], Any]) -> dict[str, list[Any]]:
    """Maps each node's path of actions ("" for the root, "10/20" below) to
    [visit_count, total_value, child actions, child visit counts]. Python cannot list a node's
    children, so each node is reached by growing the tree again and rerooting along its path;
    `grow(lib)` must build the same tree every time, with distinct actions among siblings."""
    reader = make_engine(0, lib)
    nodes: dict[str, list[Any]] = {}
    pending: list[tuple[int, ...]] = [()]
    while pending:
        path = pending.pop()
        tree = grow(lib)
        for action in path:
            tree.reroot(action)
        children = reader.search(tree, None, None, None)
        assert len(set(children.actions)) == len(children.actions), f"ambiguous path {path}"
        root = tree.root()
        nodes["/".join(map(str, path))] = [
            root.visit_count(),
            canon(root.total_value()),
            children.actions,
            children.visit_counts,
        ]
        pending.extend(path + (action,) for action in children.actions)
    return nodes


def leaf_entry(visits: int = 0, total: float = 0.0) -> list[Any]:
    return [visits, total, [], []]


class RefNode:
    """The module's Node interface over a node of the reference model."""

    def __init__(self, model: ref.ModelNode) -> None:
        self.model = model

    def action(self) -> int:
        return self.model.action

    def visit_count(self) -> int:
        return self.model.visits

    def total_value(self) -> float:
        return self.model.total

    def mean_value(self) -> float:
        return self.model.mean()

    def is_expanded(self) -> bool:
        return bool(self.model.children)

    def add_child(self, action: int, prior_prob: float) -> RefNode:
        return RefNode(self.model.add_child(action, f32(prior_prob)))

    def clear_children(self) -> None:
        self.model.children.clear()

    def update(self, value: float) -> None:
        self.model.update(value)


class RefTree:
    """The module's SearchTree interface over the reference model's tree."""

    def __init__(self, root_action: int = -1) -> None:
        self.model = ref.ModelTree(root_action)

    def root(self) -> RefNode:
        return RefNode(self.model.root)

    def total_nodes(self) -> int:
        return self.model.total_nodes()

    def reroot(self, action: int) -> None:
        self.model.reroot(action)

    def clear(self) -> None:
        self.model.clear()


class RefEngine:
    """The module's SearchEngine interface over the reference model's search."""

    def __init__(self, config: Any) -> None:
        self.engine = ref.ModelEngine(config.num_simulations, config.exploration_constant)

    def search(self, tree: RefTree | None, legal_actions_fn: Any, transition_fn: Any,
               rollout_fn: Any) -> ref.ModelResult:
        return self.engine.search(tree.model if tree else None, legal_actions_fn, rollout_fn)


Reference = types.SimpleNamespace(SearchTree=RefTree, SearchEngine=RefEngine)
LIBRARIES = {"engine": ve, "reference": Reference}


def observe(lib_name: str, scenario_ref: str, params: dict[str, Any]) -> dict[str, Any]:
    """Runs a scenario `module:function` taking (lib, **params) and returning
    (tree, result, log), and reports its result, its log and a snapshot of its final tree."""
    module_name, function_name = scenario_ref.split(":")
    scenario = getattr(importlib.import_module(module_name), function_name)
    lib = LIBRARIES[lib_name]
    _, result, log = scenario(lib, **params)
    return {
        "result": describe(result),
        "log": log,
        "tree": snapshot(lib, lambda replay_lib: scenario(replay_lib, **params)[0]),
    }


def run_isolated(function: Callable[..., Any], *args: Any, timeout: float = 300) -> Any:
    """Calls `function(*args)` in a fresh interpreter and returns its JSON-encoded result. A crash
    or a hang fails the calling test with the child's error output."""
    paths = [str(pathlib.Path(ve.__file__).parent), str(pathlib.Path(__file__).parent),
             str(pathlib.Path(__file__).parents[1]), str(pathlib.Path(__file__).parents[3])]
    code = textwrap.dedent(f"""
        import json, sys
        sys.path[:0] = {paths!r}
        from {function.__module__} import {function.__name__} as function
        print(json.dumps(function(*json.loads(sys.argv[1]))))
    """)
    try:
        proc = subprocess.run(
            [sys.executable, "-c", code, json.dumps(args)],
            capture_output=True, text=True, timeout=timeout, check=False,
        )
    except subprocess.TimeoutExpired as hang:
        raise AssertionError(f"{function.__name__}{args} did not finish") from hang
    assert proc.returncode == 0, (
        f"{function.__name__}{args} exited with {proc.returncode}:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])
