"""The PUCT rule of the reference forest: which child a descent takes."""

from __future__ import annotations

import math
from typing import List

from reference.nodes import Node

MIN_Q_SPAN = 1e-8


def select_puct(node: Node, priors: List[float], pb_c_init: float, pb_c_base: float,
            parent_value: bool = False) -> int:
    visits = node.visits
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
    unvisited_q = (node.value - low) / span if parent_value else 0.0
    # A NaN score never wins; if every score is NaN, the lowest legal action does.
    best_action = node.legal[0]
    best_score = -math.inf
    for a in node.legal:
        child = children[a]
        if child is None:
            score = unvisited_q + scale * priors[a]
        else:
            q_hat = (child.reward + child.discount * child.value - low) / span
            score = q_hat + (scale * priors[a]) / (child.visits + 1)
        if score > best_score:
            best_score = score
            best_action = a
    return best_action
