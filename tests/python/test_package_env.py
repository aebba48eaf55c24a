"""The PettingZoo environment: PettingZoo's own checks, then the promises the checks leave out."""

import sys

import numpy as np
import pytest
from pettingzoo.test import api_test, render_test, seed_test

import tavlok
from tavlok.board import Board


# PettingZoo's advice for simple observations: a dict with a mask, and the empty board at reset.
@pytest.mark.filterwarnings("ignore:Observation:UserWarning")
def test_pettingzoo_api_test():
    api_test(tavlok.env(), num_cycles=1000)


def test_pettingzoo_seed_test():
    seed_test(tavlok.env, num_cycles=200)


def test_pettingzoo_render_test(capsys):
    render_test(tavlok.env)
    assert "\x1b[44mx" in capsys.readouterr().out  # human mode printed boards with pieces


@pytest.mark.parametrize("seed", [1, 2])
def test_each_agent_is_terminated_with_its_score_once_it_cannot_move(seed):
    rng = np.random.default_rng(seed)
    env = tavlok.env()
    env.reset(seed=seed)
    game = env.unwrapped._match.game
    totals = dict.fromkeys(env.possible_agents, 0.0)
    for agent in env.agent_iter():
        seat = env.possible_agents.index(agent)
        observation, reward, terminated, truncated, _ = env.last()
        totals[agent] += reward
        mask = observation["action_mask"]
        assert game.terminations[seat] == terminated and not truncated
        assert mask.any() != terminated, f"{agent} asked to act on an empty mask"
        env.step(None if terminated else rng.choice(np.flatnonzero(mask)))  # a numpy integer
        assert (agent in env.agents) != terminated
    scores = game.rewards
    assert totals == {f"player_{s}": float(scores[s]) for s in range(4)}
    assert [-score for score in scores] == [89 - n for n in env.board().cell_counts()]


def test_mask_is_a_flat_view_of_the_engine_bytes_taken_once_per_move():
    env = tavlok.env()
    env.reset()
    observation = env.observe("player_0")
    mask = observation["action_mask"]
    assert env.observation_space("player_0").contains(observation)
    assert isinstance(mask.base, bytes) and not mask.flags.writeable
    assert int(mask.sum()) == 58
    assert env.observe("player_0")["action_mask"] is mask


def test_illegal_moves_are_refused_and_change_nothing():
    env = tavlok.env()
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


class RecordingGame:
    """Passes calls on to the real engine game, noting every observe."""

    def __init__(self, game):
        self._game, self.observed = game, []

    def observe(self, seat):
        self.observed.append(seat)
        return self._game.observe(seat)

    def __getattr__(self, name):
        return getattr(self._game, name)


@pytest.mark.parametrize("mode", ["ansi", "rgb_array"])
def test_pictures_observe_no_seat(mode):
    env = tavlok.env(render_mode=mode)
    env.reset(seed=0)
    for _ in range(9):
        observation, *_ = env.last()
        env.step(env.action_space(env.agent_selection).sample(observation["action_mask"]))
    recording = RecordingGame(env.unwrapped._match.game)
    env.unwrapped._match.game = recording
    picture, board, state = env.render(), env.board(), env.state()
    assert recording.observed == []
    planes = recording.observe(0).observation
    assert Board.from_planes(planes, 0) == board
    np.testing.assert_array_equal(state, np.frombuffer(planes, np.uint8).reshape(4, 20, 20))
    expected = board.text() if mode == "ansi" else board.rgb()
    np.testing.assert_array_equal(picture, expected)


def test_env_without_pettingzoo_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pettingzoo", None)
    monkeypatch.delitem(sys.modules, "tavlok.aec")
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'tavlok\[pettingzoo\]'"):
        tavlok.env()
