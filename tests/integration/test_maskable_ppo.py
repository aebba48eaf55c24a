"""sb3-contrib's MaskablePPO on the registered single env ``tavlok/Tavlok-v0``, unmodified: it
collects and trains on the env as it is, and with a small policy it learns, in a couple of minutes,
to win more often against three random bots than it did untrained.

The small policy, and why: MaskablePPO keeps one logit and one mask entry per action for every
sample, 36,400 of each, so the cost of a training step is set by the action space, not by the
network. What we can keep small is what the network reads and how many samples it needs:

- ``HandsOnly``, an observation wrapper: the learner reads the four hands (84 numbers, which
  pieces each seat still holds) instead of the whole observation; the mask still comes from
  ``action_masks()`` through the wrapper.
- ``LogitPerOrientation``, the policy's action head: one logit per orientation (91), the same at
  each of its 400 cells; the mask leaves the legal placements. So what is learnt about a piece is
  learnt for all its placements at once, where a head of 36,400 independent logits needs many
  more games to learn the same.

Both the untrained and the trained policy are evaluated over the same seeded games, sampling
their actions; the difference must be several standard errors wide.

These need PyTorch and sb3-contrib: run them with ``make test-integration``.
"""

import math

import gymnasium
import numpy as np
import pytest
import torch
from sb3_contrib import MaskablePPO
from sb3_contrib.common.maskable.policies import MaskableActorCriticPolicy
from stable_baselines3.common.env_util import make_vec_env
from torch import nn

import tavlok  # registers tavlok/Tavlok-v0
from tavlok.pieces import CELLS_PER_BOARD, KINDS, NUM_ORIENTATIONS, NUM_SEATS

ENV_ID = "tavlok/Tavlok-v0"


class HandsOnly(gymnasium.ObservationWrapper):
    """The four hands, flattened to 84 floats, as the whole observation."""

    def __init__(self, env):
        super().__init__(env)
        self.observation_space = gymnasium.spaces.Box(0, 1, (NUM_SEATS * len(KINDS),), np.float32)

    def observation(self, observation):
        return observation["hands"].reshape(-1).astype(np.float32)


class LogitPerOrientation(nn.Module):
    """Latent -> 91 orientation logits, each repeated over its 400 cells of the action grid."""

    def __init__(self, latent_dim):
        super().__init__()
        self.linear = nn.Linear(latent_dim, NUM_ORIENTATIONS)

    def forward(self, latent):
        logits = self.linear(latent).unsqueeze(-1)
        return logits.expand(-1, NUM_ORIENTATIONS, CELLS_PER_BOARD).flatten(1)


class OrientationPolicy(MaskableActorCriticPolicy):
    """MaskablePPO's actor-critic with the action head above, initialised as MaskablePPO's own
    (small weights, so the untrained policy is close to uniform over the legal placements)."""

    def _build(self, lr_schedule):
        super()._build(lr_schedule)
        self.action_net = LogitPerOrientation(self.mlp_extractor.latent_dim_pi)
        self.action_net.apply(lambda module: self.init_weights(module, gain=0.01))
        self.optimizer = self.optimizer_class(
            self.parameters(), lr=lr_schedule(1), **self.optimizer_kwargs
        )


pytestmark = pytest.mark.usefixtures("one_torch_thread")


def win_rate(model, games, seed):
    """The model's mean "win" reward over seeded games against three random bots, its actions
    sampled (the untrained policy then plays close to uniformly at random)."""
    env = HandsOnly(gymnasium.make(ENV_ID, opponents="random", reward="win"))
    torch.manual_seed(seed)
    total = 0.0
    for game in range(games):
        observation, _ = env.reset(seed=seed + game)
        done = False
        while not done:
            masks = env.get_wrapper_attr("action_masks")()
            action, _ = model.predict(observation, action_masks=masks, deterministic=False)
            observation, reward, done, _, _ = env.step(int(action))
        total += reward
    return total / games


def test_maskable_ppo_learns_to_beat_random_bots_more_often_than_untrained():
    env = make_vec_env(
        ENV_ID,
        n_envs=8,
        seed=0,
        env_kwargs={"opponents": "random", "reward": "score"},
        wrapper_class=HandsOnly,
    )
    model = MaskablePPO(
        OrientationPolicy,
        env,
        n_steps=128,
        batch_size=64,
        n_epochs=2,
        learning_rate=3e-3,
        gamma=1.0,
        seed=0,
        policy_kwargs={"net_arch": [64, 64]},
    )
    games, seed = 400, 10_000
    untrained = win_rate(model, games, seed)
    model.learn(10_240)
    trained = win_rate(model, games, seed)
    # Each game's reward lies in [0, 1], so its variance is at most p(1 - p).
    error = math.sqrt((untrained * (1 - untrained) + trained * (1 - trained)) / games)
    print(f"win rate against three random bots over {games} games: untrained {untrained:.3f}, "
          f"trained {trained:.3f} (difference {trained - untrained:+.3f}, s.e. {error:.3f})")
    assert trained - untrained > 4 * error


class CandidateFeatures(gymnasium.ObservationWrapper):
    """The candidates' feature rows, flattened, as the whole observation: what MaskablePPO's
    default MLP reads when the actions are candidates' numbers."""

    def __init__(self, env):
        super().__init__(env)
        rows = env.observation_space["candidate_features"]
        self.observation_space = gymnasium.spaces.Box(
            rows.low.reshape(-1), rows.high.reshape(-1), dtype=np.float32
        )

    def observation(self, observation):
        return observation["candidate_features"].reshape(-1)


def test_maskable_ppo_on_candidate_actions_with_its_default_policy_plays_only_candidates():
    options = {"opponents": "greedy", "mask": "candidates", "candidates": 16, "opening": 2}
    env = make_vec_env(
        ENV_ID, n_envs=4, seed=0, env_kwargs=options, wrapper_class=CandidateFeatures
    )
    model = MaskablePPO("MlpPolicy", env, n_steps=64, batch_size=64, n_epochs=1, seed=0)
    model.learn(512)
    # Every action stored was one of the candidates offered beside it.
    buffer = model.rollout_buffer
    actions = buffer.actions.reshape(-1).astype(int)
    masks = buffer.action_masks.reshape(len(actions), -1)
    assert masks.shape[1] == 16
    assert masks[np.arange(len(actions)), actions].all()
    # And the trained policy plays a whole game on the single env through action_masks().
    single = CandidateFeatures(gymnasium.make(ENV_ID, **options))
    observation, _ = single.reset(seed=1)
    done = False
    while not done:
        masks = single.get_wrapper_attr("action_masks")()
        action, _ = model.predict(observation, action_masks=masks, deterministic=True)
        assert masks[int(action)]
        observation, _, done, _, info = single.step(int(action))
    assert "scores" in info
