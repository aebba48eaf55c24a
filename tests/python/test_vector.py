import os
import re
import select
import signal
import warnings

import numpy as np
import pytest

from _tavlok import PyTavlok
from support import rules
from support.docs import example
from support.drivers import legal_lists
from tavlok.bench import run_vector
from tavlok.cli import main
from tavlok.vector import MAX_LEGAL_PLACEMENTS, VectorEnv

NUM_ACTIONS = 36400
MASKS = ("bytes", "bits", "indices")


def choose(env, obs, rng):
    """Per env the first legal grid index at or after a random start, wrapping around; for an env
    whose game is over (no legal action), a number that names no placement, which is not played."""
    actions = []
    for legal in legal_lists(env, obs):
        start = rng.integers(NUM_ACTIONS)
        if legal.size == 0:
            actions.append(-1 - start)
            continue
        k = np.searchsorted(legal, start)
        actions.append(legal[k] if k < legal.size else legal[0])
    return np.array(actions, dtype=np.int64)


def snapshot(obs, *arrays):
    copied = {k: v.copy() for k, v in obs.items()}
    copied.update({f"array {i}": a.copy() for i, a in enumerate(arrays)})
    return copied


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)


class OneByOne:
    """One game through PyTavlok, passing done seats and restarting as the batch's autoreset mode
    says; hands are counted from the naive model's catalogue."""

    def __init__(self, autoreset="NextStep"):
        self.autoreset = autoreset
        self.game = PyTavlok()
        self.ended = None
        self.start()

    def start(self):
        self.game.reset()
        self.placed = 0
        self.held = np.ones((4, rules.KINDS), dtype=np.uint8)
        self.over = False
        self.settle()

    def play(self, action):
        self.ended = None  # (scores, placements, seat, planes, hands) of a game this move ended
        if self.over:
            return self.start()
        mover = self.seat
        self.game.step(int(action))
        self.placed += 1
        self.held[mover, rules.BY_GRID[int(action)].kind] = 0
        if self.settle():
            return
        # The seat that ended the game shows its planes, with nothing legal.
        self.seat = mover
        self.view(mover)
        self.ended = (self.game.rewards, self.placed, mover, self.planes, self.hands())
        if self.autoreset == "SameStep":
            self.start()
        else:
            self.over = True

    def settle(self):
        while True:
            seat = self.game.agent_selection
            self.view(seat)
            if not self.game.terminations[seat]:
                self.seat = seat
                return True
            if all(self.game.terminations):
                return False
            self.game.step(None)

    def view(self, seat):
        view = self.game.observe(seat)
        self.planes = np.frombuffer(view.observation, np.uint8).reshape(4, 20, 20)
        self.legal = np.flatnonzero(np.frombuffer(view.action_mask, np.uint8))

    def hands(self):
        return self.held[[(self.seat + k) % 4 for k in range(4)]]


# ---- The arrays ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "mask, mask_arrays",
    [
        ("bytes", {"action_mask": ((3, 36400), np.int8)}),
        ("bits", {"action_mask": ((3, 4550), np.uint8)}),
        ("indices", {"legal_offsets": ((4,), np.int32), "legal_indices": ((174,), np.int32)}),
    ],
)
def test_arrays_have_their_shapes_and_are_the_same_read_only_objects_every_step(
    mask, mask_arrays
):
    env = VectorEnv(3, num_threads=2, seed=0, mask=mask, copy=False)
    obs, info = env.reset()
    assert info == {}
    expected = {
        "observation": ((3, 4, 20, 20), np.uint8),
        **mask_arrays,  # 58 openings per env
        "hands": ((3, 4, 21), np.uint8),
        "seat": ((3,), np.int8),
    }
    assert {k: (v.shape, v.dtype) for k, v in obs.items()} == expected
    rng = np.random.default_rng(0)
    obs2, rewards, terminations, truncations, infos = env.step(choose(env, obs, rng))
    assert (rewards.shape, rewards.dtype) == ((3, 4), np.int16)
    assert (terminations.shape, terminations.dtype) == ((3,), np.bool_)
    assert (truncations.shape, truncations.dtype) == ((3,), np.bool_) and not truncations.any()
    assert infos == {}
    for key in obs.keys() - {"legal_indices"}:
        assert obs2[key] is obs[key], key
    if mask == "indices":  # a new view of the same buffer, as long as this step's lists
        assert obs2["legal_indices"].base is obs["legal_indices"].base
        assert obs2["legal_indices"].size == obs2["legal_offsets"][-1]
    _, rewards2, terminations2, truncations2, _ = env.step(choose(env, obs2, rng))
    assert rewards2 is rewards and terminations2 is terminations and truncations2 is truncations
    for array in (*obs2.values(), rewards, terminations, truncations):
        assert not array.flags.writeable
    assert env.num_envs == 3 and env.num_threads == 2 and env.mask == mask


