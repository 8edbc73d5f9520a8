"""veltra_search.draw_tree: the DOT source of a small known tree (labels, principal line, depth
cut), pictures through Graphviz's dot, a clear error without it, and bad arguments refused
with nothing written."""

from __future__ import annotations

import pathlib
import shutil
from typing import Any

import numpy as np
import pytest
import veltra_search as vs

import _veltra_search_draw

PRINCIPAL = 'color="#c0392b", fontcolor="#c0392b", penwidth=2.5'
# Two actions; the root's priors are 0.75 and 0.25, every other node's uniform. Action 1 at the
# root leads to a position good for the opponent, so six simulations go: r0 (3 visits of its
# child r00, 1 of r01 worth 1.0), none to r1.
VALUES = {"r0": -0.5, "r1": 0.5, "r00": 0.0, "r01": 1.0}
DEPTH_TWO = f"""digraph tree {{
  node [shape=box, style=rounded, fontname="Helvetica"];
  edge [fontname="Helvetica"];
  n0 [label="N 7\\nV 0.214", {PRINCIPAL}];
  n1 [label="N 6\\nV -0.250", {PRINCIPAL}];
  n0 -> n1 [label="a 0\\np 0.750", {PRINCIPAL}];
  n2 [label="N 4\\nV 0.000", {PRINCIPAL}];
  n1 -> n2 [label="a 0\\np 0.500", {PRINCIPAL}];
  n3 [label="N 1\\nV 1.000"];
  n1 -> n3 [label="a 1\\np 0.500"];
}}
"""


def recurrent_fn(states: list[Any], actions: np.ndarray) -> tuple[Any, ...]:
    children = [state + str(int(action)) for state, action in zip(states, actions)]
    b = len(children)
    values = np.array([VALUES.get(child, 0.0) for child in children])
    return children, np.zeros(b), -np.ones(b), np.zeros((b, 2)), values, None


@pytest.fixture
def forest() -> Any:
    config = vs.SearchConfig(2, num_simulations=6, dirichlet_fraction=0.0)
    searched = vs.Forest(config, ["r", "s"], np.log([[0.75, 0.25]] * 2), np.zeros(2))
    searched.search(recurrent_fn, roots=[0])
    return searched


def node_count(tree: dict[str, Any]) -> int:
    return 1 + sum(node_count(child) for child in tree["children"])


class TestDotSource:
    @pytest.mark.parametrize("suffix", [".dot", ".gv"])
    def test_nodes_edges_and_principal_line_to_max_depth(self, forest: Any, tmp_path: pathlib.Path,
                                                         suffix: str) -> None:
        path = tmp_path / f"tree{suffix}"
        vs.draw_tree(forest, 0, path, max_depth=2)
        assert path.read_text() == DEPTH_TWO

    @pytest.mark.parametrize("max_depth", [None, 3, 0])
    def test_depth_cut_matches_the_tree_view(self, forest: Any, tmp_path: pathlib.Path,
                                             max_depth: int | None) -> None:
        path = tmp_path / "tree.dot"
        kwargs = {} if max_depth == 3 else {"max_depth": max_depth}  # 3 is the default
        vs.draw_tree(forest, 0, str(path), **kwargs)
        nodes = node_count(forest.tree(0, max_depth))
        assert path.read_text().count("[label=\"N ") == nodes
        assert path.read_text().count(" -> ") == nodes - 1

    def test_ties_go_to_the_lowest_action_and_solved_nodes_say_so(self) -> None:
        def node(action: int | None, visits: int, children: list[Any], **extra: Any) -> Any:
            return {"action": action, "visits": visits, "value": 0.5, "prior": 0.5,
                    "children": children, **extra}

        tree = node(None, 5, [node(2, 2, []), node(3, 2, [], solved=True)])
        lines = _veltra_search_draw.tree_dot(tree).splitlines()
        assert lines[4:] == [
            f'  n1 [label="N 2\\nV 0.500", {PRINCIPAL}];',
            f'  n0 -> n1 [label="a 2\\np 0.500", {PRINCIPAL}];',
            '  n2 [label="N 2\\nV 0.500\\nsolved"];',
            '  n0 -> n2 [label="a 3\\np 0.500"];',
            "}",
        ]


class TestPictures:
    @pytest.mark.parametrize("suffix, magic", [(".svg", b"<?xml"), (".PNG", b"\x89PNG")])
    def test_dot_draws_the_picture(self, forest: Any, tmp_path: pathlib.Path, suffix: str,
                                   magic: bytes) -> None:
        assert shutil.which("dot"), "Graphviz's dot is a test dependency (scripts/setup.sh)"
        path = tmp_path / f"tree{suffix}"
        vs.draw_tree(forest, 0, path)
        assert path.read_bytes().startswith(magic)
        if suffix == ".svg":
            assert "N 7" in path.read_text() and "a 0" in path.read_text()

    def test_without_dot_the_error_says_what_to_install(self, forest: Any, tmp_path: pathlib.Path,
                                                        monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv("PATH", str(tmp_path))
        with pytest.raises(RuntimeError, match="apt-get install graphviz"):
            vs.draw_tree(forest, 0, tmp_path / "tree.svg")
        assert not (tmp_path / "tree.svg").exists()
        vs.draw_tree(forest, 0, tmp_path / "tree.dot")  # the source needs no Graphviz
        assert (tmp_path / "tree.dot").read_text().startswith("digraph")


@pytest.mark.parametrize("args, error, words", [
    ((2, "t.dot"), IndexError, "root index"), (("0", "t.dot"), TypeError, "i must be"),
    ((0, "t.dot", -1), ValueError, "max_depth"), ((0, "t.dot", 1.5), TypeError, "max_depth"),
    ((0, "t.jpg"), ValueError, "path"), ((0, "t"), ValueError, "path"),
    ((0, 7), TypeError, "path"), ((1, "t.dot"), ValueError, "pending"),
])
def test_bad_arguments_are_refused_and_nothing_is_written(
        forest: Any, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch,
        args: tuple[Any, ...], error: type, words: str) -> None:
    monkeypatch.chdir(tmp_path)
    forest.advance(1, 1)  # to a child never made: pending until the next search
    with pytest.raises(error, match=words):
        vs.draw_tree(forest, *args)
    assert list(tmp_path.iterdir()) == []


def test_a_forest_is_required(tmp_path: pathlib.Path) -> None:
    with pytest.raises(TypeError, match="forest"):
        vs.draw_tree(object(), 0, tmp_path / "t.dot")
