"""LearnerVectorEnv through Gymnasium: make_vec, the conventions of its vector envs, and games
equal to the ones tavlok.State plays from the same moves."""

import re

import gymnasium
import numpy as np
import pytest


from support import rules
from support.docs import example
from support.drivers import legal_lists
from support.generators import env_generator
from support.processes import interrupted
from tavlok import State, _core, bots
from tavlok.gym_vector import LearnerVectorEnv

ENV_ID = "tavlok/Tavlok-v0"
# Gymnasium names its autoreset modes from 1.1 on; before, every vector env resets on the next step.
AutoresetMode = getattr(gymnasium.vector, "AutoresetMode", None)
NUM_ACTIONS = 36400


@pytest.fixture(scope="module")
def env_id():
    """The id, registered by the package when it knows it, else here."""
    try:
        from tavlok import registration
    except ImportError:
        pass
    else:
        registration.register()
    if ENV_ID not in gymnasium.registry:
        gymnasium.register(id=ENV_ID, vector_entry_point="tavlok.gym_vector:LearnerVectorEnv")
    return ENV_ID


def random_actions(env, obs, rng, unplayed=0):
    """A random legal action per env; `unplayed` where nothing is legal (the game is over, and
    the step restarts it without playing the action)."""
    return np.array(
        [rng.choice(legal) if legal.size else unplayed for legal in legal_lists(env, obs)],
        dtype=np.int64,
    )


def hands_of(history, viewer):
    """The hands seat `viewer` sees after the moves of `history`, kinds by the naive catalogue."""
    held = np.ones((4, rules.KINDS), dtype=np.uint8)
    game = State()
    for move in history:
        held[game.seat, rules.BY_GRID[move].kind] = 0
        game.apply(move)
    return held[[(viewer + k) % 4 for k in range(4)]]


def win_share(scores, seat):
    best = max(scores)
    return 1 / scores.count(best) if scores[seat] == best else 0.0


def expect_shows(env, obs, i, game, learner):
    """Env i's observation is `game` as the learner at `learner` sees it."""
    planes, _ = game.observation(learner)
    np.testing.assert_array_equal(obs["observation"][i], planes)
    np.testing.assert_array_equal(obs["hands"][i], hands_of(game.history, learner))
    np.testing.assert_array_equal(game.hands(learner), obs["hands"][i])
    legal = legal_lists(env, obs)[i]
    if game.is_terminal():
        assert legal.size == 0
    else:
        assert game.seat == learner
        np.testing.assert_array_equal(legal, game.legal_actions())
    assert env.seats[i] == learner


# ---- Through Gymnasium --------------------------------------------------------------------------


def test_make_vec_gives_a_gymnasium_vector_env_with_the_options_asked(env_id):
    envs = gymnasium.make_vec(
        env_id,
        num_envs=3,
        vectorization_mode="vector_entry_point",
        opponents="greedy",
        seat=2,
        reward="win",
        mask="indices",
        num_threads=2,
    )
    assert isinstance(envs, gymnasium.vector.VectorEnv) and isinstance(envs, LearnerVectorEnv)
    assert envs.spec.id == env_id and envs.num_envs == 3 and envs.num_threads == 2
    options = (envs.opponents, envs.seat, envs.reward, envs.mask)
    assert options == (("greedy",) * 3, 2, "win", "indices")
    mode = envs.metadata["autoreset_mode"]
    assert mode is AutoresetMode.NEXT_STEP if AutoresetMode else mode == "NextStep"
    obs, info = envs.reset(seed=0)
    assert info == {} and (envs.seats == 2).all()
    assert envs.observation_space.contains(obs)
    envs.close()
    assert envs.closed


