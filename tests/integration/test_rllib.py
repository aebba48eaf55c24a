"""RLlib's PPO (the new API stack) on the README's two set-ups, through ``tavlok.adapters.rllib``
and RLlib's own action-masking module: the four seats of the PettingZoo env under one policy,
and one learner against bots on ``gymnasium.make_vec``. One training iteration each on tiny
budgets, then whole games sampled with the trained module. Every action RLlib stored must be
legal in the observation it stored beside it, as RLlib held them when sampling ended, and every
whole game must pay each agent its final score.

These need Ray's RLlib extra and PyTorch: run them with ``make test-integration``.
"""

import numpy as np
import pytest
import ray

import tavlok
from tavlok.adapters import split_features

AGENTS = [f"player_{seat}" for seat in range(4)]
# A few games a batch, so that an iteration stores whole games and pieces of games both.
BUDGET = {"train_batch_size_per_learner": 200, "minibatch_size": 100, "num_epochs": 1}


@pytest.fixture(scope="module", autouse=True)
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=100 * 2**20)
    yield
    ray.shutdown()


@pytest.fixture
def readme(readme_example):
    return readme_example("rllib")


class Stored:
    """What RLlib stored, read as each sample ends (PPO's learner later appends a step of its own
    to every episode): how many actions and whole games, and what was wrong with them."""

    def __init__(self):
        self.actions = 0
        self.games = 0
        self.faults = []

    def check(self, steps, name):
        """One agent's steps: each action against the mask of the observation it was taken in."""
        for t, action in enumerate(steps.get_actions()):
            self.actions += 1
            if not steps.get_observations(t)["action_mask"][action]:
                self.faults.append(f"{name}, step {t}: {action} is illegal in its observation")

    def game(self, returns, scores):
        self.games += 1
        if returns != scores:
            self.faults.append(f"returns {returns}, final scores {scores}")


def run(config, stored, on_sample_end):
    config = (
        config.env_runners(num_env_runners=0)
        .training(**BUDGET)
        .debugging(seed=0)
        .callbacks(on_sample_end=on_sample_end)
    )
    algo = config.build_algo()
    try:
        result = algo.train()
        assert result["num_env_steps_sampled_lifetime"] >= BUDGET["train_batch_size_per_learner"]
        algo.env_runner.sample(num_episodes=2, explore=False)  # the trained module, whole games
    finally:
        algo.stop()
    assert stored.actions > BUDGET["train_batch_size_per_learner"]
    assert stored.games >= 2
    assert stored.faults == []


def test_self_play_ppo_stores_legal_actions_and_pays_every_seat_its_score(readme):
    stored = Stored()

    def on_sample_end(*, samples, **kwargs):
        for episode in samples:
            for agent, steps in episode.agent_episodes.items():
                stored.check(steps, agent)
            if episode.is_done and episode.env_t_started == 0:
                # One seat moves per env step: the moves in order replay the game.
                moves = [
                    int(move)
                    for t in range(len(episode))
                    for move in episode.get_actions(t, env_steps=True).values()
                ]
                scores = tavlok.State.from_history(moves).scores()
                returns = [episode.agent_episodes[agent].get_return() for agent in AGENTS]
                stored.game(returns, scores and [float(score) for score in scores])

    run(readme["self_play"], stored, on_sample_end)


def test_ppo_on_make_vec_stores_legal_actions_and_pays_the_learner_its_score(readme):
    stored = Stored()

    def on_sample_end(*, samples, **kwargs):
        for episode in samples:
            stored.check(episode, "learner")
            if episode.is_done and episode.t_started == 0:
                final = episode.get_infos(-1)
                score = float(final["scores"][final["seat"]])
                # Whole from its start: the learner's first view shows its hand full.
                _, hands = split_features(episode.get_observations(0)["observations"])
                stored.game([episode.get_return(), bool(np.all(hands[0] == 1))], [score, True])

    run(readme["against_bots"], stored, on_sample_end)
