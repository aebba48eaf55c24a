"""tavlok.ray on a local Ray cluster of two CPUs: arenas split into tasks give the local arena's
result, rollout workers play the games a local env plays, and a worker killed mid-run is replaced
with nothing lost or counted twice."""

import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import tavlok  # noqa: E402
from tavlok import bots  # noqa: E402
from tavlok.gym_vector import LearnerVectorEnv  # noqa: E402
from tavlok.ray import RolloutWorkers, arena, join_results, worker_seed  # noqa: E402

# The workers cannot import this file: its policies travel by value.
ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

OPPONENTS = ("random", "greedy", "random")


@pytest.fixture(scope="module", autouse=True)
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=100 * 2**20)
    yield
    ray.shutdown()


def first_legal(view):
    return view["legal_indices"][view["legal_offsets"][:-1]]


class Preferring:
    """A batched policy that plays the legal grid index it likes best, by a weight per grid index
    that set_weights replaces; it gives the log-probability of a softmax over the legal weights
    and a per-game extra."""

    def __init__(self, seed):
        self.weights = np.random.default_rng(seed).random(tavlok.NUM_ACTIONS)

    def get_weights(self):
        return self.weights

    def set_weights(self, weights):
        self.weights = weights

    def __call__(self, obs):
        offsets, indices = obs["legal_offsets"], obs["legal_indices"]
        actions, log_probs = [], []
        for i in range(len(offsets) - 1):
            legal = indices[offsets[i] : offsets[i + 1]]
            liked = self.weights[legal]
            best = int(np.argmax(liked))
            actions.append(legal[best])
            log_probs.append(liked[best] - np.log(np.exp(liked).sum()))
        return {"actions": actions, "log_probs": log_probs, "legal_count": np.diff(offsets)}


class Gated:
    """The first legal move, once a file named go exists: each process that calls it leaves a
    file named after its process id and waits, so that a test can kill one mid-run."""

    def __init__(self, folder, inner=first_legal):
        self.folder = folder
        self.inner = inner

    def __call__(self, obs):
        (self.folder / f"started-{os.getpid()}").touch()
        deadline = time.monotonic() + 120
        while not (self.folder / "go").exists() and time.monotonic() < deadline:
            time.sleep(0.005)
        return self.inner(obs)


