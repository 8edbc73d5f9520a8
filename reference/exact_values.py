"""Solved positions (SearchConfig.solve): exact values proven from terminal ones.

A node is solved when it has no legal action (its evaluated value), when a solved child's q =
r + discount * V reaches value_bounds' high (the highest such q), or when every legal action has a
solved child (the highest q). A solved node's V is its exact value and never changes again.
"""

from __future__ import annotations

import math
from typing import Callable, List, Optional

from reference.nodes import Evaluation, Node


def edge_q(child: Node) -> float:
    return child.reward + child.discount * child.value


def solve_node(node: Node, high: float) -> bool:
    best = -math.inf
    children = [child for child in node.children if child is not None]
    for child in children:
        if child.solved:
            q = edge_q(child)
            if q > best:
                best = q
    if not best >= high:
        if len(children) != len(node.legal) or not all(child.solved for child in children):
            return False
    node.solved = True
    node.value = best
    return True


def solve_path(path: List[Node], high: float) -> None:
    """After a backup into a solved new leaf below `path` (root first): solves from the bottom up
    while nodes become solved, stopping at one an earlier backup of the step solved."""
    for node in reversed(path):
        if node.solved or not solve_node(node, high):
            return


def proven_move(node: Node) -> int:
    """The action of the solved child with the highest q, lowest on ties; -1 if none."""
    move, best = -1, 0.0
    for a, child in enumerate(node.children):
        if child is not None and child.solved:
            q = edge_q(child)
            if move < 0 or q > best:
                move, best = a, q
    return move


def check_exact_values(evaluation: Evaluation, bounds: tuple,
                       reached_by_move: Optional[Callable[[int], bool]] = None) -> None:
    """Refuses rows without legal action whose value (or, reached by a move, r + discount * v)
    lies outside the bounds, where the proof that a move is best would not hold."""
    low, high = bounds
    for row, legal in enumerate(evaluation.legal):
        if legal:
            continue
        v = evaluation.values_list[row]
        moved = reached_by_move is not None and reached_by_move(row)
        q = evaluation.rewards_list[row] + evaluation.discounts_list[row] * v if moved else v
        if low <= v <= high and low <= q <= high:
            continue
        message = ("solve=True takes the values of positions without legal action as exact and "
                   f"needs them within value_bounds [{low!r}, {high!r}]: row {row} has value {v!r}")
        if moved:
            message += f" and reward + discount * value {q!r}"
        raise ValueError(message)
