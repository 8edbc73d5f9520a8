"""Searches whose arguments or callbacks misbehave, and callbacks that re-enter the module.

An argument that does not convert raises TypeError before any callback runs; a callback result
that does not convert raises RuntimeError; a callable's own exception reaches the caller
unchanged. The cases run in child interpreters (hostile_cases.py)."""

import pytest

from hostile_cases import Case, cast_fails, check, params, rejects, run_cases


def engine_cases() -> list[Case]:
    cases = [
        rejects("SearchEngine()", "v.SearchEngine()"),
        rejects("SearchEngine(None)", "v.SearchEngine(None)"),
        rejects("SearchEngine(config=)", "v.SearchEngine(config=v.SearchConfig())"),
        rejects("SearchEngine(SearchResult)", "v.SearchEngine(v.SearchResult())"),
        rejects("SearchEngine(5)", "v.SearchEngine(5)"),
        rejects("SearchEngine_two_arguments", "v.SearchEngine(v.SearchConfig(), 1)"),
        Case("SearchEngine_unknown_attribute", "engine().config = 1", "AttributeError"),
    ]
    # Arguments that do not convert: nothing is called and the tree is untouched.
    bad_arguments = {
        "tree=5": "5, legal, None, rollout",
        "tree=Node": "v.Node(), legal, None, rollout",
        "legal=5": "tree, 5, None, rollout",
        "legal=list": "tree, [1], None, rollout",
        "transition=5": "tree, legal, 5, rollout",
        "rollout=str": "tree, legal, None, 'f'",
        "missing_rollout": "tree, legal, None",
        "unknown_keyword": "tree, legal, None, rollout, depth=1",
        "duplicate_keyword": "tree, legal, None, rollout, tree=tree",
    }
    for name, arguments in bad_arguments.items():
        cases.append(rejects(f"search({name})", f"""
            tree, legal, rollout = v.SearchTree(), Calls([1]), Calls(1.0)
            try:
                engine().search({arguments})
            finally:
                assert legal.count == rollout.count == 0 and tree.total_nodes() == 1
        """))

    legal_results = {
        "none": ("None", "NoneType"), "int": ("5", "int"), "str": ("'12'", "str"),
        "bytes": ("b'12'", "bytes"), "float_item": ("[1.0]", "list"),
        "out_of_range_item": ("[1, 2**31]", "list"), "below_range_item": ("[-2**31 - 1]", "list"),
        "none_item": ("(1, None)", "tuple"), "dict": ("{1: 2}", "dict"),
        "raising_index_item": ("[BadIndex()]", "list"), "object": ("object()", "object"),
    }
    for name, (result, type_name) in legal_results.items():
        # The failing simulation adds nothing: the tree keeps only its root.
        cases.append(cast_fails(f"legal_actions_returns_{name}", f"""
            tree = v.SearchTree()
            try:
                search(legal=lambda state: {result}, tree=tree)
            finally:
                assert tree.total_nodes() == 1 and tree.root().visit_count() == 0
        """, type_name))
    rollout_results = {
        "none": ("None", "NoneType"), "str": ("'1.0'", "str"), "list": ("[1.0]", "list"),
        "int_beyond_double": ("10**400", "int"), "raising_float": ("BadFloat()", "BadFloat"),
        "object": ("object()", "object"),
    }
    for name, (result, type_name) in rollout_results.items():
        # The expansion stays, with no statistics anywhere.
        cases.append(cast_fails(f"rollout_returns_{name}", f"""
            tree = v.SearchTree()
            try:
                search(legal=lambda state: [1, 2], rollout=lambda: {result}, tree=tree)
            finally:
                assert tree.total_nodes() == 3 and tree.root().visit_count() == 0
        """, type_name))
    cases += [
        Case("empty_legal_actions_callback", "search(legal=None)", "RuntimeError"),
        Case("empty_rollout_callback", "search(rollout=None)", "RuntimeError"),
        Case("empty_callbacks_unused_on_zero_simulations", """
            r = engine(0).search(v.SearchTree(), None, None, None)
            assert r.best_action == -1 and r.num_simulations == 0
            r = engine(5).search(None, None, None, None)
            assert r.best_action == -1 and r.actions == []
        """),
    ]

    # The callable's own exception reaches the caller unchanged, with the callable's frame.
    raising = {
        "legal_raises": ("legal=Calls(Boom('legal'))", "Boom", "legal"),
        "rollout_raises": ("rollout=Calls(Boom('rollout'))", "Boom", "rollout"),
        "rollout_raises_keyboard_interrupt": ("rollout=Calls(KeyboardInterrupt('stop'))",
                                              "KeyboardInterrupt", "stop"),
        "legal_raises_system_exit": ("legal=Calls(SystemExit(3))", "SystemExit", "3"),
        "legal_takes_no_arguments": ("legal=lambda: [1]", "TypeError", "positional argument"),
        "rollout_takes_an_argument": ("rollout=lambda x: 1.0", "TypeError", "missing 1 required"),
        "legal_generator_raises_midway": (
            "legal=lambda state: (x if x < 2 else 1 / 0 for x in range(3))",
            "ZeroDivisionError", "division by zero"),
    }
    cases += [Case(name, f"search({argument})", error, message)
              for name, (argument, error, message) in raising.items()]
    cases.append(Case("raised_exception_is_the_same_object", """
        error = Boom("mine")
        try:
            search(rollout=Calls(error))
        except Boom as caught:
            assert caught is error
            frames = [frame.name for frame in traceback.extract_tb(caught.__traceback__)]
            assert "__call__" in frames, frames
        else:
            raise AssertionError("no exception")
    """))

    accepted = {
        "convertible_results": """
            for legal in ((1, 2), range(3), {4}, (i for i in [5]), {7: 0}.keys()):
                search(legal=lambda state, legal=legal: legal)
            for value in (1, True, Fraction(1, 3), math.nan, math.inf, -math.inf):
                search(rollout=lambda value=value: value)
        """,
        "callable_kinds": """
            class Game:
                def legal(self, state): return [1]
            search(legal=Game().legal, rollout=functools.partial(float, 2))
            search(legal=Calls([1, 2]), rollout=Calls(0.5))
        """,
        "non_finite_values_and_exploration": """
            for value in (math.nan, math.inf, -math.inf):
                r = search(rollout=lambda value=value: value, simulations=30)
                assert sum(r.visit_counts) == 30
            c = v.SearchConfig(); c.exploration_constant = math.nan; c.num_simulations = 30
            r = v.SearchEngine(c).search(v.SearchTree(), lambda s: [1, 2], None, lambda: 1.0)
            assert sum(r.visit_counts) == 30
        """,
        "two_hundred_thousand_legal_actions": """
            tree = v.SearchTree()
            r = search(legal=lambda state: range(200_000), tree=tree, simulations=1)
            assert tree.total_nodes() == 200_001 and len(r.actions) == 200_000
        """,
        "negative_simulation_count": """
            r = engine(-2**31).search(v.SearchTree(), None, None, None)
            assert r.num_simulations == -2**31 and r.actions == []
        """,
    }
    cases += [Case(f"engine:{name}", code) for name, code in accepted.items()]
    return cases