def wait_for(path_pattern, folder, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = sorted(folder.glob(path_pattern))
        if found:
            return found
        time.sleep(0.01)
    raise TimeoutError(f"nothing matched {path_pattern} in {timeout} s")


def assert_same_arena(found, expected):
    assert found.bots == expected.bots and found.games == expected.games
    np.testing.assert_array_equal(found.seat_scores, expected.seat_scores)
    np.testing.assert_array_equal(found.seats, expected.seats)
    assert found.table() == expected.table()


# ---- arenas ------------------------------------------------------------------------------------


def test_arena_on_ray_is_the_local_arena_however_it_is_split():
    weights = np.random.default_rng(2).random(tavlok.NUM_ACTIONS)

    def liked(view):  # a closure over an array: shipped by value with it
        offsets, indices = view["legal_offsets"], view["legal_indices"]
        rows = [indices[a:b] for a, b in zip(offsets, offsets[1:])]
        return [row[np.argmax(weights[row])] for row in rows]

    lineups = [
        ["greedy", "random", bots.Random(3), "mcts:8"],
        [liked, "random", bots.PerState(lambda s: s.legal_actions()[-1], name="last"), liked],
    ]
    for lineup in lineups:
        expected = tavlok.arena(lineup, games=23, seed=9, opening=2)
        for part_games in (1, 5, 23, None):
            reported = []
            found = arena(
                lineup, 23, 9, opening=2, part_games=part_games,
                progress=lambda done, total: reported.append((done, total)),
            )
            assert_same_arena(found, expected)
            assert found.first_game == 0
            assert reported[-1] == (23, 23)
            assert [done for done, _ in reported] == sorted(done for done, _ in reported)
    # Another seed, other games: the seed reaches the tasks.
    other = arena(lineups[0], 23, 10, opening=2)
    assert not np.array_equal(other.seat_scores, expected.seat_scores)


def test_arena_refusals_and_policy_errors_come_back_as_the_local_arena_raises_them():
    with pytest.raises(TypeError, match="an arena bot is"):
        arena([42, "random", "random", "random"], 4)
    with pytest.raises(ValueError, match="bots must hold 4, not 3"):
        arena(["random"] * 3, 4)
    with pytest.raises(ValueError, match="seed must be"):
        arena(["random"] * 4, 4, -1)
    with pytest.raises(ValueError, match="opening must be between 0 and 84, not 85"):
        arena(["random"] * 4, 4, opening=85)

    def corner_only(view):
        return np.zeros(len(view["game"]), np.int64)  # grid index 0: legal in no game's 2nd move

    with pytest.raises(ValueError, match=r"'corner_only' chose an illegal move: game \d+"):
        arena([corner_only, "random", "random", "random"], 8, 1, part_games=2)


def test_join_results_puts_consecutive_parts_end_to_end_and_refuses_the_rest():
    lineup = ["greedy", "random", "random", "greedy"]
    parts = [tavlok.arena(lineup, n, 4, first_game=first) for first, n in ((0, 3), (3, 5), (8, 2))]
    assert_same_arena(join_results(parts[::-1]), tavlok.arena(lineup, 10, 4))
    with pytest.raises(ValueError, match="game 3 is followed by game 8"):
        join_results([parts[0], parts[2]])
    with pytest.raises(ValueError, match="game 8 is followed by game 3"):
        join_results([parts[0], parts[1], parts[1]])
    with pytest.raises(ValueError, match="seed differ"):
        join_results([parts[0], tavlok.arena(lineup, 5, 5, first_game=3)])


def test_an_arena_task_killed_mid_run_is_played_again_and_counted_once(tmp_path):
    gated = Gated(tmp_path)
    lineup = [gated, "random", "greedy", "random"]
    outcome = {}
    run = threading.Thread(target=lambda: outcome.update(found=arena(lineup, 16, 7, part_games=4)))
    run.start()
    victim = int(wait_for("started-*", tmp_path)[0].name.split("-")[1])
    os.kill(victim, signal.SIGKILL)
    (tmp_path / "go").touch()
    run.join(timeout=300)
    assert not run.is_alive()
    # Another process played the killed one's part: its pid is not the only one that started.
    assert len(list(tmp_path.glob("started-*"))) >= 2
    assert_same_arena(outcome["found"], tavlok.arena(lineup, 16, 7))


# ---- rollouts ----------------------------------------------------------------------------------


def replay(rollout, env, obs, policy):
    """Steps `env` from `obs` with `policy` as the rollout says it went, checking every array of
    the rollout against what the env shows; returns the observation after the last step."""
    n = env.num_envs
    ended = 0
    for t in range(rollout.steps):
        np.testing.assert_array_equal(rollout.observation[t], obs["observation"])
        np.testing.assert_array_equal(rollout.hands[t], obs["hands"])
        for e in range(n):
            if "legal_indices" in obs:
                offsets = obs["legal_offsets"]
                legal = obs["legal_indices"][offsets[e] : offsets[e + 1]]
            else:
                legal = rollout.legal(t, e)
                mask = obs["action_mask"][e]
                expected_mask = np.zeros(tavlok.NUM_ACTIONS, np.uint8)
                expected_mask[legal] = 1
                bits = mask.dtype == np.uint8
                np.testing.assert_array_equal(np.unpackbits(mask) if bits else mask, expected_mask)
            np.testing.assert_array_equal(rollout.legal(t, e), legal)
            assert len(legal) > 0  # same-step autoreset: every row is a decision
        answer = policy(obs)
        actions = answer["actions"] if isinstance(answer, dict) else answer
        np.testing.assert_array_equal(rollout.actions[t], actions)
        if isinstance(answer, dict):
            np.testing.assert_allclose(rollout.log_probs[t], answer["log_probs"], rtol=1e-6)
            np.testing.assert_array_equal(rollout.extras["legal_count"][t], answer["legal_count"])
        obs, rewards, terminations, _, infos = env.step(actions)
        np.testing.assert_array_equal(rollout.rewards[t], rewards)
        np.testing.assert_array_equal(rollout.terminations[t], terminations)
        for e in np.flatnonzero(terminations):
            assert (rollout.ended_step[ended], rollout.ended_env[ended]) == (t, e)
            scores = infos["final_info"]["scores"][e]
            np.testing.assert_array_equal(rollout.ended_scores[ended], scores)
            assert rollout.rewards[t, e] == scores[rollout.ended_seat[ended]]
            ended += 1
    assert ended == len(rollout.ended_step) == rollout.terminations.sum()
    for key, value in obs.items():
        np.testing.assert_array_equal(rollout.next_obs[key], value)
    return obs


def local_env(seed, worker, envs, generation=0, mask="indices", opponents=OPPONENTS):
    env = LearnerVectorEnv(
        envs, opponents=opponents, mask=mask, autoreset_mode="SameStep", num_threads=1
    )
    obs, _ = env.reset(seed=worker_seed(seed, worker, generation))
    return env, obs


def test_rollouts_are_the_games_played_locally_with_each_iterations_weights():
    policy = Preferring(0)
    with RolloutWorkers(2, 3, seed=11, opponents=OPPONENTS) as workers:
        locals_ = [local_env(11, w, 3) for w in range(2)]
        local_policy = Preferring(0)
        for iteration in range(3):
            # New weights each iteration, as a learner's update gives them: only they travel.
            policy.weights = local_policy.weights = np.random.default_rng(iteration).random(
                tavlok.NUM_ACTIONS
            )
            rollouts = workers.collect(policy, steps=30)
            assert [r.worker for r in rollouts] == [0, 1]
            for w, rollout in enumerate(rollouts):
                assert rollout.generation == 0 and rollout.actions.shape == (30, 3)
                env, obs = locals_[w]
                locals_[w] = (env, replay(rollout, env, obs, local_policy))
            assert sum(len(r.ended_step) for r in rollouts) > 0  # games ended, and went on
        # The two workers played different games.
        assert not np.array_equal(rollouts[0].observation, rollouts[1].observation)
        assert workers.restarts == 0


def test_workers_ship_planes_and_hands_eight_to_a_byte():
    with RolloutWorkers(1, 3, seed=4) as workers:
        (shipped,) = workers.collect(first_legal, 7, unpack=False)
    env, obs = local_env(4, 0, 3, opponents="random")
    assert shipped.packed and shipped.observation.shape == (7, 3, 200)
    assert shipped.hands.shape == (7, 3, 11)
    full = shipped.unpacked()
    assert not full.packed and full.observation.shape == (7, 3, 4, 20, 20)
    replay(full, env, obs, first_legal)
    assert full.packed_form().nbytes == shipped.nbytes
    assert full.nbytes - shipped.nbytes == 7 * 3 * (1600 - 200 + 84 - 11)


@pytest.mark.parametrize("mask", ["bits", "bytes"])
def test_dense_mask_rollouts_hold_the_same_games_in_more_bytes(mask):
    with RolloutWorkers(1, 4, seed=5, opponents=OPPONENTS) as sparse:
        (indices,) = sparse.collect(first_legal, 12)
    with RolloutWorkers(1, 4, seed=5, opponents=OPPONENTS, mask=mask) as dense:
        (masked,) = dense.collect(lambda obs: first_of_mask(obs["action_mask"]), 12)
    env, obs = local_env(5, 0, 4, mask=mask)
    replay(masked, env, obs, lambda obs: first_of_mask(obs["action_mask"]))
    np.testing.assert_array_equal(masked.actions, indices.actions)
    assert masked.legal_offsets is None and indices.action_mask is None
    assert indices.nbytes < masked.nbytes


def first_of_mask(mask):
    dense = np.unpackbits(mask, axis=1) if mask.dtype == np.uint8 else mask
    return np.argmax(dense, axis=1)


def test_a_killed_rollout_worker_is_replaced_and_its_rollout_played_again(tmp_path):
    with RolloutWorkers(2, 3, seed=8, opponents=OPPONENTS, max_restarts=1) as workers:
        victim, survivor = workers.pids()
        outcome = {}
        gated = Gated(tmp_path)
        run = threading.Thread(target=lambda: outcome.update(found=workers.collect(gated, 25)))
        run.start()
        wait_for(f"started-{victim}", tmp_path)
        os.kill(victim, signal.SIGKILL)
        (tmp_path / "go").touch()
        run.join(timeout=300)
        assert not run.is_alive()
        lost, kept = outcome["found"]
        assert workers.restarts == 1 and workers.num_workers == 2
        assert (lost.worker, lost.generation) == (0, 1) and (kept.worker, kept.generation) == (1, 0)
        # The replacement played the whole rollout on new games of its own seed; the survivor's
        # rollout is the one a run without the failure gives.
        env, obs = local_env(8, 0, 3, generation=1)
        obs = replay(lost, env, obs, first_legal)
        survivor_env, survivor_obs = local_env(8, 1, 3)
        survivor_obs = replay(kept, survivor_env, survivor_obs, first_legal)
        new_pid = workers.pids()[0]
        assert new_pid != victim and workers.pids()[1] == survivor

        # The workers go on from where they stand.
        lost, kept = workers.collect(first_legal, 5)
        replay(lost, env, obs, first_legal)
        replay(kept, survivor_env, survivor_obs, first_legal)

        # With the restarts spent, the next death is the caller's to handle.
        os.kill(new_pid, signal.SIGKILL)
        with pytest.raises(ray.exceptions.RayActorError):
            workers.collect(first_legal, 5)


def test_rollout_workers_refuse_bad_settings_and_policy_answers():
    with pytest.raises(ValueError, match="mask must be"):
        RolloutWorkers(1, 2, mask="dense")
    with pytest.raises(ValueError, match="seed must be"):
        RolloutWorkers(1, 2, seed=-1)
    with RolloutWorkers(1, 2) as workers:
        with pytest.raises(ValueError, match="one integer grid index per env"):
            workers.collect(lambda obs: [0.5, 1.5], 3)
        with pytest.raises(ValueError, match="steps must be 1 or more, not 0"):
            workers.collect(first_legal, 0)
        with pytest.raises(ValueError, match="illegal|not legal|may not"):
            workers.collect(lambda obs: np.zeros(2, np.int64) + 7, 3)


def test_a_policy_seeds_its_own_generator_per_worker():
    class Sampling:
        def seed(self, seed):
            self.rng = np.random.default_rng(seed)

        def __call__(self, obs):
            offsets = obs["legal_offsets"]
            picks = offsets[:-1] + self.rng.integers(0, np.diff(offsets))
            return obs["legal_indices"][picks]

    # One after the other: each worker holds one of the cluster's two CPUs.
    with RolloutWorkers(2, 2, seed=3) as workers:
        first = workers.collect(Sampling(), 10)
    with RolloutWorkers(2, 2, seed=3) as again:
        second = again.collect(Sampling(), 10)
    for a, b in zip(first, second):
        np.testing.assert_array_equal(a.actions, b.actions)
    # Each worker drew from its own seed, which its env shares: replayed locally, the same moves.
    policy = Sampling()
    policy.seed(worker_seed(3, 1))
    env, obs = local_env(3, 1, 2, opponents="random")
    replay(first[1], env, obs, policy)


def test_documented_ray_example_runs(monkeypatch, capsys, docs_example):
    monkeypatch.setattr(ray, "init", lambda *args, **kwargs: None)  # the cluster is up
    docs_example("ray")
    lines = capsys.readouterr().out.splitlines()
    expected = tavlok.arena([first_legal, "greedy", "random", "random"], games=200, seed=0)
    assert lines[0] == str(expected.win_rate)
    assert [line.split()[:5] for line in lines[1:]] == [
        [str(w), "(32,", "64)", "(32,", "64)"] for w in (0, 1)
    ]