@pytest.mark.parametrize("mask", ["bytes", "bits", "indices"])
def test_arrays_have_gymnasiums_shapes_and_types_and_lie_in_the_spaces(mask):
    env = LearnerVectorEnv(4, mask=mask, num_threads=2, copy=False)
    obs, info = env.reset(seed=1)
    mask_keys = {"bytes": {"action_mask"}, "bits": {"action_mask"}}.get(
        mask, {"legal_offsets", "legal_indices"}
    )
    assert set(obs) == {"observation", "hands"} | mask_keys
    assert env.single_observation_space.keys() == obs.keys() - {"legal_offsets"}
    assert env.single_action_space == gymnasium.spaces.Discrete(NUM_ACTIONS)
    assert env.action_space == gymnasium.spaces.MultiDiscrete([NUM_ACTIONS] * 4)
    rng = np.random.default_rng(1)
    first = obs
    for _ in range(40):
        assert env.observation_space.contains(obs)
        actions = random_actions(env, obs, rng)
        assert env.action_space.contains(actions)
        obs, rewards, terminations, truncations, infos = env.step(actions)
        assert (rewards.shape, rewards.dtype) == ((4,), np.float32)
        assert (terminations.dtype, truncations.dtype) == (np.bool_, np.bool_)
        assert not truncations.any() and not rewards[~terminations].any()
        for key in obs.keys() - {"legal_indices"}:
            assert obs[key] is first[key]
    if mask != "bytes":
        return
    # The single space is the single env's: planes, the flat int8 mask and the hands.
    expected = gymnasium.spaces.Dict(
        {
            "observation": gymnasium.spaces.Box(0, 1, (4, 20, 20), np.uint8),
            "action_mask": gymnasium.spaces.Box(0, 1, (NUM_ACTIONS,), np.int8),
            "hands": gymnasium.spaces.Box(0, 1, (4, 21), np.uint8),
        }
    )
    assert env.single_observation_space == expected


# ---- Equal to games played through State --------------------------------------------------------


@pytest.mark.parametrize(
    "mask, reward, autoreset",
    [("indices", "win", "NextStep"), ("bytes", "score", "SameStep"), ("bits", "win", "SameStep")],
)
def test_every_env_plays_what_state_plays_with_the_greedy_bots_and_the_learners_moves(
    mask, reward, autoreset
):
    # Greedy bots depend on the position alone, so the games can be played here independently.
    env = LearnerVectorEnv(
        4, opponents="greedy", reward=reward, mask=mask, autoreset_mode=autoreset, num_threads=2
    )
    obs, _ = env.reset(seed=2)
    games, learners = [], []

    def new_game(i, learner):
        game = State()
        while not game.is_terminal() and game.seat != learner:
            game.apply(bots.greedy(game))
        games[i:i + 1], learners[i:i + 1] = [game], [learner]

    for i in range(env.num_envs):
        games.append(None), learners.append(None)
        new_game(i, int(env.seats[i]))
        expect_shows(env, obs, i, games[i], learners[i])
    rng = np.random.default_rng(2)
    ended = 0
    for _ in range(100):
        # Any number for a game that is over, even one outside the action space.
        actions = random_actions(env, obs, rng, unplayed=-99)
        obs, rewards, terminations, _, infos = env.step(actions)
        for i in range(env.num_envs):
            game, learner = games[i], learners[i]
            if game.is_terminal():  # the step after the end: a new game, the action unplayed
                new_game(i, (learner + 1) % 4)
                assert not terminations[i] and rewards[i] == 0
                expect_shows(env, obs, i, games[i], learners[i])
                continue
            game.apply(int(actions[i]))
            while not game.is_terminal() and game.seat != learner:
                game.apply(bots.greedy(game))
            assert terminations[i] == game.is_terminal()
            if not game.is_terminal():
                assert rewards[i] == 0
                expect_shows(env, obs, i, game, learner)
                continue
            ended += 1
            scores = list(game.scores())
            paid = scores[learner] if reward == "score" else win_share(scores, learner)
            assert _core.win_shares(np.array(scores))[learner] == win_share(scores, learner)
            assert rewards[i] == pytest.approx(paid)
            info = infos["final_info"] if autoreset == "SameStep" else infos
            assert info["_scores"][i] and info["scores"][i].tolist() == scores
            assert info["seat"][i] == learner and info["placements"][i] == len(game.history)
            if autoreset == "NextStep":
                expect_shows(env, obs, i, game, learner)
                continue
            final = infos["final_obs"][i]
            assert infos["_final_obs"][i]
            np.testing.assert_array_equal(final["observation"], game.observation(learner)[0])
            np.testing.assert_array_equal(final["hands"], hands_of(game.history, learner))
            assert not final["action_mask"].any()
            new_game(i, (learner + 1) % 4)
            expect_shows(env, obs, i, games[i], learners[i])
    assert ended >= 8


