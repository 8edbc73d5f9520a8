"""Monte Carlo tree search in plain Python, with the search rules of veltra_engine.SearchEngine.

The baseline the native engine is measured against: the same descent, expansion, rollout and
backup, written the way a careful Python developer would write it (slotted nodes, attribute and
function lookups hoisted out of the loops). Arithmetic is in Python floats (doubles) rather than
32-bit floats, which changes no decision for the trees the benchmarks grow.

Each simulation
  1. descends from the root while the node has children, to the child with the highest UCB1
     score W/n + c * sqrt(ln(N) / n) (unvisited children first, ties to the earliest child);
  2. calls legal_actions_fn(0.0) and adds one child per returned action, moving to the first;
  3. takes rollout_fn() as the value v;
  4. adds v to that node, -v to its parent, and so on up to the root.
transition_fn is accepted and never called.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple

LegalActionsFn = Callable[[float], Sequence[int]]
TransitionFn = Optional[Callable[[float, int], Sequence[float]]]
RolloutFn = Callable[[], float]

# Scans for the best child start from the lowest finite 32-bit float, so a NaN or -inf score never
# wins.
LOWEST_SCORE = -3.4028234663852886e38

_NO_CHILDREN: Tuple[Node, ...] = ()


class Node:
    """One tree node: the action leading to it, its statistics, its parent and its children."""

    __slots__ = ("action", "visit_count", "total_value", "parent", "children")

    def __init__(self, action: int, parent: Optional[Node]) -> None:
        self.action = action
        self.visit_count = 0
        self.total_value = 0.0
        self.parent = parent
        # A shared empty tuple until the node is expanded: no list per leaf.
        self.children: Sequence[Node] = _NO_CHILDREN

    def mean_value(self) -> float:
        return self.total_value / self.visit_count if self.visit_count else 0.0


class Tree:
    """Holds the root across searches."""

    __slots__ = ("root",)

    def __init__(self, root_action: int = -1) -> None:
        self.root = Node(root_action, None)

    def total_nodes(self) -> int:
        count = 0
        pending = [self.root]
        while pending:
            node = pending.pop()
            count += 1
            pending.extend(node.children)
        return count


@dataclass
class SearchResult:
    best_action: int = -1
    actions: List[int] = field(default_factory=list)
    visit_counts: List[int] = field(default_factory=list)
    root_value: float = 0.0
    num_simulations: int = 0


class SearchEngine:
    """Runs num_simulations simulations per search; statistics stay in the tree's nodes."""

    __slots__ = ("num_simulations", "exploration_constant")

    def __init__(self, num_simulations: int = 100, exploration_constant: float = 1.414) -> None:
        self.num_simulations = num_simulations
        self.exploration_constant = exploration_constant

    def search(
        self,
        tree: Optional[Tree],
        legal_actions_fn: LegalActionsFn,
        transition_fn: TransitionFn,
        rollout_fn: RolloutFn,
    ) -> SearchResult:
        del transition_fn  # part of the interface, never called
        if tree is None:
            return SearchResult()
        c = self.exploration_constant
        log = math.log
        sqrt = math.sqrt
        new_node = Node
        lowest = LOWEST_SCORE
        nan = math.nan
        for _ in range(self.num_simulations):
            node = tree.root
            children = node.children
            while children:
                parent_visits = node.visit_count
                # A node without visits gives visited children a NaN score, as ln(0) does.
                log_parent = log(parent_visits) if parent_visits else nan
                best: Optional[Node] = None
                best_score = lowest
                for child in children:
                    n = child.visit_count
                    if n == 0:
                        best = child
                        break
                    score = sqrt(log_parent / n) * c + child.total_value / n
                    if score > best_score:
                        best_score = score
                        best = child
                node = best if best is not None else children[0]
                children = node.children

            actions = legal_actions_fn(0.0)
            if actions:
                # The descent stops only at a node without children.
                parent = node
                node.children = added = [new_node(action, parent) for action in actions]
                node = added[0]

            value = rollout_fn()
            up: Optional[Node] = node
            while up is not None:
                up.visit_count += 1
                up.total_value += value
                value = -value
                up = up.parent
        return self._describe_root(tree.root)

    def _describe_root(self, root: Node) -> SearchResult:
        result = SearchResult(root_value=root.mean_value(), num_simulations=self.num_simulations)
        best_visits = -1
        for child in root.children:
            result.actions.append(child.action)
            result.visit_counts.append(child.visit_count)
            if child.visit_count > best_visits:
                best_visits = child.visit_count
                result.best_action = child.action
        return result
