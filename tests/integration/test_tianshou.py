"""Tianshou's DQN on the single Gymnasium env, masked through tavlok.adapters.tianshou and trained
for an epoch by Tianshou's trainer as docs/libraries.md sets it up. Both collectors, the exploring
one and the greedy one that tests, must store whole games: every action legal under the mask stored
beside it, each game begun with the learner's full hand and paying it its final score. These
need PyTorch and Tianshou: ``make test-integration``.
"""

import numpy as np
import pytest
import torch

from tavlok.adapters import split_features

pytestmark = pytest.mark.usefixtures("one_torch_thread")


def games_in(buffer):
    """The whole games a replay buffer (one part per env) holds, each checked."""
    games = 0
    for part in buffer.buffers:
        stored = part[np.arange(len(part))]
        assert stored.obs.mask[np.arange(len(part)), stored.act].all()
        ends = np.flatnonzero(stored.done) + 1
        for start, end in zip([0, *ends[:-1]], ends, strict=True):
            assert (split_features(stored.obs.obs[start])[1][0] == 1).all()
            final = stored.info[end - 1]
            assert stored.rew[start:end].sum() == final.scores[final.seat]
            games += 1
    return games


def test_dqn_stores_whole_masked_games_while_training_and_testing(docs_example):
    np.random.seed(0)  # the exploration noise draws from numpy's global generator
    torch.manual_seed(0)
    example = docs_example("tianshou")
    assert example["result"].update_step > 0
    assert games_in(example["buffer"]) == example["result"].train_episode > 0
    assert games_in(example["testing"].buffer) == 8  # the last test step's games
