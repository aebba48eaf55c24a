"""The single Gymnasium environment, one learner seat against three bots: Gymnasium's own checker
and registry, then every game checked against the same moves replayed on a State."""

import pickle
import subprocess
import sys
import warnings

import gymnasium
import numpy as np
import pytest
from gymnasium.error import ResetNeeded
from gymnasium.utils.env_checker import check_env

import tavlok
from support import rules
from support.generators import env_generator
from tavlok.gym_env import TavlokGymEnv

ENV_ID = "tavlok/Tavlok-v0"
FIRST_MOVES = 58  # the placements that cover a seat's own start corner


def masked_choice(rng, observation):
    return int(rng.choice(np.flatnonzero(observation["action_mask"])))


def play(env, seed, chooser_seed=None):
    """One whole game of a masked random learner: the moves of all four seats in the order they
    were made (from the learner's actions and the infos), and for every reset and step its
    results and the number of moves made by then."""
    rng = np.random.default_rng(seed if chooser_seed is None else chooser_seed)
    observation, info = env.reset(seed=seed)
    history = list(info["opponent_moves"])
    steps = [(observation, 0.0, False, info, len(history))]
    done = False
    while not done:
        action = masked_choice(rng, observation)
        observation, reward, done, truncated, info = env.step(action)
        assert truncated is False
        history += [action, *info["opponent_moves"]]
        steps.append((observation, reward, done, info, len(history)))
    return history, steps


def movers(history):
    """The seat that made each move, replayed on a State."""
    state, seats = tavlok.State(), []
    for move in history:
        seats.append(state.seat)
        state.apply(move)
    return seats


def win_share(scores, seat):
    best = max(scores)
    return 1 / sum(score == best for score in scores) if scores[seat] == best else 0.0


# Gymnasium's checker steps with unmasked samples, which an env that raises cannot take.
@pytest.mark.parametrize("opponents", ["random", "greedy"])
@pytest.mark.parametrize("reward", ["score", "win"])
@pytest.mark.parametrize(
    "options", [{}, {"candidates": 6, "opening": 2}, {"candidates": 6, "mask": "candidates"}]
)
def test_gymnasium_check_env_passes_without_a_warning(opponents, reward, options, capsys):
    env = gymnasium.make(
        ENV_ID, opponents=opponents, reward=reward, on_illegal="terminate", **options
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    assert capsys.readouterr().out.startswith("    0  1  2 ")  # the human mode printed a board


def test_gymnasium_check_env_stops_at_an_unmasked_sample_when_illegal_actions_raise():
    with pytest.raises(ValueError, match="cannot play"):
        check_env(TavlokGymEnv())


def test_make_after_import_gives_the_env_and_registering_again_warns_nothing():
    env = gymnasium.make(ENV_ID, opponents="greedy")
    assert isinstance(env.unwrapped, TavlokGymEnv)
    assert env.unwrapped.opponents == ("greedy",) * 3
    spec = gymnasium.spec(ENV_ID)
    assert spec.entry_point == "tavlok.gym_env:TavlokGymEnv"
    assert spec.vector_entry_point == "tavlok.gym_vector:LearnerVectorEnv"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tavlok.registration.register() is True
    assert gymnasium.spec(ENV_ID) is spec


@pytest.mark.parametrize(
    "code",
    [
        # gymnasium imports the package named before the colon, which registers the env.
        "import gymnasium; gymnasium.make('tavlok:tavlok/Tavlok-v0').reset(seed=1)",
        # Gymnasium after tavlok: the registration was made when tavlok was imported.
        "import tavlok, gymnasium; gymnasium.make('tavlok/Tavlok-v0').reset(seed=1)",
        # No Gymnasium at all: the package works and registers nothing.
        "import sys; sys.modules['gymnasium'] = None; import tavlok;"
        "assert not tavlok.registration.register(); assert tavlok.State().seat == 0",
    ],
)
def test_registration_in_a_fresh_interpreter(code):
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)


