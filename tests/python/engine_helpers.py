"""Shared tools for the search tests.

- `Recorder`: a callable that logs its arguments and answers per call.
- `Script`: replayable callbacks (fresh actions at every expansion, a cycle of rollout values).
- `Reference`: a plain-Python search with the engine's rules, built on `Node` for the statistics
  and the UCB score, used as the oracle for the engine's choices.
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

import veltra_engine as ve

LOWEST_FLOAT32 = -3.4028234663852886e38
WORKED_ACTIONS = [10, 20, 30]


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


def worked_tree(lib: Any, *searches: int) -> Any:
    """A fresh tree after searches with legal actions [10, 20, 30] and rollout value 1.0."""
    tree = lib.SearchTree()
    for count in searches:
        make_engine(count, lib).search(tree, lambda s: WORKED_ACTIONS, None, lambda: 1.0)
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
    """A node of the reference search: statistics and UCB score come from a free-standing `Node`
    tree built alongside, the child list and the parent link are kept here."""

    def __init__(self, stats: Any, parent: RefNode | None = None) -> None:
        self.stats = stats
        self.parent = parent
        self.children: list[RefNode] = []

    def action(self) -> int:
        return int(self.stats.action())

    def visit_count(self) -> int:
        return int(self.stats.visit_count())

    def total_value(self) -> float:
        return float(self.stats.total_value())

    def mean_value(self) -> float:
        return float(self.stats.mean_value())

    def is_expanded(self) -> bool:
        return bool(self.children)

    def add_child(self, action: int, prior_prob: float) -> RefNode:
        child = RefNode(self.stats.add_child(action, prior_prob), self)
        self.children.append(child)
        return child

    def clear_children(self) -> None:
        self.children = []


class RefTree:
    def __init__(self, root_action: int = -1) -> None:
        self._root = RefNode(ve.Node(root_action))

    def root(self) -> RefNode:
        return self._root

    def total_nodes(self) -> int:
        count, pending = 0, [self._root]
        while pending:
            count += 1
            pending.extend(pending.pop().children)
        return count

    def reroot(self, action: int) -> None:
        promoted = next((c for c in self._root.children if c.action() == action), None)
        if promoted is None:
            promoted = RefNode(ve.Node(action))
        promoted.parent = None
        self._root = promoted

    def clear(self) -> None:
        self._root = RefNode(ve.Node(-1))


class RefEngine:
    def __init__(self, config: Any) -> None:
        self.num_simulations = config.num_simulations
        self.exploration = config.exploration_constant

    def select(self, node: RefNode) -> RefNode:
        best, best_score = None, LOWEST_FLOAT32
        for child in node.children:
            score = child.stats.ucb_score(self.exploration)
            if score > best_score:
                best, best_score = child, score
        return best if best is not None else node.children[0]

    def search(self, tree: RefTree | None, legal_actions_fn: Any, transition_fn: Any,
               rollout_fn: Any) -> Any:
        result = ve.SearchResult()
        result.best_action = -1
        if tree is None:
            return result
        for _ in range(self.num_simulations):
            node = tree.root()
            while node.is_expanded():
                node = self.select(node)
            actions = list(legal_actions_fn(0.0))
            added = [node.add_child(action, 0.0) for action in actions]
            if added:
                node = added[0]
            value = rollout_fn()
            current: RefNode | None = node
            while current is not None:
                current.stats.update(value)
                value = -value
                current = current.parent
        root = tree.root()
        result.root_value = root.mean_value()
        result.num_simulations = self.num_simulations
        best_visits = -1
        for child in root.children:
            if child.visit_count() > best_visits:
                best_visits, result.best_action = child.visit_count(), child.action()
        result.actions = [child.action() for child in root.children]
        result.visit_counts = [child.visit_count() for child in root.children]
        return result


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
    paths = [str(pathlib.Path(ve.__file__).parent), str(pathlib.Path(__file__).parent)]
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
