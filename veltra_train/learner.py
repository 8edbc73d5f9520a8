"""The learner: one optimiser step = policy cross-entropy + value MSE, weight decay in AdamW."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import torch
import torch.nn.functional as F

from .network import PolicyValueNet


class Learner:
    def __init__(self, net: PolicyValueNet, learning_rate: float, weight_decay: float, device: str) -> None:
        self.net, self.device = net.to(device), device
        self.optimizer = torch.optim.AdamW(net.parameters(), lr=learning_rate, weight_decay=weight_decay)

    def losses(self, planes: torch.Tensor, policy: torch.Tensor, value: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        logits, predicted = self.net(planes)
        policy_loss = -(policy * F.log_softmax(logits, dim=1)).sum(dim=1).mean()
        return policy_loss, F.mse_loss(predicted, value)

    def step(self, planes: npt.NDArray[Any], policy: npt.NDArray[Any], value: npt.NDArray[Any]) -> tuple[float, float]:
        """One step on a batch; the policy and value losses before it."""
        self.net.train()
        tensors = [torch.from_numpy(np.ascontiguousarray(a)).to(self.device) for a in (planes, policy, value)]
        policy_loss, value_loss = self.losses(*tensors)
        self.optimizer.zero_grad(set_to_none=True)
        (policy_loss + value_loss).backward()
        self.optimizer.step()
        self.net.eval()
        return float(policy_loss.detach()), float(value_loss.detach())
