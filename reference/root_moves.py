"""The roots of the reference forest: the noisy priors a search starts from, and the move of a
root (as forest/root_noise.h and forest/root_results.h)."""

from __future__ import annotations

import math
from typing import Any, List, Optional, Sequence

from reference import exact_values
from reference.generator import Generator
from reference.nodes import Node
from reference.records import SearchConfig


def c_pow(base: float, exponent: float) -> float:
    """The C library's pow, whose overflow is +inf rather than Python's OverflowError."""
    try:
        return math.pow(base, exponent)
    except OverflowError:
        return math.inf


def noisy_priors(roots: Sequence[Any], searched: Sequence[bool], config: SearchConfig,
                 generator: Generator) -> List[List[float]]:
    """The priors each root uses for one search: the stored ones mixed with fresh noise."""
    fraction = config.dirichlet_fraction
    priors = []
    for root, on in zip(roots, searched):
        if not on:
            priors.append([])
            continue
        assert isinstance(root, Node)
        if fraction <= 0.0 or not root.legal:
            priors.append(root.priors)
            continue
        draws = [generator.gamma(config.dirichlet_alpha) for _ in root.legal]
        total = 0.0
        for g in draws:
            total += g
        noise = [g / total for g in draws] if total != 0.0 else [1.0 / len(draws)] * len(draws)
        mixed = list(root.priors)
        for a, eta in zip(root.legal, noise):
            mixed[a] = (1.0 - fraction) * root.priors[a] + fraction * eta
        priors.append(mixed)
    return priors


def choose(root: Node, temperature: float, final_action: Optional[int],
           generator: Generator) -> int:
    """The move of a root with a legal action: at temperature 0 the move a solved root proves, or
    the Gumbel policy's final action, else the most visited; otherwise sampled by visits."""
    if temperature == 0.0 and root.solved:
        return exact_values.proven_move(root)
    if temperature == 0.0 and final_action is not None:
        return final_action
    counts = [0 if child is None else child.visits for child in root.children]
    most = root.legal[0]
    for a in root.legal:
        if counts[a] > counts[most]:
            most = a
    if temperature == 0.0:
        return most
    exponent = 1.0 / temperature
    weights = [c_pow(counts[a], exponent) for a in root.legal]
    total = 0.0
    for w in weights:
        total += w
    if total == 0.0 or not math.isfinite(total):
        return most
    threshold = generator.uniform() * total
    running = 0.0
    for a, w in zip(root.legal, weights):
        running += w
        if running > threshold:
            return a
    return root.legal[-1]
