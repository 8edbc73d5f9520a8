"""Game rules against OpenSpiel on random games, and the symmetries."""

import numpy as np
import pyspiel
import pytest

from veltra_train.games import identity_only, make_game
from veltra_train.opponents import RandomPlayer, match, mcts_player
from veltra_train.replay import ReplayBuffer

# Our planes (the player to move's stones, then the other's) as planes of OpenSpiel's observation.
OPENSPIEL_PLANES = {
    "connect_four": lambda player: (player, 1 - player),  # player 0, player 1, empty; row 0 at the bottom
    "tic_tac_toe": lambda player: (2 - player, 1 + player),  # empty, o, x; row 0 at the top
}


def random_moves(game, rng, plies):
    state, moves = game.initial_state(), []
    while game.outcome(state) is None and len(moves) < plies:
        move = int(rng.choice(np.flatnonzero(game.legal_mask(state))))
        state, moves = game.apply(state, move), moves + [move]
    return state, moves


@pytest.mark.parametrize("name", ["connect_four", "tic_tac_toe", "openspiel:connect_four"])
def test_rules_agree_with_openspiel_on_random_games(name):
    game, rng = make_game(name), np.random.default_rng(0)
    oracle = pyspiel.load_game(name.removeprefix("openspiel:"))
    for _ in range(150):
        state, reference = game.initial_state(), oracle.new_initial_state()
        while True:
            assert game.outcome(state) == (float(np.sign(reference.returns()[0])) if reference.is_terminal() else None)
            expected_legal = np.zeros(game.num_actions, dtype=bool)
            expected_legal[reference.legal_actions()] = True
            np.testing.assert_array_equal(game.legal_mask(state), expected_legal)
            if reference.is_terminal():
                break
            player = reference.current_player()
            assert game.current_player(state) == player
            if name in OPENSPIEL_PLANES:
                planes = np.array(reference.observation_tensor(player)).reshape(-1, *game.observation_shape[1:])
                np.testing.assert_array_equal(game.encode([state])[0], planes[list(OPENSPIEL_PLANES[name](player))])
            move = int(rng.choice(reference.legal_actions()))
            state = game.apply(state, move)
            reference.apply_action(move)


@pytest.mark.parametrize("name", ["connect_four", "tic_tac_toe"])
class TestSymmetries:
    def test_a_mapped_game_reaches_the_mapped_position(self, name):
        """Playing the mapped moves gives the mapped planes and legal moves."""
        game, rng = make_game(name), np.random.default_rng(1)
        for symmetry in game.symmetries:
            inverse = np.argsort(symmetry.action_permutation)  # original move -> mapped move
            for plies in range(0, 12, 3):
                state, moves = random_moves(game, rng, plies)
                mapped = game.initial_state()
                for move in moves:
                    mapped = game.apply(mapped, int(inverse[move]))
                np.testing.assert_array_equal(game.encode([mapped])[0], symmetry.planes(game.encode([state])[0]))
                np.testing.assert_array_equal(game.legal_mask(mapped),
                                              game.legal_mask(state)[symmetry.action_permutation])
                assert game.outcome(mapped) == game.outcome(state)

    def test_replay_samples_map_positions_and_targets_together(self, name):
        game, rng = make_game(name), np.random.default_rng(2)
        state, _ = random_moves(game, rng, 3)
        planes = game.encode([state])
        policy = rng.random((1, game.num_actions)).astype(np.float32)
        buffer = ReplayBuffer(game, 4)
        buffer.add(planes, policy, np.array([0.5], dtype=np.float32))
        sampled_planes, sampled_policy, value = buffer.sample(64, rng)
        seen = set()
        for p, q in zip(sampled_planes, sampled_policy):
            matches = [k for k, s in enumerate(game.symmetries)
                       if np.array_equal(p, s.planes(planes[0])) and np.array_equal(q, policy[0][s.action_permutation])]
            assert matches, "a sample's policy does not belong to its planes"
            seen.add(matches[0])
        assert len(seen) > 1 and (value == 0.5).all()


class Nim:
    """The game of docs/training.md: take 1 or 2 from a pile of 10; who takes the last one wins."""

    name = "test_games:Nim"
    num_actions = 2
    observation_shape = (1, 1, 11)
    symmetries = identity_only(2)

    def initial_state(self):
        return (10, 0)

    def current_player(self, state):
        return state[1]

    def legal_mask(self, state):
        return np.array([state[0] >= 1, state[0] >= 2])

    def apply(self, state, action):
        return (state[0] - action - 1, 1 - state[1])

    def outcome(self, state):
        return None if state[0] else (1.0 if state[1] == 1 else -1.0)

    def encode(self, states):
        planes = np.zeros((len(states), 1, 1, 11), dtype=np.float32)
        planes[np.arange(len(states)), 0, 0, [s[0] for s in states]] = 1
        return planes

    def render(self, state):
        return f"pile {state[0]}"


class TestMakeGame:
    def test_a_users_class_plays_by_its_module_name(self):
        """Nim is won by leaving a multiple of 3: search finds it against a random player."""
        game = make_game("test_games:Nim")
        score = match(game, mcts_player(game, 200, 0), RandomPlayer(game, 1), 20)
        assert score.games == 20 and score.score == 1.0


    @pytest.mark.parametrize("name, message", [
        ("chess960", "unknown game 'chess960'"),
        ("openspiel:no_such_game", "OpenSpiel cannot load game 'no_such_game'"),
        ("openspiel:backgammon", "chance events"),
        ("openspiel:kuhn_poker", "imperfect information"),
        ("test_games:Chess", "cannot import class 'Chess' from 'test_games'"),
        ("test_games:TestMakeGame", "lacks name, num_actions"),
    ])
    def test_unusable_games_are_refused_by_name(self, name, message):
        with pytest.raises(ValueError, match=message):
            make_game(name)
