"""Model-based tests: random sequences of operations run on veltra_engine and on the pure-Python
reference model in reference/engine_model.py, comparing everything Python can observe after every
step.

The operations cover free nodes, trees, both selection rules, both expansion rules and searches
whose callbacks follow a drawn script: actions lists (empty, duplicated, out of range), rollout
values (NaN and infinities included), callbacks that raise or return what does not convert, and
callbacks that re-enter the module to reroot, clear or search the tree being searched, update or
clear nodes, or drop Python's last reference to a node.

Hypothesis settings come from the profile named by VELTRA_HYPOTHESIS_PROFILE: "ci" (default, a
bounded run) or "long" (many more and longer sequences).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from reference import engine_model as ref
import pytest
import veltra_engine as ve
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from model_steps import (
    ACTION_LISTS,
    ACTIONS,
    LEGAL_ENTRIES,
    PICK,
    PLAIN_LEGAL_ENTRIES,
    PLAIN_ROLLOUT_ENTRIES,
    PRIORS,
    ROLLOUT_ENTRIES,
    SEEDS,
    SMALL_ACTIONS,
    VALUES,
    WEIGHTS,
    CallEntry,
    Script,
    ScriptedError,
    ScriptRun,
    assert_same_failure,
    assert_same_node,
    rarely,
    result_key,
    run_failure,
)
from reference.single_precision import f32

settings.register_profile(
    "veltra-model-ci",
    max_examples=300,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "veltra-model-long",
    max_examples=5000,
    stateful_step_count=150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
PROFILE = os.environ.get("VELTRA_HYPOTHESIS_PROFILE", "ci")
if PROFILE not in ("ci", "long"):
    raise ValueError(f"VELTRA_HYPOTHESIS_PROFILE must be 'ci' or 'long', not {PROFILE!r}")

MAX_HELD_NODES = 40
MAX_TREES = 3
MAX_POLICIES = 3


@dataclass(eq=False)
class Held:
    """A node Python holds: its model and its module object (None once dropped)."""

    model: ref.ModelNode
    obj: ve.Node | None
    dropped_in_model: bool = False


@dataclass(eq=False)
class TreePair:
    model: ref.ModelTree
    obj: ve.SearchTree


class ModelMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.nodes: list[Held] = []
        self.by_model: dict[ref.ModelNode, Held] = {}
        self.trees: list[TreePair] = []
        self.selectors: list[tuple[Any, Any]] = []
        self.expanders: list[tuple[Any, Any]] = []

    # -- bookkeeping ------------------------------------------------------------------------

    def held(self, pick: int) -> Held | None:
        return self.nodes[pick % len(self.nodes)] if self.nodes else None

    def tree(self, pick: int) -> TreePair:
        return self.trees[pick % len(self.trees)]

    def check_returned(self, expected: ref.ModelNode | None, obj: ve.Node | None) -> None:
        """Checks a node the module returned: the held object for a held node, else a new one."""
        if expected is None:
            assert obj is None
            return
        assert isinstance(obj, ve.Node)
        held = self.by_model.get(expected)
        if held is not None:
            assert obj is held.obj, "a held node came back as a different Python object"
        else:
            assert all(obj is not other.obj for other in self.nodes), "wrong node returned"
        assert_same_node(expected, obj)

    def adopt(self, expected: ref.ModelNode | None, obj: ve.Node | None) -> None:
        """check_returned, then keeps the node for later steps while there is room."""
        self.check_returned(expected, obj)
        if expected is not None and expected not in self.by_model:
            if len(self.nodes) < MAX_HELD_NODES:
                held = Held(expected, obj)
                self.nodes.append(held)
                self.by_model[expected] = held

    def forget(self, held: Held) -> None:
        self.nodes.remove(held)
        del self.by_model[held.model]
        held.obj = None

    # -- free nodes and trees ---------------------------------------------------------------

    @initialize(action=ACTIONS)
    def start(self, action: int) -> None:
        self.trees.append(TreePair(ref.ModelTree(action), ve.SearchTree(action)))

    @precondition(lambda self: len(self.nodes) < MAX_HELD_NODES)
    @rule(action=ACTIONS, prior=PRIORS)
    def new_node(self, action: int, prior: float) -> None:
        self.adopt(ref.ModelNode(action, f32(prior)), ve.Node(action, prior))

    @precondition(lambda self: len(self.trees) < MAX_TREES)
    @rule(action=ACTIONS)
    def new_tree(self, action: int) -> None:
        self.trees.append(TreePair(ref.ModelTree(action), ve.SearchTree(root_action=action)))

    @precondition(lambda self: len(self.trees) > 1)
    @rule(pick=PICK)
    def drop_tree(self, pick: int) -> None:
        self.trees.remove(self.tree(pick))

    @rule(pick=PICK)
    def take_root(self, pick: int) -> None:
        pair = self.tree(pick)
        self.adopt(pair.model.root, pair.obj.root())

    @precondition(lambda self: self.nodes)
    @rule(pick=PICK)
    def drop_node(self, pick: int) -> None:
        held = self.held(pick)
        assert held is not None
        self.forget(held)

    @precondition(lambda self: self.nodes)
    @rule(pick=PICK, action=ACTIONS, prior=PRIORS)
    def add_child(self, pick: int, action: int, prior: float) -> None:
        held = self.held(pick)
        assert held is not None and held.obj is not None
        self.adopt(held.model.add_child(action, prior), held.obj.add_child(action, prior))

    @precondition(lambda self: self.nodes)
    @rule(pick=PICK, value=VALUES)
    def update(self, pick: int, value: float) -> None:
        held = self.held(pick)
        assert held is not None and held.obj is not None
        held.model.update(value)
        held.obj.update(value)

    @precondition(lambda self: self.nodes)
    @rule(pick=PICK)
    def clear_children(self, pick: int) -> None:
        held = self.held(pick)
        assert held is not None and held.obj is not None
        held.model.children.clear()
        held.obj.clear_children()

    @rule(pick=PICK, action=ACTIONS, existing=st.booleans())
    def reroot(self, pick: int, action: int, existing: bool) -> None:
        pair = self.tree(pick)
        children = pair.model.root.children
        if existing and children:
            action = children[action % len(children)].action
        pair.model.reroot(action)
        pair.obj.reroot(action)

    @rule(pick=PICK)
    def clear_tree(self, pick: int) -> None:
        pair = self.tree(pick)
        pair.model.clear()
        pair.obj.clear()

    # -- policies ---------------------------------------------------------------------------

    @precondition(lambda self: len(self.selectors) < MAX_POLICIES)
    @rule(weighted=st.booleans(), c=WEIGHTS)
    def new_selector(self, weighted: bool, c: float) -> None:
        if weighted:
            self.selectors.append((ref.ModelPolicyWeightedUCB(c), ve.PolicyWeightedUCB(c)))
        else:
            self.selectors.append((ref.ModelUCBSelection(c=c), ve.UCBSelection(c=c)))

    @precondition(lambda self: self.selectors)
    @rule(policy=PICK, pick=PICK, on_none=st.booleans())
    def select(self, policy: int, pick: int, on_none: bool) -> None:
        model_policy, policy_obj = self.selectors[policy % len(self.selectors)]
        held = None if on_none else self.held(pick)
        chosen = model_policy.select(held.model if held else None)
        self.adopt(chosen, policy_obj.select(held.obj if held else None))

    @precondition(lambda self: len(self.expanders) < MAX_POLICIES)
    @rule(progressive=st.booleans(), seed=SEEDS)
    def new_expander(self, progressive: bool, seed: int) -> None:
        if progressive:
            self.expanders.append(
                (ref.ModelProgressiveExpansion(seed), ve.ProgressiveExpansion(seed=seed))
            )
        else:
            self.expanders.append((ref.ModelFullExpansion(), ve.FullExpansion()))

    @precondition(lambda self: self.expanders)
    @rule(policy=PICK, pick=PICK, on_none=st.booleans(), actions=ACTION_LISTS, bad=st.booleans())
    def expand(self, policy: int, pick: int, on_none: bool, actions: list[int], bad: bool) -> None:
        model_policy, policy_obj = self.expanders[policy % len(self.expanders)]
        held = None if on_none else self.held(pick)
        if bad:
            # An action outside the 32-bit range is refused before anything changes (the
            # random engine included: later draws still match the model's).
            with pytest.raises(TypeError):
                policy_obj.expand(held.obj if held else None, [*actions, 2**31])
            return
        expanded = model_policy.expand(held.model if held else None, actions)
        self.adopt(expanded, policy_obj.expand(held.obj if held else None, actions))

    # -- searches ---------------------------------------------------------------------------

    def resolve(self, op: tuple[Any, ...]) -> tuple[Any, ...]:
        kind, pick, *args = op
        if kind in ("reroot", "clear", "search"):
            return (kind, self.tree(pick), *args)
        return (kind, self.held(pick), *args)

    def apply_reentrant(
        self, op: tuple[Any, ...], on_model: bool, log: list[tuple[Any, ...]]
    ) -> None:
        kind, target, *args = op
        if isinstance(target, TreePair):
            tree = target.model if on_model else target.obj
            if kind == "reroot":
                tree.reroot(args[0])
            elif kind == "clear":
                tree.clear()
            else:
                log.append(("nested", self.nested_search(target, on_model, *args)))
            return
        if target is None or (target.dropped_in_model if on_model else target.obj is None):
            return
        node = target.model if on_model else target.obj
        if kind == "update":
            node.update(args[0])
        elif kind == "add_child":
            node.add_child(args[0], 0.0)
        elif kind == "clear_children":
            if on_model:
                node.children.clear()
            else:
                node.clear_children()
        elif on_model:  # drop
            target.dropped_in_model = True
        else:
            target.obj = None

    @staticmethod
    def nested_search(
        pair: TreePair, on_model: bool, actions: list[int], value: float, simulations: int
    ) -> tuple[Any, ...]:
        if on_model:
            engine = ref.ModelEngine(simulations, 1.414)
            return result_key(engine.search(pair.model, lambda _: list(actions), lambda: value))
        config = ve.SearchConfig()
        config.num_simulations = simulations
        engine_obj = ve.SearchEngine(config)
        return result_key(engine_obj.search(pair.obj, lambda _: list(actions), None, lambda: value))

    def run_search(self, script: Script, pick: int | None, simulations: int, c: float) -> None:
        pair = None if pick is None else self.tree(pick)

        model_run = ScriptRun(self, script, on_model=True)
        engine = ref.ModelEngine(simulations, c)
        model_result, model_error = run_failure(
            lambda: engine.search(
                pair.model if pair else None,
                None if script.legal_is_none else model_run.legal,
                None if script.rollout_is_none else model_run.rollout,
            )
        )

        module_run = ScriptRun(self, script, on_model=False)
        config = ve.SearchConfig()
        config.num_simulations = simulations
        config.exploration_constant = c
        search_engine = ve.SearchEngine(config)
        config.num_simulations = simulations + 7  # the engine keeps its own copy
        result, error = run_failure(
            lambda: search_engine.search(
                tree=pair.obj if pair else None,
                legal_actions_fn=None if script.legal_is_none else module_run.legal,
                transition_fn=None if script.transition_is_none else module_run.transition,
                rollout_fn=None if script.rollout_is_none else module_run.rollout,
            )
        )

        assert_same_failure(error, model_error)
        if model_error is None:
            assert result_key(result) == result_key(model_result)
        # Same calls in the same order; every state is the float 0.0; no transition call.
        assert module_run.log == model_run.log

        for held in [held for held in self.nodes if held.obj is None]:
            assert held.dropped_in_model
            self.forget(held)
        assert not any(held.dropped_in_model for held in self.nodes)

    def draw_script(
        self,
        legal: list[tuple[Any, ...]],
        rollout: list[tuple[Any, ...]],
        default_actions: list[int],
        default_value: float,
        nones: tuple[bool, bool, bool] = (False, False, False),
    ) -> Script:
        def entries(raw: list[tuple[Any, ...]]) -> list[CallEntry]:
            return [
                CallEntry([self.resolve(op) for op in ops], outcome, ScriptedError(i))
                for i, (ops, outcome) in enumerate(raw)
            ]

        return Script(entries(legal), entries(rollout), default_actions, default_value, *nones)

    @rule(
        pick=PICK,
        simulations=st.integers(-1, 8),
        c=WEIGHTS,
        legal=st.lists(PLAIN_LEGAL_ENTRIES, max_size=4),
        rollout=st.lists(PLAIN_ROLLOUT_ENTRIES, max_size=4),
        default_actions=st.lists(SMALL_ACTIONS, max_size=3),
    )
    def search(
        self,
        pick: int,
        simulations: int,
        c: float,
        legal: list[Any],
        rollout: list[Any],
        default_actions: list[int],
    ) -> None:
        script = self.draw_script(legal, rollout, default_actions, 1.0)
        self.run_search(script, pick, simulations, c)

    @rule(
        pick=st.none() | PICK,
        simulations=st.integers(-1, 6),
        c=WEIGHTS,
        legal=st.lists(LEGAL_ENTRIES, max_size=4),
        rollout=st.lists(ROLLOUT_ENTRIES, max_size=4),
        default_actions=ACTION_LISTS,
        default_value=VALUES,
        nones=rarely(st.just((False, False, False)), st.tuples(*[st.booleans()] * 3)),
    )
    def scripted_search(
        self,
        pick: int | None,
        simulations: int,
        c: float,
        legal: list[Any],
        rollout: list[Any],
        default_actions: list[int],
        default_value: float,
        nones: tuple[bool, bool, bool],
    ) -> None:
        script = self.draw_script(legal, rollout, default_actions, default_value, nones)
        self.run_search(script, pick, simulations, c)

    # -- invariants -------------------------------------------------------------------------

    @invariant()
    def held_nodes_match(self) -> None:
        for held in self.nodes:
            assert held.obj is not None
            assert_same_node(held.model, held.obj)

    @invariant()
    def trees_match(self) -> None:
        for pair in self.trees:
            assert pair.obj.total_nodes() == pair.model.total_nodes()
            self.check_returned(pair.model.root, pair.obj.root())


TestModelEquivalence = ModelMachine.TestCase
TestModelEquivalence.settings = settings.get_profile(f"veltra-model-{PROFILE}")
