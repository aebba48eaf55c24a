"""Proximal policy optimisation over ragged legal rows: generalised advantage estimates, then a
few epochs of clipped updates on shuffled minibatches."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch
from torch import nn
from training.model import Batch, PolicyNet
from training.segments import gather_rows, segment_entropy, segment_log_softmax

from tavlok.rollout import Rollout


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
    reward_scale: float = 1.0  # what the env's rewards are multiplied by


def advantages(
    reward: np.ndarray,
    value: np.ndarray,
    done: np.ndarray,
    last_value: np.ndarray,
    gamma: float,
    lam: float,
) -> tuple[np.ndarray, np.ndarray]:
    """GAE(λ) advantages and the returns they imply, ``(steps, num_envs)`` each, from the
    rewards, values and game ends of ``(steps, num_envs)`` decisions and the value after the last
    step. A step that ended a game does not look past it: with same-step autoreset the next
    observation is a new game."""
    carry_on = 1.0 - done.astype(np.float32)
    advantage = np.zeros(reward.shape, dtype=np.float32)
    next_value, running = last_value, np.zeros(reward.shape[1], dtype=np.float32)
    for t in reversed(range(len(reward))):
        delta = reward[t] + gamma * next_value * carry_on[t] - value[t]
        running = delta + gamma * lam * carry_on[t] * running
        advantage[t] = running
        next_value = value[t]
    return advantage, advantage + value


def update(
    net: PolicyNet,
    optimiser: torch.optim.Optimizer,
    rollout: Rollout,
    last_value: np.ndarray,
    settings: Settings,
    generator: torch.Generator,
) -> dict[str, float]:
    """The PPO epochs over one rollout of ``SamplingPolicy`` (sparse legal rows, its log-
    probabilities, values and choices); returns the last epoch's mean losses and statistics."""
    reward, values = rollout.rewards * settings.reward_scale, rollout.extras["value"]
    advantage, returns = advantages(
        reward, values, rollout.terminations, last_value, settings.gamma, settings.lam
    )
    samples = rollout.actions.size

    def flat(array: np.ndarray) -> torch.Tensor:  # sample s = step × num_envs + env
        return torch.from_numpy(array.reshape(samples, *array.shape[2:]))

    planes, hands = flat(rollout.observation), flat(rollout.hands)
    offsets = torch.from_numpy(rollout.legal_offsets)
    indices = torch.from_numpy(rollout.legal_indices).long()
    choice = flat(rollout.extras["choice"])
    old_log_prob = flat(rollout.log_probs)
    advantage_t, returns_t = flat(advantage), flat(returns)
    stats: dict[str, list[float]] = {}
    for _ in range(settings.epochs):
        stats = {"policy_loss": [], "value_loss": [], "entropy": [], "clip_fraction": []}
        order = torch.randperm(samples, generator=generator)
        for first in range(0, samples, settings.minibatch):
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