def test_copies_are_new_writable_arrays_equal_to_the_envs_own():
    envs = [VectorEnv(3, seed=4, mask="indices", copy=copy) for copy in (False, True)]
    outcomes = [env.reset() for env in envs]
    rng = np.random.default_rng(4)
    for _ in range(30):
        own, copied = (o[0] for o in outcomes)
        assert_same(copied, own)
        for key in own:
            assert copied[key].flags.writeable and not np.shares_memory(copied[key], own[key])
        actions = choose(envs[0], own, rng)
        outcomes = [env.step(actions) for env in envs]
        for own_array, copied_array in zip(outcomes[0][1:4], outcomes[1][1:4], strict=True):
            np.testing.assert_array_equal(copied_array, own_array)
            assert copied_array.flags.writeable
    again = envs[1].step(choose(envs[1], outcomes[1][0], rng))
    assert again[1] is not outcomes[1][1]


def test_bits_and_indices_hold_the_bytes_mask_of_the_same_games():
    envs = [VectorEnv(4, seed=3, mask=mask) for mask in MASKS]
    observations = [env.reset()[0] for env in envs]
    rng = np.random.default_rng(3)
    for _ in range(120):
        byte_mask, bit_mask, _ = (o.get("action_mask") for o in observations)
        np.testing.assert_array_equal(np.unpackbits(bit_mask, axis=1), byte_mask)
        np.testing.assert_array_equal(np.packbits(byte_mask.view(np.uint8), axis=1), bit_mask)
        for from_bytes, listed in zip(
            legal_lists(envs[0], observations[0]), legal_lists(envs[2], observations[2]),
            strict=True,
        ):
            np.testing.assert_array_equal(listed, from_bytes)
        assert observations[2]["legal_indices"].size <= 4 * MAX_LEGAL_PLACEMENTS
        actions = choose(envs[0], observations[0], rng)
        observations = [env.step(actions)[0] for env in envs]


# ---- Refused actions ----------------------------------------------------------------------------


def test_an_illegal_action_names_the_env_and_the_action_and_steps_no_env():
    env = VectorEnv(4, num_threads=2, seed=1, mask="indices")
    obs, _ = env.reset()
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
    observations = [env.reset()[0] for env in envs]
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
    huge = np.abs(legal).astype(np.uint64)
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
    # The engine side is where every argument is checked, in the one wording VectorEnv shows.
    batch = VectorEnv(3, num_threads=1, seed=0)._batch
    for dtype in (np.float16, np.bool_, np.complex64):
        with pytest.raises(TypeError, match="integers"):
            batch.step(np.zeros(3, dtype))
    for wrong in (np.zeros(2, np.int64), np.zeros((3, 1), np.int64), np.int64(0)):
        with pytest.raises(ValueError, match=r"one grid index per env, shape \(3,\)"):
            batch.step(wrong)
    with pytest.raises(TypeError):
        batch.step([0, 0, 0])
    make = type(batch)
    with pytest.raises(ValueError, match="num_threads must be between 1 and 1024, not 0"):
        make(3, 0, "bytes", "NextStep", 0)
    with pytest.raises(ValueError, match="num_envs must be between 1 and"):
        make(-1, 1, "bytes", "NextStep", 0)
    with pytest.raises(ValueError, match="num_envs must be between 1 and 397534 with mask='ind"):
        make(397_535, 1, "indices", "NextStep", 0)
    with pytest.raises(ValueError, match="mask must be 'bytes', 'bits', 'indices' or 'candidates', not 'b'"):
        make(3, 1, "b", "NextStep", 0)
    with pytest.raises(ValueError, match="autoreset_mode must be 'NextStep', 'SameStep' or 'Dis"):
        make(3, 1, "bits", "next_step", 0)
    with pytest.raises(ValueError, match=r"one seed per env, 3, not 2"):
        batch.reset([1, 2], None)
    with pytest.raises(ValueError, match=r"bool array of shape \(3,\), not \(2,\)"):
        batch.reset(None, np.ones(2, dtype=bool))


