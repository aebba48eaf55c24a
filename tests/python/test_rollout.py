"""tavlok.rollout without Ray: rollouts of several workers joined into one hold each worker's envs
side by side, step by step, with the games that ended in order."""

import numpy as np

from tavlok.gym_vector import LearnerVectorEnv
from tavlok.rollout import join, play_rollout


def first_legal(obs):
    """A policy of the dict form: the first legal index, its log-probability under a uniform
    choice, and the number of legal indices as an extra."""
    counts = np.diff(obs["legal_offsets"])
    actions = obs["legal_indices"][obs["legal_offsets"][:-1]]
    return {"actions": actions, "log_probs": -np.log(counts), "count": counts}


def played(seed, envs=3, steps=30):
    options = {"mask": "indices", "autoreset_mode": "SameStep", "reward": "win"}
    env = LearnerVectorEnv(envs, opponents="greedy", num_threads=1, **options)
    obs, _ = env.reset(seed=seed)
    rollout, _ = play_rollout(env, obs, first_legal, steps, worker=seed, generation=0)
    env.close()
    return rollout


def row(view, env):
    offsets = view["legal_offsets"]
    return view["observation"][env], view["legal_indices"][offsets[env] : offsets[env + 1]]


def games(rollout, first_env=0):
    """The ended games of a rollout as (step, env + first_env, seat, scores)."""
    where = zip(rollout.ended_step, rollout.ended_env + first_env, rollout.ended_seat)
    return [
        (*map(int, at), tuple(scores))
        for at, scores in zip(where, rollout.ended_scores.tolist(), strict=True)
    ]


def test_joined_rollouts_hold_each_workers_envs_side_by_side():
    parts = [played(seed) for seed in (1, 2)]
    joined = join(parts)
    assert (joined.steps, joined.num_envs, joined.worker, joined.generation) == (30, 6, None, None)
    per_step = ("observation", "hands", "actions", "rewards", "terminations", "log_probs")
    for w, part in enumerate(parts):
        for e in range(3):
            j = 3 * w + e
            for t in range(30):
                np.testing.assert_array_equal(joined.legal(t, j), part.legal(t, e))
            for name in per_step:
                np.testing.assert_array_equal(getattr(joined, name)[:, j], getattr(part, name)[:, e])
            np.testing.assert_array_equal(joined.extras["count"][:, j], part.extras["count"][:, e])
            for joined_half, part_half in zip(row(joined.next_obs, j), row(part.next_obs, e)):
                np.testing.assert_array_equal(joined_half, part_half)

    # Every ended game once, by step and then env, where its reward was paid.
    ended = games(joined)
    assert ended == sorted(ended) == sorted(games(parts[0]) + games(parts[1], 3))
    assert len(ended) == joined.terminations.sum() > 0
    assert joined.terminations[joined.ended_step, joined.ended_env].all()
    # With reward="win" the env pays the learner's share of the win.
    np.testing.assert_array_equal(
        joined.ended_wins, joined.rewards[joined.ended_step, joined.ended_env]
    )
