"""Arguments and assigned values that do not convert, at every entry point but the search.

Each refused value raises TypeError and leaves the target as it was; values at the edges of what
converts are accepted. The cases run in child interpreters (hostile_cases.py)."""

import pytest

from hostile_cases import (
    FLOAT_BAD,
    FLOAT_LIST_BAD,
    INT32_BAD,
    INT_LIST_BAD,
    UINT32_BAD,
    Case,
    check,
    params,
    rejects,
    run_cases,
)

RECORD_FIELDS = [
    ("SearchConfig", "num_simulations", INT32_BAD),
    ("SearchConfig", "exploration_constant", FLOAT_BAD),
    ("SearchConfig", "max_rollout_depth", INT32_BAD),
    ("SearchConfig", "discount_factor", FLOAT_BAD),
    ("SearchConfig", "seed", UINT32_BAD),
    ("SearchResult", "best_action", INT32_BAD),
    ("SearchResult", "actions", INT_LIST_BAD),
    ("SearchResult", "visit_counts", INT_LIST_BAD),
    ("SearchResult", "root_value", FLOAT_BAD),
    ("SearchResult", "num_simulations", INT32_BAD),
    ("BatchSearchResult", "best_actions", INT_LIST_BAD),
    ("BatchSearchResult", "root_values", FLOAT_LIST_BAD),
    ("BatchSearchResult", "num_simulations", INT32_BAD),
]


def record_cases() -> list[Case]:
    cases = []
    for record, field, bad_values in RECORD_FIELDS:
        for name, value in bad_values.items():
            # A refused value leaves the field as it was.
            code = f"""
                r = v.{record}()
                before = r.{field}
                try:
                    r.{field} = {value}
                finally:
                    assert r.{field} == before
            """
            cases.append(rejects(f"{record}.{field}={name}", code))
    for record in sorted({record for record, _, _ in RECORD_FIELDS}):
        cases += [
            rejects(f"{record}()_with_argument", f"v.{record}(1)"),
            Case(f"{record}_unknown_attribute", f"v.{record}().tag = 1", "AttributeError"),
        ]
    accepted = {
        "int32_bounds": """
            c = v.SearchConfig()
            c.num_simulations = 2**31 - 1; assert c.num_simulations == 2**31 - 1
            c.num_simulations = -2**31; assert c.num_simulations == -2**31
            c.seed = 2**32 - 1; assert c.seed == 2**32 - 1
        """,
        "index_objects_as_ints": """
            class Seven:
                def __index__(self): return 7
            c = v.SearchConfig(); c.seed = Seven(); c.num_simulations = True
            assert (c.seed, c.num_simulations) == (7, 1)
        """,
        "float_extremes": """
            r = v.SearchResult()
            for value, expected in [(1e300, math.inf), (-1e300, -math.inf), (1e-50, 0.0),
                                    (math.inf, math.inf), (Fraction(1, 4), 0.25)]:
                r.root_value = value
                assert r.root_value == expected, (value, r.root_value)
            r.root_value = math.nan
            assert math.isnan(r.root_value)
        """,
        "root_values_extremes_and_a_million_items": """
            b = v.BatchSearchResult()
            b.root_values = [1e300, math.nan, -0.0, 3]
            values = b.root_values
            assert values[0] == math.inf and math.isnan(values[1]) and values[2:] == [0.0, 3.0]
            b.root_values = (0.5 for _ in range(10**6))
            assert len(b.root_values) == 10**6
        """,
        "list_from_generator_and_set": """
            r = v.SearchResult()
            r.actions = (i for i in range(3)); assert r.actions == [0, 1, 2]
            r.visit_counts = {4}; assert r.visit_counts == [4]
        """,
    }
    cases += [Case(f"records:{name}", code) for name, code in accepted.items()]
    return cases