# ---- Equal to single games ----------------------------------------------------------------------


def expect_env_matches(env, obs, i, game):
    assert obs["seat"][i] == game.seat
    np.testing.assert_array_equal(obs["observation"][i], game.planes)
    np.testing.assert_array_equal(obs["hands"][i], game.hands())
    np.testing.assert_array_equal(legal_lists(env, obs)[i], game.legal)


@pytest.mark.parametrize("autoreset", ["NextStep", "SameStep"])
@pytest.mark.parametrize("mask", MASKS)
def test_every_env_plays_like_a_single_game_through_pytavlok(mask, autoreset):
    env = VectorEnv(4, num_threads=2, seed=5, mask=mask, autoreset_mode=autoreset)
    obs, _ = env.reset()
    games = [OneByOne(autoreset) for _ in range(env.num_envs)]
    rng = np.random.default_rng(5)
    ended = 0
    for _ in range(240):
        actions = choose(env, obs, rng)
        obs, rewards, terminations, _, infos = env.step(actions)
        finished = []
        for i, game in enumerate(games):
            game.play(actions[i])
            expect_env_matches(env, obs, i, game)
            assert terminations[i] == (game.ended is not None)
            assert rewards[i].tolist() == (game.ended[0] if game.ended else [0, 0, 0, 0])
            if game.ended:
                finished.append(i)
        if not finished:
            assert infos == {}
            continue
        ended += len(finished)
        mask_of_ended = np.isin(np.arange(env.num_envs), finished)
        info = infos
        if autoreset == "SameStep":
            assert set(infos) == {"final_obs", "_final_obs", "final_info", "_final_info"}
            for key in ("_final_obs", "_final_info"):
                np.testing.assert_array_equal(infos[key], mask_of_ended)
            info = infos["final_info"]
        assert set(info) == {"scores", "_scores", "placements", "_placements", "seat", "_seat"}
        for key in ("_scores", "_placements", "_seat"):
            np.testing.assert_array_equal(info[key], mask_of_ended)
        for i in finished:
            scores, placements, seat, planes, hands = games[i].ended
            assert (info["scores"][i].tolist(), info["placements"][i]) == (scores, placements)
            assert info["seat"][i] == seat
            if autoreset == "SameStep":
                final = infos["final_obs"][i]
                np.testing.assert_array_equal(final["observation"], planes)
                np.testing.assert_array_equal(final["hands"], hands)
                assert final["seat"] == seat
                assert not final.get("action_mask", final.get("legal_indices")).any()
            else:  # the final view is the observation itself
                assert not legal_lists(env, obs)[i].size
        for i in set(range(env.num_envs)) - set(finished):
            assert not info["scores"][i].any() and info["placements"][i] == 0
            if autoreset == "SameStep":
                assert infos["final_obs"][i] is None
    assert ended >= 8  # the run reached the ends of games


def test_without_autoreset_an_ended_game_waits_for_a_reset_of_its_own():
    env = VectorEnv(3, num_threads=2, seed=6, mask="indices", autoreset_mode="Disabled")
    obs, _ = env.reset()
    rng = np.random.default_rng(6)
    terminations = np.zeros(3, dtype=bool)
    while not terminations.any():
        obs, _, terminations, _, _ = env.step(choose(env, obs, rng))
    ended = terminations.copy()
    others = np.flatnonzero(~ended)
    kept = snapshot({k: v[others] for k, v in obs.items() if not k.startswith("legal")})
    kept_lists = [legal_lists(env, obs)[i].copy() for i in others]
    i = int(np.flatnonzero(ended)[0])
    with pytest.raises(ValueError, match=rf"^env {i}'s game is over and autoreset is disabled"):
        env.step(choose(env, obs, rng))
    obs, info = env.reset(options={"reset_mask": ended})
    assert info == {}
    assert_same(snapshot({k: v[others] for k, v in obs.items() if not k.startswith("legal")}), kept)
    for i, legal in zip(others, kept_lists, strict=True):
        np.testing.assert_array_equal(legal_lists(env, obs)[i], legal)
    assert (obs["seat"][ended] == 0).all()
    assert all(legal_lists(env, obs)[i].size == 58 for i in np.flatnonzero(ended))
    env.step(choose(env, obs, rng))


