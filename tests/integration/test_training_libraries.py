"""The PettingZoo environment driven, unmodified, by the training libraries people use: whole
games with masked random policies, every seat's return checked against the same moves replayed
on a State.

These need PyTorch, TorchRL and Tianshou: run them with ``make test-integration``, which makes
its own virtual environment for them.
"""

import numpy as np
import pytest
import torch
from tianshou.algorithm.multiagent.marl import MultiAgentPolicy
from tianshou.algorithm.random import MARLRandomDiscreteMaskedOffPolicyAlgorithm
from tianshou.data import Collector, ReplayBuffer
from tianshou.env import DummyVectorEnv, PettingZooEnv
from torchrl.envs.libs.pettingzoo import PettingZooWrapper

import tavlok

AGENTS = [f"player_{seat}" for seat in range(4)]


def scores_of(moves):
    """The four final scores of the game these grid indices play, or None if it goes on."""
    return tavlok.State.from_history([int(move) for move in moves]).scores()


def masked_random_policy(seed):
    """Every group picks uniformly among its legal actions; only the acting group's pick counts."""
    generator = torch.Generator().manual_seed(seed)

    def policy(td):
        for agent in AGENTS:
            mask = td[agent, "action_mask"].float()
            td[agent, "action"] = torch.multinomial(mask, 1, generator=generator).squeeze(-1)
        return td

    return policy


@pytest.mark.parametrize("make", [tavlok.raw_env, tavlok.env])
def test_torchrl_rollouts_of_whole_games_score_every_seat(make):
    env = PettingZooWrapper(env=make(), use_mask=True, seed=0)
    assert env.group_map == {agent: [agent] for agent in AGENTS}  # a group per seat, as in AEC
    rollout = env.rollout(400, masked_random_policy(0), break_when_any_done=False)
    done = rollout["next", "done"].squeeze(-1)
    ends = (torch.nonzero(done).squeeze(-1) + 1).tolist()
    assert len(ends) >= 3, "a rollout of 400 steps holds several whole games"
    start = 0
    for end in ends:
        game = rollout[start:end]
        acting = torch.stack([game[agent, "mask"].squeeze(-1) for agent in AGENTS], dim=1)
        assert (acting.sum(dim=1) == 1).all()  # one seat acts at every step
        seats = acting.float().argmax(dim=1)
        moves = [game[AGENTS[seat], "action"][step, 0] for step, seat in enumerate(seats)]
        for step, seat in enumerate(seats.tolist()):
            assert game[AGENTS[seat], "action_mask"][step, 0, moves[step]]  # it was legal
        scores = scores_of(moves)
        assert scores is not None, "the episode ended before the game"
        for agent, score in zip(AGENTS, scores, strict=True):
            rewards = game["next", agent, "reward"].flatten()
            terminated = game["next", agent, "terminated"].flatten()
            assert rewards.sum().item() == score
            assert not terminated[:-1].any() and terminated[-1], agent  # all four end together
        start = end


@pytest.mark.parametrize("make", [tavlok.raw_env, tavlok.env])
def test_tianshou_collects_whole_games_with_every_seats_return(make):
    env = PettingZooEnv(make())
    policy = MultiAgentPolicy(
        {
            agent: MARLRandomDiscreteMaskedOffPolicyAlgorithm.Policy(env.action_space)
            for agent in env.agents
        }
    )
    buffer = ReplayBuffer(2000)
    np.random.seed(1)  # the random policy draws from numpy's global generator
    collector = Collector(policy, DummyVectorEnv([lambda: env]), buffer)
    stats = collector.collect(n_episode=3, reset_before_collect=True)
    assert stats.n_collected_episodes == 3
    moves, done = buffer.act[: len(buffer)], buffer.done[: len(buffer)]
    ends = (np.flatnonzero(done) + 1).tolist()
    assert len(ends) == 3
    for episode, (start, end) in enumerate(zip([0, *ends[:-1]], ends, strict=True)):
        scores = scores_of(moves[start:end])
        assert scores is not None, "the episode ended before the game"
        assert stats.lens[episode] == end - start  # one step per placement, none after
        np.testing.assert_array_equal(stats.returns[episode], scores)
