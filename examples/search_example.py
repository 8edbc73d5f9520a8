"""Plays a subtraction game with the search engine, rerooting the tree after every move.

The game: a pile of stones, the players take 1, 2 or 3 stones in turn, and whoever takes the
last stone wins. A pile that is a multiple of 4 is lost for the player to move, so from 10
stones the winning move is to take 2.

The engine keeps no problem state. At the leaf where a simulation's descent ends it calls
legal_actions_fn(0.0), adds one child per returned action, moves to the first new child, calls
rollout_fn() and backs the value up: +v at that child, -v at its parent, and so on to the root.
So the rollout value is the result for the player who made the last move on the path (or who
moved into the leaf, when the leaf has no legal actions).

To know which position a leaf stands for, legal_actions_fn replays the engine's descent with
UCBSelection built on the same exploration constant: it scores children with the same UCB1 rule
and breaks ties the same way, so it walks to the very leaf the engine reached and reads the
actions on the way. Node objects keep their identity, so the replay can check afterwards that
the engine visited the leaf it predicted.

Run: python3 examples/search_example.py [--stones 10] [--simulations 3000] [--seed 1]
(with the built module importable, e.g. PYTHONPATH=build).
"""

import argparse
import random
from collections.abc import Sequence

import veltra_engine

MOVES = (1, 2, 3)


class SubtractionGame:
    """The Python side of the search: positions, legal moves and random playouts."""

    def __init__(self, tree: veltra_engine.SearchTree, config: veltra_engine.SearchConfig,
                 stones: int, rng: random.Random) -> None:
        self.tree = tree
        self.stones_at_root = stones
        self.selection = veltra_engine.UCBSelection(config.exploration_constant)
        self.rng = rng
        # What legal_actions learnt about the current simulation, for rollout and the replay check.
        self.leaf: veltra_engine.Node | None = None
        self.leaf_visits = 0
        self.stones_after_last_move = stones

    def legal_actions(self, state: float) -> list[int]:
        """The engine's legal-actions callback (the state is always 0.0 and not used)."""
        del state
        leaf, stones = self.replay_descent()
        self.leaf, self.leaf_visits = leaf, leaf.visit_count()
        actions = [move for move in MOVES if move <= stones]
        # The engine simulates from the child of the first action, or from the leaf itself.
        self.stones_after_last_move = stones - actions[0] if actions else stones
        return actions

    def rollout(self) -> float:
        """The engine's rollout callback: +1 if the player who made the last move wins."""
        stones = self.stones_after_last_move
        last_mover_wins = True  # holds when the pile is empty: that player took the last stone
        while stones > 0:
            stones -= self.rng.choice([move for move in MOVES if move <= stones])
            last_mover_wins = not last_mover_wins
        return 1.0 if last_mover_wins else -1.0

    def replay_descent(self) -> tuple[veltra_engine.Node, int]:
        """Walks from the root to the engine's leaf; returns it with the stones left there."""
        self.check_last_simulation()
        node = self.tree.root()
        stones = self.stones_at_root
        while node.is_expanded():
            child = self.selection.select(node)
            if child is None or child is node:
                raise RuntimeError("no child qualifies: statistics are not finite")
            node = child
            stones -= node.action()
        return node, stones

    def check_last_simulation(self) -> None:
        """The leaf of the previous simulation must have received exactly one more visit."""
        if self.leaf is not None and self.leaf.visit_count() != self.leaf_visits + 1:
            raise RuntimeError("the replayed descent does not match the engine's")
        self.leaf = None

    def advance(self, action: int) -> None:
        """Plays `action` at the root: the tree keeps the subtree below it."""
        self.tree.reroot(action)
        self.stones_at_root -= action


def format_counts(actions: Sequence[int], visit_counts: Sequence[int]) -> str:
    return "  ".join(f"take {action}: {visits:>4}" for action, visits in zip(actions, visit_counts))


def main() -> None:
    parser = argparse.ArgumentParser(description="Plays a subtraction game with the engine.")
    parser.add_argument("--stones", type=int, default=10)
    parser.add_argument("--simulations", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1, help="seed of the random playouts")
    args = parser.parse_args()

    config = veltra_engine.SearchConfig()
    config.num_simulations = args.simulations
    engine = veltra_engine.SearchEngine(config)
    tree = veltra_engine.SearchTree()
    game = SubtractionGame(tree, config, args.stones, random.Random(args.seed))

    print(f"{args.stones} stones, take 1 to 3 per turn, taking the last stone wins; "
          f"{args.simulations} simulations per move")
    player = 1
    while game.stones_at_root > 0:
        carried = tree.root().visit_count()
        result = engine.search(tree, game.legal_actions, None, game.rollout)
        game.check_last_simulation()
        print(f"player {player} at {game.stones_at_root:>2} stones: "
              f"{format_counts(result.actions, result.visit_counts)}")
        print(f"    root visits {carried} carried over + {args.simulations} new = "
              f"{tree.root().visit_count()}; tree holds {tree.total_nodes()} nodes")
        # root_value is the mean for the player who moved into the root, the opponent.
        print(f"    takes {result.best_action}, value for the mover {-result.root_value:+.3f}")
        game.advance(result.best_action)
        player = 3 - player
    print(f"player {3 - player} takes the last stone and wins")


if __name__ == "__main__":
    main()
