"""``tavlok.adapters``: each env kind, adapted, hands out the observation of the env beneath, with
the planes and hands packed as the docstring says and the mask under the library's key, inside
the adapted space. The real libraries drive them in tests/integration (test_rllib, test_tianshou).
"""

import gymnasium
import numpy as np
import pytest

import tavlok
from tavlok import adapters

ENV_ID = "tavlok/Tavlok-v0"
DIALECTS = {adapters.rllib: ("observations", "action_mask", np.int8),
            adapters.tianshou: ("obs", "mask", np.bool_)}


def assert_adapted(adapted, plain, adapter, space):
    features, mask, dtype = DIALECTS[adapter]
    assert adapted.keys() == {features, mask}
    assert space.contains(adapted)
    planes, hands = adapters.split_features(adapted[features])
    np.testing.assert_array_equal(planes, plain["observation"])
    np.testing.assert_array_equal(hands, plain["hands"])
    assert adapted[mask].dtype == dtype
    np.testing.assert_array_equal(adapted[mask], plain["action_mask"].astype(dtype))


def first_legal(mask):
    return int(np.flatnonzero(mask)[0])


def test_the_pettingzoo_env_for_rllib_through_a_game():
    env = adapters.rllib(tavlok.env())
    env.reset(seed=0)
    for agent in env.agent_iter(40):  # the four seats, each several times
        observation, *_ = env.last()
        assert_adapted(
            observation, env.env.observe(agent), adapters.rllib, env.observation_space(agent)
        )
        env.step(first_legal(observation["action_mask"]))


@pytest.mark.parametrize("adapter", [adapters.rllib, adapters.tianshou])
def test_the_single_env_as_it_plays(adapter):
    env, plain = adapter(gymnasium.make(ENV_ID)), gymnasium.make(ENV_ID)
    observation, _ = env.reset(seed=3)
    expected, _ = plain.reset(seed=3)
    for _ in range(5):
        assert_adapted(observation, expected, adapter, env.observation_space)
        action = first_legal(expected["action_mask"])
        observation, *_ = env.step(action)
        expected, *_ = plain.step(action)


def test_the_vector_env_for_rllib_as_it_plays():
    make = lambda: gymnasium.make_vec(ENV_ID, 3, vectorization_mode="vector_entry_point")
    env, plain = adapters.rllib(make()), make()
    observations, _ = env.reset(seed=5)
    expected, _ = plain.reset(seed=5)
    for _ in range(5):
        assert_adapted(observations, expected, adapters.rllib, env.observation_space)
        actions = np.array([first_legal(mask) for mask in expected["action_mask"]])
        observations, *_ = env.step(actions)
        expected, *_ = plain.step(actions)


def test_what_the_libraries_cannot_mask_is_refused():
    with pytest.raises(TypeError, match="PettingZooEnv as it is"):
        adapters.tianshou(tavlok.env())
    bits = gymnasium.make_vec(ENV_ID, 2, vectorization_mode="vector_entry_point", mask="bits")
    with pytest.raises(ValueError, match="mask='bytes'"):
        adapters.rllib(bits)
