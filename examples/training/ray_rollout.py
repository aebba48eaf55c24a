"""Collection on Ray workers for ``train.py --ray``: the same ``Rollout`` as ``collect``, played by
``tavlok.ray.RolloutWorkers``, each a batched env of its own, with the network's weights sent
through the object store before every rollout."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
import ray
import torch
from training.model import Batch, PolicyNet
from training.rollout import Rollout, Timer, sampler

import tavlok.ray

# The workers cannot import these examples: the policy travels by value.
ray.cloudpickle.register_pickle_by_value(__import__("training"))


class WorkerPolicy:
    """The rollout policy of tavlok.ray's protocol: the network samples a legal move per game and
    gives its log-probability, its value and its entry in the game's row."""

    def __init__(self, net: PolicyNet) -> None:
        self.net = net
        self.generator = torch.Generator()

    def seed(self, seed: int) -> None:
        # A worker owns one CPU: one torch thread, and a generator of its own.
        torch.set_num_threads(1)
        self.generator.manual_seed(seed % 2**63)

    def get_weights(self) -> dict[str, np.ndarray]:
        return {key: value.detach().numpy().copy() for key, value in self.net.state_dict().items()}

    def set_weights(self, weights: dict[str, np.ndarray]) -> None:
        self.net.load_state_dict({key: torch.tensor(value) for key, value in weights.items()})

    def __call__(self, obs: Any) -> dict[str, np.ndarray]:
        choice, actions, log_prob, value = sampler(self.net, self.generator)(Batch.from_obs(obs))
        return {"actions": actions, "log_probs": log_prob, "value": value, "choice": choice}


class RayCollector:
    """``workers`` Ray actors of ``envs_per_worker`` envs each, playing ``net`` for PPO."""

    def __init__(self, net: PolicyNet, workers: int, envs_per_worker: int, **options: Any) -> None:
        self.net = net
        self.policy = WorkerPolicy(net)
        self.workers = tavlok.ray.RolloutWorkers(workers, envs_per_worker, **options)

    def collect(self, steps: int, timer: Timer) -> Rollout:
        """A rollout of every worker, as one ``Rollout`` over all their envs (worker after
        worker within a step). The whole collection counts as env time: the policy runs on the
        workers, beside their envs."""
        start = time.perf_counter()
        parts = self.workers.collect(self.policy, steps)
        timer.env += time.perf_counter() - start
        rollout = merge(parts)
        with torch.no_grad():
            began = time.perf_counter()
            rollout.last_value = self.net(Batch.from_obs(next_obs(parts)))[1].numpy()
            timer.policy += time.perf_counter() - began
        return rollout

    def close(self) -> None:
        self.workers.close()


def rows(part: tavlok.ray.Rollout, step: int) -> np.ndarray:
    """The legal indices of every env of one step of a worker's rollout, end to end."""
    offsets, n = part.legal_offsets, part.num_envs
    return part.legal_indices[offsets[step * n] : offsets[(step + 1) * n]]


def offsets_of(lengths: np.ndarray) -> np.ndarray:
    """The offsets of rows of these lengths, end to end."""
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return offsets


def merge(parts: list[tavlok.ray.Rollout]) -> Rollout:
    """The workers' rollouts as one, its envs those of worker 0, then worker 1, ..."""
    steps = parts[0].steps

    def by_step(name: str) -> np.ndarray:  # (steps, envs, ...) of all workers, flattened
        joined = np.concatenate([getattr(part, name) for part in parts], axis=1)
        return joined.reshape(-1, *joined.shape[2:])

    def extra(name: str) -> np.ndarray:
        joined = np.concatenate([part.extras[name] for part in parts], axis=1)
        return joined.reshape(-1)

    lengths = np.concatenate(
        [np.diff(part.legal_offsets).reshape(steps, -1) for part in parts], axis=1
    ).reshape(-1)
    indices = np.concatenate([rows(part, t) for t in range(steps) for part in parts])
    wins, scores = [], []
    for part in parts:
        for seat, final in zip(part.ended_seat, part.ended_scores.astype(np.int32)):
            best = final == final.max()
            wins.append(float(best[seat]) / int(best.sum()))
            scores.append(int(final[seat]))
    return Rollout(
        planes=by_step("observation"),
        hands=by_step("hands"),
        offsets=offsets_of(lengths),
        indices=indices,
        choice=extra("choice").astype(np.int64),
        log_prob=by_step("log_probs"),
        value=extra("value").astype(np.float32),
        reward=by_step("rewards").copy(),
        done=by_step("terminations"),
        last_value=np.zeros(0, np.float32),
        num_envs=sum(part.num_envs for part in parts),
        finished_wins=wins,
        finished_scores=scores,
    )


def next_obs(parts: list[tavlok.ray.Rollout]) -> dict[str, np.ndarray]:
    """The observation after every worker's last step, as one batch of all their envs."""
    obs = [part.next_obs for part in parts]
    lengths = np.concatenate([np.diff(o["legal_offsets"]) for o in obs])
    return {
        "observation": np.concatenate([o["observation"] for o in obs]),
        "hands": np.concatenate([o["hands"] for o in obs]),
        "legal_offsets": offsets_of(lengths),
        "legal_indices": np.concatenate([o["legal_indices"] for o in obs]),
    }