@pytest.mark.parametrize(
    ("opponents", "reward"),
    [("random", "score"), ("greedy", "win"), (("greedy", "random", "random"), "score")],
)
def test_games_match_their_replay_on_a_state(opponents, reward):
    env = gymnasium.make(ENV_ID, opponents=opponents, reward=reward, opponent_moves=True)
    for seed in range(6):
        history, steps = play(env, seed)
        seat = steps[0][3]["seat"]
        seats = movers(history)
        scores = tavlok.State.from_history(history).scores()
        assert scores is not None and steps[-1][3]["scores"] == scores
        final = scores[seat] if reward == "score" else win_share(scores, seat)
        # The batch pays in float32, as LearnerVectorEnv does.
        assert [step[1] for step in steps] == [0.0] * (len(steps) - 1) + [pytest.approx(final)]
        assert [step[2] for step in steps] == [False] * (len(steps) - 1) + [True]
        # Each observation is the learner's view of the game so far, taken when it is to move.
        for observation, _, done, info, made in steps:
            state = tavlok.State.from_history(history[:made])
            assert done == state.is_terminal() and (done or state.seat == seat)
            planes, mask = state.observation(seat)
            np.testing.assert_array_equal(observation["observation"], planes)
            np.testing.assert_array_equal(observation["action_mask"], mask.reshape(-1))
            assert observation["action_mask"].any() != done
            np.testing.assert_array_equal(
                observation["hands"], rules.hands_seen(zip(seats[:made], history[:made]), seat)
            )
            assert info["seat"] == seat
        # The opponents play their own seats, in turn order after the learner.
        names = [opponents] * 3 if isinstance(opponents, str) else list(opponents)
        state = tavlok.State()
        for move, mover in zip(history, seats, strict=True):
            if mover != seat and names[(mover - seat - 1) % 4] == "greedy":
                assert move == tavlok.bots.greedy(state)
            state.apply(move)


def test_the_search_takes_its_settings_by_the_arenas_names_and_plays_what_the_bot_plays():
    env = gymnasium.make(ENV_ID, opponents=("mcts:playouts=5", "greedy", "mcts:5,playout=random"),
                         seat=0, opponent_moves=True)
    names = ("mcts:5", "greedy", "mcts:playouts=5,playout=random")
    assert env.unwrapped.opponents == names
    history, _ = play(env, seed=4)
    # Seeded as the learner batch seeds its env 0; with the seat fixed, the generator's draws
    # are one search seed per move of a search, in the order of the moves.
    generator = env_generator(4, 0)
    state = tavlok.State()
    for move, mover in zip(history, movers(history), strict=True):
        if mover != 0 and names[mover - 1].startswith("mcts"):
            assert move == tavlok.bots.MCTS.named(names[mover - 1], seed=generator())(state)
        state.apply(move)


def test_seat_rotates_one_seat_a_game_from_a_seeded_start_and_a_fixed_seat_stays():
    env = TavlokGymEnv()
    starts = set()
    for seed in range(12):
        first = env.reset(seed=seed)[1]["seat"]
        following = [env.reset()[1]["seat"] for _ in range(5)]
        assert following == [(first + games) % 4 for games in range(1, 6)]
        assert env.reset(seed=seed)[1]["seat"] == first and env.seat == first
        starts.add(first)
    assert starts == {0, 1, 2, 3}
    fixed = TavlokGymEnv(seat=2)
    assert {fixed.reset(seed=seed)[1]["seat"] for seed in range(8)} == {2}
    for seat in range(4):
        observation, info = TavlokGymEnv(seat=seat, opponents="greedy", opponent_moves=True).reset(
            seed=0
        )
        # The learner's first move, in its own frame, after the seats before it have moved.
        assert len(info["opponent_moves"]) == seat
        assert observation["action_mask"].sum() == FIRST_MOVES
        assert observation["observation"][0].sum() == 0
        assert [observation["hands"][k].sum() for k in range(4)] == [21] * (4 - seat) + [20] * seat


