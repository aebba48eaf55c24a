import os
import re
import select
import signal
import warnings
from pathlib import Path

import numpy as np
import pytest

from _tavlok import PyTavlok
from tavlok.cli import main
from tavlok.bench import run_vector
from tavlok.vector import VectorEnv

ROOT = Path(__file__).resolve().parents[2]
NUM_ACTIONS = 36400


def first_at_or_after(mask, start):
    """The first legal grid index at or after start, wrapping around."""
    legal = np.flatnonzero(mask)
    assert legal.size, "an env waits at a seat without a legal action"
    k = np.searchsorted(legal, start)
    return legal[k] if k < legal.size else legal[0]


def as_bytes(env, obs):
    mask = obs["action_mask"]
    return np.unpackbits(mask, axis=1) if env.mask == "bits" else mask


def choose(env, obs, rng):
    starts = rng.integers(0, NUM_ACTIONS, size=env.num_envs)
    return np.array(
        [first_at_or_after(m, s) for m, s in zip(as_bytes(env, obs), starts, strict=True)]
    )


def snapshot(obs, rewards=None, terminated=None):
    arrays = {k: v.copy() for k, v in obs.items()}
    if rewards is not None:
        arrays.update(rewards=rewards.copy(), terminated=terminated.copy())
    return arrays


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)


class OneByOne:
    """One game through PyTavlok, passing done seats and restarting at the end as the batch does."""

    def __init__(self):
        self.game = PyTavlok()
        self.placed = 0
        self.settle()

    def play(self, action):
        self.game.step(int(action))
        self.placed += 1
        self.settle()

    def settle(self):
        self.final_scores = None
        while True:
            seat = self.game.agent_selection
            view = self.game.observe(seat)
            if not self.game.terminations[seat]:
                self.seat = seat
                self.planes = np.frombuffer(view.observation, np.uint8).reshape(4, 20, 20)
                self.mask = np.frombuffer(view.action_mask, np.uint8)
                return
            if all(self.game.terminations):
                self.final_scores, self.placements = self.game.rewards, self.placed
                self.placed = 0
                self.game.reset()
                continue
            self.game.step(None)


# ---- The arrays ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "mask, mask_shape, mask_dtype",
    [
        ("bytes", (3, 36400), np.int8),
        ("bits", (3, 4550), np.uint8),
    ],
)
def test_arrays_have_their_shapes_and_are_the_same_read_only_objects_every_step(
    mask, mask_shape, mask_dtype
):
    env = VectorEnv(3, num_threads=2, seed=0, mask=mask)
    obs = env.reset()
    expected = {
        "observation": ((3, 4, 20, 20), np.uint8),
        "action_mask": (mask_shape, mask_dtype),
        "seat": ((3,), np.int8),
    }
    assert {k: (v.shape, v.dtype) for k, v in obs.items()} == expected
    rng = np.random.default_rng(0)
    obs2, rewards, terminated, info = env.step(choose(env, obs, rng))
    assert (rewards.shape, rewards.dtype) == ((3, 4), np.int16)
    assert (terminated.shape, terminated.dtype) == ((3,), np.bool_)
    assert set(info) == {"finished", "final_scores", "placements"}
    assert all(obs2[k] is obs[k] for k in obs)
    _, rewards2, terminated2, _ = env.step(choose(env, obs, rng))
    assert rewards2 is rewards and terminated2 is terminated
    for array in (*obs.values(), rewards, terminated):
        assert not array.flags.writeable
    assert env.num_envs == 3 and env.num_threads == 2 and env.mask == mask


def test_bits_unpack_to_the_bytes_mask_of_the_same_games():
    envs = [VectorEnv(4, seed=3, mask=mask) for mask in ("bytes", "bits")]
    observations = [env.reset() for env in envs]
    rng = np.random.default_rng(3)
    for _ in range(120):
        byte_mask, bit_mask = (o["action_mask"] for o in observations)
        np.testing.assert_array_equal(np.unpackbits(bit_mask, axis=1), byte_mask)
        np.testing.assert_array_equal(np.packbits(byte_mask.view(np.uint8), axis=1), bit_mask)
        actions = choose(envs[0], observations[0], rng)
        observations = [env.step(actions)[0] for env in envs]


# ---- Refused actions ----------------------------------------------------------------------------


