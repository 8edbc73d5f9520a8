"""The Gumbel policy of the reference forest (reference/forest.py): sequential halving with Gumbel
noise at the roots, the improved policy below them, in float64 arithmetic in the order
veltra_search documents (sums in action order, ties to the lowest action).

Nodes are reference_forest's: `priors` (float32 priors widened, 0.0 where illegal), `logits` (the
logits minus the largest legal one), `legal`, `children`, `raw_value`, `value`.
"""

from __future__ import annotations

import math
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

LOW_LOGIT = -1e9
MIN_Q_SPAN = 1e-8
SMALLEST_NORMAL = sys.float_info.min  # DBL_MIN
TWO_TO_MINUS_52 = 2.0**-52


def shift_logits(logits: Sequence[float], legal: Sequence[int]) -> List[float]:
    """l_a = logit_a - max over legal b of logit_b for legal a, -inf elsewhere."""
    shifted = [-math.inf] * len(logits)
    if legal:
        top = max(logits[a] for a in legal)
        for a in legal:
            shifted[a] = logits[a] - top
    return shifted


def gumbel(generator: Any) -> float:
    """A standard Gumbel draw from one 64-bit draw of the forest's generator."""
    u = ((generator.next_u64() >> 12) + 0.5) * TWO_TO_MINUS_52
    return -math.log(-math.log(u))


def considered_visits(k: int, simulations: int) -> List[int]:
    """Row k of the table of considered visits: T_k[s] for s = 0..simulations-1."""
    if k <= 1:
        return list(range(simulations))
    log2_k = (k - 1).bit_length()  # ceil(log2 k)
    sequence: List[int] = []
    visits = [0] * k
    considered = k
    while len(sequence) < simulations:
        extra = max(1, simulations // (log2_k * considered))
        for _ in range(extra):
            sequence.extend(visits[:considered])
            for i in range(considered):
                visits[i] += 1
        considered = max(2, considered // 2)
    return sequence[:simulations]


def _children(node: Any) -> Tuple[List[int], List[float], int, int]:
    """N_a (0 without a child) and Q_a of every action, sum N and max N."""
    visits = [0] * len(node.children)
    q = [0.0] * len(node.children)
    for a, child in enumerate(node.children):
        if child is not None:
            visits[a] = child.visits
            q[a] = child.reward + child.discount * child.value
    return visits, q, sum(visits), max(visits, default=0)


def _sigma(node: Any, visits: List[int], q: List[float], total: int, most: int,
           config: Any) -> List[float]:
    """sigma_a of every legal action (0.0 elsewhere) of a node with a legal action."""
    mixed = node.raw_value
    if total > 0:
        prior_sum = 0.0
        for a, n in enumerate(visits):
            if n > 0:
                prior_sum += max(SMALLEST_NORMAL, node.priors[a])
        weighted = 0.0
        for a, n in enumerate(visits):
            if n > 0:
                weighted += (max(SMALLEST_NORMAL, node.priors[a]) * q[a]) / prior_sum
        mixed = (node.raw_value + float(total) * weighted) / (float(total) + 1.0)
    completed = [q[a] if visits[a] > 0 else mixed for a in range(len(visits))]
    low = high = completed[node.legal[0]]
    for a in node.legal:
        if completed[a] < low:
            low = completed[a]
        if completed[a] > high:
            high = completed[a]
    span = max(high - low, MIN_Q_SPAN)
    scale = (config.maxvisit_init + float(most)) * config.value_scale
    sigma = [0.0] * len(visits)
    for a in node.legal:
        sigma[a] = scale * ((completed[a] - low) / span)
    return sigma


def improved_policy(node: Any, config: Any) -> List[float]:
    """pi' of a node: softmax over its legal actions of l_a + sigma_a; zeros without one."""
    policy = [0.0] * len(node.children)
    if not node.legal:
        return policy
    sigma = _sigma(node, *_children(node), config)
    return _softmax(node, sigma)


def _softmax(node: Any, sigma: List[float]) -> List[float]:
    policy = [0.0] * len(node.children)
    top = -math.inf
    for a in node.legal:
        policy[a] = node.logits[a] + sigma[a]
        if policy[a] > top:
            top = policy[a]
    total = 0.0
    for a in node.legal:
        policy[a] = math.exp(policy[a] - top)
        total += policy[a]
    for a in node.legal:
        policy[a] = policy[a] / total
    return policy


def pending_counts(node: Any, visits: List[int],
                   edge_pending: Optional[Dict[Tuple[int, int], int]]) -> List[int]:
    """N_a + P_a: the visits of each action with the pending ones of the step under way (the
    child's, or for an edge without a child, `edge_pending`'s by (id(node), action))."""
    counts = list(visits)
    for a, child in enumerate(node.children):
        if child is not None:
            counts[a] += child.pending
        elif edge_pending:
            counts[a] += edge_pending.get((id(node), a), 0)
    return counts


def interior_action(node: Any, config: Any,
                    edge_pending: Optional[Dict[Tuple[int, int], int]] = None) -> int:
    """argmax over legal a of pi'_a - N_a / (1 + sum N), lowest on ties (node has a legal action),
    with pending visits counted in N_a (pi' from the real ones).

    A NaN score never wins; if every score is NaN, the lowest legal action does.
    """
    visits, q, total, most = _children(node)
    policy = _softmax(node, _sigma(node, visits, q, total, most, config))
    counts = pending_counts(node, visits, edge_pending)
    denominator = 1.0 + float(sum(counts))
    best, best_score = -1, -math.inf
    for a in node.legal:
        score = policy[a] - float(counts[a]) / denominator
        if score > best_score:
            best, best_score = a, score
    return best if best >= 0 else node.legal[0]


class RootSearch:
    """One root during one search: its visits before it, its noise and its schedule."""

    def __init__(self, root: Any, generator: Any, config: Any) -> None:
        self.root = root
        self.base = [0 if child is None else child.visits for child in root.children]
        scale = config.gumbel_scale
        self.noise = [0.0] * len(root.children)
        if scale != 0.0:
            for a in root.legal:
                self.noise[a] = scale * gumbel(generator)
        self.schedule = considered_visits(min(config.max_considered_actions, len(root.legal)),
                                          config.num_simulations)
        self.config = config

    def action(self, simulation: int,
               edge_pending: Optional[Dict[Tuple[int, int], int]] = None) -> int:
        """The root's action at simulation `simulation` of this search, pending visits counted
        as visits in this search."""
        visits = [0 if child is None else child.visits for child in self.root.children]
        counts = pending_counts(self.root, visits, edge_pending)
        return self._best(self.schedule[simulation],
                          [n - base for n, base in zip(counts, self.base)])

    def final_action(self) -> int:
        """The selected action after the search: -1 without legal action."""
        if not self.root.legal:
            return -1
        visits = self._search_visits()
        return self._best(max(visits[a] for a in self.root.legal), visits)

    def _search_visits(self) -> List[int]:
        return [(0 if child is None else child.visits) - base
                for child, base in zip(self.root.children, self.base)]

    def _best(self, considered: int, visits: List[int]) -> int:
        """Among the legal actions with `considered` visits in this search (`visits`), the
        highest root score, lowest on ties."""
        root = self.root
        sigma = _sigma(root, *_children(root), self.config)
        best, best_score = -1, 0.0
        for a in root.legal:
            if visits[a] != considered:
                continue
            score = (self.noise[a] + root.logits[a]) + sigma[a]
            score = score if LOW_LOGIT < score else LOW_LOGIT
            if best < 0 or score > best_score:
                best, best_score = a, score
        return best