def test_infos_keep_their_shapes_from_step_to_step_unless_opponent_moves_are_asked_for():
    # Tianshou stacks every step's infos into arrays; only the final scores are new at the end.
    env = TavlokGymEnv(seat=1)
    observation, info = env.reset(seed=2)
    shapes = {key: np.shape(value) for key, value in info.items()}
    rng, done = np.random.default_rng(2), False
    while not done:
        observation, _, done, _, info = env.step(masked_choice(rng, observation))
        if done:
            assert info.pop("scores")
        assert {key: np.shape(value) for key, value in info.items()} == shapes


def test_a_pickled_env_comes_back_as_made_and_plays_as_a_new_one():
    options = {"opponents": "greedy", "reward": "win", "render_mode": "ansi",
               "on_illegal": "terminate", "opponent_moves": True}
    env = gymnasium.make(ENV_ID, **options)
    env.reset(seed=1)  # a game under way does not travel
    copied = pickle.loads(pickle.dumps(env))
    assert copied.spec == env.spec and copied.unwrapped.opponents == ("greedy",) * 3
    with pytest.raises(ResetNeeded, match=r"before reset\(\)"):
        copied.step(0)
    assert play(copied, 5)[0] == play(gymnasium.make(ENV_ID, **options), 5)[0]


def test_the_same_seed_replays_the_same_games_and_other_seeds_differ():
    def games(seed):
        env = TavlokGymEnv(opponent_moves=True)
        return [play(env, seed + game, chooser_seed=game)[0] for game in range(3)]

    assert games(5) == games(5)
    assert games(5) != games(6)


def started(seed=3, **kwargs):
    """An env two learner moves into a seeded game, and its last observation."""
    env = TavlokGymEnv(opponent_moves=True, **kwargs)
    observation, _ = env.reset(seed=seed)
    rng = np.random.default_rng(seed)
    for _ in range(2):
        observation = env.step(masked_choice(rng, observation))[0]
    return env, observation


def rest_of_game(env, observation):
    """What the env does from here on for a fixed chooser: every step's results."""
    rng, results, done = np.random.default_rng(0), [], False
    while not done:
        observation, reward, done, _, info = env.step(masked_choice(rng, observation))
        results.append((observation["observation"].tobytes(), reward, info))
    return results


@pytest.mark.parametrize("action", [0, tavlok.encode(13, 0, 0), 36_399, 36_400, -1])
def test_an_illegal_action_raises_and_changes_nothing(action):
    env, observation = started()
    twin, _ = started()
    with pytest.raises(ValueError, match="cannot play"):
        env.step(action)
    with pytest.raises(TypeError):
        env.step(1.5)
    np.testing.assert_array_equal(env.action_masks(), observation["action_mask"].astype(bool))
    assert rest_of_game(env, observation) == rest_of_game(twin, observation)


@pytest.mark.parametrize(("reward", "penalty"), [("score", -89.0), ("win", -1.0)])
def test_on_illegal_terminate_ends_the_episode_and_leaves_the_board(reward, penalty):
    env, observation = started(reward=reward, on_illegal="terminate", render_mode="ansi")
    board = env.render()
    final, got, terminated, truncated, info = env.step(0)
    assert (got, terminated, truncated) == (penalty, True, False)
    assert info == {"seat": env.seat, "opponent_moves": (), "illegal_action": 0}
    assert not final["action_mask"].any() and not env.action_masks().any()
    np.testing.assert_array_equal(final["observation"], observation["observation"])
    assert env.render() == board
    with pytest.raises(ResetNeeded, match="after the episode is over"):
        env.step(masked_choice(np.random.default_rng(0), observation))
    assert env.reset(seed=0)[0]["action_mask"].sum() == FIRST_MOVES


