"""Proximal policy optimisation: generalised advantage estimates, then a few epochs of clipped
updates on shuffled minibatches. The policy's network says how to score a minibatch of the
rollout's samples (``Learner``), so the same update trains the ragged conv policy and the
candidate scorer."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Protocol

import numpy as np
import torch
from torch import nn

from tavlok.rollout import Rollout

# Samples in (positions into the rollout, step × num_envs + env), out: the log-probability of the
# move each one chose, its value, and a function that gives its policy's entropy, all
# (len(rows),) with gradients. The entropy is worked out when the loss asks for it, after the
# other terms: the order of the graph's nodes sets the order in which backward sums gradients, and
# so the last digits of a run's weights.
Evaluate = Callable[
    [torch.Tensor], tuple[torch.Tensor, torch.Tensor, Callable[[], torch.Tensor]]
]


class Learner(Protocol):
    """A network PPO trains: its parameters, and how to evaluate a rollout's samples."""

    def parameters(self) -> object: ...

    def evaluator(self, rollout: Rollout) -> Evaluate: ...


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
    net: Learner,
    optimiser: torch.optim.Optimizer,
    rollout: Rollout,
    last_value: np.ndarray,
    settings: Settings,
    generator: torch.Generator,
) -> dict[str, float]:
    """The PPO epochs over one rollout of a sampling policy (its log-probabilities, values and
    choices); returns the last epoch's mean losses and statistics. ``net.evaluator(rollout)``
    turns the rollout's samples into what the loss needs, whatever the policy's observation."""
    reward, values = rollout.rewards * settings.reward_scale, rollout.extras["value"]
    advantage, returns = advantages(
        reward, values, rollout.terminations, last_value, settings.gamma, settings.lam
    )
    samples = rollout.actions.size
    evaluate = net.evaluator(rollout)
    old_log_prob = torch.from_numpy(rollout.log_probs.reshape(samples))
    advantage_t = torch.from_numpy(advantage.reshape(samples))
    returns_t = torch.from_numpy(returns.reshape(samples))
    stats: dict[str, list[float]] = {}
    for _ in range(settings.epochs):
        stats = {"policy_loss": [], "value_loss": [], "entropy": [], "clip_fraction": []}
        order = torch.randperm(samples, generator=generator)
        for first in range(0, samples, settings.minibatch):
            rows = order[first : first + settings.minibatch]
            new_log_prob, value, entropy_of = evaluate(rows)
            adv = advantage_t[rows]
            adv = (adv - adv.mean()) / (adv.std() + 1e-8)
            ratio = (new_log_prob - old_log_prob[rows]).exp()
            clipped = ratio.clamp(1 - settings.clip, 1 + settings.clip)
            policy_loss = -torch.min(ratio * adv, clipped * adv).mean()
            value_loss = (value - returns_t[rows]).pow(2).mean()
            entropy = entropy_of().mean()
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
