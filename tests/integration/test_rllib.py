"""RLlib's PPO (new API stack) with its action-masking module on the two set-ups of
docs/libraries.md: the PettingZoo env's four seats under one policy, and one learner against bots
on make_vec. What RLlib stored must hold: every action legal in the observation stored beside it,
and every whole game paying each agent its final score. These need Ray's RLlib extra:
``make test-integration``.
"""

import numpy as np
import pytest
import ray

import tavlok
from tavlok.adapters import split_features


@pytest.fixture(scope="module", autouse=True)
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=100 * 2**20)
    yield
    ray.shutdown()


def run(config, payoffs):
    """Trains for an iteration on a tiny budget, then samples two whole games with the trained
    module. Every episode is checked as its sample ends (PPO's learner later adds a step of its
    own to each); ``payoffs(episode)`` gives a whole game's (returns, what they must be)."""
    illegal, games = [], []

    def on_sample_end(*, samples, **kwargs):
        for episode in samples:
            for steps in getattr(episode, "agent_episodes", {"learner": episode}).values():
                actions = steps.get_actions()
                masks = steps.get_observations()["action_mask"]
                illegal.extend(a for t, a in enumerate(actions) if not masks[t, a])
            started = getattr(episode, "env_t_started", getattr(episode, "t_started", 0))
            if episode.is_done and started == 0:
                games.append(payoffs(episode))

    budget = {"train_batch_size_per_learner": 200, "minibatch_size": 100, "num_epochs": 1}
    config = config.env_runners(num_env_runners=0).training(**budget).debugging(seed=0)
    algo = config.callbacks(on_sample_end=on_sample_end).build_algo()
    try:
        algo.train()
        algo.env_runner.sample(num_episodes=2, explore=False)
    finally:
        algo.stop()
    assert illegal == []
    assert len(games) >= 2
    for returns, expected in games:
        assert returns == expected


def test_self_play_ppo_on_the_pettingzoo_env(docs_example):
    def payoffs(episode):
        # One seat moves per env step: the moves in order replay the game.
        moves = [int(a) for t in range(len(episode)) for a in episode.get_actions(t).values()]
        returns = tuple(episode.agent_episodes[f"player_{seat}"].get_return() for seat in range(4))
        return returns, tavlok.State.from_history(moves).scores()

    run(docs_example("rllib")["self_play"], payoffs)


def test_ppo_on_make_vec_against_bots(docs_example):
    def payoffs(episode):
        final = episode.get_infos(-1)
        # Whole from its start: the learner's first view shows its hand full.
        _, hands = split_features(episode.get_observations(0)["observations"])
        full = bool(np.all(hands[0] == 1))
        return (episode.get_return(), full), (final["scores"][final["seat"]], True)

    run(docs_example("rllib")["against_bots"], payoffs)


def test_ppo_on_candidate_actions_stores_only_candidates_the_env_offered():
    # As the docs' set-up against bots, with the learner choosing among its 16 candidates: the
    # mask RLlib stores is the candidate mask, so a masked-out number would show here.
    import gymnasium
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec
    from ray.rllib.examples.rl_modules.classes.action_masking_rlm import (
        ActionMaskingTorchRLModule,
    )
    from ray.tune.registry import register_env

    from tavlok import adapters

    register_env(
        "tavlok-candidates",
        lambda config: adapters.rllib(
            gymnasium.make_vec(
                "tavlok:tavlok/Tavlok-v0",
                num_envs=config["num_envs"],
                vectorization_mode="vector_entry_point",
                opponents="greedy",
                mask="candidates",
                candidates=16,
                opening=2,
            )
        ),
    )
    config = (
        PPOConfig()
        .environment("tavlok-candidates")
        .env_runners(num_envs_per_env_runner=4, gym_env_vectorize_mode="vector_entry_point")
        .rl_module(rl_module_spec=RLModuleSpec(module_class=ActionMaskingTorchRLModule))
    )

    def payoffs(episode):
        final = episode.get_infos(-1)
        return episode.get_return(), final["scores"][final["seat"]]

    run(config, payoffs)