def node_and_tree_cases() -> list[Case]:
    cases = []
    for name, value in INT32_BAD.items():
        cases += [
            rejects(f"Node(action={name})", f"v.Node({value})"),
            rejects(f"Node.add_child(action={name})", f"v.Node().add_child({value}, 0.5)"),
            rejects(f"SearchTree(root_action={name})", f"v.SearchTree({value})"),
            rejects(f"SearchTree.reroot({name})", f"""
                t = v.SearchTree(); t.root().add_child(1, 0.0)
                try:
                    t.reroot({value})
                finally:
                    assert t.root().action() == -1 and t.total_nodes() == 2
            """),
        ]
    for name, value in FLOAT_BAD.items():
        cases += [
            rejects(f"Node(prior_prob={name})", f"v.Node(0, {value})"),
            rejects(f"Node.ucb_score({name})", f"v.Node().ucb_score({value})"),
            rejects(f"Node.add_child(prior={name})", f"""
                n = v.Node()
                try:
                    n.add_child(1, {value})
                finally:
                    assert not n.is_expanded()
            """),
            rejects(f"Node.update({name})", f"""
                n = v.Node()
                try:
                    n.update({value})
                finally:
                    assert n.visit_count() == 0
            """),
        ]
    arity = {
        "Node_unknown_keyword": "v.Node(action=1, prior=0.5)",
        "Node_three_arguments": "v.Node(1, 0.5, None)",
        "Node.update_by_keyword": "v.Node().update(value=1.0)",
        "Node.ucb_score_missing": "v.Node().ucb_score()",
        "Node.add_child_missing_prior": "v.Node().add_child(1)",
        "Node.action_extra": "v.Node().action(1)",
        "Node.visit_count_extra": "v.Node().visit_count(None)",
        "Node.total_value_extra": "v.Node().total_value(0)",
        "Node.mean_value_extra": "v.Node().mean_value(0)",
        "Node.is_expanded_extra": "v.Node().is_expanded(0)",
        "Node.clear_children_extra": "v.Node().clear_children(0)",
        "SearchTree.reroot_by_keyword": "v.SearchTree().reroot(arg0=1)",
        "SearchTree.root_extra": "v.SearchTree().root(0)",
        "SearchTree.total_nodes_extra": "v.SearchTree().total_nodes(0)",
        "SearchTree.clear_extra": "v.SearchTree().clear(0)",
        "SearchTree_unknown_keyword": "v.SearchTree(action=1)",
        "Node.unbound_on_a_tree": "v.Node.action(v.SearchTree())",
    }
    cases += [rejects(name, code) for name, code in arity.items()]
    cases += [Case(f"{cls}_unknown_attribute", f"{cls}.tag = 1", "AttributeError")
              for cls in ("v.Node()", "v.SearchTree()")]
    accepted = {
        "non_finite_statistics": """
            n = expanded_node()
            child = n.add_child(9, math.nan)
            child.update(math.inf); child.update(-math.inf)
            assert math.isnan(child.total_value()) and math.isnan(child.mean_value())
            assert math.isnan(child.ucb_score(1.0))
            for c in (math.nan, math.inf, -math.inf, 1e300):
                n.ucb_score(c); child.ucb_score(c)
        """,
        "reinitialising_keeps_objects_usable": """
            n = v.Node(3); n.__init__(5); n.update(1.0); assert n.visit_count() == 1
            t = v.SearchTree(); t.__init__(5); assert t.total_nodes() == 1
            c = v.SearchConfig(); c.__init__(); c.seed = 1
        """,
        "hundred_thousand_children_then_clear": """
            n = v.Node()
            kept = [n.add_child(i, 0.0) for i in range(0, 100_000, 1000)]
            for i in range(100_000):
                n.add_child(i, 0.0)
            n.clear_children()
            assert not n.is_expanded() and kept[5].action() == 5000
        """,
        "deep_chain_dropped_at_once": """
            t = v.SearchTree()
            node = t.root()
            for _ in range(200_000):
                node = node.add_child(1, 0.0)
            del node
            assert t.total_nodes() == 200_001
            t.clear(); gc.collect()
        """,
        "copy_and_pickle_refused": """
            import copy, pickle
            for obj in (v.Node(), v.SearchTree(), v.SearchConfig(), v.UCBSelection()):
                for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
                    try:
                        attempt(obj)
                    except TypeError:
                        continue
                    raise AssertionError(f"{attempt.__name__} accepted {obj!r}")
        """,
    }
    cases += [Case(f"nodes:{name}", code) for name, code in accepted.items()]
    return cases