def test_random_bots_games_replay_through_state_with_the_learners_actions_at_its_turns():
    env = LearnerVectorEnv(3, opponents=("random", "greedy", "random"), mask="indices")
    obs, _ = env.reset(seed=3)
    rng = np.random.default_rng(3)
    played = [[] for _ in range(env.num_envs)]
    ended = 0
    for _ in range(80):
        actions = random_actions(env, obs, rng)
        restarted = [not legal.size for legal in legal_lists(env, obs)]
        obs, rewards, terminations, _, infos = env.step(actions)
        for i in range(env.num_envs):
            if restarted[i]:
                played[i] = []
            else:
                played[i].append(int(actions[i]))
            game, learner = env.state(i), int(env.seats[i])
            replay = State()
            learner_moves = []
            for move in game.history:
                if replay.seat == learner:
                    learner_moves.append(move)
                elif (replay.seat - learner) % 4 == 2:  # the greedy one sits across
                    assert move == bots.greedy(replay)
                replay.apply(move)
            assert learner_moves == played[i] and replay == game
            expect_shows(env, obs, i, game, learner)
            if terminations[i]:
                ended += 1
                scores = list(game.scores())
                assert rewards[i] == scores[learner] and infos["scores"][i].tolist() == scores
    assert ended >= 3


def test_the_same_seed_replays_the_same_games_with_any_threads_and_seats_rotate():
    def run(seed, threads):
        env = LearnerVectorEnv(5, mask="indices", num_threads=threads, autoreset_mode="SameStep")
        obs, _ = env.reset(seed=seed)
        rng = np.random.default_rng(0)
        record, seats = [], [env.seats.copy()]
        for _ in range(60):
            obs, rewards, terminations, _, _ = env.step(random_actions(env, obs, rng))
            record.append((obs["observation"].copy(), obs["legal_indices"].copy(), rewards.copy()))
            seats.append(env.seats.copy())
            if terminations.any():  # a new game: its learner one seat on
                np.testing.assert_array_equal(
                    seats[-1][terminations], (seats[-2][terminations] + 1) % 4
                )
        return record

    one, two, other = run(7, 1), run(7, 2), run(8, 2)
    for a, b in zip(one, two, strict=True):
        for x, y in zip(a, b, strict=True):
            np.testing.assert_array_equal(x, y)
    assert any(a[0].shape != c[0].shape or (a[0] != c[0]).any() for a, c in zip(one, other))


def test_without_autoreset_an_ended_game_waits_and_reset_mask_restarts_it():
    mode = AutoresetMode.DISABLED if AutoresetMode else "Disabled"
    env = LearnerVectorEnv(3, seat=1, mask="indices", autoreset_mode=mode)
    obs, _ = env.reset(seed=4)
    rng = np.random.default_rng(4)
    terminations = np.zeros(3, dtype=bool)
    while not terminations.any():
        obs, _, terminations, _, _ = env.step(random_actions(env, obs, rng))
    ended = terminations.copy()
    with pytest.raises(ValueError, match="game is over and autoreset is disabled"):
        env.step(random_actions(env, obs, rng))
    histories = [env.state(i).history for i in range(3)]
    obs, _ = env.reset(options={"reset_mask": ended})
    for i in range(3):
        if ended[i]:
            assert len(env.state(i).history) == 1  # seat 0, a bot, has opened
            assert legal_lists(env, obs)[i].size == 58
        else:
            assert env.state(i).history == histories[i]
    env.step(random_actions(env, obs, rng))