def test_an_illegal_action_names_the_env_and_the_action_and_steps_no_env():
    env = VectorEnv(4, num_threads=2, seed=1)
    obs = env.reset()
    rng = np.random.default_rng(1)
    spent = None
    for turn in range(5):
        actions = choose(env, obs, rng)
        if turn == 1:
            spent = int(actions[2])  # seat 1's first placement, seat 1 moves again at turn 5
        obs, *_ = env.step(actions)
    no_placement = 19 * 20 + 19 + 89 * 400  # a flat five-cell bar cannot start in column 19
    for bad in (-1, NUM_ACTIONS, no_placement, spent, 2**40):
        actions = choose(env, obs, rng)
        actions[2] = bad
        before = snapshot(obs)
        with pytest.raises(
            ValueError, match=rf"^illegal action {bad} for env 2 \(seat 1 to move\)"
        ):
            env.step(actions)
        assert_same(snapshot(obs), before)
    actions = choose(env, obs, rng)
    actions[[1, 3]] = -7
    with pytest.raises(ValueError, match="for env 1 "):
        env.step(actions)
    env.step(choose(env, obs, rng))  # still playable


def test_actions_of_any_integer_type_and_layout_play_alike_and_others_are_refused():
    envs = [VectorEnv(3, num_threads=1, seed=2) for _ in range(5)]
    observations = [env.reset() for env in envs]
    rng = np.random.default_rng(2)
    for _ in range(40):
        actions = choose(envs[0], observations[0], rng)
        strided = np.zeros(6, dtype=np.int32)
        strided[::2] = actions
        read_only = actions.astype(np.int32)
        read_only.flags.writeable = False
        forms = [
            actions.astype(">i8"),
            actions.astype(np.uint16),
            strided[::2],
            actions.tolist(),
            read_only,
        ]
        observations = [env.step(form)[0] for env, form in zip(envs, forms, strict=True)]
        for other in observations[1:]:
            assert_same(snapshot(other), snapshot(observations[0]))

    env = envs[0]
    legal = choose(env, observations[0], rng)
    for wrong in (legal.astype(np.float64), legal > 0, legal.astype(object)):
        with pytest.raises(TypeError, match="integers"):
            env.step(wrong)
    with pytest.raises(ValueError, match=r"shape \(3,\)"):
        env.step(legal[:2])
    with pytest.raises(ValueError, match=r"shape \(3,\)"):
        env.step(legal.reshape(3, 1))
    huge = legal.astype(np.uint64)
    huge[1] = 2**64 - 1
    with pytest.raises(ValueError, match=rf"^illegal action {2**64 - 1} for env 1 "):
        env.step(huge)


@pytest.mark.parametrize(
    "dtype, value",
    [
        (np.int8, -1), (np.int16, -1), (np.int32, -1), (np.int64, -1),
        (np.uint8, 255), (np.uint16, 2**16 - 1), (np.uint32, 2**32 - 1), (np.uint64, 2**63),
    ],
)
def test_a_refused_action_is_reported_with_its_exact_value_in_every_integer_type(dtype, value):
    # Every env waits at its opening, where neither value is a legal placement: read with the
    # wrong sign or width, the value shown would differ.
    env = VectorEnv(3, num_threads=1, seed=0)
    env.reset()
    with pytest.raises(ValueError, match=rf"^illegal action {value} for env 0 \(seat 0 to move\)"):
        env.step(np.full(3, value, dtype=dtype))


def test_the_batch_itself_refuses_what_is_not_one_integer_per_env():
    # Below VectorEnv, which checks the type first: the engine side must refuse on its own.
    batch = VectorEnv(3, num_threads=1, seed=0)._batch
    for dtype in (np.float16, np.bool_, np.complex64):
        with pytest.raises(TypeError, match="integers"):
            batch.step(np.zeros(3, dtype))
    for wrong in (np.zeros(2, np.int64), np.zeros((3, 1), np.int64), np.int64(0)):
        with pytest.raises(ValueError, match=r"one grid index per env, shape \(3,\)"):
            batch.step(wrong)
    with pytest.raises(TypeError):
        batch.step([0, 0, 0])
    with pytest.raises(ValueError, match="num_threads must be between 1 and 1024, not 0"):
        type(batch)(3, 0, False, 0)
    with pytest.raises(ValueError, match="num_envs must be between 1 and"):
        type(batch)(-1, 1, False, 0)


# ---- Equal to single games ----------------------------------------------------------------------


@pytest.mark.parametrize("mask", ["bytes", "bits"])
def test_every_env_plays_like_a_single_game_through_pytavlok(mask):
    env = VectorEnv(4, num_threads=2, seed=5, mask=mask)
    obs = env.reset()
    games = [OneByOne() for _ in range(env.num_envs)]
    rng = np.random.default_rng(5)
    ended = 0
    for _ in range(300):
        actions = choose(env, obs, rng)
        obs, rewards, terminated, info = env.step(actions)
        finished = []
        for i, game in enumerate(games):
            game.play(actions[i])
            assert obs["seat"][i] == game.seat
            np.testing.assert_array_equal(obs["observation"][i], game.planes)
            np.testing.assert_array_equal(as_bytes(env, obs)[i], game.mask)
            assert terminated[i] == (game.final_scores is not None)
            assert rewards[i].tolist() == (game.final_scores or [0, 0, 0, 0])
            if game.final_scores is not None:
                finished.append((i, game.final_scores, game.placements))
        assert info["finished"].tolist() == [i for i, _, _ in finished]
        assert info["final_scores"].tolist() == [s for _, s, _ in finished]
        assert info["placements"].tolist() == [p for _, _, p in finished]
        ended += len(finished)
    assert ended >= 10  # the run reached the ends of games


