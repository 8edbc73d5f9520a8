"""veltra_search.draw_tree: a picture of one root's tree, drawn by Graphviz from Forest.tree.

Shipped beside the compiled module, which registers draw_tree as a call into this file.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
from typing import Any

# The formats draw_tree writes, by the path's suffix; None: the DOT source itself.
FORMATS = {".svg": "svg", ".png": "png", ".dot": None, ".gv": None}
PRINCIPAL_STYLE = 'color="#c0392b", fontcolor="#c0392b", penwidth=2.5'


def draw_tree(forest: Any, i: Any, path: Any, max_depth: Any = 3) -> None:
    import veltra_search

    if not isinstance(forest, veltra_search.Forest):
        raise TypeError(f"forest must be a veltra_search.Forest, got {type(forest).__name__}")
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, got {type(path).__name__}")
    target = pathlib.Path(path)
    output_format = FORMATS.get(target.suffix.lower(), "")
    if output_format == "":
        raise ValueError(f"path must end in .svg, .png, .dot or .gv, got {str(path)!r}")
    tree = forest.tree(i, max_depth)  # its checks of i and max_depth
    if tree is None:
        raise ValueError(f"root {i} has no tree yet: it is pending until the next search")
    source = tree_dot(tree)
    if output_format is None:
        target.write_text(source)
        return
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError(f"draw_tree needs Graphviz's dot program to write {target.suffix} "
                           "files and found none on PATH: install Graphviz (Debian and Ubuntu: "
                           "apt-get install graphviz), or write a .dot file")
    result = subprocess.run([dot, f"-T{output_format}", "-o", str(target)], input=source,
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"dot failed on {str(path)!r}: {result.stderr.strip()}")


def principal_line(tree: dict[str, Any]) -> set[int]:
    """The ids of the nodes from the root down its most-visited children (ties: lowest action)."""
    line = {id(tree)}
    node = tree
    while node["children"]:
        node = max(node["children"], key=lambda child: (child["visits"], -child["action"]))
        line.add(id(node))
    return line


def node_label(node: dict[str, Any]) -> str:
    label = f"N {node['visits']}\\nV {node['value']:.3f}"
    return label + "\\nsolved" if node.get("solved") else label


def tree_dot(tree: dict[str, Any]) -> str:
    """The DOT source of a Forest.tree view: nodes n0, n1, ... in depth-first order."""
    highlighted = principal_line(tree)
    lines = ["digraph tree {",
             '  node [shape=box, style=rounded, fontname="Helvetica"];',
             '  edge [fontname="Helvetica"];']
    stack: list[tuple[dict[str, Any], str | None]] = [(tree, None)]
    count = 0
    while stack:  # no recursion: a tree of any depth
        node, parent = stack.pop()
        name = f"n{count}"
        count += 1
        style = f", {PRINCIPAL_STYLE}" if id(node) in highlighted else ""
        lines.append(f'  {name} [label="{node_label(node)}"{style}];')
        if parent is not None:
            lines.append(f'  {parent} -> {name} '
                         f'[label="a {node["action"]}\\np {node["prior"]:.3f}"{style}];')
        stack.extend((child, name) for child in reversed(node["children"]))
    lines.append("}")
    return "\n".join(lines) + "\n"
