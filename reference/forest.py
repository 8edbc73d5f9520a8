"""A pure-Python search forest with the same surface and results as veltra_search.

It is the benchmarks' baseline and the tests' independent reference: given the same inputs and the
same recurrent_fn, it makes the same recurrent_fn calls and returns the same visit counts,
q_values, root values and moves, bit for bit. Everything it computes is float64 arithmetic in the
order veltra_search documents; each operation of Python's float is one IEEE operation, and the
logarithms, exponentials and powers come from the C library through the math module (NumPy's own
vectorised exp and log may round differently, so they are not used on anything the results depend
on).

Trees are plain objects, one per node, with a slot per action for the children; a descent is a
Python loop, as a careful Python implementation would write it. NumPy converts the inputs and
builds the outputs.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from reference import exact_values, gumbel, root_moves, root_selection, time_budget, tree_view
from reference.generator import Generator
from reference.nodes import (OWN_STATE, Evaluation, Node, PendingRoot, RecurrentFn, back_up,
                             call_model, call_root_fn, count_nodes, visit_leaf)
from reference.puct import select_puct
from reference.readers import read_floats, read_float, read_int, read_legal
from reference.states import read_states
from reference.records import SearchConfig, SearchOutput

__all__ = ["Forest", "Generator", "SearchConfig", "SearchOutput"]


class Forest:
    def __init__(self, config: SearchConfig, states: Any, prior_logits: Any = None,
                 values: Any = None, legal: Any = None, *,
                 root_fn: Optional[Callable[[Any], Any]] = None) -> None:
        if not isinstance(config, SearchConfig):
            raise TypeError(f"config must be a SearchConfig, not {type(config).__name__}")
        if root_fn is not None and not callable(root_fn):
            raise TypeError(f"root_fn must be callable or None, not {type(root_fn).__name__}")
        self._root_fn = root_fn
        self._states = read_states(states)
        states = self._states.roots
        self._config = config
        self._generator = Generator(config.seed)
        self._busy = False
        self._selected: List[Optional[int]] = [None] * len(states)  # Gumbel's final actions
        self._weights: List[List[float]] = [[]] * len(states)  # Gumbel's improved policies
        self._roots: List[Node | PendingRoot]
        if not self._given(prior_logits, values, legal, "values"):
            self._roots = [PendingRoot(state, OWN_STATE) for state in states]
            return
        roots = Evaluation(config.num_actions, "{}", len(states), states, np.zeros(len(states)),
                            np.zeros(len(states)), prior_logits, values, legal,
                            config.policy == "gumbel")
        self._check_exact(roots, False)
        self._roots = [self._node(roots, i, False) for i in range(len(states))]

    def _check_exact(self, evaluation: Evaluation, reached_by_move: bool) -> None:
        if self._config.solve:
            exact_values.check_exact_values(evaluation, self._config.value_bounds,
                                            lambda row: reached_by_move)

    def _node(self, evaluation: Evaluation, row: int, with_edge: bool) -> Node:
        node = evaluation.node(row, with_edge)
        node.solved = self._config.solve and not node.legal
        return node

    def _given(self, prior_logits: Any, values: Any, legal: Any, values_name: str) -> bool:
        """Whether a root's arrays are given (one is enough: the readers then name the other);
        all may be omitted only with a root_fn."""
        if prior_logits is not None or values is not None:
            return True
        if legal is not None:
            raise ValueError(f"legal is given without prior_logits and {values_name}")
        if self._root_fn is None:
            raise ValueError(
                f"prior_logits and {values_name} must be given to a forest without a root_fn")
        return False

    # -- attributes

    def _enter(self) -> None:
        if self._busy:
            raise RuntimeError("Forest is busy: it is searching")

    @property
    def config(self) -> SearchConfig:
        return self._config

    @property
    def num_roots(self) -> int:
        return len(self._roots)

    def __len__(self) -> int:
        return len(self._roots)

    @property
    def num_nodes(self) -> int:
        self._enter()
        return sum(count_nodes(root) for root in self._roots if isinstance(root, Node))

    @property
    def root_states(self) -> Any:
        self._enter()
        return self._states.root_states(
            [root.state if isinstance(root, Node) or root.action == OWN_STATE else None
             for root in self._roots])

    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("cannot pickle a Forest")

    # -- search

    def search(self, recurrent_fn: RecurrentFn, *, time_limit: Any = None, roots: Any = None,
               clock: Optional[Callable[[], float]] = None) -> SearchOutput:
        """`clock` (seconds, default time.monotonic) lets tests stop a search at a given step."""
        seconds = time_budget.read_time_limit(time_limit)
        searched = root_selection.read_roots(roots, len(self._roots))
        self._enter()
        if not callable(recurrent_fn):
            raise TypeError(f"recurrent_fn must be callable, not {type(recurrent_fn).__name__}")
        self._busy = True
        self._searched = searched
        self._selected = [None if on else s for on, s in zip(searched, self._selected)]
        try:
            self._evaluate_pending(recurrent_fn)
            if self._config.policy == "gumbel":
                searches = [gumbel.RootSearch(root, self._generator, self._config) if on else None
                            for root, on in zip(self._roots, searched)]
                root_priors = [root.priors if isinstance(root, Node) else []
                               for root in self._roots]
            else:
                searches = None
                root_priors = root_moves.noisy_priors(self._roots, self._searched,
                                                      self._config, self._generator)
            budget = time_budget.TimeBudget(seconds, clock)
            self._steps = 0  # the simulations run: leaves_per_step per step, fewer in the last
            total = self._config.num_simulations
            while self._steps < total and not self._all_solved():
                descents = min(self._config.leaves_per_step, total - self._steps)
                self._step(recurrent_fn, root_priors, searches, self._steps, descents)
                self._steps += descents
                if budget.spent():
                    break
            for i, search in enumerate(searches or []):
                if search is not None:
                    self._selected[i] = search.final_action()
                    self._weights[i] = gumbel.improved_policy(search.root, self._config)
        finally:
            self._busy = False
        return self._output()

    def _all_solved(self) -> bool:
        return self._config.solve and all(root.solved for root, on in zip(self._roots, self._searched)
                                          if on)

    def _evaluate_pending(self, recurrent_fn: RecurrentFn) -> None:
        """Roots pending on their own states in one root_fn call, then those reached by a move."""
        keep_logits = self._config.policy == "gumbel"
        for own_state in (True, False):
            pending = [(i, root) for i, root in enumerate(self._roots)
                       if isinstance(root, PendingRoot) and self._searched[i]
                       and (root.action == OWN_STATE) == own_state]
            if not pending:
                continue
            states = [root.state for _, root in pending]
            if own_state:
                if self._root_fn is None:
                    raise RuntimeError("the forest's root_fn was cleared")
                evaluation = call_root_fn(self._root_fn, self._config.num_actions, self._states,
                                          states, keep_logits)
            else:
                evaluation = call_model(recurrent_fn, self._config.num_actions, self._states,
                                        states, [root.action for _, root in pending], keep_logits)
            self._check_exact(evaluation, False)
            for row, (i, _) in enumerate(pending):
                self._roots[i] = self._node(evaluation, row, False)

    def _descend(self, root: Node, priors: List[float], search: Optional[gumbel.RootSearch],
                 simulation: int, edge_pending: Dict[Tuple[int, int], int]
                 ) -> Tuple[List[Node], Optional[int]]:
        """One descent: its path (root first) and the action without a child it ended at, or
        None if it ended at a node without legal action or a solved one."""
        config = self._config
        node, path = root, [root]
        while node.legal:
            if search is None:
                action = select_puct(node, priors, config.pb_c_init, config.pb_c_base,
                                     config.unvisited_value, edge_pending)
            elif node is root:
                action = search.action(simulation, edge_pending)
            else:
                action = gumbel.interior_action(node, config, edge_pending)
            child = node.children[action]
            if child is None:
                return path, action
            node, priors = child, child.priors
            path.append(child)
            if child.solved:
                break
        return path, None

    def _step(self, recurrent_fn: RecurrentFn, root_priors: List[List[float]],
              searches: Optional[List[gumbel.RootSearch]], first_simulation: int,
              descents: int) -> None:
        """`descents` descents in every searched tree, each leaving a pending visit on its path
        and on the edge it ends at; then one recurrent_fn call for all new edges, and the
        backups, descent by descent. A descent that ends at an edge an earlier one of the step
        expands repeats that expansion: it visits the new leaf again."""
        # per descent: its path, and the row of the expansion it ends at (None: without legal
        # action or solved) and whether an earlier descent made that expansion
        records: List[Tuple[List[Node], Optional[int], bool]] = []
        expansions: List[Tuple[List[Node], int]] = []  # (path, action)
        for i, root in enumerate(self._roots):
            assert isinstance(root, Node) or not self._searched[i]
            if not self._searched[i] or root.solved:
                continue
            search = None if searches is None else searches[i]
            rows: Dict[Tuple[int, int], int] = {}
            edge_pending: Dict[Tuple[int, int], int] = {}
            for k in range(descents):
                path, action = self._descend(root, root_priors[i], search, first_simulation + k,
                                             edge_pending)
                for node in path:
                    node.pending += 1
                if action is None:
                    records.append((path, None, False))
                    continue
                key = (id(path[-1]), action)
                repeat = key in rows
                if not repeat:
                    rows[key] = len(expansions)
                    expansions.append((path, action))
                edge_pending[key] = edge_pending.get(key, 0) + 1
                records.append((path, rows[key], repeat))
        for path, _, _ in records:
            for node in path:
                node.pending = 0
        evaluation = None
        if expansions:
            evaluation = call_model(recurrent_fn, self._config.num_actions, self._states,
                                     [path[-1].state for path, _ in expansions],
                                     [action for _, action in expansions],
                                     self._config.policy == "gumbel")
            self._check_exact(evaluation, True)
        leaves: List[Node] = []
        for path, row, repeat in records:
            if row is None:
                visit_leaf(path[:-1], path[-1])
            elif repeat:
                visit_leaf(path, leaves[row])
            else:
                assert evaluation is not None and row == len(leaves)
                child = self._node(evaluation, row, True)
                path[-1].children[expansions[row][1]] = child
                leaves.append(child)
                back_up(path, child, child.raw_value)
                if child.solved:
                    exact_values.solve_path(path, self._config.value_bounds[1])

    def _output(self) -> SearchOutput:
        num_roots, num_actions = len(self._roots), self._config.num_actions
        visits = np.zeros((num_roots, num_actions), dtype=np.int64)
        q_values = np.full((num_roots, num_actions), math.nan)
        root_values = np.full(num_roots, math.nan)  # NaN: a pending root this search left alone
        for i, root in enumerate(self._roots):
            if isinstance(root, PendingRoot):
                continue
            root_values[i] = root.value
            for a, child in enumerate(root.children):
                if child is not None:
                    visits[i, a] = child.visits
                    q_values[i, a] = child.reward + child.discount * child.value
        totals = visits.sum(axis=1, keepdims=True)
        weights = np.divide(visits, totals, out=np.zeros(visits.shape), where=totals > 0)
        for i, chosen in enumerate(self._selected):
            if chosen is not None:  # the Gumbel policy's after its last completed search
                weights[i] = self._weights[i]
        selected = np.array([self._choose(root, 0.0, i)
                             if isinstance(root, Node) and root.legal else -1
                             for i, root in enumerate(self._roots)], dtype=np.int64)
        solved = np.array([isinstance(root, Node) and root.solved for root in self._roots])
        solved_values = np.where(solved, root_values, math.nan)
        return SearchOutput(visits, q_values, root_values, weights, self._steps,
                            selected, solved, solved_values)

    # -- moves

    def select(self, temperature: float = 0.0) -> np.ndarray:
        self._enter()
        temperature = read_float("temperature", temperature)
        if not temperature >= 0.0:
            raise ValueError(f"temperature must be >= 0, got {temperature}")
        moves = np.full(len(self._roots), -1, dtype=np.int64)
        for i, root in enumerate(self._roots):
            if isinstance(root, Node) and root.legal:
                moves[i] = self._choose(root, temperature, i)
        return moves

    def _choose(self, root: Node, temperature: float, i: int) -> int:
        return root_moves.choose(root, temperature, self._selected[i], self._generator)

    def tree(self, i: Any, max_depth: Any = None) -> Optional[Dict[str, Any]]:
        self._enter()
        index = self._root(i)
        return tree_view.tree_view(self._roots[index], tree_view.read_max_depth(max_depth))

    def _root(self, index: Any) -> int:
        index = read_int("i", index)
        count = len(self._roots)
        if not -count <= index < count:
            raise IndexError(f"root index {index} is out of range for {count} roots")
        return index % count

    def _check_move(self, i: int, action: int) -> None:
        root = self._roots[i]
        if isinstance(root, PendingRoot):
            raise ValueError(f"root {i} has not been evaluated yet; run search first")
        if action not in root.legal:
            raise ValueError(f"action {action} is not a legal action of root {i}")

    def _move(self, i: int, action: int) -> None:
        self._selected[i] = None
        root = self._roots[i]
        assert isinstance(root, Node)
        child = root.children[action]
        if child is None:
            self._roots[i] = PendingRoot(root.state, action)
        else:
            child.reward = child.discount = 0.0
            self._roots[i] = child

    def advance(self, i_or_actions: Any, action: Any = None) -> None:
        self._enter()
        if action is not None:
            i = self._root(i_or_actions)
            move = read_int("action", action)
            self._check_move(i, move)
            self._move(i, move)
            return
        actions = np.asarray(i_or_actions)
        if not np.issubdtype(actions.dtype, np.integer):
            raise TypeError(f"actions must be an array of ints, not {actions.dtype}")
        if actions.shape != (len(self._roots),):
            raise ValueError(f"actions has shape {actions.shape}; expected ({len(self._roots)},)")
        moves = actions.tolist()
        for move in moves:
            if move >= 2**63:
                raise ValueError(f"actions holds {move}, outside the range of int64")
        for i, move in enumerate(moves):
            root = self._roots[i]
            if isinstance(root, Node) and not root.legal:
                if move != -1:
                    raise ValueError(f"root {i} has no legal action; its action must be -1")
            else:
                self._check_move(i, move)
        for i, move in enumerate(moves):
            if move != -1:
                self._move(i, move)

    def reset(self, i: Any, state: Any, prior_logits: Any = None, value: Any = None,
              legal: Any = None) -> None:
        self._enter()
        index = self._root(i)
        state = self._states.read_state(state)
        if not self._given(prior_logits, value, legal, "value"):
            self._roots[index] = PendingRoot(state, OWN_STATE)
            self._selected[index] = None
            return
        num_actions = self._config.num_actions
        value_array = np.array(read_float("value", value))
        logits = read_floats("prior_logits", prior_logits, (num_actions,))
        mask = None if legal is None else read_legal("legal", legal, (num_actions,))[None]
        root = Evaluation(num_actions, "{}", 1, [state], [0.0], [0.0], logits[None],
                           value_array[None], mask, self._config.policy == "gumbel")
        self._check_exact(root, False)
        self._roots[index] = self._node(root, 0, False)
        self._selected[index] = None