@pytest.mark.parametrize("mask", ["bytes", "bits", "indices"])
def test_arrays_a_caller_keeps_from_make_vec_keep_their_values(env_id, mask):
    # As RLlib keeps per-env views of every step's arrays in its episodes; arrays let go of are
    # written again, and a reset of some envs writes the rest too: a twin in place checks both.
    mode = AutoresetMode.DISABLED if AutoresetMode else "Disabled"
    options = {"seat": 1, "mask": mask, "autoreset_mode": mode, "num_threads": 2}
    env = gymnasium.make_vec(env_id, num_envs=3, vectorization_mode="vector_entry_point",
                             **options)
    twin = LearnerVectorEnv(3, copy=False, **options)
    outcomes, kept = [env.reset(seed=6), twin.reset(seed=6)], []
    rng = np.random.default_rng(6)
    for step in range(80):
        got, expected = outcomes[0][0], outcomes[1][0]
        assert all(np.array_equal(got[key], expected[key]) for key in expected)
        kept += [(array, array.copy()) for array in got.values()] if step % 4 == 0 else []
        ended = outcomes[0][2] if len(outcomes[0]) == 5 else np.zeros(3, bool)
        if ended.any():
            outcomes = [e.reset(options={"reset_mask": ended.copy()}) for e in (env, twin)]
        else:
            actions = random_actions(twin, expected, rng)
            outcomes = [e.step(actions) for e in (env, twin)]
    assert all(np.array_equal(array, value) for array, value in kept)


def test_record_episode_statistics_counts_each_game_once_with_its_return_and_length():
    env = gymnasium.wrappers.vector.RecordEpisodeStatistics(
        LearnerVectorEnv(4, reward="win", mask="indices", num_threads=2)
    )
    obs, _ = env.reset(seed=5)
    rng = np.random.default_rng(5)
    moves = np.zeros(4, dtype=int)
    episodes = 0
    for _ in range(80):
        restarting = np.array([not legal.size for legal in legal_lists(env.unwrapped, obs)])
        moves[restarting] = 0
        obs, rewards, terminations, _, infos = env.step(random_actions(env.unwrapped, obs, rng))
        moves[~restarting] += 1
        if not terminations.any():
            assert "episode" not in infos
            continue
        np.testing.assert_array_equal(infos["_episode"], terminations)
        for i in np.flatnonzero(terminations):
            assert infos["episode"]["r"][i] == pytest.approx(rewards[i])
            assert infos["episode"]["l"][i] == moves[i]
            episodes += 1
    assert episodes >= 4 and env.episode_count == episodes


# ---- Arguments and pictures --------------------------------------------------------------------


def test_bad_arguments_are_refused_naming_what_is_allowed():
    refused = [
        ({"opponents": "mcts-of-nowhere"}, ValueError, "unknown bot 'mcts-of-nowhere'"),
        ({"opponents": ("random", "greedy")}, TypeError, "a bot name or three of them"),
        ({"opponents": 3}, TypeError, "a bot name or three of them"),
        ({"seat": 4}, ValueError, "seat must be between 0 and 3, not 4"),
        ({"seat": True}, TypeError, "not bool"),
        ({"reward": "money"}, ValueError, "reward must be 'score' or 'win'"),
        ({"mask": "sparse"}, ValueError, "mask must be 'bytes', 'bits', 'indices' or 'candidates'"),
        ({"autoreset_mode": "NEXT_STEP"}, ValueError, "autoreset_mode must be"),
        ({"render_mode": "human"}, ValueError, "render_mode must be None, 'ansi' or 'rgb_array'"),
        ({"max_episode_steps": 20}, ValueError, "max_episode_steps must be 21 or more, not 20"),
        ({"num_threads": 0}, ValueError, "num_threads must be between 1 and 1024, not 0"),
    ]
    for kwargs, error, message in refused:
        with pytest.raises(error, match=re.escape(message)):
            LearnerVectorEnv(2, **kwargs)
    LearnerVectorEnv(2, max_episode_steps=100)  # never reached: accepted