# ---- Threads and seeds --------------------------------------------------------------------------


@pytest.mark.parametrize("mask", ["bytes", "bits"])
def test_the_same_seed_gives_the_same_arrays_with_one_or_two_threads(mask):
    envs = [VectorEnv(5, num_threads=t, seed=9, mask=mask) for t in (1, 2)]
    assert [env.num_threads for env in envs] == [1, 2]
    outcomes = [snapshot(env.reset(seed=9)) for env in envs]
    rngs = [np.random.default_rng(9) for _ in envs]
    for _ in range(200):
        assert_same(*outcomes)
        outcomes = [
            snapshot(*env.step(choose(env, outcome, rng))[:3])
            for env, outcome, rng in zip(envs, outcomes, rngs, strict=True)
        ]


def test_seeds_must_fit_64_bits_and_threads_default_to_the_cores():
    for seed in (-1, 2**64):
        with pytest.raises(ValueError, match="seed"):
            VectorEnv(2, seed=seed)
    with pytest.raises(ValueError, match="num_envs"):
        VectorEnv(0)
    with pytest.raises(ValueError, match="mask"):
        VectorEnv(2, mask="packed")
    assert VectorEnv(64).num_threads == min(64, len(os.sched_getaffinity(0)))


def test_close_ends_the_env_and_a_with_block_closes_it():
    with VectorEnv(2, num_threads=2, seed=0) as env:
        obs = env.reset()
    with pytest.raises(RuntimeError, match="closed"):
        env.step(obs["action_mask"].argmax(axis=1))
    with pytest.raises(RuntimeError, match="closed"):
        env.reset()


def test_a_forked_child_steps_with_threads_of_its_own():
    env = VectorEnv(6, num_threads=2, seed=6)
    obs = env.reset()
    rng = np.random.default_rng(6)
    obs, *_ = env.step(choose(env, obs, rng))  # the parent's workers have run
    actions = choose(env, obs, rng)
    read, write = os.pipe()
    with warnings.catch_warnings():  # the parent's warning that it has threads: the point here
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # the child: without threads of its own, this step would never return
        status = 1
        try:
            child_obs, *_ = env.step(actions)
            os.write(write, child_obs["observation"].tobytes() + child_obs["action_mask"].tobytes())
            status = 0
        finally:
            os._exit(status)
    os.close(write)
    parent_obs, *_ = env.step(actions)
    expected = parent_obs["observation"].tobytes() + parent_obs["action_mask"].tobytes()
    received = b""
    # Guard against a hung child, so that the failure is reported rather than the run stalling.
    while select.select([read], [], [], 60)[0]:
        chunk = os.read(read, 1 << 20)
        if not chunk:
            break
        received += chunk
    else:
        os.kill(pid, signal.SIGKILL)
    os.close(read)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert received == expected


# ---- The documented loop and the benchmark ------------------------------------------------------


def test_the_documented_self_play_loop_runs(capsys):
    source = ROOT / "README.md"
    blocks = [
        block
        for block in re.findall(r"^```python\n(.*?)^```$", source.read_text(), re.M | re.S)
        if "VectorEnv" in block
    ]
    assert len(blocks) == 1 and len(blocks[0].strip().splitlines()) <= 20
    exec(compile(blocks[0], str(source), "exec"), {})
    games, *wins = map(
        int,
        re.fullmatch(
            r"(\d+) games, wins per seat \[(\d+), (\d+), (\d+), (\d+)\]\n", capsys.readouterr().out
        ).groups(),
    )
    assert games >= 20 and games <= sum(wins)


def test_bench_plays_the_asked_steps_and_the_command_line_runs_it(capsys):
    result = run_vector(4, threads=2, steps=50, mask="bits", seed=1)
    assert (result.num_envs, result.threads, result.mask, result.steps) == (4, 2, "bits", 50)
    assert 0 < result.step_seconds <= result.total_seconds
    assert main(["bench", "--vector", "50", "--threads", "1", "--mask", "bits"]) == 0
    out = capsys.readouterr().out
    assert re.match(r"VectorEnv\(50, 1 thread\(s\), mask='bits'\): 1000 steps, \d+ games", out)
