"""The PUCT rule of the reference forest: which child a descent takes."""

from __future__ import annotations

import math
import sys
from typing import Dict, List, Optional, Tuple

from reference.nodes import Node

MIN_Q_SPAN = 1e-8
SMALLEST_NORMAL = sys.float_info.min  # DBL_MIN


def mixed_value(node: Node) -> float:
    """v_mix of the Gumbel policy, from the node's own priors: (v0 + sum N * W) / (sum N + 1),
    W = sum over children of (pi_a * Q_a) / sum pi, pi_a = max(DBL_MIN, p_a)."""
    children = [(a, child) for a, child in enumerate(node.children) if child is not None]
    total = sum(child.visits for _, child in children)
    if total == 0:
        return node.raw_value
    prior_sum = 0.0
    for a, _ in children:
        prior_sum += max(SMALLEST_NORMAL, node.priors[a])
    weighted = 0.0
    for a, child in children:
        q = child.reward + child.discount * child.value
        weighted += (max(SMALLEST_NORMAL, node.priors[a]) * q) / prior_sum
    return (node.raw_value + float(total) * weighted) / (float(total) + 1.0)


def select_puct(node: Node, priors: List[float], pb_c_init: float, pb_c_base: float,
                unvisited: str = "min",
                edge_pending: Optional[Dict[Tuple[int, int], int]] = None) -> int:
    """The child a descent takes. Pending visits (node.pending, and `edge_pending` by (id(node),
    action) for edges without a child) count as visits that returned the bottom of the range."""
    visits = node.visits + node.pending
    pb_c = pb_c_init + math.log((visits + pb_c_base + 1.0) / pb_c_base)
    scale = math.sqrt(visits) * pb_c
    children = node.children
    low = high = node.value
    for a in node.legal:
        child = children[a]
        if child is not None:
            q = child.reward + child.discount * child.value
            if q < low:
                low = q
            elif q > high:
                high = q
    span = max(high - low, MIN_Q_SPAN)
    unvisited_q = 0.0
    if unvisited == "parent":
        unvisited_q = (node.value - low) / span
    elif unvisited == "mixed":
        unvisited_q = (min(max(mixed_value(node), low), high) - low) / span
    # A NaN score never wins; if every score is NaN, the lowest legal action does.
    best_action = node.legal[0]
    best_score = -math.inf
    for a in node.legal:
        child = children[a]
        if child is None:
            pending = edge_pending.get((id(node), a), 0) if edge_pending else 0
            if pending == 0:
                score = unvisited_q + scale * priors[a]
            else:
                score = 0.0 + (scale * priors[a]) / (pending + 1)
        else:
            q_hat = (child.reward + child.discount * child.value - low) / span
            pending = child.pending
            if child.solved:  # a solved child scores its exact value alone
                score = q_hat
            else:
                if pending > 0:
                    q_hat = (q_hat * child.visits) / (child.visits + pending)
                score = q_hat + (scale * priors[a]) / (child.visits + pending + 1)
        if score > best_score:
            best_score = score
            best_action = a
    return best_action