def reentry_cases() -> list[Case]:
    """Callbacks that call back into the module while a search runs on the same tree."""
    accepted = {
        "nested_search_on_the_same_tree": """
            tree, depth = v.SearchTree(), [0]
            def rollout():
                if depth[0] < 3:
                    depth[0] += 1
                    engine(2).search(tree, lambda state: [1, 2], None, rollout)
                    depth[0] -= 1
                return 1.0
            r = engine(3).search(tree, lambda state: [1, 2], None, rollout)
            assert tree.total_nodes() > 3 and sum(r.visit_counts) == tree.root().visit_count()
        """,
        "rollout_clears_the_tree": """
            tree = v.SearchTree()
            r = search(rollout=lambda: (tree.clear(), 1.0)[1], tree=tree, simulations=5)
            assert r.actions == [] and r.root_value == 0.0
        """,
        "legal_actions_clears_the_tree": """
            tree = v.SearchTree()
            r = search(legal=lambda state: (tree.clear(), [1, 2])[1], tree=tree, simulations=5)
            assert r.actions == [] and tree.total_nodes() == 1
        """,
        "rollout_drops_the_expanded_children": """
            tree = v.SearchTree()
            root = tree.root()
            r = search(rollout=lambda: (root.clear_children(), 1.0)[1], tree=tree, simulations=5)
            assert root.visit_count() == 5 and not root.is_expanded() and r.actions == []
        """,
        "rollout_reroots_to_a_missing_action": """
            tree = v.SearchTree()
            search(rollout=lambda: (tree.reroot(77), 1.0)[1], tree=tree, simulations=5)
            assert tree.root().action() == 77
        """,
        "legal_actions_drops_the_last_reference_to_tree_and_engine": """
            held = {"tree": v.SearchTree(), "engine": engine(5)}
            def legal(state):
                held.clear(); gc.collect()
                return [1]
            r = held["engine"].search(held["tree"], legal, None, lambda: 1.0)
            assert r.visit_counts == [5]
        """,
        "policies_on_the_tree_being_searched": """
            tree = v.SearchTree()
            def legal(state):
                v.FullExpansion().expand(tree.root(), [8])
                v.UCBSelection().select(tree.root())
                v.ProgressiveExpansion().expand(v.PolicyWeightedUCB().select(tree.root()), [9])
                return [1]
            search(legal=legal, tree=tree, simulations=3)
        """,
    }
    cases = [Case(f"reentry:{name}", code) for name, code in accepted.items()]
    cases += [
        Case("reentry:unbounded_nested_search", """
            tree = v.SearchTree()
            def rollout():
                return engine(1).search(tree, lambda state: [1], None, rollout).root_value
            search(rollout=rollout, tree=tree)
        """, "RecursionError"),
        Case("reentry:nested_search_raises", """
            def rollout():
                search(rollout=Calls(Boom("inner")))
                return 1.0
            search(rollout=rollout)
        """, "Boom", "inner"),
        Case("reentry:rollout_raises_after_changing_the_tree", """
            tree = v.SearchTree()
            calls = Calls(lambda: tree.clear() or (1 / 0))
            try:
                search(rollout=calls, tree=tree)
            finally:
                assert calls.count == 1 and tree.total_nodes() == 1
        """, "ZeroDivisionError"),
    ]
    return cases


CASES = engine_cases() + reentry_cases()


@pytest.fixture(scope="module")
def outcomes() -> dict[str, dict[str, object]]:
    return run_cases(CASES)


@pytest.mark.parametrize("case", params(CASES))
def test_search_outcome(case: Case, outcomes: dict[str, dict[str, object]]) -> None:
    check(case, outcomes[case.ident])
