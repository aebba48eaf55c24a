"""Proximal policy optimisation over ragged legal rows: generalised advantage estimates, then a
few epochs of clipped updates on shuffled minibatches."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch
from torch import nn
from training.model import Batch, PolicyNet
from training.rollout import Rollout
from training.segments import gather_rows, segment_entropy, segment_log_softmax


@dataclass(frozen=True)
class Settings:
    gamma: float = 1.0  # a game lasts at most 21 learner moves: no discounting needed
    lam: float = 0.95
    epochs: int = 4
    minibatch: int = 512
    clip: float = 0.2
    value_coef: float = 0.5
    entropy_coef: float = 0.01
    max_grad_norm: float = 0.5


def advantages(rollout: Rollout, gamma: float, lam: float) -> tuple[np.ndarray, np.ndarray]:
    """GAE(λ) advantages and the returns they imply, ``(samples,)`` each. A step that ended a
    game does not look past it: with same-step autoreset the next observation is a new game."""
    n = rollout.num_envs
    steps = rollout.samples // n
    reward = rollout.reward.reshape(steps, n)
    value = rollout.value.reshape(steps, n)
    carry_on = 1.0 - rollout.done.reshape(steps, n).astype(np.float32)
    advantage = np.zeros((steps, n), dtype=np.float32)
    next_value, running = rollout.last_value, np.zeros(n, dtype=np.float32)
    for t in reversed(range(steps)):
        delta = reward[t] + gamma * next_value * carry_on[t] - value[t]
        running = delta + gamma * lam * carry_on[t] * running
        advantage[t] = running
        next_value = value[t]
    advantage = advantage.reshape(-1)
    return advantage, advantage + rollout.value


def update(
    net: PolicyNet,
    optimiser: torch.optim.Optimizer,
    rollout: Rollout,
    settings: Settings,
    generator: torch.Generator,
) -> dict[str, float]:
    """The PPO epochs over one rollout; returns the last epoch's mean losses and statistics."""
    advantage, returns = advantages(rollout, settings.gamma, settings.lam)
    planes, hands = torch.from_numpy(rollout.planes), torch.from_numpy(rollout.hands)
    offsets = torch.from_numpy(rollout.offsets)
    indices = torch.from_numpy(rollout.indices).long()
    choice = torch.from_numpy(rollout.choice)
    old_log_prob = torch.from_numpy(rollout.log_prob)
    advantage_t, returns_t = torch.from_numpy(advantage), torch.from_numpy(returns)
    stats: dict[str, list[float]] = {}
    for _ in range(settings.epochs):
        stats = {"policy_loss": [], "value_loss": [], "entropy": [], "clip_fraction": []}
        order = torch.randperm(rollout.samples, generator=generator)
        for first in range(0, rollout.samples, settings.minibatch):
            rows = order[first : first + settings.minibatch]
            row_offsets, entries = gather_rows(offsets, rows)
            batch = Batch(planes[rows], hands[rows], row_offsets, indices[entries])
            logits, value = net(batch)
            log_probs = segment_log_softmax(logits, batch.segments, batch.rows)
            new_log_prob = log_probs[row_offsets[:-1] + choice[rows]]
            adv = advantage_t[rows]
            adv = (adv - adv.mean()) / (adv.std() + 1e-8)
            ratio = (new_log_prob - old_log_prob[rows]).exp()
            clipped = ratio.clamp(1 - settings.clip, 1 + settings.clip)
            policy_loss = -torch.min(ratio * adv, clipped * adv).mean()
            value_loss = (value - returns_t[rows]).pow(2).mean()
            entropy = segment_entropy(log_probs, batch.segments, batch.rows).mean()
            loss = policy_loss + settings.value_coef * value_loss - settings.entropy_coef * entropy
            optimiser.zero_grad()
            loss.backward()
            nn.utils.clip_grad_norm_(net.parameters(), settings.max_grad_norm)
            optimiser.step()
            stats["policy_loss"].append(policy_loss.item())
            stats["value_loss"].append(value_loss.item())
            stats["entropy"].append(entropy.item())
            stats["clip_fraction"].append(((ratio - 1).abs() > settings.clip).float().mean().item())
    return {key: float(np.mean(values)) for key, values in stats.items()}
