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
import operator
from dataclasses import KW_ONLY, dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from reference import gumbel, root_selection, time_budget

MASK64 = (1 << 64) - 1
MAX_THREADS = 1024  # the most native threads a forest may run its steps on
TWO_TO_MINUS_53 = 1.0 / (1 << 53)
MIN_Q_SPAN = 1e-8

RecurrentFn = Callable[[List[Any], np.ndarray], Any]


class Generator:
    """SplitMix64 with the uniform, normal and gamma draws veltra_search defines on it."""

    def __init__(self, seed: int) -> None:
        self.state = seed

    def next_u64(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def uniform(self) -> float:
        return (self.next_u64() >> 11) * TWO_TO_MINUS_53

    def normal(self) -> float:
        while True:
            u = 2.0 * self.uniform() - 1.0
            v = 2.0 * self.uniform() - 1.0
            s = u * u + v * v
            if 0.0 < s < 1.0:
                return u * math.sqrt((-2.0 * math.log(s)) / s)

    def gamma(self, alpha: float) -> float:
        if alpha < 1.0:
            g = self.gamma(alpha + 1.0)
            return g * math.pow(self.uniform(), 1.0 / alpha)
        d = alpha - 1.0 / 3.0
        c = 1.0 / math.sqrt(9.0 * d)
        while True:
            x = self.normal()
            v = 1.0 + c * x
            if v <= 0.0:
                continue
            v = v * v * v
            u = self.uniform()
            if u < 1.0 - 0.0331 * ((x * x) * (x * x)):
                return d * v
            if math.log(u) < (0.5 * x) * x + d * ((1.0 - v) + math.log(v)):
                return d * v


# ----------------------------------------------------------------------------------------------
# Argument checks, with the messages veltra_search gives


def _integer(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def _real(name: str, value: Any) -> float:
    if isinstance(value, (str, bytes)) or not isinstance(value, (int, float, np.number)):
        raise TypeError(f"{name} must be a float, not {type(value).__name__}")
    return float(value)


def _float_array(name: str, value: Any, shape: Tuple[int, ...]) -> np.ndarray:
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array of floats of shape {shape}: {error}") from None
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; expected {shape}")
    return array


def _finite_rows(name: str, what: str, array: np.ndarray) -> None:
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        row = int(bad[0])
        raise ValueError(f"{name} row {row} is {array[row]}; {what} must be finite")


def _legal_mask(name: str, value: Any, shape: Tuple[int, ...]) -> np.ndarray:
    """Bools, or integers that are all 0 or 1."""
    if value is None:
        return np.ones(shape, dtype=bool)
    array = np.asarray(value)
    if array.dtype != np.bool_ and not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must be an array of bools of shape {shape}, not {array.dtype}")
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; expected {shape}")
    if array.dtype != np.bool_:
        if ((array != 0) & (array != 1)).any():
            raise ValueError(f"{name} holds values other than 0 and 1")
        array = array != 0
    return array


def _priors(name: str, row: int, logits: np.ndarray, legal: Sequence[int]) -> List[float]:
    """Softmax over the legal actions in float64, rounded to float32, widened back."""
    priors = [0.0] * len(logits)
    if not legal:
        return priors
    row_values = logits.tolist()
    if any(math.isnan(x) or x == math.inf for x in row_values):
        raise ValueError(f"{name} row {row} holds nan or +inf; logits must be finite or -inf")
    top = max(row_values[a] for a in legal)
    if top == -math.inf:
        raise ValueError(f"{name} row {row} has no finite logit among its legal actions")
    exps = [math.exp(row_values[a] - top) for a in legal]
    total = 0.0
    for e in exps:
        total += e
    rounded = np.array([e / total for e in exps], dtype=np.float64).astype(np.float32)
    for a, p in zip(legal, rounded.tolist()):
        priors[a] = p
    return priors


# ----------------------------------------------------------------------------------------------
# Public records


@dataclass(frozen=True)
class SearchConfig:
    num_actions: int
    _: KW_ONLY
    num_simulations: int = 100
    pb_c_init: float = 1.25
    pb_c_base: float = 19652.0
    dirichlet_alpha: float = 0.3
    dirichlet_fraction: float = 0.25
    seed: int = 0
    policy: str = "puct"
    max_considered_actions: int = 16
    gumbel_scale: float = 1.0
    value_scale: float = 0.1
    maxvisit_init: float = 50.0
    # Speed (threads change no result, so the reference only checks the field)
    num_threads: int = 1
    # Playing real games.
    unvisited_value: str = "min"

    def __post_init__(self) -> None:
        def set_field(name: str, value: Any) -> None:
            object.__setattr__(self, name, value)

        for name in ("num_actions", "num_simulations", "seed", "max_considered_actions"):
            set_field(name, _integer(name, getattr(self, name)))
        for name in ("pb_c_init", "pb_c_base", "dirichlet_alpha", "dirichlet_fraction",
                     "gumbel_scale", "value_scale", "maxvisit_init"):
            set_field(name, _real(name, getattr(self, name)))
        if not isinstance(self.policy, str):
            raise TypeError(f"policy must be a str, not {type(self.policy).__name__}")
        if self.policy not in ("puct", "gumbel"):
            raise ValueError(f"policy must be 'puct' or 'gumbel', got {self.policy!r}")
        if self.num_actions < 1:
            raise ValueError(f"num_actions must be at least 1, got {self.num_actions}")
        if self.num_simulations < 0:
            raise ValueError(f"num_simulations must be >= 0, got {self.num_simulations}")
        if self.max_considered_actions < 1:
            raise ValueError(
                f"max_considered_actions must be at least 1, got {self.max_considered_actions}")
        for name in ("num_actions", "num_simulations", "max_considered_actions"):
            if getattr(self, name) >= 2**31:
                raise ValueError(f"{name} must be below 2**31, got {getattr(self, name)}")
        if not math.isfinite(self.pb_c_init):
            raise ValueError(f"pb_c_init must be finite, got {self.pb_c_init}")
        if not (math.isfinite(self.pb_c_base) and self.pb_c_base > 0):
            raise ValueError(f"pb_c_base must be positive and finite, got {self.pb_c_base}")
        if not (math.isfinite(self.dirichlet_alpha) and self.dirichlet_alpha > 0):
            raise ValueError(
                f"dirichlet_alpha must be positive and finite, got {self.dirichlet_alpha}"
            )
        if not 0.0 <= self.dirichlet_fraction <= 1.0:
            raise ValueError(
                f"dirichlet_fraction must be in [0, 1], got {self.dirichlet_fraction}"
            )
        if not 0 <= self.seed <= MASK64:
            raise ValueError(f"seed must be in [0, 2**64), got {self.seed}")
        if not (math.isfinite(self.gumbel_scale) and self.gumbel_scale >= 0):
            raise ValueError(f"gumbel_scale must be finite and >= 0, got {self.gumbel_scale}")
        if not (math.isfinite(self.value_scale) and self.value_scale > 0):
            raise ValueError(f"value_scale must be positive and finite, got {self.value_scale}")
        if not (math.isfinite(self.maxvisit_init) and self.maxvisit_init >= 0):
            raise ValueError(f"maxvisit_init must be finite and >= 0, got {self.maxvisit_init}")
        # Speed
        set_field("num_threads", _integer("num_threads", self.num_threads))
        if not 0 <= self.num_threads <= MAX_THREADS:
            raise ValueError(f"num_threads must be in [0, {MAX_THREADS}], got {self.num_threads}")
        if not isinstance(self.unvisited_value, str):
            raise TypeError(
                f"unvisited_value must be a str, not {type(self.unvisited_value).__name__}")
        if self.unvisited_value not in ("min", "parent"):
            raise ValueError(
                f"unvisited_value must be 'min' or 'parent', got {self.unvisited_value!r}")
        if self.policy == "gumbel" and self.unvisited_value != "min":
            raise ValueError("unvisited_value must be 'min' under the Gumbel policy, which gives "
                             "unvisited actions its completed value instead")


    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("cannot pickle a SearchConfig")


@dataclass(frozen=True)
class SearchOutput:
    visit_counts: np.ndarray
    q_values: np.ndarray
    root_values: np.ndarray
    action_weights: np.ndarray
    num_simulations: int
    selected_actions: np.ndarray

    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("cannot pickle a SearchOutput")


# ----------------------------------------------------------------------------------------------
# Trees


class _Node:
    __slots__ = ("visits", "value", "raw_value", "reward", "discount", "priors", "logits",
                 "legal", "children", "state")

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
        self.children: List[Optional[_Node]] = [None] * len(priors)
        self.state = state


class _Pending:
    """A root reached by a move whose child was never created: evaluated at the next search."""

    __slots__ = ("parent_state", "action")

    def __init__(self, parent_state: Any, action: int) -> None:
        self.parent_state = parent_state
        self.action = action


class _Evaluation:
    """One recurrent_fn result (or the roots given by the caller), checked in full; with
    `keep_logits` (the Gumbel policy), its nodes keep their shifted logits."""

    def __init__(self, num_actions: int, prefix: str, count: int, states: Any, rewards: Any,
                 discounts: Any, logits: Any, values: Any, legal: Any,
                 keep_logits: bool = False) -> None:
        def name(field: str) -> str:
            return prefix.format(field)

        if not isinstance(states, (list, tuple)):
            raise TypeError(f"{name('next_states')} must be a list, not {type(states).__name__}")
        if len(states) != count:
            raise ValueError(f"{name('next_states')} has length {len(states)}; expected {count}")
        self.states = list(states)
        self.rewards = _float_array(name("rewards"), rewards, (count,))
        self.discounts = _float_array(name("discounts"), discounts, (count,))
        self.values = _float_array(name("values"), values, (count,))
        logits_array = _float_array(name("prior_logits"), logits, (count, num_actions))
        mask = _legal_mask(name("legal"), legal, (count, num_actions))
        for field, array in (("rewards", self.rewards), ("discounts", self.discounts),
                             ("values", self.values)):
            _finite_rows(name(field), field, array)
        self.legal = [tuple(np.flatnonzero(row).tolist()) for row in mask]
        self.priors = [_priors(name("prior_logits"), i, logits_array[i], self.legal[i])
                       for i in range(count)]
        self.logits: List[Any] = [None] * count
        if keep_logits:
            self.logits = [gumbel.shift_logits(row, legal)
                           for row, legal in zip(logits_array.tolist(), self.legal)]
        self.rewards_list = self.rewards.tolist()
        self.discounts_list = self.discounts.tolist()
        self.values_list = self.values.tolist()

    def node(self, i: int, with_edge: bool = True) -> _Node:
        if with_edge:
            return _Node(self.states[i], self.priors[i], self.logits[i], self.legal[i],
                         self.values_list[i], self.rewards_list[i], self.discounts_list[i])
        return _Node(self.states[i], self.priors[i], self.logits[i], self.legal[i],
                     self.values_list[i])


def _call_model(recurrent_fn: RecurrentFn, num_actions: int, states: List[Any],
                actions: List[int], keep_logits: bool) -> _Evaluation:
    result = recurrent_fn(states, np.array(actions, dtype=np.int64))
    if not isinstance(result, tuple) or len(result) != 6:
        raise TypeError(
            "recurrent_fn must return a tuple (next_states, rewards, discounts, prior_logits, "
            "values, legal)"
        )
    next_states, rewards, discounts, logits, values, legal = result
    return _Evaluation(num_actions, "recurrent_fn output '{}'", len(states), next_states,
                       rewards, discounts, logits, values, legal, keep_logits)


def _back_up(path: List[_Node], child: _Node, value: float) -> None:
    """Backs `value` of `child` up through `path` (root first, child's parent last)."""
    for node in reversed(path):
        value = child.reward + child.discount * value
        node.value = (node.value * node.visits + value) / (node.visits + 1)
        node.visits += 1
        child = node


def _select(node: _Node, priors: List[float], pb_c_init: float, pb_c_base: float,
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


def _power(base: float, exponent: float) -> float:
    """The C library's pow, whose overflow is +inf rather than Python's OverflowError."""
    try:
        return math.pow(base, exponent)
    except OverflowError:
        return math.inf


def _count_nodes(root: _Node) -> int:
    count = 0
    stack = [root]
    while stack:
        node = stack.pop()
        count += 1
        stack.extend(child for child in node.children if child is not None)
    return count


class Forest:
    def __init__(self, config: SearchConfig, states: Sequence[Any], prior_logits: Any,
                 values: Any, legal: Any = None) -> None:
        if not isinstance(config, SearchConfig):
            raise TypeError(f"config must be a SearchConfig, not {type(config).__name__}")
        if not isinstance(states, (list, tuple)):
            raise TypeError(f"states must be a list, not {type(states).__name__}")
        if not states:
            raise ValueError("states must hold at least one root state")
        self._config = config
        self._generator = Generator(config.seed)
        self._busy = False
        self._selected: List[Optional[int]] = [None] * len(states)  # Gumbel's final actions
        self._weights: List[List[float]] = [[]] * len(states)  # Gumbel's improved policies
        roots = _Evaluation(config.num_actions, "{}", len(states), states, np.zeros(len(states)),
                            np.zeros(len(states)), prior_logits, values, legal,
                            config.policy == "gumbel")
        self._roots: List[_Node | _Pending] = [roots.node(i, False) for i in range(len(states))]

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
        return sum(_count_nodes(root) for root in self._roots if isinstance(root, _Node))

    @property
    def root_states(self) -> List[Any]:
        self._enter()
        return [root.state if isinstance(root, _Node) else None for root in self._roots]

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
                root_priors = [root.priors if isinstance(root, _Node) else []
                               for root in self._roots]
            else:
                searches = None
                root_priors = self._root_priors()
            budget = time_budget.TimeBudget(seconds, clock)
            self._steps = 0
            while self._steps < self._config.num_simulations:
                self._step(recurrent_fn, root_priors, searches, self._steps)
                self._steps += 1
                if budget.spent():
                    break
            for i, search in enumerate(searches or []):
                if search is not None:
                    self._selected[i] = search.final_action()
                    self._weights[i] = gumbel.improved_policy(search.root, self._config)
        finally:
            self._busy = False
        return self._output()

    def _evaluate_pending(self, recurrent_fn: RecurrentFn) -> None:
        pending = [(i, root) for i, root in enumerate(self._roots)
                   if isinstance(root, _Pending) and self._searched[i]]
        if not pending:
            return
        evaluation = _call_model(recurrent_fn, self._config.num_actions,
                                 [root.parent_state for _, root in pending],
                                 [root.action for _, root in pending],
                                 self._config.policy == "gumbel")
        for row, (i, _) in enumerate(pending):
            self._roots[i] = evaluation.node(row, with_edge=False)

    def _root_priors(self) -> List[List[float]]:
        """The priors each root uses for one search: the stored ones mixed with fresh noise."""
        config = self._config
        fraction = config.dirichlet_fraction
        priors = []
        for root, on in zip(self._roots, self._searched):
            if not on:
                priors.append([])
                continue
            assert isinstance(root, _Node)
            if fraction <= 0.0 or not root.legal:
                priors.append(root.priors)
                continue
            draws = [self._generator.gamma(config.dirichlet_alpha) for _ in root.legal]
            total = 0.0
            for g in draws:
                total += g
            noise = [g / total for g in draws] if total != 0.0 else [1.0 / len(draws)] * len(draws)
            mixed = list(root.priors)
            for a, eta in zip(root.legal, noise):
                mixed[a] = (1.0 - fraction) * root.priors[a] + fraction * eta
            priors.append(mixed)
        return priors

    def _step(self, recurrent_fn: RecurrentFn, root_priors: List[List[float]],
              searches: Optional[List[gumbel.RootSearch]], simulation: int) -> None:
        pb_c_init, pb_c_base = self._config.pb_c_init, self._config.pb_c_base
        paths: List[List[_Node]] = []
        expansions: List[Tuple[int, int]] = []  # (root index, action)
        for i, root in enumerate(self._roots):
            if not self._searched[i]:
                paths.append([])
                continue
            assert isinstance(root, _Node)
            node, priors, path = root, root_priors[i], [root]
            while node.legal:
                if searches is None:
                    action = _select(node, priors, pb_c_init, pb_c_base,
                                     self._config.unvisited_value == "parent")
                elif node is root:
                    action = searches[i].action(simulation)
                else:
                    action = gumbel.interior_action(node, self._config)
                child = node.children[action]
                if child is None:
                    expansions.append((i, action))
                    break
                node, priors = child, child.priors
                path.append(child)
            paths.append(path)
        evaluation = None
        if expansions:
            evaluation = _call_model(recurrent_fn, self._config.num_actions,
                                     [paths[i][-1].state for i, _ in expansions],
                                     [action for _, action in expansions],
                                     self._config.policy == "gumbel")
        row = 0
        for i, path in enumerate(paths):
            if not path:
                continue
            if row < len(expansions) and expansions[row][0] == i:
                assert evaluation is not None
                child = evaluation.node(row)
                path[-1].children[expansions[row][1]] = child
                _back_up(path, child, child.raw_value)
                row += 1
            else:
                leaf = path.pop()
                value = leaf.raw_value
                leaf.value = (leaf.value * leaf.visits + value) / (leaf.visits + 1)
                leaf.visits += 1
                _back_up(path, leaf, value)

    def _output(self) -> SearchOutput:
        num_roots, num_actions = len(self._roots), self._config.num_actions
        visits = np.zeros((num_roots, num_actions), dtype=np.int64)
        q_values = np.full((num_roots, num_actions), math.nan)
        root_values = np.full(num_roots, math.nan)  # NaN: a pending root this search left alone
        for i, root in enumerate(self._roots):
            if isinstance(root, _Pending):
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
                             if isinstance(root, _Node) and root.legal else -1
                             for i, root in enumerate(self._roots)], dtype=np.int64)
        return SearchOutput(visits, q_values, root_values, weights, self._steps,
                            selected)

    # -- moves

    def select(self, temperature: float = 0.0) -> np.ndarray:
        self._enter()
        temperature = _real("temperature", temperature)
        if not temperature >= 0.0:
            raise ValueError(f"temperature must be >= 0, got {temperature}")
        moves = np.full(len(self._roots), -1, dtype=np.int64)
        for i, root in enumerate(self._roots):
            if isinstance(root, _Node) and root.legal:
                moves[i] = self._choose(root, temperature, i)
        return moves

    def _choose(self, root: _Node, temperature: float, i: int) -> int:
        selected = self._selected[i]
        if temperature == 0.0 and selected is not None:
            return selected
        counts = [0 if child is None else child.visits for child in root.children]
        most = root.legal[0]
        for a in root.legal:
            if counts[a] > counts[most]:
                most = a
        if temperature == 0.0:
            return most
        exponent = 1.0 / temperature
        weights = [_power(counts[a], exponent) for a in root.legal]
        total = 0.0
        for w in weights:
            total += w
        if total == 0.0 or not math.isfinite(total):
            return most
        threshold = self._generator.uniform() * total
        running = 0.0
        for a, w in zip(root.legal, weights):
            running += w
            if running > threshold:
                return a
        return root.legal[-1]

    def tree(self, i: Any, max_depth: Any = None) -> Optional[Dict[str, Any]]:
        from reference import tree_view  # it reads this module's nodes

        self._enter()
        index = self._root(i)
        return tree_view.tree_view(self._roots[index], tree_view.read_max_depth(max_depth))

    def _root(self, index: Any) -> int:
        index = _integer("i", index)
        count = len(self._roots)
        if not -count <= index < count:
            raise IndexError(f"root index {index} is out of range for {count} roots")
        return index % count

    def _check_move(self, i: int, action: int) -> None:
        root = self._roots[i]
        if isinstance(root, _Pending):
            raise ValueError(f"root {i} has not been evaluated yet; run search first")
        if action not in root.legal:
            raise ValueError(f"action {action} is not a legal action of root {i}")

    def _move(self, i: int, action: int) -> None:
        self._selected[i] = None
        root = self._roots[i]
        assert isinstance(root, _Node)
        child = root.children[action]
        if child is None:
            self._roots[i] = _Pending(root.state, action)
        else:
            child.reward = child.discount = 0.0
            self._roots[i] = child

    def advance(self, i_or_actions: Any, action: Any = None) -> None:
        self._enter()
        if action is not None:
            i = self._root(i_or_actions)
            move = _integer("action", action)
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
            if isinstance(root, _Node) and not root.legal:
                if move != -1:
                    raise ValueError(f"root {i} has no legal action; its action must be -1")
            else:
                self._check_move(i, move)
        for i, move in enumerate(moves):
            if move != -1:
                self._move(i, move)

    def reset(self, i: Any, state: Any, prior_logits: Any, value: Any, legal: Any = None) -> None:
        self._enter()
        index = self._root(i)
        num_actions = self._config.num_actions
        value_array = np.array(_real("value", value))
        logits = _float_array("prior_logits", prior_logits, (num_actions,))
        mask = None if legal is None else _legal_mask("legal", legal, (num_actions,))[None]
        root = _Evaluation(num_actions, "{}", 1, [state], [0.0], [0.0], logits[None],
                           value_array[None], mask, self._config.policy == "gumbel")
        self._roots[index] = root.node(0, with_edge=False)
        self._selected[index] = None
