"""Runs snippets against the module in child interpreters, for the tests of bad inputs.

Each case is a snippet with the exception it must raise (or none). Whatever a case does, the
interpreter must survive it. The cases run in child interpreters, many per child; a child that
dies is restarted after the case it was running, which is reported as a crash of that case.
"""

import dataclasses
import json
import os
import subprocess
import sys
import textwrap

import pytest

from helpers import MODULE_DIR

# Names every snippet can use.
PRELUDE = """
import functools, gc, math, sys, traceback
from fractions import Fraction
import veltra_engine as v

class Boom(Exception):
    pass

class BadIndex:
    def __index__(self):
        raise KeyError("index")

class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("float")

class Raising:
    '''A number whose conversions (__float__, __index__) raise `error`.'''
    def __init__(self, error):
        self.error = error
    def __float__(self):
        raise self.error
    __index__ = __float__

class Calls:
    '''A callable that counts its calls and answers with `result` (or raises it).'''
    def __init__(self, result=None):
        self.result, self.count = result, 0
    def __call__(self, *args):
        self.count += 1
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result

def engine(simulations=4):
    config = v.SearchConfig()
    config.num_simulations = simulations
    return v.SearchEngine(config)

def search(legal=lambda state: [1, 2], rollout=lambda: 1.0, tree=None, simulations=4):
    tree = v.SearchTree() if tree is None else tree
    return engine(simulations).search(tree, legal, None, rollout)

def expanded_node(visits=(3, 1)):
    root = v.Node()
    for action, count in enumerate(visits):
        child = root.add_child(action, 0.5)
        for _ in range(count):
            child.update(1.0)
            root.update(-1.0)
    return root
"""

# The child interpreter: runs the cases it reads from stdin, one JSON line per start and result.
RUNNER = """
import gc, json, sys
prelude = compile(sys.argv[1], "<prelude>", "exec")
for ident, code in json.load(sys.stdin):
    print(json.dumps({"start": ident}), flush=True)
    scope = {}
    exec(prelude, scope)
    try:
        exec(compile(code, f"<{ident}>", "exec"), scope)
        outcome = {"raised": None, "message": ""}
    except BaseException as error:
        outcome = {"raised": type(error).__name__, "message": str(error)}
    del scope
    gc.collect()  # destructors of the case's objects run here, still within the case
    print(json.dumps({"id": ident, **outcome}), flush=True)
"""

CAST_FAILURE = "Unable to cast Python instance of type "


@dataclasses.dataclass(frozen=True)
class Case:
    ident: str
    code: str
    raises: str | None = None  # exception class name; None: the snippet must complete
    message: str = ""  # a part of the exception's message

    def param(self) -> object:
        return pytest.param(self, id=self.ident)


def rejects(ident: str, code: str, message: str = "") -> Case:
    return Case(ident, code, "TypeError", message)


def cast_fails(ident: str, code: str, result_type: str) -> Case:
    return Case(ident, code, "RuntimeError", f"{CAST_FAILURE}<class '{result_type}'>")


INT32_BAD = {"2**31": "2**31", "below_int32": "-2**31 - 1", "float": "2.5", "str": "'1'",
             "none": "None", "complex": "1j", "raising_index": "BadIndex()"}
UINT32_BAD = {"negative": "-1", "2**32": "2**32", "float": "1.0", "none": "None"}
FLOAT_BAD = {"str": "'1.0'", "none": "None", "int_beyond_double": "10**400", "list": "[1.0]",
             "raising_float": "BadFloat()"}
INT_LIST_BAD = {"number": "5", "str": "'12'", "bytes": "b'12'", "float_item": "[1, 2.5]",
                "out_of_range_item": "[1, 2**31]", "none_item": "[None]", "none": "None",
                "dict": "{1: 2}"}
FLOAT_LIST_BAD = {"number": "5", "str": "'12'", "str_item": "['a']", "none_item": "[None]",
                  "none": "None", "int_beyond_double_item": "[10**400]"}


def run_cases(cases: list[Case], prelude: str = PRELUDE) -> dict[str, dict[str, object]]:
    """Outcome of every case; a child that dies is restarted after the case that killed it."""
    outcomes: dict[str, dict[str, object]] = {}
    pending = [(case.ident, textwrap.dedent(case.code)) for case in cases]
    while pending:
        child = subprocess.run(
            [sys.executable, "-c", RUNNER, prelude], input=json.dumps(pending),
            env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)),
            capture_output=True, text=True, timeout=600, check=False,
        )
        started = None
        for line in child.stdout.splitlines():
            record = json.loads(line)
            if "start" in record:
                started = record["start"]
            else:
                outcomes[record.pop("id")] = record
                started = None
        finished = {ident for ident, _ in pending if ident in outcomes}
        if started is not None:
            outcomes[started] = {"crashed": child.returncode, "stderr": child.stderr[-2000:]}
        elif child.returncode != 0 and len(finished) < len(pending):
            pytest.fail(f"the case runner failed: {child.stderr}")
        pending = [(ident, code) for ident, code in pending if ident not in outcomes]
    return outcomes


def check(case: Case, outcome: dict[str, object]) -> None:
    assert "crashed" not in outcome, f"interpreter died ({outcome})"
    assert outcome["raised"] == case.raises, outcome["message"]
    assert case.message in str(outcome["message"])


def params(cases: list[Case]) -> list[object]:
    assert len({case.ident for case in cases}) == len(cases), "case names must be unique"
    return [case.param() for case in cases]
