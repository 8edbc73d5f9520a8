"""Forest.tree: a root's tree as nested dicts, as the native forest builds it
(bindings/search/tree_view.h)."""

from __future__ import annotations

from typing import Any, Dict, Optional

from reference.nodes import Node
from reference.readers import read_int


def read_max_depth(value: Any) -> float:
    if value is None:
        return float("inf")
    depth = read_int("max_depth", value)
    if depth < 0:
        raise ValueError(f"max_depth must be >= 0 or None, got {depth}")
    return depth


def tree_view(root: Any, max_depth: float) -> Optional[Dict[str, Any]]:
    if not isinstance(root, Node):
        return None  # a pending root

    def view(node: Any, action: Any, prior: Any, edge: bool, depth: int) -> Dict[str, Any]:
        children = [] if depth >= max_depth else [
            view(child, a, node.priors[a], True, depth + 1)
            for a, child in enumerate(node.children) if child is not None]
        return {"action": action, "visits": node.visits, "value": node.value, "prior": prior,
                "reward": node.reward if edge else None,
                "discount": node.discount if edge else None, "solved": node.solved,
                "children": children}

    return view(root, None, None, False, 0)
