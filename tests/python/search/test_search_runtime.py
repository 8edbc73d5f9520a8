"""veltra_search in a live interpreter: a busy forest refuses other threads and its own
recurrent_fn and stays intact, two forests search concurrently, states are released with their
nodes (cycles through a state included, deep trees without recursion), and the stub matches the
module. Each check that could crash the interpreter runs in a fresh one."""

from __future__ import annotations

import gc
import pathlib
import threading
import weakref
from typing import Any, Callable, List

import numpy as np
import pytest
import veltra_search as vs

from helpers import run_python
from search_models import RandomModel, assert_same_output, make_forest, reference


TESTS = pathlib.Path(__file__).resolve().parent
REPO = TESTS.parents[2]


def busy_calls(forest: Any, model: Callable[..., Any]) -> List[Callable[[], Any]]:
    """Every call that reads or changes the trees."""
    return [
        lambda: forest.search(model),
        lambda: forest.select(),
        lambda: forest.select(1.0),
        lambda: forest.advance(0, 0),
        lambda: forest.advance(np.zeros(forest.num_roots, dtype=np.int64)),
        lambda: forest.reset(0, 0, np.zeros(4), 0.0),
        lambda: forest.num_nodes,
        lambda: forest.root_states,
    ]


def assert_refused(forest: Any, model: Callable[..., Any]) -> None:
    for call in busy_calls(forest, model):
        with pytest.raises(RuntimeError, match="busy"):
            call()


def expected_search(num_roots: int, **config: Any) -> Any:
    return make_forest(reference, RandomModel(4, 1), num_roots, **config).search(RandomModel(4, 1))


def check_another_thread_is_refused() -> None:
    model, entered, release = RandomModel(4, 1), threading.Event(), threading.Event()

    def blocking(states: List[Any], actions: np.ndarray) -> Any:
        entered.set()
        assert release.wait(30)
        return model(states, actions)

    forest = make_forest(vs, RandomModel(4, 1), 3, num_simulations=20)
    outputs: List[Any] = []
    searching = threading.Thread(target=lambda: outputs.append(forest.search(blocking)))
    searching.start()
    assert entered.wait(30)
    try:
        assert_refused(forest, model)
    finally:
        release.set()
        searching.join()
    assert_same_output(outputs[0], expected_search(3, num_simulations=20))


def check_recurrent_fn_is_refused() -> None:
    model, refusals = RandomModel(4, 1), list[int]()

    def reentrant(states: List[Any], actions: np.ndarray) -> Any:
        assert_refused(forest, model)
        refusals.append(len(states))
        return model(states, actions)

    forest = make_forest(vs, RandomModel(4, 1), 3, num_simulations=10)
    assert_same_output(forest.search(reentrant), expected_search(3, num_simulations=10))
    assert len(refusals) == 10


def check_two_forests_search_concurrently() -> None:
    def search(seed: int) -> Any:
        model = RandomModel(7, seed)
        return make_forest(vs, model, 128, num_simulations=100, seed=seed).search(model)

    serial = [search(1), search(2)]
    concurrent: dict[int, Any] = {}
    threads = [threading.Thread(target=lambda s=s: concurrent.update({s: search(s)}))
               for s in (1, 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for seed, expected in zip((1, 2), serial):
        assert_same_output(concurrent[seed], expected)


def check_states_live_exactly_as_long_as_their_nodes() -> None:
    model = RandomModel(5, 6, boxed=True, legal_fraction=1.0, terminal_fraction=0.0)

    def live_states() -> int:
        gc.collect()
        return len(model.issued)

    forest = make_forest(vs, model, 4, num_simulations=40)
    forest.search(model)
    assert live_states() == forest.num_nodes > 4
    forest.advance(forest.select())
    assert live_states() == forest.num_nodes
    states, logits, values, legal = model.roots(6)
    forest.reset(1, states[5], logits[5], values[5], legal[5])
    del states
    assert live_states() == forest.num_nodes
    del forest
    assert live_states() == 0

    # A pending root holds its parent's state, and nothing else, until it is evaluated.
    forest = make_forest(vs, model, 4, num_simulations=1)
    forest.search(model)
    forest.advance((forest.select() + 1) % 5)
    assert forest.num_nodes == 0 and live_states() == 4
    forest.search(model)
    assert live_states() == forest.num_nodes == 8


class Loop:
    """A state that refers back to the forest holding it."""

    forest: Any = None


def check_cycles_through_states_are_collected() -> None:
    root = Loop()

    def model(states: List[Any], actions: np.ndarray) -> Any:
        count = len(states)
        children = [Loop() for _ in range(count)]
        for child in children:
            child.forest = root.forest
        return (children, np.zeros(count), -np.ones(count), np.zeros((count, 2)),
                np.zeros(count), None)

    forest = vs.Forest(vs.SearchConfig(2, num_simulations=10), [root], np.zeros((1, 2)), [0.0])
    root.forest = forest
    forest.search(model)
    watched = weakref.ref(root)
    del root, forest
    gc.collect()
    assert watched() is None


def check_a_deep_tree_is_freed_without_recursion() -> None:
    def chain(states: List[Any], actions: np.ndarray) -> Any:
        count = len(states)
        return ([0] * count, np.zeros(count), np.ones(count), np.zeros((count, 1)),
                np.zeros(count), None)

    depth = 20_000
    holder = [vs.Forest(vs.SearchConfig(1, num_simulations=depth), [0], [[0.0]], [0.0])]
    holder[0].search(chain)
    assert holder[0].num_nodes == depth + 1
    threading.stack_size(256 * 1024)  # a recursive free of 20,000 levels would overflow it
    freeing = threading.Thread(target=holder.clear)
    freeing.start()
    freeing.join()
    assert not holder


ISOLATED_CHECKS = [
    check_another_thread_is_refused,
    check_recurrent_fn_is_refused,
    check_two_forests_search_concurrently,
    check_states_live_exactly_as_long_as_their_nodes,
    check_cycles_through_states_are_collected,
    check_a_deep_tree_is_freed_without_recursion,
]


@pytest.mark.parametrize("check", ISOLATED_CHECKS, ids=lambda check: check.__name__[6:])
def test_in_a_fresh_interpreter(check: Callable[[], None]) -> None:
    code = (f"import sys; sys.path[:0] = {[str(TESTS), str(TESTS.parent)]!r}; "
            f"import test_search_runtime as t; t.{check.__name__}()")
    result = run_python(code)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.tooling
def test_stubtest_finds_no_difference() -> None:
    result = run_python(
        "import sys; from mypy.stubtest import main; sys.argv = ['stubtest', 'veltra_search', "
        f"'--mypy-config-file', {str(REPO / 'mypy.ini')!r}, '--allowlist', "
        f"{str(REPO / 'stubs' / 'stubtest_allowlist.txt')!r}, '--ignore-unused-allowlist']; "
        "sys.exit(main())"
    )
    assert result.returncode == 0, result.stdout + result.stderr