def test_render_draws_every_envs_board_as_text_or_an_image():
    text_env = LearnerVectorEnv(2, render_mode="ansi", num_threads=1)
    text_env.reset(seed=7)
    texts = text_env.render()
    assert len(texts) == 2 and all(len(text.splitlines()) == 41 for text in texts)
    assert texts[0] == text_env.state(0).render()
    image_env = LearnerVectorEnv(2, render_mode="rgb_array", num_threads=1)
    image_env.reset(seed=7)
    images = image_env.render()
    assert [image.shape for image in images] == [(407, 357, 3)] * 2  # axes, board, legend
    with pytest.warns(UserWarning, match="without a render_mode"):
        assert LearnerVectorEnv(1).render() is None


def test_the_documented_learner_loop_runs(capsys):
    example("the uniform learner's win rate").run()
    games, rate = re.search(
        r"^(\d+) games, the uniform learner's win rate (\d\.\d\d)$", capsys.readouterr().out, re.M
    ).groups()
    assert int(games) >= 16 and 0 <= float(rate) <= 0.5


def test_search_opponents_play_what_the_search_bot_plays_on_a_state_from_the_envs_draws():
    # Each search is seeded by a draw from the env's generator, which the first game of an env
    # seeded with `seed` makes in turn: the learner's seat (the top two bits), then one draw per
    # move of a search opponent, one per move of a random one.
    env = LearnerVectorEnv(2, opponents=("mcts:20", "random", "mcts:20"), mask="indices")
    assert env.opponents == ("mcts:20", "random", "mcts:20")
    obs, _ = env.reset(seed=11)
    rng = np.random.default_rng(11)
    generators = [env_generator(11, i) for i in range(env.num_envs)]
    learners = [generator() >> 62 for generator in generators]
    np.testing.assert_array_equal(env.seats, learners)
    first_games = [None] * env.num_envs
    while None in first_games:
        obs, _, terminations, _, _ = env.step(random_actions(env, obs, rng))
        for i in np.flatnonzero(terminations):
            if first_games[i] is None:
                first_games[i] = env.state(i).history
    search = bots.MCTS.named("mcts:20")
    for history, generator, learner in zip(first_games, generators, learners, strict=True):
        replay = State()
        searched = 0
        for move in history:
            after = (replay.seat - learner) % 4
            if after in (1, 3):
                search.seed = generator()
                assert move == search(replay)
                searched += 1
            elif after == 2:
                assert move == _core.random_action(replay, generator())
            replay.apply(move)
        assert replay.is_terminal() and searched >= 20


def test_ctrl_c_reaches_inside_the_bots_searches_and_the_env_steps_again_after_a_reset():
    # Searches of a hundred seconds a move: the step ends early only if the stop reaches them.
    env = LearnerVectorEnv(2, opponents="mcts:ms=100000", seat=0, num_threads=2, mask="indices")
    obs, _ = env.reset(seed=4)
    opening = obs["observation"].copy()
    actions = random_actions(env, obs, np.random.default_rng(4))
    interrupted(
        lambda: env.step(actions),
        lambda error: getattr(error, "__notes__", None)
        == ["tavlok: step() stopped after 0 of 2 envs; the batch takes no step() before the "
            "next reset()"],
    )
    with pytest.raises(RuntimeError, match=r"last step\(\) did not finish"):
        env.step(actions)
    # A new game, with the learner to move at its own seat.
    obs, _ = env.reset()
    np.testing.assert_array_equal(obs["observation"], opening)
    assert (env.seats == 0).all() and all(env.state(i).seat == 0 for i in range(2))

