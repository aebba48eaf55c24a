"""One view path: every surface hands out a seat's view as the engine's table of fields declares
it (names, order, dtypes, shapes, bounds) and as State.view writes it, in every layout, with and
without candidates; the candidates are the ones _core.net_features gives, and a candidate's number
plays its grid index; the docs' env card reads the same table; an env refused while it is being
made closes quietly."""

import gc
import importlib.util
import sys
from pathlib import Path

import gymnasium
import numpy as np
import pytest

import tavlok
from tavlok import State, _core
from tavlok.gym_env import TavlokGymEnv
from tavlok.gym_vector import LearnerVectorEnv
from tavlok.vector import VectorEnv

ROOT = Path(__file__).resolve().parents[2]
K = 5  # candidates listed, fewer than a first move has
# Every layout, without candidates where it can be and with K.
SHOWN = [(mask, None) for mask in _core.MASK_LAYOUTS if mask != "candidates"] + [
    (mask, K) for mask in _core.MASK_LAYOUTS
]


def declared(mask, with_seat, candidates=None):
    return [
        field
        for field in _core.view_fields(mask, candidates)
        if field["part"] == "view" and (with_seat or field["name"] != "seat")
    ]


def legal_of(view, mask):
    """One seat's legal grid indices, from its view in layout `mask`."""
    if mask == "indices":
        return view["legal_indices"]
    legal = view["action_mask"]
    return np.flatnonzero(np.unpackbits(legal) if mask == "bits" else legal)


def expect_seat_view(view, state, seat, mask, with_seat, candidates=None):
    """One seat's view: the declared fields, as State.view writes them for that seat."""
    fields = [
        field for field in declared(mask, with_seat, candidates) if field["rows"] != "offsets"
    ]
    assert list(view) == [field["name"] for field in fields]
    written = {**state.view(seat, mask, candidates), "seat": np.int8(seat)}
    for field in fields:
        array = np.asarray(view[field["name"]])
        assert array.dtype == np.dtype(field["dtype"]), field["name"]
        if field["rows"] == "env":
            assert array.shape == tuple(field["shape"]), field["name"]
        if array.size:
            assert field["low"] <= array.min() and array.max() <= field["high"], field["name"]
        np.testing.assert_array_equal(array, written[field["name"]], err_msg=field["name"])
    if candidates:
        expect_candidates(view, state, seat, mask, candidates)


def expect_candidates(view, state, seat, mask, k):
    """The view's candidates: the first k of _core.net_features for the seat to move, none for
    another seat or a game that is over."""
    moves, rows = np.zeros(0, np.int64), np.zeros((0, len(_core.NET_FEATURES)), np.float32)
    if seat == state.seat and not state.is_terminal():
        moves, rows = _core.net_features(state)
    n = min(len(moves), k)
    np.testing.assert_array_equal(view["candidate_indices"], np.r_[moves[:n], [-1] * (k - n)])
    np.testing.assert_array_equal(view["candidate_features"][:n], rows[:n])
    assert not view["candidate_features"][n:].any()
    listed = view["action_mask" if mask == "candidates" else "candidate_mask"]
    np.testing.assert_array_equal(listed, np.arange(k) < n)


def batch_views(obs, mask, with_seat, num_envs, candidates=None):
    """Each env's view from a vector env's obs, after checking the batched shapes."""
    fields = declared(mask, with_seat, candidates)
    assert list(obs) == [field["name"] for field in fields]
    for field in fields:
        assert obs[field["name"]].dtype == np.dtype(field["dtype"]), field["name"]
        if field["rows"] == "env":
            assert obs[field["name"]].shape == (num_envs, *field["shape"]), field["name"]
    views = []
    for env in range(num_envs):
        view = {}
        for field in fields:
            if field["rows"] == "env":
                view[field["name"]] = obs[field["name"]][env]
            elif field["rows"] == "packed":
                offsets = obs["legal_offsets"]
                view[field["name"]] = obs[field["name"]][offsets[env] : offsets[env + 1]]
        views.append(view)
    return views


def pick(rng, legal):
    return int(rng.choice(legal)) if len(legal) else 0


def play_vector(env, mask, with_seat, seat_of, candidates):
    rng = np.random.default_rng(3)
    obs, _ = env.reset(seed=3)
    for _ in range(12):
        views = batch_views(obs, mask, with_seat, env.num_envs, candidates)
        states = [env.state(i) for i in range(env.num_envs)]
        for i, view in enumerate(views):
            expect_seat_view(view, states[i], seat_of(obs, i), mask, with_seat, candidates)
        actions = [pick(rng, legal_of(view, mask)) for view in views]
        obs, *_ = env.step(np.array(actions))
        if mask != "candidates":
            continue
        # A candidate's number plays its grid index (NextStep keeps a game that ended).
        for i, view in enumerate(views):
            if view["action_mask"].any():
                played = env.state(i).history[len(states[i].history)]
                assert played == view["candidate_indices"][actions[i]]
    env.close()


def play_single(env, mask, candidates):
    rng = np.random.default_rng(4)
    obs, _ = env.reset(seed=4)
    for _ in range(12):
        expect_seat_view(obs, env._state, env.seat, mask, False, candidates)
        assert env.observation_space.contains(obs)
        np.testing.assert_array_equal(env.action_masks(), obs["action_mask"].astype(bool))
        obs, _, over, _, _ = env.step(pick(rng, legal_of(obs, mask)))
        if over:
            obs, _ = env.reset()


