"""Collecting for PPO: the network samples a legal placement per game, and
``tavlok.rollout.play_rollout`` plays it in the batched env and keeps the steps as a
``tavlok.rollout.Rollout``. ``collect`` is the only code that touches the env while training, so
another collector (``training.ray_rollout``: other processes, other machines) can replace it as
long as it returns a ``Rollout`` and the value of the observation it ends on."""

from __future__ import annotations

import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import torch
from training.model import Batch, PolicyNet
from training.segments import segment_log_softmax, segment_sample

from tavlok.rollout import Rollout, play_rollout


@dataclass
class Timer:
    """Seconds spent in the env's steps and in the policy (turning observations into tensors,
    the forward pass, sampling) while collecting."""

    env: float = 0.0
    policy: float = 0.0


class SamplingPolicy:
    """The collecting policy, in ``tavlok.rollout``'s protocol: each game's placement sampled
    from the network's softmax over its legal placements, with its log-probability, the game's
    value and the placement's entry in the game's row of legal indices (``"choice"``). On Ray
    workers it travels once, and its weights before every rollout."""

    def __init__(self, net: PolicyNet, generator: torch.Generator | None = None) -> None:
        self.net = net
        self.generator = generator if generator is not None else torch.Generator()

    def seed(self, seed: int) -> None:
        # Called on a Ray worker, which owns one CPU: one torch thread, and a generator of its own.
        torch.set_num_threads(1)
        self.generator.manual_seed(seed % 2**63)

    def get_weights(self) -> dict[str, np.ndarray]:
        return {key: value.detach().numpy().copy() for key, value in self.net.state_dict().items()}

    def set_weights(self, weights: dict[str, np.ndarray]) -> None:
        self.net.load_state_dict({key: torch.tensor(value) for key, value in weights.items()})

    @torch.no_grad()
    def __call__(self, obs: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        batch = Batch.from_obs(obs)
        logits, value = self.net(batch)
        log_probs = segment_log_softmax(logits, batch.segments, batch.rows)
        picked = segment_sample(logits, batch.segments, batch.rows, self.generator)
        return {
            "actions": batch.indices[picked].numpy(),
            "log_probs": log_probs[picked].numpy(),
            "value": value.numpy(),
            "choice": (picked - batch.offsets[:-1]).numpy(),
        }


def collect(
    env: Any, obs: Mapping[str, np.ndarray], policy: Any, steps: int, timer: Timer
) -> tuple[Rollout, np.ndarray, Mapping[str, np.ndarray]]:
    """Plays ``steps`` steps from ``obs`` in ``env`` (a same-step autoreset learner env, so every
    observation is a decision with legal moves) with ``policy`` (``SamplingPolicy`` or
    ``training.scorer.SamplingScorer``); returns the rollout, the value of each env's observation
    after it, and that observation."""

    def timed(view: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        start = time.perf_counter()
        answer = policy(view)
        timer.policy += time.perf_counter() - start
        return answer

    start, policy_before = time.perf_counter(), timer.policy
    rollout, obs = play_rollout(env, obs, timed, steps)
    timer.env += time.perf_counter() - start - (timer.policy - policy_before)
    # The policy's answer for the observation after the last step, as a collecting step would
    # draw it: only its value is kept.
    last_value = timed(obs)["value"]
    return rollout, last_value, obs
