"""Interrupts, other threads and interpreter shutdown while the module works.

- KeyboardInterrupt, SystemExit and MemoryError raised inside a number conversion (`__float__`,
  `__index__`) of an argument or a callback result reach the caller unchanged.
- A search notices pending signals and lets other Python threads run even when its callbacks are
  C functions, which never return to Python's evaluation loop; an interrupted search leaves every
  completed simulation applied.
- A search still running in a daemon thread when the interpreter exits does not crash it.
- Importing the module in a sub-interpreter is refused with ImportError.

Every case runs in a child interpreter, so a crash or a hang fails that case only.
"""

import json
import subprocess
import textwrap

import pytest

from helpers import run_python
from hostile_cases import Case, check, params, run_cases

INTERRUPTS = ["KeyboardInterrupt", "SystemExit", "MemoryError"]
# Where a conversion of a number runs Python code, as `{0}` standing for a raising number.
CONVERSION_SITES = {
    "Node.update": "v.Node().update({0})",
    "Node.add_child_action": "v.Node().add_child({0}, 0.5)",
    "Node.ucb_score": "v.Node().ucb_score({0})",
    "SearchConfig.seed": "v.SearchConfig().seed = {0}",
    "ProgressiveExpansion_seed": "v.ProgressiveExpansion({0})",
    "expand_action_item": "v.FullExpansion().expand(v.Node(), [1, {0}])",
    "root_values_item": "v.BatchSearchResult().root_values = [0.5, {0}]",
    "rollout_result": """
        tree = v.SearchTree()
        try:
            search(rollout=lambda: {0}, tree=tree)
        finally:
            assert tree.total_nodes() == 3 and tree.root().visit_count() == 0
    """,
    "legal_action_item": """
        tree = v.SearchTree()
        try:
            search(legal=lambda state: [1, {0}], tree=tree)
        finally:
            assert tree.total_nodes() == 1
    """,
}

CONVERSION_CASES = [
    Case(f"{site}:{error}", code.format(f"Raising({error}('stop'))"), error)
    for site, code in CONVERSION_SITES.items()
    for error in INTERRUPTS
] + [
    Case("legal_actions_0d_array", """
        import numpy
        tree = v.SearchTree()
        try:
            search(legal=lambda state: numpy.array(5), tree=tree)
        finally:
            assert tree.total_nodes() == 1
    """, "RuntimeError", "Unable to cast Python instance of type <class 'numpy.ndarray'>"),
]


@pytest.fixture(scope="module")
def outcomes() -> dict[str, dict[str, object]]:
    return run_cases(CONVERSION_CASES)


class TestInterruptsInConversions:
    @pytest.mark.parametrize("case", params(CONVERSION_CASES))
    def test_propagates_unchanged(self, case: Case, outcomes: dict[str, dict[str, object]]) -> None:
        check(case, outcomes[case.ident])


# Callbacks that never enter Python's evaluation loop, and the same callbacks in Python. Each
# simulation adds two children below the node it reaches and visits exactly one root child.
CALLBACKS = {
    "C functions": "{0.0: [1, 2]}.get, None, float",
    "Python functions": "lambda state: [1, 2], None, lambda: 0.0",
}
PRELUDE = """
import json, os, signal, sys, threading, time
import veltra_engine as v

def engine(simulations):
    config = v.SearchConfig()
    config.num_simulations = simulations
    return v.SearchEngine(config)

def statistics(tree):
    '''Root visits, visits summed over the root's children, and the node count.'''
    children = engine(0).search(tree, None, None, None)
    return [tree.root().visit_count(), sum(children.visit_counts), tree.total_nodes()]
"""


def run(code: str) -> subprocess.CompletedProcess[str]:
    """Runs the prelude and `code` in a fresh interpreter; a hang fails the test."""
    try:
        return run_python(PRELUDE + textwrap.dedent(code))
    except subprocess.TimeoutExpired as hang:
        raise AssertionError("the interpreter did not finish") from hang


class TestSignalsDuringSearch:
    SIGNALS = {
        # A handler of our own, run by the search's thread.
        "SIGALRM": """
            class Alarm(Exception):
                pass
            def on_alarm(number, frame):
                raise Alarm()
            signal.signal(signal.SIGALRM, on_alarm)
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            expected = Alarm
        """,
        # Python's default handler, the signal sent by another thread, which must get to run.
        "SIGINT": """
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            expected = KeyboardInterrupt
        """,
    }

    @pytest.mark.parametrize("callbacks", CALLBACKS.values(), ids=CALLBACKS.keys())
    @pytest.mark.parametrize("sent", SIGNALS.values(), ids=SIGNALS.keys())
    def test_ends_the_search_between_simulations(self, sent: str, callbacks: str) -> None:
        simulations = 2**31 - 1  # far more than can finish before the test times out
        child = run(sent + f"""
            tree = v.SearchTree()
            try:
                engine({simulations}).search(tree, {callbacks})
            except expected:
                print(json.dumps(statistics(tree)))
        """)
        assert child.returncode == 0, child.stderr
        visits, child_visits, nodes = json.loads(child.stdout)
        assert 0 < visits < simulations and child_visits == visits
        # C callbacks are interrupted between simulations; Python ones may be interrupted in the
        # rollout, after the simulation's expansion, as any exception they raise there.
        unvisited_children = {0} if callbacks == CALLBACKS["C functions"] else {0, 2}
        assert nodes - (2 * visits + 1) in unvisited_children


class TestThreadsDuringSearch:
    @pytest.mark.parametrize("callbacks", CALLBACKS.values(), ids=CALLBACKS.keys())
    def test_another_thread_runs_while_the_search_does(self, callbacks: str) -> None:
        # The watcher can only end the endless search if it gets the interpreter during it.
        child = run(f"""
            import _thread
            tree, seen = v.SearchTree(), []
            def watch():
                while not seen:
                    visits = tree.root().visit_count()
                    if visits > 0:
                        seen.append(visits)
                    time.sleep(0.001)
                _thread.interrupt_main()
            threading.Thread(target=watch).start()
            try:
                engine(2**31 - 1).search(tree, {callbacks})
            except KeyboardInterrupt:
                print(json.dumps([seen[0], tree.root().visit_count()]))
        """)
        assert child.returncode == 0, child.stderr
        seen, final = json.loads(child.stdout)
        assert 0 < seen <= final < 2**31 - 1


class TestExitDuringSearch:
    @pytest.mark.parametrize("callbacks", CALLBACKS.values(), ids=CALLBACKS.keys())
    def test_daemon_search_lets_the_interpreter_exit(self, callbacks: str) -> None:
        child = run(f"""
            tree = v.SearchTree()
            def worker():
                engine(2**31 - 1).search(tree, {callbacks})
            threading.Thread(target=worker, daemon=True).start()
            while tree.root().visit_count() == 0:
                time.sleep(0.01)
            time.sleep(0.2)
            print("main thread ran", flush=True)
        """)
        assert (child.returncode, child.stdout) == (0, "main thread ran\n"), child.stderr


class TestSubInterpreters:
    def test_import_is_refused(self) -> None:
        child = run_python(textwrap.dedent("""
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create()
            interpreters.run_string(interpreter, '''
            try:
                import veltra_engine
            except ImportError as error:
                assert "sub-interpreters" in str(error), error
            else:
                raise AssertionError("imported")
            ''')
            import veltra_engine
            print(veltra_engine.Node().action())
        """))
        assert (child.returncode, child.stdout.strip()) == (0, "-1"), child.stderr
