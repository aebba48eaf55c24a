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
from training.rollout import SamplingPolicy, Timer

import tavlok.ray
from tavlok.rollout import Rollout, join

# The workers cannot import these examples: the policy travels by value.
ray.cloudpickle.register_pickle_by_value(__import__("training"))


class RayCollector:
    """``workers`` Ray actors of ``envs_per_worker`` envs each, playing ``net`` for PPO."""

    def __init__(self, net: PolicyNet, workers: int, envs_per_worker: int, **options: Any) -> None:
        self.net = net
        self.policy = SamplingPolicy(net)
        self.workers = tavlok.ray.RolloutWorkers(workers, envs_per_worker, **options)

    def collect(self, steps: int, timer: Timer) -> tuple[Rollout, np.ndarray]:
        """A rollout of every worker, joined as one over all their envs (worker after worker
        within a step), and the value of each env's observation after it. The whole collection
        counts as env time: the policy runs on the workers, beside their envs."""
        start = time.perf_counter()
        parts = self.workers.collect(self.policy, steps)
        timer.env += time.perf_counter() - start
        rollout = join(parts)
        with torch.no_grad():
            began = time.perf_counter()
            last_value = self.net(Batch.from_obs(rollout.next_obs))[1].numpy()
            timer.policy += time.perf_counter() - began
        return rollout, last_value

    def close(self) -> None:
        self.workers.close()
