"""Learning: a step lowers the loss, exactly solved tic-tac-toe is learnt (and not when the targets
are broken), and self-play records carry the right targets."""

import functools

import numpy as np
import pytest
import torch

from veltra_train import TrainConfig
from veltra_train.agent import build_network
from veltra_train.games import make_game
from veltra_train.learner import Learner
from veltra_train.replay import ReplayBuffer
from veltra_train.selfplay import SelfPlayWorker

GAME = make_game("tic_tac_toe")
SMALL = dict(game="tic_tac_toe", blocks=1, channels=16)


@functools.cache
def solve(state):
    """The game-theoretic value of `state` for the player to move."""
    outcome = GAME.outcome(state)
    if outcome is not None:
        return outcome if GAME.current_player(state) == 0 else -outcome
    return max(move_value(state, a) for a in np.flatnonzero(GAME.legal_mask(state)))


def move_value(state, action):
    child = GAME.apply(state, int(action))
    same_player = GAME.outcome(child) is None and GAME.current_player(child) == GAME.current_player(state)
    return solve(child) if same_player else -solve(child)


@functools.cache
def solved_positions():
    """Every reachable open position, its value and the uniform policy over its best moves."""
    seen, frontier = {}, [GAME.initial_state()]
    while frontier:
        state = frontier.pop()
        if state in seen or GAME.outcome(state) is not None:
            continue
        legal = np.flatnonzero(GAME.legal_mask(state))
        values = np.array([move_value(state, a) for a in legal])
        policy = np.zeros(GAME.num_actions, dtype=np.float32)
        policy[legal[values == values.max()]] = 1.0
        seen[state] = (policy / policy.sum(), solve(state))
        frontier += [GAME.apply(state, int(a)) for a in legal]
    states = list(seen)
    return (GAME.encode(states), np.stack([seen[s][0] for s in states]),
            np.array([seen[s][1] for s in states], dtype=np.float32))


def learner(seed=0):
    torch.manual_seed(seed)
    return Learner(build_network(GAME, TrainConfig(**SMALL)), 3e-3, 1e-4, "cpu")


def test_a_step_on_a_fixed_batch_lowers_the_loss():
    planes, policy, value = solved_positions()
    batch = planes[:256], policy[:256], value[:256]
    model = learner()
    before = sum(model.step(*batch))
    for _ in range(5):
        model.step(*batch)
    model.net.train()
    with torch.no_grad():
        after = sum(float(loss) for loss in model.losses(*map(torch.from_numpy, batch)))
    assert after < before


@pytest.mark.parametrize("breakage", [None, "shuffled targets", "flipped values"])
def test_solved_tic_tac_toe_is_learnt_only_from_sound_targets(breakage):
    planes, policy, value = solved_positions()
    rng = np.random.default_rng(0)
    order = rng.permutation(len(value))
    train, held_out = order[: len(order) * 4 // 5], order[len(order) * 4 // 5:]
    targets_policy, targets_value = policy.copy(), value.copy()
    if breakage == "shuffled targets":
        shuffled = rng.permutation(train)
        targets_policy[train], targets_value[train] = policy[shuffled], value[shuffled]
    elif breakage == "flipped values":
        targets_value = -targets_value
    buffer = ReplayBuffer(GAME, len(train))
    buffer.add(planes[train], targets_policy[train], targets_value[train])
    model = learner()
    for _ in range(500):
        model.step(*buffer.sample(64, rng))
    with torch.inference_mode():
        logits, predicted = model.net(torch.from_numpy(planes[held_out]))
    best_move = policy[held_out, logits.argmax(1).numpy()] > 0
    right_value = np.abs(predicted.numpy() - value[held_out]) < 0.5
    learnt = best_move.mean() > 0.75 and right_value.mean() > 0.7
    assert learnt == (breakage is None), (best_move.mean(), right_value.mean())


def test_self_play_records_hold_legal_targets_and_outcomes_for_the_player_to_move():
    worker = SelfPlayWorker(TrainConfig(**SMALL, games_per_worker=8, simulations=8).to_dict(), 0)
    games = worker.play(0, [{k: v.numpy() for k, v in worker.net.state_dict().items()}], 12)["games"]
    assert games
    for record in games:
        planes, policy, value, outcome = record["planes"], record["policy"], record["value"], record["outcome"]
        empty = planes.sum(axis=1).reshape(len(planes), 9) == 0
        assert (policy[~empty] == 0).all() and np.allclose(policy.sum(axis=1), 1.0)
        assert len(planes) == 9 - empty[-1].sum() + 1  # one position per move, the last one included
        assert value[0] == outcome  # player 0 moves first
        # The last mover made the winning (or drawing) move: its value is the game's end for it.
        assert value[-1] == abs(outcome)
        assert (value[:-1] == -value[1:]).all()
