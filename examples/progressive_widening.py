"""Searches for a hidden three-digit code by driving a tree of nodes by hand.

Each iteration walks down from the root. A node may have at most ceil(sqrt(visits + 1)) children
(progressive widening): while it has fewer, ProgressiveExpansion adds one child for a digit drawn
at random from the digits not tried there yet, and the walk stops at that new child. Otherwise a
selection policy (UCBSelection, or PolicyWeightedUCB) picks one of the node's children. The code
is then completed with random digits and scored, noisily, by how close it is to the hidden code;
every node on the path is updated with that score (one player, so no sign changes).

Children made by the expansion policies have prior 0.0, so PolicyWeightedUCB gives them no
exploration bonus: it picks the child with the best mean, and only widening explores.

Everything random follows from --seed: the hidden code, the noise, the random completions and
the expansion policy's own generator, so a seed always gives the same output.

Run: python3 examples/progressive_widening.py [--seed 0] [--iterations 3000]
       [--selection ucb|weighted]   (with the built module importable, e.g. PYTHONPATH=build)
"""

import argparse
import math
import random

import veltra_engine

DIGITS = range(10)
CODE_LENGTH = 3
NOISE = 0.1

Selection = veltra_engine.UCBSelection | veltra_engine.PolicyWeightedUCB


class CodeSearch:
    def __init__(self, seed: int, selection: Selection) -> None:
        self.rng = random.Random(seed)
        self.code = [self.rng.choice(DIGITS) for _ in range(CODE_LENGTH)]
        self.widening = veltra_engine.ProgressiveExpansion(seed)
        self.selection = selection
        self.root = veltra_engine.Node()
        # Python cannot list a node's children, so the search keeps its own record of them.
        # Node objects keep their identity: select() returns the objects stored here.
        self.children: dict[veltra_engine.Node, list[veltra_engine.Node]] = {self.root: []}

    def score(self, guess: list[int]) -> float:
        """1 for the hidden code, down to 0 for the farthest guess, plus Gaussian noise."""
        distance = sum(abs(g - c) for g, c in zip(guess, self.code))
        return 1.0 - distance / (9 * len(self.code)) + self.rng.gauss(0.0, NOISE)

    def iterate(self) -> veltra_engine.Node | None:
        """Runs one iteration; returns the new root child when the root was widened."""
        path = [self.root]
        new_child = None
        while len(path) <= CODE_LENGTH:
            node = path[-1]
            if len(self.children[node]) < self.widening_limit(node):
                new_child = self.widen(node)
                path.append(new_child)
                break
            path.append(self.select(node))
        guess = [node.action() for node in path[1:]]
        guess += [self.rng.choice(DIGITS) for _ in range(CODE_LENGTH - len(guess))]
        value = self.score(guess)
        for node in path:
            node.update(value)
        # The walk stopped right below the root only if it widened the root.
        return new_child if len(path) == 2 else None

    @staticmethod
    def widening_limit(node: veltra_engine.Node) -> int:
        return min(len(DIGITS), math.ceil(math.sqrt(node.visit_count() + 1)))

    def widen(self, node: veltra_engine.Node) -> veltra_engine.Node:
        tried = {child.action() for child in self.children[node]}
        child = self.widening.expand(node, [digit for digit in DIGITS if digit not in tried])
        if child is None or child is node:
            raise RuntimeError("every digit already has a child")
        self.children[node].append(child)
        self.children[child] = []
        return child

    def select(self, node: veltra_engine.Node) -> veltra_engine.Node:
        chosen = self.selection.select(node)
        if chosen is None or chosen is node:
            raise RuntimeError("the selection policy found no child")
        return chosen

    def most_visited_path(self) -> list[veltra_engine.Node]:
        """From the root down, the most visited child at each level (the first on ties)."""
        path = []
        node = self.root
        while self.children[node]:
            node = max(self.children[node], key=lambda child: child.visit_count())
            path.append(node)
        return path


def main() -> None:
    parser = argparse.ArgumentParser(description="Searches for a hidden code with widening.")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--iterations", type=int, default=3000)
    parser.add_argument("--selection", choices=("ucb", "weighted"), default="ucb")
    args = parser.parse_args()

    selection: Selection
    if args.selection == "ucb":
        selection = veltra_engine.UCBSelection()
    else:
        selection = veltra_engine.PolicyWeightedUCB()
    search = CodeSearch(args.seed, selection)
    print(f"seed {args.seed}, {args.iterations} iterations, selection {args.selection}")
    for iteration in range(1, args.iterations + 1):
        new_child = search.iterate()
        if new_child is not None:
            print(f"iteration {iteration:>5}: root widened to {len(search.children[search.root])} "
                  f"children with digit {new_child.action()}")

    print("root children by visits:")
    for child in sorted(search.children[search.root], key=lambda c: -c.visit_count()):
        print(f"  digit {child.action()}: {child.visit_count():>5} visits, "
              f"mean {child.mean_value():.3f}, {len(search.children[child])} children")
    path = search.most_visited_path()
    found = "".join(str(node.action()) for node in path)
    print(f"tree size {len(search.children)} nodes, root visits {search.root.visit_count()}")
    print(f"most visited code {found} (mean {path[-1].mean_value():.3f}), "
          f"hidden code {''.join(map(str, search.code))}")


if __name__ == "__main__":
    main()