def policy_cases() -> list[Case]:
    cases = []
    for cls in ("UCBSelection", "PolicyWeightedUCB"):
        cases += [rejects(f"{cls}(c={name})", f"v.{cls}({value})")
                  for name, value in FLOAT_BAD.items()]
        cases += [
            rejects(f"{cls}_two_arguments", f"v.{cls}(1.0, 2.0)"),
            rejects(f"{cls}.select(5)", f"v.{cls}().select(5)"),
            rejects(f"{cls}.select(tree)", f"v.{cls}().select(v.SearchTree())"),
            rejects(f"{cls}.select()", f"v.{cls}().select()"),
            rejects(f"{cls}.select_by_keyword", f"v.{cls}().select(arg0=v.Node())"),
            Case(f"{cls}:select_none_and_non_finite_constants", f"""
                assert v.{cls}().select(None) is None
                node = expanded_node()
                node.add_child(7, math.nan).update(math.nan)
                for c in (math.nan, math.inf, -math.inf, 1e300, -1e300):
                    assert v.{cls}(c).select(node) is not None
                empty_parent = v.Node()
                empty_parent.add_child(1, 0.5).update(1.0)  # visited child, parent never visited
                assert v.{cls}().select(empty_parent) is not None
            """),
        ]
    for cls in ("FullExpansion", "ProgressiveExpansion"):
        cases += [rejects(f"{cls}.expand(actions={name})", f"""
                n = v.Node()
                try:
                    v.{cls}().expand(n, {value})
                finally:
                    assert not n.is_expanded()
            """) for name, value in INT_LIST_BAD.items()]
        cases += [
            rejects(f"{cls}.expand(5)", f"v.{cls}().expand(5, [1])"),
            rejects(f"{cls}.expand(tree)", f"v.{cls}().expand(v.SearchTree(), [1])"),
            rejects(f"{cls}.expand_missing_actions", f"v.{cls}().expand(v.Node())"),
            rejects(f"{cls}.expand_by_keyword", f"v.{cls}().expand(v.Node(), arg1=[1])"),
            Case(f"{cls}:expand_none_and_large_lists", f"""
                assert v.{cls}().expand(None, [1]) is None
                n = v.Node()
                assert v.{cls}().expand(n, range(200_000)) is not None
                assert v.{cls}().expand(n, []) is not None
            """),
        ]
    cases += [rejects(f"ProgressiveExpansion(seed={name})", f"v.ProgressiveExpansion({value})")
              for name, value in UINT32_BAD.items()]
    cases += [
        rejects("SelectionPolicy()", "v.SelectionPolicy()", "No constructor defined!"),
        rejects("ExpansionPolicy()", "v.ExpansionPolicy()", "No constructor defined!"),
        rejects("FullExpansion(1)", "v.FullExpansion(1)"),
        rejects("subclass_skipping_init", """
            class Lazy(v.UCBSelection):
                def __init__(self):
                    pass
            Lazy()
        """, "__init__() must be called"),
        Case("ProgressiveExpansion(2**32 - 1)",
             "assert v.ProgressiveExpansion(2**32 - 1).expand(v.Node(), [1]).action() == 1"),
        Case("policy_unknown_attribute", "v.UCBSelection().c = 2.0", "AttributeError"),
    ]
    return cases


CASES = record_cases() + node_and_tree_cases() + policy_cases()


@pytest.fixture(scope="module")
def outcomes() -> dict[str, dict[str, object]]:
    return run_cases(CASES)


@pytest.mark.parametrize("case", params(CASES))
def test_refused_or_accepted(case: Case, outcomes: dict[str, dict[str, object]]) -> None:
    check(case, outcomes[case.ident])
