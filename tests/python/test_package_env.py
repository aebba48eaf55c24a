"""The PettingZoo environment: PettingZoo's own checks and wrappers, then the promises they leave
out, each game checked against the same moves replayed on a State."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pettingzoo.test import (
    api_test,
    parallel_api_test,
    performance_benchmark,
    render_test,
    seed_test,
    state_test,
)
from pettingzoo.utils.conversions import turn_based_aec_to_parallel

import tavlok
from tavlok.aec import ILLEGAL_MOVE_REWARD, GameOver
from tavlok.pieces import KINDS

AGENTS = [f"player_{seat}" for seat in range(4)]


# PettingZoo's advice for simple observations: a box or discrete space, and a non-empty board at
# reset; ours is a dict with a mask, and the board starts empty.
@pytest.mark.filterwarnings("ignore:Observation:UserWarning")
@pytest.mark.parametrize("make", [tavlok.env, tavlok.raw_env])
@pytest.mark.parametrize("options", [{}, {"candidates": 6}, {"candidates": 6, "mask": "candidates"}])
def test_pettingzoo_api_test(make, options):
    api_test(make(**options), num_cycles=1000)


def test_pettingzoo_seed_render_state_and_performance_checks(capsys):
    seed_test(tavlok.env, num_cycles=200)
    render_test(tavlok.env)
    assert "\x1b[44m 0" in capsys.readouterr().out  # human mode printed boards with pieces
    # state_test steps with unmasked samples: the wrapped env ends the game at the illegal move.
    with pytest.warns(UserWarning, match="all zeros"):
        state_test(tavlok.env(), turn_based_aec_to_parallel(tavlok.env()))
    performance_benchmark(tavlok.env())
    assert "turns per second" in capsys.readouterr().out


def test_pettingzoo_parallel_api_test_through_the_turn_based_wrapper():
    parallel_api_test(turn_based_aec_to_parallel(tavlok.env()), num_cycles=1000)


def masked_choice(rng, observation):
    return int(rng.choice(np.flatnonzero(observation["action_mask"])))


@pytest.mark.parametrize("make", [tavlok.env, tavlok.raw_env])
def test_agents_stay_until_the_game_ends_and_all_leave_with_their_scores(make):
    rng = np.random.default_rng(3)
    env = make()
    env.reset(seed=3)
    moves, totals, last_placement = [], dict.fromkeys(AGENTS, 0.0), None
    for agent in env.agent_iter():
        observation, reward, terminated, truncated, _ = env.last()
        totals[agent] += reward
        assert not truncated
        if terminated:
            # Every agent is still there when the game ends, and leaves only by its None step,
            # which changes nothing for the others.
            others = {a: (env.terminations[a], env._cumulative_rewards[a]) for a in env.agents}
            del others[agent]
            env.step(None)
            assert agent not in env.agents
            assert {a: (env.terminations[a], env._cumulative_rewards[a]) for a in others} == others
            continue
        if last_placement is None:
            last_placement = len(moves)
        assert env.agents == AGENTS and not any(env.terminations.values())
        assert observation["action_mask"].any(), f"{agent} asked to act on an empty mask"
        state = tavlok.State.from_history(moves)
        assert agent == f"player_{state.seat}"  # the seat to move is never one that cannot
        moves.append(masked_choice(rng, observation))
        env.step(np.int64(moves[-1]))  # numpy integers are grid indices too
    scores = tavlok.State.from_history(moves).scores()
    assert scores is not None and env.agents == []
    assert totals == {agent: float(score) for agent, score in zip(AGENTS, scores, strict=True)}
    for cells, score in zip(env.board().cell_counts(), scores, strict=True):
        assert score == (cells - 89 if cells < 89 else score) and score in range(-88, 21)


def test_the_final_step_terminates_all_four_with_their_scores():
    env = tavlok.raw_env()
    env.reset()
    rng = np.random.default_rng(8)
    while not any(env.terminations.values()):
        env.step(masked_choice(rng, env.observe(env.agent_selection)))
    scores = env.unwrapped._state.scores()
    assert env.terminations == dict.fromkeys(AGENTS, True)
    assert env.rewards == {a: float(s) for a, s in zip(AGENTS, scores, strict=True)}
    assert env._cumulative_rewards == env.rewards
    for agent in AGENTS:
        assert not env.observe(agent)["action_mask"].any()


@pytest.mark.parametrize("seed", [0, 5])
def test_final_scores_arrive_intact_through_the_parallel_wrapper(seed):
    rng = np.random.default_rng(seed)
    env = turn_based_aec_to_parallel(tavlok.env())
    observations, _ = env.reset(seed=seed)
    moves, totals = [], dict.fromkeys(AGENTS, 0)
    while env.agents:
        mover = env.unwrapped.agent_selection
        moves.append(masked_choice(rng, observations[mover]))
        actions = {agent: moves[-1] if agent == mover else None for agent in env.agents}
        observations, rewards, terminations, _, _ = env.step(actions)
        for agent, reward in rewards.items():
            totals[agent] += reward
        assert len(set(terminations.values())) == 1  # all four end together
    scores = tavlok.State.from_history(moves).scores()
    assert totals == dict(zip(AGENTS, scores, strict=True))


def test_observation_is_planes_mask_and_hands_read_only_and_taken_once_per_move():
    env = tavlok.env()
    env.reset()
    observation = env.observe("player_0")
    assert env.observation_space("player_0").contains(observation)
    mask = observation["action_mask"]
    assert (mask.shape, mask.dtype) == ((36400,), np.int8) and int(mask.sum()) == 58
    for array in observation.values():
        assert not array.flags.writeable
    assert env.observe("player_0")["action_mask"] is mask
    np.testing.assert_array_equal(observation["hands"], np.ones((4, 21), np.uint8))
    for given in (mask, observation):  # the fast path of legal_actions takes either
        np.testing.assert_array_equal(tavlok.legal_actions(given), tavlok.State().legal_actions())


def test_hands_follow_the_observers_seat_order_and_the_catalogue():
    env = tavlok.raw_env()
    env.reset()
    # Seat 0 plays the one-cell piece, seat 1 the straight tromino, both on their start corners.
    env.step(tavlok.encode(0, 0, 0))
    env.step(tavlok.encode(7, 0, 0))
    held = {seat: np.ones(21, np.uint8) for seat in range(4)}
    held[0][KINDS.index("Monomino")] = 0
    held[1][KINDS.index("TrominoI")] = 0
    for seat, agent in enumerate(AGENTS):
        expected = [held[(seat + k) % 4] for k in range(4)]
        np.testing.assert_array_equal(env.observe(agent)["hands"], expected, err_msg=agent)


def test_raw_env_refuses_illegal_moves_and_changes_nothing():
    env = tavlok.raw_env()
    env.reset()
    with pytest.raises(ValueError, match=r"player_0 cannot play Monomino 0 5 5 \(grid index 105\)"):
        env.step(tavlok.encode(0, 5, 5))  # not on the start corner
    with pytest.raises(ValueError, match="must choose one"):
        env.step(None)
    with pytest.raises(TypeError):
        env.step(1.5)
    assert env.agent_selection == "player_0" and env.board().cell_counts() == (0, 0, 0, 0)
    env.step(np.int32(tavlok.encode(0, 0, 0)))
    assert env.agent_selection == "player_1" and env.board().cell_counts() == (1, 0, 0, 0)


def test_wrapped_env_ends_the_game_on_an_illegal_move():
    env = tavlok.env()
    env.reset()
    env.step(tavlok.encode(0, 0, 0))
    env.step(tavlok.encode(0, 5, 5))  # player_1 misses its start corner
    assert env.terminations == dict.fromkeys(AGENTS, True)
    rewards = {agent: env._cumulative_rewards[agent] for agent in AGENTS}
    assert rewards == {**dict.fromkeys(AGENTS, 0.0), "player_1": ILLEGAL_MOVE_REWARD}
    for _ in AGENTS:
        env.step(None)
    assert env.agents == [] and env.board().cell_counts() == (1, 0, 0, 0)
    env.reset()
    for outside in (36400, True, np.True_):
        with pytest.raises(AssertionError, match="not in action space"):
            env.step(outside)
    assert env.agent_selection == "player_0" and not any(env.terminations.values())


@pytest.mark.parametrize("make", [tavlok.env, tavlok.raw_env])
def test_step_and_last_after_the_game_is_over_say_so(make):
    env = make()
    env.reset()
    rng = np.random.default_rng(1)
    for agent in env.agent_iter():
        observation, _, terminated, _, _ = env.last()
        env.step(None if terminated else masked_choice(rng, observation))
    for call in (lambda: env.step(None), env.last, lambda: env.last(observe=False)):
        with pytest.raises(GameOver, match=r"after the game is over.*reset\(\)"):
            call()
    env.reset()
    assert env.agents == AGENTS and env.last()[0]["action_mask"].sum() == 58


@pytest.mark.parametrize(
    ("seed", "error", "message"),
    [(-1, ValueError, "0 or more, not -1"), (1.5, TypeError, "not float"),
     ("a", TypeError, "not str"), (True, TypeError, "not bool")],
)
def test_a_bad_seed_is_refused_before_anything_changes(seed, error, message):
    env = tavlok.env()
    env.reset(seed=4)
    env.step(tavlok.encode(0, 0, 0))
    before = (env.agent_selection, dict(env.rewards), dict(env.terminations), env.board())
    with pytest.raises(error, match=message):
        env.reset(seed=seed)
    with pytest.raises(TypeError, match="options must be None or a mapping"):
        env.reset(options=[1])
    assert (env.agent_selection, env.rewards, env.terminations, env.board()) == before
    env.step(tavlok.encode(0, 0, 0))  # player_1's move, placed for player_1
    assert env.board().cell_counts() == (1, 1, 0, 0)


def test_agents_draw_from_independent_streams():
    def samples(seed):
        env = tavlok.env()
        env.reset(seed=seed)
        return [env.action_space(agent).sample() for agent in AGENTS]

    assert samples(10) == samples(10)
    assert len(set(samples(10))) == 4
    # Under seed + i, agent i did not replay what agent 0 drew under seed.
    assert samples(10)[1] != samples(11)[0] and samples(10)[2] != samples(12)[0]


def test_metadata_and_state_space():
    env = tavlok.raw_env()
    assert env.metadata["name"] == "tavlok_v1"
    assert set(env.metadata["render_modes"]) == {"human", "ansi", "rgb_array"}
    assert env.metadata["is_parallelizable"] is False and env.metadata["render_fps"] > 0
    env.reset()
    env.step(tavlok.encode(13, 0, 0))  # seat 0: the square in its corner
    state = env.state()
    assert env.state_space.contains(state) and state.shape == (4, 20, 20)
    assert {tuple(cell) for cell in np.argwhere(state)} == {
        (0, 0, 0), (0, 0, 1), (0, 1, 0), (0, 1, 1)
    }


@pytest.mark.parametrize("mode", ["ansi", "rgb_array"])
def test_pictures_show_the_board_of_the_game(mode):
    env = tavlok.env(render_mode=mode)
    env.reset(seed=0)
    for _ in range(9):
        observation, *_ = env.last()
        env.step(env.action_space(env.agent_selection).sample(observation["action_mask"]))
    picture, board = env.render(), env.board()
    planes = tavlok.State.from_history(env.unwrapped._state.history).observation(0)[0]
    assert board == tavlok.Board.from_planes(planes, 0)
    np.testing.assert_array_equal(env.state(), planes)
    expected = board.text() if mode == "ansi" else board.rgb()
    np.testing.assert_array_equal(picture, expected)


def test_env_without_pettingzoo_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pettingzoo", None)
    monkeypatch.delitem(sys.modules, "tavlok.aec")
    for make in (tavlok.env, tavlok.raw_env):
        with pytest.raises(ModuleNotFoundError, match=r"pip install 'tavlok\[pettingzoo\]'"):
            make()


SEEDS = st.one_of(
    st.none(), st.integers(), st.integers(min_value=2**64), st.booleans(), st.floats(),
    st.text(max_size=3), st.just(np.int64(7)), st.just(np.uint64(2**64 - 1)), st.just([1]),
)


@settings(settings.get_profile("ci"), max_examples=60)
@given(seed=SEEDS, options=st.one_of(st.none(), st.just({"anything": 1}), st.just((1,))))
def test_reset_takes_every_seed_and_options_or_refuses_before_changing_anything(seed, options):
    env = tavlok.env()
    env.reset(seed=0)
    env.step(tavlok.encode(0, 0, 0))
    whole = isinstance(seed, (int, np.integer)) and not isinstance(seed, bool) and seed >= 0
    try:
        env.reset(seed=seed, options=options)
    except (TypeError, ValueError) as refused:
        assert not (whole or seed is None) or not isinstance(options, (dict, type(None)))
        assert "seed" in str(refused) or "options" in str(refused)
        assert env.agent_selection == "player_1" and env.board().cell_counts() == (1, 0, 0, 0)
    else:
        assert (whole or seed is None) and isinstance(options, (dict, type(None)))
        assert env.agent_selection == "player_0" and env.board().cell_counts() == (0, 0, 0, 0)
