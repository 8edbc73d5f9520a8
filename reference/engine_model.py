"""A pure-Python reference model of veltra_engine's tree, policies and search.

The model follows the module's rules step by step in single precision (single_precision.py). It
keeps plain Python references; it does not model memory ownership. What it predicts is
everything Python can observe: statistics, scores, which node each operation returns, search
results, the order of callback calls and the exceptions that end a search.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from reference.single_precision import LOWEST_F32, f32, log_f32, sqrt_f32, ucb1

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
UINT32_MASK = 2**32 - 1

CAST_ERROR_PREFIX = "Unable to cast Python instance of type "


@dataclass(eq=False)
class ModelNode:
    action: int
    prior: float = 0.0
    parent: ModelNode | None = None
    children: list[ModelNode] = field(default_factory=list)
    visits: int = 0
    total: float = 0.0

    def update(self, value: float) -> None:
        self.total = f32(f32(value) + self.total)
        self.visits = min(self.visits + 1, INT32_MAX)

    def mean(self) -> float:
        return 0.0 if self.visits == 0 else f32(self.total / f32(float(self.visits)))

    def ucb(self, c: float) -> float:
        if self.visits == 0:
            return math.inf
        if self.parent is None:
            return f32(self.total / f32(float(self.visits)))
        return ucb1(self.total, self.visits, log_f32(f32(float(self.parent.visits))), c)

    def add_child(self, action: int, prior: float) -> ModelNode:
        child = ModelNode(action, f32(prior), parent=self)
        self.children.append(child)
        return child


def count_nodes(root: ModelNode) -> int:
    count = 0
    pending = [root]
    while pending:
        node = pending.pop()
        count += 1
        pending.extend(node.children)
    return count


class ModelTree:
    def __init__(self, root_action: int = -1) -> None:
        self.root = ModelNode(root_action)

    def total_nodes(self) -> int:
        return count_nodes(self.root)

    def reroot(self, action: int) -> None:
        promoted = next((child for child in self.root.children if child.action == action), None)
        if promoted is None:
            self.root = ModelNode(action)
        else:
            promoted.parent = None
            self.root = promoted

    def clear(self) -> None:
        self.root = ModelNode(-1)


def best_child(
    children: Sequence[ModelNode], score: Callable[[ModelNode], float]
) -> ModelNode | None:
    """The first child scoring strictly above every earlier one and above the lowest float."""
    best_score = LOWEST_F32
    best: ModelNode | None = None
    for child in children:
        child_score = score(child)
        if child_score > best_score:
            best_score = child_score
            best = child
    return best


class ModelUCBSelection:
    def __init__(self, c: float = 1.414) -> None:
        self.c = f32(c)

    def select(self, node: ModelNode | None) -> ModelNode | None:
        if node is None or not node.children:
            return node
        return best_child(node.children, lambda child: child.ucb(self.c)) or node


class ModelPolicyWeightedUCB:
    def __init__(self, c: float = 1.414) -> None:
        self.c = f32(c)

    def select(self, node: ModelNode | None) -> ModelNode | None:
        if node is None or not node.children:
            return node
        s = sqrt_f32(f32(float(max(node.visits, 1))))

        def score(child: ModelNode) -> float:
            mean = child.mean()
            denominator = f32(f32(float(child.visits)) + 1.0)  # extra_visits is always 0
            return f32(f32(f32(s / denominator) * f32(child.prior * self.c)) + mean)

        return best_child(node.children, score) or node


class MT19937:
    """The reference 32-bit Mersenne Twister with the standard seeding."""

    def __init__(self, seed: int) -> None:
        state = [seed & UINT32_MASK]
        for i in range(1, 624):
            previous = state[-1]
            state.append((1812433253 * (previous ^ (previous >> 30)) + i) & UINT32_MASK)
        self._state = state
        self._index = 624

    def _twist(self) -> None:
        state = self._state
        for i in range(624):
            y = (state[i] & 0x80000000) | (state[(i + 1) % 624] & 0x7FFFFFFF)
            value = state[(i + 397) % 624] ^ (y >> 1)
            state[i] = value ^ 0x9908B0DF if y & 1 else value
        self._index = 0

    def __call__(self) -> int:
        if self._index >= 624:
            self._twist()
        y = self._state[self._index]
        self._index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & UINT32_MASK


def uniform_index(rng: Callable[[], int], n: int) -> int:
    """Lemire's nearly divisionless draw of an index in [0, n) from 32-bit outputs, n <= 2**32."""
    product = rng() * n
    low = product & UINT32_MASK
    if low < n:
        threshold = (2**32 - n) % n
        while low < threshold:
            product = rng() * n
            low = product & UINT32_MASK
    return product >> 32