def play_pettingzoo(env, mask, candidates):
    rng = np.random.default_rng(5)
    env.reset()
    state = env.unwrapped._state
    for agent in env.agent_iter(40):
        seat = int(agent.removeprefix("player_"))
        obs, _, done, _, _ = env.last()
        expect_seat_view(obs, state, seat, mask, False, candidates)
        assert env.observation_space(agent).contains(obs)
        # State.observation: the same view, its mask read one plane per orientation.
        planes, grid_mask = state.observation(seat)
        assert (grid_mask.dtype, grid_mask.shape) == (np.uint8, (91, 20, 20))
        np.testing.assert_array_equal(planes, obs["observation"])
        if mask == "bytes":
            np.testing.assert_array_equal(grid_mask.reshape(-1).view(np.int8), obs["action_mask"])
        placed = len(state.history)
        action = None if done else pick(rng, legal_of(obs, mask))
        env.step(action)
        if action is not None and mask == "candidates":
            assert state.history[placed] == obs["candidate_indices"][action]


def shown(mask, candidates):
    return mask if candidates is None else f"{mask}-candidates"


ONE_GAME = [(mask, candidates) for mask, candidates in SHOWN if mask in ("bytes", "candidates")]
SURFACES = {
    **{
        f"VectorEnv-{shown(mask, k)}": lambda mask=mask, k=k: play_vector(
            VectorEnv(3, num_threads=1, mask=mask, candidates=k),
            mask,
            True,
            lambda obs, i: obs["seat"][i],
            k,
        )
        for mask, k in SHOWN
    },
    **{
        f"LearnerVectorEnv-{shown(mask, k)}": lambda mask=mask, k=k: play_vector(
            (env := LearnerVectorEnv(3, mask=mask, num_threads=1, candidates=k)),
            mask,
            False,
            lambda obs, i: env.seats[i],
            k,
        )
        for mask, k in SHOWN
    },
    # After a random opening, the caller's legal moves are worked out anew for every seat.
    "VectorEnv-opening": lambda: play_vector(
        VectorEnv(3, num_threads=1, mask="bits", candidates=K, opening=9),
        "bits",
        True,
        lambda obs, i: obs["seat"][i],
        K,
    ),
    "LearnerVectorEnv-opening": lambda: play_vector(
        (env := LearnerVectorEnv(3, "greedy", mask="indices", num_threads=1, opening=6)),
        "indices",
        False,
        lambda obs, i: env.seats[i],
        None,
    ),
    **{
        f"TavlokGymEnv-{shown(mask, k)}": lambda mask=mask, k=k: play_single(
            TavlokGymEnv(opponents="greedy", mask=mask, candidates=k), mask, k
        )
        for mask, k in ONE_GAME
    },
    **{
        f"PettingZoo-{shown(mask, k)}": lambda mask=mask, k=k: play_pettingzoo(
            tavlok.env(mask=mask, candidates=k), mask, k
        )
        for mask, k in ONE_GAME
    },
}


@pytest.mark.parametrize("surface", SURFACES)
def test_every_surface_shows_the_declared_fields_as_state_view_writes_them(surface):
    SURFACES[surface]()


def test_the_env_card_reads_the_table_the_engine_reports():
    spec = importlib.util.spec_from_file_location("env_card", ROOT / "tools" / "env_card.py")
    env_card = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(env_card)
    for mask, k in SHOWN:
        assert env_card.view_fields(mask, k) == _core.view_fields(mask, k), (mask, k)
    card = env_card.card()
    for field in env_card.fields():
        assert f"`{field['name']}`" in card and field["meaning"] in card
    # The candidates' feature columns, by the engine's names, each with its meaning.
    kinds = len(_core.NET_FEATURES) - len(env_card.features())
    assert [name for name, _ in env_card.features()] == list(_core.NET_FEATURES[kinds:])
    assert all(meaning for _, meaning in env_card.features())


@pytest.mark.parametrize(
    "make, arguments",
    [
        (VectorEnv, {"num_envs": 2, "mask": "sparse"}),
        (LearnerVectorEnv, {"num_envs": 2, "opponents": "nonsense"}),
        (LearnerVectorEnv, {"num_envs": 2, "reward": "money"}),
        (TavlokGymEnv, {"opponents": "nonsense"}),
    ],
)
def test_an_env_refused_while_made_closes_quietly(make, arguments):
    # Gymnasium's vector envs close themselves when collected (1.0 to 1.2), made or not.
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        env = make.__new__(make)
        with pytest.raises(ValueError):
            env.__init__(**arguments)
        env.close()
        del env
        with pytest.raises(ValueError):
            gymnasium.make_vec("tavlok/Tavlok-v0", 2, opponents="nonsense")
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert not unraisable, [str(u.exc_value) for u in unraisable]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: State().view(mask=3), "mask must be 'bytes', 'bits', 'indices' or 'candidates', not 3"),
        (lambda: VectorEnv(2, mask="\udcff"), "mask must be 'bytes', 'bits', 'indices' or 'candidates', not "
         "'\\udcff'"),
        (lambda: VectorEnv(2, autoreset_mode=None), "autoreset_mode must be 'NextStep', "
         "'SameStep' or 'Disabled', not None"),
        (lambda: LearnerVectorEnv(2, reward=b"win"), "reward must be 'score' or 'win', not b'win'"),
    ],
)
def test_a_name_that_is_not_one_of_the_engines_words_is_refused_in_one_wording(call, message):
    with pytest.raises(ValueError) as refused:
        call()
    assert str(refused.value) == message
