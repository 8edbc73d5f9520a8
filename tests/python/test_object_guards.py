"""Objects without their native part, objects moved to another class, and copies.

Python can make an object of every class without running its constructor (`Cls.__new__(Cls)`,
or a subclass that calls methods before `super().__init__`), and can try to give an object
another class through `__class__`. Every method and property refuses such objects with
TypeError, and the object becomes usable once `__init__` has run. No object can be pickled or
copied, whatever the protocol. The cases run in child interpreters (hostile_cases.py), so a
crash fails its case only.
"""

import inspect

import pytest
import veltra_engine as ve

from hostile_cases import Case, check, params, run_cases

CLASSES = sorted(name for name, value in vars(ve).items() if isinstance(value, type))
ABSTRACT = {"SelectionPolicy", "ExpansionPolicy"}
CONSTRUCTIBLE = [name for name in CLASSES if name not in ABSTRACT]

# Arguments each method accepts on a constructed object, so only the missing constructor can
# make the call fail.
ARGUMENTS = {
    "ucb_score": "1.0",
    "add_child": "1, 0.5",
    "update": "1.0",
    "reroot": "1",
    "select": "v.Node()",
    "expand": "v.Node(), [1]",
    "search": "v.SearchTree(), lambda state: [1], None, lambda: 1.0",
}
# Members that are not the class's own behaviour: pybind11's cross-module hook, and the
# pickling refusal, which refuses every object alike.
NOT_GUARDED = {"__init__", "__reduce_ex__", "_pybind11_conduit_v1_"}
NOT_INITIALIZED = "is not initialized"


def construct(class_name: str) -> str:
    """An expression that constructs an object of the class."""
    return "v.SearchEngine(v.SearchConfig())" if class_name == "SearchEngine" else f"v.{class_name}()"


def members(class_name: str) -> list[tuple[str, bool]]:
    """(name, is_property) for every method and property the class and its bases define."""
    found = {}
    for owner in inspect.getmro(getattr(ve, class_name)):
        for name, value in vars(owner).items():
            if name in NOT_GUARDED or name in found:
                continue
            if isinstance(value, property):
                found[name] = True
            elif callable(value) and not name.startswith("__"):
                found[name] = False
    return sorted(found.items())


def unconstructed_cases() -> list[Case]:
    cases = []
    for cls in CLASSES:
        for name, is_property in members(cls):
            blank = f"v.{cls}.__new__(v.{cls})"
            if is_property:
                cases.append(Case(f"{cls}.{name}:read", f"{blank}.{name}", "TypeError",
                                  NOT_INITIALIZED))
                cases.append(Case(f"{cls}.{name}:write", f"""
                    blank = {blank}
                    blank.{name} = v.{cls}().{name}
                """, "TypeError", NOT_INITIALIZED))
            else:
                cases.append(Case(f"{cls}.{name}", f"{blank}.{name}({ARGUMENTS.get(name, '')})",
                                  "TypeError", NOT_INITIALIZED))
    as_argument = {
        "select": "v.UCBSelection().select(v.Node.__new__(v.Node))",
        "expand": "v.FullExpansion().expand(v.Node.__new__(v.Node), [1])",
        "engine_config": "v.SearchEngine(v.SearchConfig.__new__(v.SearchConfig))",
        "search_tree": "search(tree=v.SearchTree.__new__(v.SearchTree))",
    }
    cases += [Case(f"argument:{name}", code, "TypeError", NOT_INITIALIZED)
              for name, code in as_argument.items()]
    cases += [
        Case(f"subclass_before_init:{method}", f"""
            class Early(v.Node):
                def __init__(self):
                    self.{method}
                    super().__init__()
            Early()
        """, "TypeError", NOT_INITIALIZED)
        for method in ("add_child(1, 0.5)", "clear_children()", "update(1.0)")
    ]
    cases += [Case(f"{cls}:usable_after_init", f"""
        blank = v.{cls}.__new__(v.{cls})
        blank.__init__()
        assert isinstance(blank, v.{cls})
    """) for cls in ("SearchConfig", "SearchTree", "UCBSelection", "ProgressiveExpansion")]
    cases.append(Case("Node:usable_after_init", """
        blank = v.Node.__new__(v.Node)
        blank.__init__(3)
        assert blank.add_child(4, 0.5).action() == 4 and blank.action() == 3
    """))
    return cases


ASSIGNMENTS = {
    "assignment": "obj.__class__ = {0}",
    "object.__setattr__": "object.__setattr__(obj, '__class__', {0})",
}


