"""tavlok.adapters on each env kind: the observations beneath, packed as documented, inside the
adapted space (the real libraries drive them in tests/integration)."""

import gymnasium
import numpy as np
import pytest

import tavlok
from tavlok import adapters

ENV_ID = "tavlok/Tavlok-v0"
# And each with candidate actions, whose features add the candidates' rows.
ON_CANDIDATES = {"candidates": 6, "mask": "candidates"}
KINDS = {
    "pettingzoo": tavlok.env,
    "single": lambda: gymnasium.make(ENV_ID),
    "vector": lambda: gymnasium.make_vec(ENV_ID, 2, "vector_entry_point", copy=True),
    "pettingzoo-candidates": lambda: tavlok.env(**ON_CANDIDATES),
    "single-candidates": lambda: gymnasium.make(ENV_ID, **ON_CANDIDATES),
    "vector-candidates": lambda: gymnasium.make_vec(
        ENV_ID, 2, "vector_entry_point", copy=True, **ON_CANDIDATES
    ),
}
DIALECTS = {
    adapters.rllib: ("observations", "action_mask", np.int8),
    adapters.tianshou: ("obs", "mask", np.bool_),
}


def observations(env, mask_key, moves=5):
    """What ``env`` shows over a few moves from a seeded reset, each move the first legal one."""
    if hasattr(env, "agent_iter"):  # PettingZoo
        env.reset(seed=0)
        seen = [env.observe(env.agent_selection)]
        step = lambda action: env.step(action) or env.observe(env.agent_selection)
    else:
        seen = [env.reset(seed=0)[0]]
        step = lambda action: env.step(action)[0]
    for _ in range(moves):
        seen.append(step(np.argmax(seen[-1][mask_key], axis=-1)))
    return seen


@pytest.mark.parametrize(
    "adapter, kind",
    [(adapters.rllib, kind) for kind in KINDS]
    + [(adapters.tianshou, "single"), (adapters.tianshou, "single-candidates")],
)
def test_an_adapted_env_shows_the_observations_beneath(adapter, kind):
    env, plain = adapter(KINDS[kind]()), KINDS[kind]()
    features, mask, dtype = DIALECTS[adapter]
    pettingzoo = kind.startswith("pettingzoo")
    space = env.observation_space("player_0") if pettingzoo else env.observation_space
    pairs = zip(observations(env, mask), observations(plain, "action_mask"), strict=True)
    for seen, beneath in pairs:
        assert seen.keys() == {features, mask} and space.contains(seen)
        planes, hands = adapters.split_features(seen[features])
        np.testing.assert_array_equal(planes, beneath["observation"])
        np.testing.assert_array_equal(hands, beneath["hands"])
        rows = beneath.get("candidate_features", np.zeros((*hands.shape[:-2], 0, 44)))
        np.testing.assert_array_equal(adapters.split_candidates(seen[features]), rows)
        assert seen[mask].dtype == dtype
        np.testing.assert_array_equal(seen[mask], beneath["action_mask"])

