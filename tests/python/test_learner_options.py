"""The learner envs' options for training on candidates and against a league: candidate numbers
refused as grid indices are, random openings that replay from the seed, and pools of opponents
drawn per game and per seat, changed between steps from each game's next start."""

import numpy as np
import pytest

import tavlok
from tavlok import State, _core
from tavlok.gym_env import ILLEGAL_ACTION_REWARDS, TavlokGymEnv
from tavlok.gym_vector import LearnerVectorEnv
from tavlok.vector import VectorEnv


def greedy_seats(history):
    """Per seat, whether every move it made in the game was the greedy bot's."""
    state, greedy = State(), [True] * 4
    for move in history:
        greedy[state.seat] &= _core.greedy_action(state) == move
        state.apply(move)
    return greedy


def play_out(env):
    """Plays the game under way in every env of a learner env to its end with the learner's first
    candidate, greedy's own move; per game, which opponents (by turns after the learner) played
    as greedy does."""
    seen = [None] * env.num_envs
    while any(game is None for game in seen):
        _, _, terminated, _, _ = env.step(np.zeros(env.num_envs, np.int64))
        for i in np.flatnonzero(terminated):
            if seen[i] is None:  # the game that ended, before the next step restarts it
                greedy = greedy_seats(env.state(i).history)
                seen[i] = tuple(greedy[(env.seats[i] + k) % 4] for k in (1, 2, 3))
    return seen


def league(num_envs, opponents):
    return LearnerVectorEnv(num_envs, opponents, mask="candidates", candidates=1, num_threads=2)


def test_a_pool_draws_each_opponent_per_game_and_a_change_applies_from_the_next_start():
    env = league(48, {"greedy": 1, "random": 3})
    env.reset(seed=11)
    drawn = play_out(env)
    seats = [greedy for game in drawn for greedy in game]
    # A quarter of 144 draws, give or take three standard errors (0.036 each).
    assert 0.14 < np.mean(seats) < 0.36
    assert sum(len(set(game)) == 2 for game in drawn) > 12  # drawn seat by seat, not by game
    env.reset(seed=11)
    assert play_out(env) == drawn  # the draws replay from the seed

    env.reset(seed=11)
    env.step(np.zeros(48, np.int64))
    env.set_opponents("greedy")
    assert play_out(env) == drawn  # the games under way keep their opponents
    env.reset()
    assert all(all(game) for game in play_out(env))
    env.set_opponents({"random": 2})
    env.reset()
    assert not any(any(game) for game in play_out(env))


@pytest.mark.parametrize(
    "opponents, error, message",
    [
        ({"greedy": 0}, ValueError, "weights must be finite and above 0, not 0.0 for 'greedy'"),
        ({"greedy": float("nan")}, ValueError, "weights must be finite and above 0"),
        ({"greedy": 1, "nonsense": 1}, ValueError, "unknown bot 'nonsense'"),
        ({}, ValueError, "needs at least one bot"),
        ({"greedy": "1"}, TypeError, "weights must be numbers, not str"),
        ({1: 1.0}, TypeError, "maps bot names to weights"),
        (("greedy", "random"), TypeError, "a bot name or three of them"),
    ],
)
def test_a_bad_pool_is_refused_and_leaves_the_opponents_as_they_were(opponents, error, message):
    with pytest.raises(error, match=message):
        LearnerVectorEnv(2, opponents)
    env = league(2, "random")
    env.reset(seed=3)
    with pytest.raises(error, match=message):
        env.set_opponents(opponents)
    assert env.opponents == ("random",) * 3
    env.reset()
    assert not any(any(game) for game in play_out(env))


def test_self_play_has_no_opponents_to_change():
    batch = _core.Batch(2, 1, "bytes", "NextStep", 0)
    with pytest.raises(ValueError, match="self-play batch has no opponents"):
        batch.set_opponents(("greedy",) * 3)