# ---- Threads, seeds and options -----------------------------------------------------------------


@pytest.mark.parametrize("mask", MASKS)
def test_the_same_seed_gives_the_same_arrays_with_one_or_two_threads(mask):
    envs = [
        VectorEnv(5, num_threads=t, seed=9, mask=mask, autoreset_mode="SameStep") for t in (1, 2)
    ]
    assert [env.num_threads for env in envs] == [1, 2]
    outcomes = [snapshot(env.reset(seed=9)[0]) for env in envs]
    rngs = [np.random.default_rng(9) for _ in envs]
    for _ in range(200):
        assert_same(*outcomes)
        outcomes = [
            snapshot(*env.step(choose(env, outcome, rng))[:4])
            for env, outcome, rng in zip(envs, outcomes, rngs, strict=True)
        ]


def test_reset_takes_a_seed_or_one_per_env_and_options_or_refuses_them_before_changing_anything():
    env = VectorEnv(3, num_threads=1, seed=0)
    obs, _ = env.reset()
    first = snapshot(obs)
    rng = np.random.default_rng(0)
    obs, *_ = env.step(choose(env, obs, rng))
    moved = snapshot(obs)
    refused = [
        ({"seed": -1}, ValueError, "seed must be between 0 and 2\\*\\*64 - 1"),
        ({"seed": 2**64}, ValueError, "seed must be between"),
        ({"seed": True}, TypeError, "not bool"),
        ({"seed": 1.5}, TypeError, "seed must be None or a whole number, not float"),
        ({"seed": [1, 2]}, ValueError, "a list of seeds must hold 3, not 2"),
        ({"seed": [1, None, -3]}, ValueError, "seed must be between"),
        ({"options": []}, TypeError, "options must be None or a mapping"),
        ({"options": {"seed": 1}}, ValueError, r"unknown options \['seed'\]: reset\(\) takes 'r"),
        ({"options": {"reset_mask": [True] * 3}}, TypeError, "numpy bool array"),
        ({"options": {"reset_mask": np.ones(2, bool)}}, ValueError, r"shape \(3,\)"),
        ({"options": {"reset_mask": np.zeros(3, bool)}}, ValueError, "at least one env"),
    ]
    for kwargs, error, message in refused:
        with pytest.raises(error, match=message):
            env.reset(**kwargs)
        assert_same(snapshot(obs), moved)
    for accepted in (7, np.uint64(2**64 - 1), [1, None, 2**63], (None, None, None)):
        obs, info = env.reset(seed=accepted)
        assert_same(snapshot(obs), first)
    obs, _ = env.reset(options={})
    assert_same(snapshot(obs), first)


def test_a_seed_list_seeds_each_env_as_an_int_seed_does_and_none_carries_on():
    # The rules draw nothing at random, so the generators are compared through the batch that
    # uses them: the learner env's seats and bots.
    from tavlok.gym_vector import LearnerVectorEnv

    def seats_after(seed):
        env = LearnerVectorEnv(4, num_threads=1, mask="indices")
        env.reset(seed=seed)
        return env.seats.copy()

    assert (seats_after([5, 5, 5, 5]) == seats_after(5)).all()
    assert not (seats_after(5) == seats_after(6)).all()
    mixed = seats_after([5, None, 5, None])
    assert (mixed[[0, 2]] == seats_after(5)[[0, 2]]).all()


