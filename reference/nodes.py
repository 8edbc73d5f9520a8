"""The reference forest's trees: a node per position, the roots still to evaluate, and checked
recurrent_fn results."""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Tuple, Union

import numpy as np

from reference import gumbel
from reference.readers import check_finite_rows, read_floats, read_legal, softmax_priors
from reference.states import ArrayStates, ObjectStates

RecurrentFn = Callable[[Any, np.ndarray], Any]
States = Union[ObjectStates, ArrayStates]


class Node:
    __slots__ = ("visits", "value", "raw_value", "reward", "discount", "priors", "logits",
                 "legal", "children", "state", "solved", "pending")

    def __init__(self, state: Any, priors: List[float], logits: Optional[List[float]],
                 legal: Tuple[int, ...], value: float, reward: float = 0.0,
                 discount: float = 0.0) -> None:
        self.visits = 1
        self.value = value
        self.raw_value = value
        self.reward = reward
        self.discount = discount
        self.priors = priors
        self.logits = logits  # minus the largest legal logit (the Gumbel policy's l_a)
        self.legal = legal
        self.children: List[Optional[Node]] = [None] * len(priors)
        self.state = state
        self.solved = False  # whether value is exact (SearchConfig.solve)
        self.pending = 0  # pending visits of the step under way (SearchConfig.leaves_per_step)


OWN_STATE = -1  # the action of a root pending on its own state


class PendingRoot:
    """A root evaluated at the next search: one reached by `action` from `state` whose child was
    never created (recurrent_fn evaluates it), or, with action OWN_STATE, the root `state` itself
    (root_fn evaluates it)."""

    __slots__ = ("state", "action")

    def __init__(self, state: Any, action: int) -> None:
        self.state = state
        self.action = action


class Evaluation:
    """One recurrent_fn result (or the roots given by the caller), checked in full; with
    `keep_logits` (the Gumbel policy), its nodes keep their shifted logits. `states` are the
    nodes' states, already read (see reference.states)."""

    def __init__(self, num_actions: int, prefix: str, count: int, states: List[Any], rewards: Any,
                 discounts: Any, logits: Any, values: Any, legal: Any,
                 keep_logits: bool = False) -> None:
        def name(field: str) -> str:
            return prefix.format(field)

        self.states = states
        self.rewards = read_floats(name("rewards"), rewards, (count,))
        self.discounts = read_floats(name("discounts"), discounts, (count,))
        self.values = read_floats(name("values"), values, (count,))
        logits_array = read_floats(name("prior_logits"), logits, (count, num_actions))
        mask = read_legal(name("legal"), legal, (count, num_actions))
        for field, array in (("rewards", self.rewards), ("discounts", self.discounts),
                             ("values", self.values)):
            check_finite_rows(name(field), field, array)
        self.legal = [tuple(np.flatnonzero(row).tolist()) for row in mask]
        self.priors = [softmax_priors(name("prior_logits"), i, logits_array[i], self.legal[i])
                       for i in range(count)]
        self.logits: List[Any] = [None] * count
        if keep_logits:
            self.logits = [gumbel.shift_logits(row, legal)
                           for row, legal in zip(logits_array.tolist(), self.legal)]
        self.rewards_list = self.rewards.tolist()
        self.discounts_list = self.discounts.tolist()
        self.values_list = self.values.tolist()

    def node(self, i: int, with_edge: bool = True) -> Node:
        if with_edge:
            return Node(self.states[i], self.priors[i], self.logits[i], self.legal[i],
                         self.values_list[i], self.rewards_list[i], self.discounts_list[i])
        return Node(self.states[i], self.priors[i], self.logits[i], self.legal[i],
                     self.values_list[i])


def call_root_fn(root_fn: Callable[[Any], Any], num_actions: int, kind: States,
                 states: List[Any], keep_logits: bool) -> Evaluation:
    result = root_fn(kind.batch(states))
    if not isinstance(result, tuple) or len(result) != 3:
        raise TypeError("root_fn must return a tuple (prior_logits, values, legal)")
    logits, values, legal = result
    count = len(states)
    return Evaluation(num_actions, "root_fn output '{}'", count, states, np.zeros(count),
                      np.zeros(count), logits, values, legal, keep_logits)


def call_model(recurrent_fn: RecurrentFn, num_actions: int, kind: States, states: List[Any],
                actions: List[int], keep_logits: bool) -> Evaluation:
    result = recurrent_fn(kind.batch(states), np.array(actions, dtype=np.int64))
    if not isinstance(result, tuple) or len(result) != 6:
        raise TypeError(
            "recurrent_fn must return a tuple (next_states, rewards, discounts, prior_logits, "
            "values, legal)"
        )
    next_states, rewards, discounts, logits, values, legal = result
    next_states = kind.split("recurrent_fn output 'next_states'", next_states, len(states))
    return Evaluation(num_actions, "recurrent_fn output '{}'", len(states), next_states,
                       rewards, discounts, logits, values, legal, keep_logits)


def back_up(path: List[Node], child: Node, value: float) -> None:
    """Backs `value` of `child` up through `path` (root first, child's parent last). A node an
    earlier backup of the step solved keeps its value, and its exact value goes on upwards."""
    for node in reversed(path):
        value = child.reward + child.discount * value
        if node.solved:
            value = node.value
        else:
            node.value = (node.value * node.visits + value) / (node.visits + 1)
        node.visits += 1
        child = node


def visit_leaf(path: List[Node], leaf: Node) -> None:
    """Visits `leaf` below `path` again, as a descent that ends at a node without legal action
    (or solved, or reached by an earlier descent of the same step) does, and backs it up."""
    if leaf.solved:
        value = leaf.value
    else:
        value = leaf.raw_value
        leaf.value = (leaf.value * leaf.visits + value) / (leaf.visits + 1)
    leaf.visits += 1
    back_up(path, leaf, value)


def count_nodes(root: Node) -> int:
    count = 0
    stack = [root]
    while stack:
        node = stack.pop()
        count += 1
        stack.extend(child for child in node.children if child is not None)
    return count
