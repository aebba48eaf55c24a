"""One rollout: the policy plays ``steps`` steps in every env of a batched env, and what PPO
needs comes back as arrays. ``collect`` is the only code that touches the env while training, so
another collector (other processes, other machines) can replace it as long as it returns a
``Rollout``."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import torch
from training.model import Batch, PolicyNet
from training.segments import segment_log_softmax, segment_sample


@dataclass
class Timer:
    """Seconds spent in the env's steps and in the policy (turning observations into tensors,
    the forward pass, sampling) while collecting."""

    env: float = 0.0
    policy: float = 0.0


@dataclass
class Rollout:
    """``steps × num_envs`` decisions, flattened step-major (sample s = step × num_envs + env).

    The legal rows of all samples are end to end: sample s's legal grid indices are
    ``indices[offsets[s]:offsets[s + 1]]``, and it chose entry ``choice[s]`` of its row.
    """

    planes: np.ndarray  # (samples, 4, 20, 20) uint8
    hands: np.ndarray  # (samples, 4, 21) uint8
    offsets: np.ndarray  # (samples + 1,) int64
    indices: np.ndarray  # (entries,) int32
    choice: np.ndarray  # (samples,) int64, within the sample's row
    log_prob: np.ndarray  # (samples,) float32, under the policy that collected it
    value: np.ndarray  # (samples,) float32
    reward: np.ndarray  # (samples,) float32
    done: np.ndarray  # (samples,) bool: the game ended at this step
    last_value: np.ndarray  # (num_envs,) float32: the value of the observation after the last step
    num_envs: int
    # One entry per game that ended: the learner's share of its win and its final score.
    finished_wins: list[float] = field(default_factory=list)
    finished_scores: list[int] = field(default_factory=list)

    @property
    def samples(self) -> int:
        return len(self.choice)


Act = Callable[[Batch], tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]]


def sampler(net: PolicyNet, generator: torch.Generator) -> Act:
    """The collecting policy: for a batch, each game's sampled entry (within its row), grid
    index, log-probability and value."""

    @torch.no_grad()
    def act(batch: Batch) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        logits, value = net(batch)
        log_probs = segment_log_softmax(logits, batch.segments, batch.rows)
        picked = segment_sample(logits, batch.segments, batch.rows, generator)
        actions = batch.indices[picked]
        choice = picked - batch.offsets[:-1]
        return choice.numpy(), actions.numpy(), log_probs[picked].numpy(), value.numpy()

    return act


def collect(
    env: Any, obs: Mapping[str, np.ndarray], act: Act, steps: int, timer: Timer
) -> tuple[Rollout, Mapping[str, np.ndarray]]:
    """Plays ``steps`` steps from ``obs`` in ``env`` (a same-step autoreset learner env with
    ``mask="indices"``, so every observation is a decision with legal moves); returns the
    rollout and the observation to carry on from."""
    n = env.num_envs
    planes, hands, rows, indices = [], [], [], []
    choice, log_prob, value, reward, done = [], [], [], [], []
    wins: list[float] = []
    scores: list[int] = []
    for _ in range(steps):
        start = time.perf_counter()
        batch = Batch.from_obs(obs)
        picked, actions, logp, v = act(batch)
        planes.append(batch.planes.numpy())
        hands.append(batch.hands.numpy())
        rows.append(np.diff(batch.offsets.numpy()))
        indices.append(batch.indices.numpy().astype(np.int32))
        middle = time.perf_counter()
        obs, rewards, terminated, truncated, infos = env.step(actions)
        timer.env += time.perf_counter() - middle
        timer.policy += middle - start
        choice.append(picked)
        log_prob.append(logp)
        value.append(v)
        reward.append(np.array(rewards, dtype=np.float32))
        done.append(np.array(terminated | truncated))
        if "final_info" in infos:
            _record_finished(infos["final_info"], wins, scores)
    start = time.perf_counter()
    last_value = act(Batch.from_obs(obs))[3]
    timer.policy += time.perf_counter() - start
    lengths = np.concatenate(rows)
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    rollout = Rollout(
        planes=np.concatenate(planes),
        hands=np.concatenate(hands),
        offsets=offsets,
        indices=np.concatenate(indices),
        choice=np.concatenate(choice),
        log_prob=np.concatenate(log_prob),
        value=np.concatenate(value),
        reward=np.concatenate(reward),
        done=np.concatenate(done),
        last_value=last_value,
        num_envs=n,
        finished_wins=wins,
        finished_scores=scores,
    )
    return rollout, obs


def _record_finished(info: Mapping[str, np.ndarray], wins: list[float], scores: list[int]) -> None:
    for env in np.flatnonzero(info["_scores"]):
        final = info["scores"][env].astype(np.int32)
        mine = final[int(info["seat"][env])]
        best = final == final.max()
        wins.append(float(best[int(info["seat"][env])]) / int(best.sum()))
        scores.append(int(mine))
