"""The policy-value network: a small residual tower with a policy and a value head."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import torch
from torch import nn


class ResidualBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.bn1(self.conv1(x)))
        return torch.relu(x + self.bn2(self.conv2(y)))


class PolicyValueNet(nn.Module):
    """Input [B, C, H, W] planes; output policy logits [B, A] and values [B] in [-1, 1], both for
    the player to move."""

    def __init__(self, observation_shape: tuple[int, int, int], num_actions: int, blocks: int,
                 channels: int) -> None:
        super().__init__()
        planes, rows, columns = observation_shape
        cells = rows * columns
        self.stem = nn.Sequential(nn.Conv2d(planes, channels, 3, padding=1, bias=False),
                                  nn.BatchNorm2d(channels), nn.ReLU())
        self.tower = nn.Sequential(*[ResidualBlock(channels) for _ in range(blocks)])
        self.policy = nn.Sequential(nn.Conv2d(channels, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU(),
                                    nn.Flatten(), nn.Linear(2 * cells, num_actions))
        self.value = nn.Sequential(nn.Conv2d(channels, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU(),
                                   nn.Flatten(), nn.Linear(cells, 64), nn.ReLU(), nn.Linear(64, 1),
                                   nn.Tanh())

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        features = self.tower(self.stem(planes))
        return self.policy(features), self.value(features).squeeze(1)


def weights_to_numpy(net: nn.Module) -> dict[str, npt.NDArray[np.generic]]:
    """The state dict as NumPy arrays: what travels through Ray's object store (zero-copy there)."""
    return {name: tensor.detach().cpu().numpy().copy() for name, tensor in net.state_dict().items()}


def load_numpy_weights(net: nn.Module, weights: dict[str, npt.NDArray[np.generic]]) -> None:
    net.load_state_dict({name: torch.tensor(array) for name, array in weights.items()})


class Evaluator:
    """The network's priors and values for a list of states, in one inference-mode batch."""

    def __init__(self, game, net: PolicyValueNet, device: str = "cpu") -> None:  # type: ignore[no-untyped-def]
        self.game, self.net, self.device = game, net, device

    def __call__(self, states: list) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:  # type: ignore[type-arg]
        planes = torch.from_numpy(self.game.encode(states)).to(self.device)
        with torch.inference_mode():
            logits, values = self.net(planes)
        return logits.float().cpu().numpy(), values.float().cpu().numpy()