def test_spaces_hold_the_observations_and_metadata_names_the_autoreset_mode():
    import gymnasium.vector

    # Gymnasium names its autoreset modes from 1.1 on; its wrappers read them from metadata.
    AutoresetMode = getattr(gymnasium.vector, "AutoresetMode", None)
    for mask in MASKS:
        mode = AutoresetMode.SAME_STEP if AutoresetMode else "SameStep"
        env = VectorEnv(3, seed=0, mask=mask, autoreset_mode=mode)
        assert env.metadata["autoreset_mode"] == mode
        assert env.autoreset_mode == "SameStep"
        obs, _ = env.reset()
        rng = np.random.default_rng(0)
        for _ in range(3):
            assert env.observation_space.contains(obs), mask
            for i in range(env.num_envs):
                single = {
                    k: np.asarray(v[i]) for k, v in obs.items() if not k.startswith("legal")
                }
                if mask == "indices":
                    single["legal_indices"] = legal_lists(env, obs)[i]
                assert env.single_observation_space.contains(single), mask
            actions = choose(env, obs, rng)
            assert env.action_space.contains(actions)
            obs, *_ = env.step(actions)
        assert env.single_action_space.n == NUM_ACTIONS
        assert env.observation_space is env.observation_space  # built once
    with pytest.raises(ValueError, match="autoreset_mode must be"):
        VectorEnv(2, autoreset_mode="next")


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
        obs, _ = env.reset()
    assert env.closed
    with pytest.raises(RuntimeError, match="closed"):
        env.step(obs["action_mask"].argmax(axis=1))
    with pytest.raises(RuntimeError, match="closed"):
        env.reset()


def test_a_forked_child_steps_with_threads_of_its_own():
    env = VectorEnv(6, num_threads=2, seed=6)
    obs, _ = env.reset()
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


# ---- The documented loops and the benchmark -----------------------------------------------------


def test_the_documented_self_play_loop_runs(capsys):
    block = example("wins per seat")
    assert len(block.code.strip().splitlines()) <= 20
    block.run()
    games, *wins = map(
        int,
        re.fullmatch(
            r"(\d+) games, wins per seat \[(\d+), (\d+), (\d+), (\d+)\]\n", capsys.readouterr().out
        ).groups(),
    )
    assert games >= 20 and games <= sum(wins)


def test_the_documented_sparse_picks_are_legal_uniform_and_best_scored(capsys):
    # The arena's example reads lists too; this is the vector env's.
    namespace = example("def uniform_pick").run()
    assert re.fullmatch(r"100 steps, [1-9]\d* games ended\n", capsys.readouterr().out)
    uniform_pick, best_scored = namespace["uniform_pick"], namespace["best_scored"]
    # On fresh lists, with ended games among them: NextStep leaves them empty for a step.
    env = VectorEnv(6, seed=2, mask="indices")
    obs, _ = env.reset()
    rng = np.random.default_rng(2)
    weights = rng.normal(size=NUM_ACTIONS)
    empty_lists = 0
    for _ in range(90):
        lists = legal_lists(env, obs)
        empty_lists += sum(legal.size == 0 for legal in lists)
        picked = uniform_pick(obs, rng)
        best = best_scored(obs, lambda legal: weights[legal])
        for i, legal in enumerate(lists):
            if legal.size:
                assert picked[i] in legal
                assert best[i] == legal[np.argmax(weights[legal])]
        obs, *_ = env.step(picked)
    assert empty_lists > 0
    # Uniform: over many draws from short lists every index comes up.
    offsets, indices = obs["legal_offsets"], obs["legal_indices"]
    drawn = np.stack([uniform_pick(obs, rng) for _ in range(400)])
    for i in range(env.num_envs):
        legal = indices[offsets[i] : offsets[i + 1]]
        if 0 < legal.size <= 40:
            assert set(drawn[:, i].tolist()) == set(legal.tolist())


def test_bench_plays_the_asked_steps_and_the_command_line_runs_it(capsys):
    for mask in MASKS:
        result = run_vector(4, threads=2, steps=50, mask=mask, seed=1)
        assert (result.num_envs, result.threads, result.mask, result.steps) == (4, 2, mask, 50)
        assert 0 < result.step_seconds <= result.total_seconds
    assert main(["bench", "--vector", "50", "--threads", "1", "--mask", "indices"]) == 0
    out = capsys.readouterr().out
    assert re.match(r"VectorEnv\(50, 1 thread\(s\), mask='indices'\): 1000 steps, \d+ games", out)