@pytest.mark.parametrize("mode", ["ansi", "rgb_array"])
def test_calls_before_reset_and_after_the_game_is_over_say_reset_first_and_pictures_show_it(mode):
    env = TavlokGymEnv(render_mode=mode, opponents="greedy", opponent_moves=True)
    for call in (lambda: env.step(0), env.action_masks, env.render):
        with pytest.raises(ResetNeeded, match=r"before reset\(\)"):
            call()
    history, _ = play(env, 4)
    with pytest.raises(ResetNeeded, match="after the episode is over"):
        env.step(history[-1])
    assert not env.action_masks().any()
    state = tavlok.State.from_history(history)
    board = state.board(0)
    expected = board.text() if mode == "ansi" else board.rgb(scores=state.scores())
    np.testing.assert_array_equal(env.render(), expected)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"opponents": "nobody"}, ValueError, "unknown bot 'nobody'"),
        ({"opponents": "mcts:0"}, ValueError, "unknown bot 'mcts:0': playouts must be"),
        ({"opponents": ("random", "greedy")}, TypeError, "a bot name or three of them"),
        ({"opponents": ("random", "greedy", 3)}, TypeError, "a bot name or three of them"),
        ({"opponents": None}, TypeError, "a bot name"),
        ({"seat": 4}, ValueError, "seat must be between 0 and 3, not 4"),
        ({"seat": -1}, ValueError, "seat must be between 0 and 3, not -1"),
        ({"seat": True}, TypeError, "seat must be None or a whole number, not bool"),
        ({"seat": "1"}, TypeError, "seat must be None or a whole number, not str"),
        ({"reward": "scores"}, ValueError, "reward must be 'score' or 'win', not 'scores'"),
        ({"render_mode": "rgb"}, ValueError,
         "render_mode must be None, 'human', 'ansi' or 'rgb_array', not 'rgb'"),
        ({"on_illegal": "ignore"}, ValueError,
         "on_illegal must be 'raise' or 'terminate', not 'ignore'"),
    ],
)
@pytest.mark.filterwarnings("ignore:.*render_mode='rgb'")  # gymnasium.make warns before we raise
def test_bad_constructor_arguments_are_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        TavlokGymEnv(**kwargs)
    with pytest.raises(error, match=message):
        gymnasium.make(ENV_ID, **kwargs)


def next_games(env):
    """The seats and moves of the env's next two games, started without a seed."""
    games = []
    for game in range(2):
        history, steps = play(env, None, chooser_seed=game)
        games.append((steps[0][3]["seat"], history))
    return games


@pytest.mark.parametrize(
    ("seed", "options", "error", "message"),
    [
        (-1, None, ValueError, r"seed must be between 0 and 2\*\*64 - 1, not -1$"),
        (2**64, None, ValueError, rf"seed must be between 0 and 2\*\*64 - 1, not {2**64}$"),
        (1.5, None, TypeError, "seed must be None or a whole number, not float"),
        (True, None, TypeError, "not bool"),
        ("7", None, TypeError, "not str"),
        (None, [1], TypeError, "options must be None or a mapping"),
        (1, {"seat": 2}, ValueError, r"unknown options \['seat'\]: reset\(\) takes none"),
    ],
)
def test_a_bad_reset_is_refused_before_anything_changes(seed, options, error, message):
    env, observation = started()
    twin, _ = started()
    with pytest.raises(error, match=message):
        env.reset(seed=seed, options=options)
    assert rest_of_game(env, observation) == rest_of_game(twin, observation)
    # Neither the env's generator, the seat rotation nor the opponents' generators were touched.
    assert env.np_random.bit_generator.state == twin.np_random.bit_generator.state
    assert next_games(env) == next_games(twin)


def test_whole_numbers_of_any_type_are_taken_for_seeds_seats_and_actions():
    env = TavlokGymEnv(seat=np.int8(1))
    observation, info = env.reset(seed=np.uint64(2**64 - 1), options={})
    assert info["seat"] == 1
    action = np.flatnonzero(observation["action_mask"])[0]
    observation = env.step(np.array(action))[0]  # a 0-d array, as some learners hand them over
    assert observation["hands"][0].sum() == 20 and observation["observation"][0].any()