def class_assignment_cases() -> list[Case]:
    cases = []
    # Each class to the next: between any two different native types.
    for cls, other in zip(CONSTRUCTIBLE, CONSTRUCTIBLE[1:] + CONSTRUCTIBLE[:1]):
        for way, statement in ASSIGNMENTS.items():
            cases.append(Case(f"{cls}->{other}:{way}", f"""
                obj = {construct(cls)}
                try:
                    {statement.format(f'v.{other}')}
                finally:
                    assert type(obj) is v.{cls}
            """, "TypeError"))
    cases.append(Case("same_native_type_allowed", """
        class Plain(v.Node):
            __slots__ = ()
        class Same(v.Node):
            __slots__ = ()
        obj = Plain(5)
        obj.__class__ = Same
        assert type(obj) is Same and obj.action() == 5
    """))
    cases.append(Case("subclass_to_another_native_type", """
        class Plain(v.Node):
            __slots__ = ()
        class Other(v.SearchTree):
            __slots__ = ()
        Plain().__class__ = Other
    """, "TypeError"))
    return cases


def pickling_cases() -> list[Case]:
    attempts = [f"lambda obj: pickle.dumps(obj, {protocol})" for protocol in range(6)]
    attempts += ["copy.copy", "copy.deepcopy", "lambda obj: obj.__reduce_ex__(0)"]
    objects = [construct(cls) for cls in CONSTRUCTIBLE] + ["Derived()"]
    return [Case(f"pickle:{obj}:{index}", f"""
        import copy, pickle
        class Derived(v.Node):
            pass
        ({attempt})({obj})
    """, "TypeError", "cannot pickle") for obj in objects for index, attempt in enumerate(attempts)]


# veltra_search's classes carry the same guards.
SEARCH_OBJECTS = {
    "SearchConfig": "vs.SearchConfig(3, num_simulations=0)",
    "Forest": "vs.Forest(vs.SearchConfig(3, num_simulations=0), [0], [[0.0] * 3], [0.0])",
    "SearchOutput": "vs.Forest(vs.SearchConfig(3, num_simulations=0), [0], [[0.0] * 3], [0.0])"
                    ".search(lambda states, actions: None)",
}


def search_module_cases() -> list[Case]:
    members = [("SearchConfig", "seed"), ("SearchConfig", "__repr__()"),
               ("SearchOutput", "visit_counts"), ("Forest", "num_nodes"),
               ("Forest", "search(None)"), ("Forest", "advance([0])")]
    cases = [Case(f"search:{cls}.{member}",
                  f"import veltra_search as vs\nvs.{cls}.__new__(vs.{cls}).{member}",
                  "TypeError", NOT_INITIALIZED) for cls, member in members]
    cases.append(Case("search:argument", """
        import veltra_search as vs
        vs.Forest(vs.SearchConfig.__new__(vs.SearchConfig), [0], [[0.0] * 3], [0.0])
    """, "TypeError", NOT_INITIALIZED))
    names = sorted(SEARCH_OBJECTS)
    for cls, other in zip(names, names[1:] + names[:1]):
        cases.append(Case(f"search:{cls}->{other}", f"""
            import veltra_search as vs
            obj = {SEARCH_OBJECTS[cls]}
            try:
                obj.__class__ = vs.{other}
            finally:
                assert type(obj) is vs.{cls}
        """, "TypeError"))
    cases += [Case(f"search:pickle:{cls}:{how}", f"""
        import copy, pickle
        import veltra_search as vs
        ({how})({SEARCH_OBJECTS[cls]})
    """, "TypeError", "cannot pickle") for cls in names
        for how in ("lambda obj: pickle.dumps(obj, 0)", "copy.deepcopy")]
    return cases


CASES = unconstructed_cases() + class_assignment_cases() + pickling_cases() + search_module_cases()


@pytest.fixture(scope="module")
def outcomes() -> dict[str, dict[str, object]]:
    return run_cases(CASES)


class TestUnconstructedObjects:
    def test_every_member_is_covered(self) -> None:
        covered = {case.ident.split(":")[0] for case in unconstructed_cases()}
        assert {f"{cls}.{name}" for cls in CLASSES for name, _ in members(cls)} <= covered
        assert {"Node.update", "SearchTree.total_nodes", "BatchSearchResult.root_values"} <= covered

    @pytest.mark.parametrize("case", params(unconstructed_cases()))
    def test_refused(self, case: Case, outcomes: dict[str, dict[str, object]]) -> None:
        check(case, outcomes[case.ident])


class TestClassAssignment:
    @pytest.mark.parametrize("case", params(class_assignment_cases()))
    def test_only_within_one_native_type(
        self, case: Case, outcomes: dict[str, dict[str, object]]
    ) -> None:
        check(case, outcomes[case.ident])


class TestSearchModule:
    @pytest.mark.parametrize("case", params(search_module_cases()))
    def test_guarded(self, case: Case, outcomes: dict[str, dict[str, object]]) -> None:
        check(case, outcomes[case.ident])


class TestPickling:
    @pytest.mark.parametrize("case", params(pickling_cases()))
    def test_refused(self, case: Case, outcomes: dict[str, dict[str, object]]) -> None:
        check(case, outcomes[case.ident])
