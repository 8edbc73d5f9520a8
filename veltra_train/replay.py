"""The replay buffer: a window of the most recent positions, sampled with a random symmetry."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .games import Game


class ReplayBuffer:
    def __init__(self, game: Game, capacity: int) -> None:
        self.game, self.capacity = game, capacity
        self.planes = np.zeros((capacity, *game.observation_shape), dtype=np.float32)
        self.policy = np.zeros((capacity, game.num_actions), dtype=np.float32)
        self.value = np.zeros(capacity, dtype=np.float32)
        self.size = 0
        self.next = 0  # where the next position goes

    def add(self, planes: npt.NDArray[np.float32], policy: npt.NDArray[np.float32],
            value: npt.NDArray[np.float32]) -> None:
        for start in range(0, len(value), self.capacity):  # a game longer than the window wraps
            rows = (self.next + np.arange(min(len(value) - start, self.capacity))) % self.capacity
            stop = start + len(rows)
            self.planes[rows], self.policy[rows], self.value[rows] = (
                planes[start:stop], policy[start:stop], value[start:stop])
            self.next = int(rows[-1] + 1) % self.capacity
            self.size = min(self.capacity, self.size + len(rows))

    def sample(self, batch: int, rng: np.random.Generator) -> tuple[npt.NDArray[Any], ...]:
        """`batch` positions drawn uniformly, each under a symmetry drawn uniformly."""
        rows = rng.integers(0, self.size, batch)
        planes, policy, value = self.planes[rows], self.policy[rows], self.value[rows]
        which = rng.integers(0, len(self.game.symmetries), batch)
        for k, symmetry in enumerate(self.game.symmetries[1:], start=1):
            chosen = np.flatnonzero(which == k)
            if chosen.size:
                planes[chosen] = symmetry.planes(planes[chosen])
                policy[chosen] = policy[chosen][:, symmetry.action_permutation]
        return planes, policy, value