class ModelFullExpansion:
    def expand(self, node: ModelNode | None, actions: Sequence[int]) -> ModelNode | None:
        if node is None:
            return None
        for action in actions:
            node.add_child(action, 0.0)
        return node.children[0] if node.children else node


class ModelProgressiveExpansion:
    def __init__(self, seed: int = 0) -> None:
        self.rng = MT19937(seed)

    def expand(self, node: ModelNode | None, actions: Sequence[int]) -> ModelNode | None:
        if node is None or not actions:
            return node
        return node.add_child(actions[uniform_index(self.rng, len(actions))], 0.0)


def cast_error(result: object) -> RuntimeError:
    """The error a callback result that does not convert ends the search with (message prefix)."""
    return RuntimeError(f"{CAST_ERROR_PREFIX}{type(result)} to C++ type")


def convert_actions(result: object) -> list[int]:
    """A legal-actions result as the binding converts it: a sequence of 32-bit ints."""
    if isinstance(result, (str, bytes, bytearray)) or not isinstance(
        result, (list, tuple, range, set, frozenset)
    ):
        raise cast_error(result)
    items = list(result)
    if not all(isinstance(item, int) and INT32_MIN <= item <= INT32_MAX for item in items):
        raise cast_error(result)
    return items


def convert_value(result: object) -> float:
    """A rollout result as the binding converts it: one 32-bit float."""
    if isinstance(result, (int, float)) and not isinstance(result, bool):
        return f32(float(result))
    raise cast_error(result)


@dataclass
class ModelResult:
    best_action: int
    actions: list[int]
    visit_counts: list[int]
    root_value: float
    num_simulations: int


class EmptyCallbackError(RuntimeError):
    """What invoking a callback given as None raises (a RuntimeError in Python)."""


LegalFn = Callable[[float], Any]
RolloutFn = Callable[[], Any]


class ModelEngine:
    def __init__(self, num_simulations: int, exploration_constant: float) -> None:
        self.num_simulations = num_simulations
        self.c = f32(exploration_constant)

    def search(
        self, tree: ModelTree | None, legal: LegalFn | None, rollout: RolloutFn | None
    ) -> ModelResult:
        if tree is None:
            return ModelResult(-1, [], [], 0.0, 0)
        for _ in range(self.num_simulations):
            self._simulate(tree, legal, rollout)
        return self._describe(tree.root)

    def _descend(self, node: ModelNode) -> ModelNode:
        while node.children:
            chosen = best_child(node.children, lambda child: child.ucb(self.c))
            node = chosen if chosen is not None else node.children[0]
        return node

    def _simulate(self, tree: ModelTree, legal: LegalFn | None, rollout: RolloutFn | None) -> None:
        leaf = self._descend(tree.root)
        if legal is None:
            raise EmptyCallbackError()
        actions = convert_actions(legal(0.0))
        current = leaf
        if actions:
            new_children = [leaf.add_child(action, 0.0) for action in actions]
            current = new_children[0]
        if rollout is None:
            raise EmptyCallbackError()
        value = convert_value(rollout())
        node: ModelNode | None = current
        while node is not None:
            node.update(value)
            value = -value
            node = node.parent

    def _describe(self, root: ModelNode) -> ModelResult:
        best_action, best_visits = -1, -1
        for child in root.children:
            if child.visits > best_visits:
                best_action, best_visits = child.action, child.visits
        return ModelResult(
            best_action,
            [child.action for child in root.children],
            [child.visits for child in root.children],
            root.mean(),
            self.num_simulations,
        )