@pytest.mark.parametrize("make", [
    lambda: LearnerVectorEnv(6, "greedy", opening=3, num_threads=2, mask="candidates",
                             candidates=4),
    lambda: VectorEnv(6, num_threads=2, opening=3, mask="candidates", candidates=1),
])
def test_an_opening_of_random_placements_replays_from_the_seed(make):
    first, second = make(), make()
    histories = []
    for env in (first, second):
        env.reset(seed=5)
        for _ in range(4):
            env.step(np.zeros(6, np.int64))
        histories.append([env.state(i).history for i in range(6)])
    assert histories[0] == histories[1]
    openings = {history[:3] for history in histories[0]}
    assert len(openings) > 1
    # Not the moves greedy or a fresh game's first candidates would make: drawn at random.
    assert not all(all(greedy_seats(opening)) for opening in openings)


def test_an_opening_is_counted_in_the_placements_before_the_first_decision():
    env = VectorEnv(4, num_threads=1, opening=7, mask="candidates", candidates=3)
    env.reset(seed=2)
    assert [len(env.state(i).history) for i in range(4)] == [7] * 4
    with pytest.raises(ValueError, match="opening 41 is outside 0 to 40"):
        VectorEnv(2, opening=_core.MAX_OPENING + 1)


def candidate_counts(obs):
    return obs["action_mask"].sum(axis=1)


@pytest.mark.parametrize("number", ["count", "K", -1, 2**40])
def test_a_candidate_number_that_names_no_candidate_is_refused_and_nothing_steps(number):
    env = LearnerVectorEnv(4, "greedy", mask="candidates", candidates=64, num_threads=1)
    obs, _ = env.reset(seed=9)
    # On to a position with fewer candidates than listed, where the mask has zeros.
    while candidate_counts(obs).min() == 64:
        obs, *_ = env.step(np.zeros(4, np.int64))
    env_index = int(np.argmin(candidate_counts(obs)))
    bad = {"count": int(candidate_counts(obs)[env_index]), "K": 64}.get(number, number)
    before = [env.state(i).history for i in range(4)]
    actions = np.zeros(4, np.int64)
    actions[env_index] = bad
    with pytest.raises(ValueError, match=f"illegal action {bad} for env {env_index}"):
        env.step(actions)
    assert [env.state(i).history for i in range(4)] == before


@pytest.mark.parametrize("number", [5, -1])
def test_the_one_game_envs_refuse_a_candidate_number_as_an_illegal_grid_index(number):
    single = TavlokGymEnv("greedy", mask="candidates", candidates=5)
    single.reset(seed=1)
    history = single._state.history
    with pytest.raises(ValueError, match=f"cannot play candidate {number}: it has 5 candidates"):
        single.step(number)
    assert single._state.history == history
    ending = TavlokGymEnv("greedy", mask="candidates", candidates=5, on_illegal="terminate")
    ending.reset(seed=1)
    obs, reward, terminated, _, info = ending.step(number)
    assert (reward, terminated, info["illegal_action"]) == (ILLEGAL_ACTION_REWARDS["score"], True,
                                                            number)
    assert not obs["action_mask"].any() and not ending.action_masks().any()

    game = tavlok.raw_env(mask="candidates", candidates=5)
    game.reset()
    with pytest.raises(ValueError, match=f"player_0 cannot play candidate {number}"):
        game.step(number)
    assert game._state.history == ()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: VectorEnv(2, mask="candidates"), "mask='candidates' needs candidates, from 1 to 64"),
        (lambda: VectorEnv(2, candidates=0), "candidates must be between 1 and 64, not 0"),
        (lambda: State().view(candidates=65), "candidates must be between 1 and 64, not 65"),
        (lambda: tavlok.raw_env(mask="candidates"), "mask='candidates' needs candidates"),
        (lambda: TavlokGymEnv(mask="bits"), "mask must be 'bytes' or 'candidates'"),
    ],
)
def test_candidates_are_refused_where_they_cannot_be_shown(call, message):
    with pytest.raises(ValueError, match=message):
        call()
