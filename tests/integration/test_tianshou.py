"""Tianshou's DQN on the single Gymnasium env through ``tavlok.adapters.tianshou``, trained for an
epoch by Tianshou's own trainer as the README sets it up. Both collectors, the exploring one that
fills the replay buffer and the greedy one that tests, must store whole games: every action legal
under the mask stored beside it, each game begun with the learner's full hand and paying it its
final score.

These need PyTorch and Tianshou: run them with ``make test-integration``.
"""

import numpy as np
import pytest
import torch

from tavlok.adapters import split_features

pytestmark = pytest.mark.usefixtures("one_torch_thread")


def games_in(buffer):
    """The number of games a replay buffer of one part per env holds, after checking each: its
    actions, its start and its return (a game still going at the end of its part is skipped)."""
    games = 0
    for part in buffer.buffers:
        stored = part[np.arange(len(part))]
        assert stored.obs.mask[np.arange(len(part)), stored.act].all()  # every action legal
        ends = np.flatnonzero(stored.done) + 1
        for start, end in zip([0, *ends[:-1]], ends, strict=True):
            _, hands = split_features(stored.obs.obs[start])
            assert (hands[0] == 1).all()  # the learner's first move of a game
            final = stored.info[end - 1]
            assert stored.rew[start:end].sum() == final.scores[final.seat]
            games += 1
    return games


def test_dqn_stores_whole_masked_games_while_training_and_testing(readme_example):
    np.random.seed(0)  # the exploration noise draws from numpy's global generator
    torch.manual_seed(0)
    example = readme_example("tianshou")
    result = example["result"]
    assert result.update_step > 0
    assert games_in(example["buffer"]) == result.train_episode > 0
    assert games_in(example["testing"].buffer) == 8  # the last test step's episodes
