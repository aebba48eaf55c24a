"""tavlok.arena and its ArenaResult: the engine's bots, batched Python policies and functions of
one State in the same games, and the statistics reported on them."""

import itertools
import math
import re
import time

import numpy as np
import pytest

import tavlok
from support import rules
from support.docs import example
from support.processes import interrupted
from tavlok import State, bots
from tavlok.arena import ArenaResult, bradley_terry, ladder, wilson_interval
from tavlok.cli import main


def first_legal(view):
    """A batched policy: the lowest legal grid index of every game."""
    return view["legal_indices"][view["legal_offsets"][:-1]]


def replay(bots_, game, answer):
    """Game `game` of an arena played out on a State: bot i sits at seat (i + game) % 4, and
    answer(bot, state) is its move. Returns the final scores by seat."""
    state = State()
    while not state.is_terminal():
        state.apply(answer(bots_[(state.seat - game) % 4], state))
    return state.scores()


def test_first_legal_policy_plays_the_games_replayed_on_state():
    shown = {}

    def recording(view):
        n = len(view["game"])
        assert view["observation"].shape == (n, 4, 20, 20) and view["observation"].dtype == np.uint8
        assert view["hands"].shape == (n, 4, 21) and view["hands"].dtype == np.uint8
        assert view["legal_offsets"].shape == (n + 1,) and view["legal_offsets"].dtype == np.int32
        assert view["legal_indices"].dtype == np.int32 and view["seat"].shape == (n,)
        for i, game in enumerate(view["game"]):
            legal = view["legal_indices"][view["legal_offsets"][i] : view["legal_offsets"][i + 1]]
            shown.setdefault(int(game), []).append(
                (int(view["seat"][i]), view["observation"][i], view["hands"][i], legal)
            )
        return first_legal(view)

    lineup = [recording, "greedy", recording, "greedy"]
    result = tavlok.arena(lineup, games=6, seed=2, threads=2)
    assert result.bots == ("recording", "greedy", "recording", "greedy")

    for game in range(6):
        views = iter(shown[game])
        placed = []  # (seat, grid index) of every move so far

        def answer(bot, state):
            if bot != "greedy":
                # What the policy was shown here is this position as its mover sees it.
                seat, planes, hands, legal = next(views)
                assert seat == state.seat
                np.testing.assert_array_equal(planes, state.observation()[0])
                np.testing.assert_array_equal(legal, state.legal_actions())
                np.testing.assert_array_equal(hands, rules.hands_seen(placed, state.seat))
            move = bots.greedy(state) if bot == "greedy" else int(state.legal_actions()[0])
            placed.append((state.seat, move))
            return move

        assert replay(lineup, game, answer) == tuple(result.seat_scores[game])
        assert next(views, None) is None
        assert [result.seats[game][i] for i in range(4)] == [(i + game) % 4 for i in range(4)]


def test_policies_give_the_same_games_for_any_threads_and_batch_size():
    lineup = [first_legal, "random", bots.PerState(lambda s: bots.greedy(s)), "greedy"]
    one = tavlok.arena(lineup, games=20, seed=4, threads=1, opening=3)
    for threads, batch in ((2, 1), (2, 3), (1, 20), (2, None)):
        other = tavlok.arena(lineup, 20, 4, threads=threads, batch_size=batch, opening=3)
        np.testing.assert_array_equal(other.seat_scores, one.seat_scores)
        np.testing.assert_array_equal(other.seats, one.seats)
    # A function of one State that plays greedy's moves gives the engine's greedy games, random
    # draws and all: the lockstep arena seats, seeds and opens its games as the engine's does.
    engine = tavlok.arena([first_legal, "random", "greedy", "greedy"], 20, 4, opening=3)
    np.testing.assert_array_equal(engine.seat_scores, one.seat_scores)
    assert engine.opening == 3 and "3 random placements first" in engine.table()
    # And so does the per-state form of the batched policy.
    per_state = bots.PerState(lambda s: s.legal_actions()[0], name="first")
    again = tavlok.arena([per_state, "random", "greedy", "greedy"], 20, 4, opening=3)
    np.testing.assert_array_equal(again.seat_scores, one.seat_scores)
    assert again.bots == ("first", "random", "greedy", "greedy")
    # Without the opening, other games.
    assert not np.array_equal(tavlok.arena(lineup, 20, 4).seat_scores, one.seat_scores)


def test_a_policy_is_called_once_per_round_for_all_its_games():
    calls = []

    def policy(view):
        calls.append(((view["seat"] - view["game"]) % 4).tolist())
        return first_legal(view)

    result = tavlok.arena([policy, "greedy", policy, "random"], games=32, seed=0, batch_size=32)
    moves = sum(len(c) for c in calls)
    # Each game gives the policy at most 42 moves (21 pieces for each of its two bots), one per
    # round; a round's call carries every game waiting for either bot.
    assert len(calls) <= 42 < moves
    assert any({0, 2} <= set(bots_) for bots_ in calls)
    assert all(set(bots_) <= {0, 2} for bots_ in calls)
    assert result.games == 32


def test_objects_of_bots_play_in_the_engine_unless_their_move_is_their_own():
    class SameMove(bots.Random):
        pass

    class FirstLegal(bots.Random):
        calls = 0

        def __call__(self, state):
            FirstLegal.calls += 1
            return int(state.legal_actions()[0])

    engine = tavlok.arena([first_legal, "random", "greedy", "greedy"], games=8, seed=1)
    played = tavlok.arena([FirstLegal(3), SameMove(5), bots.greedy, bots.Greedy()], games=8, seed=1)
    assert played.bots == ("FirstLegal", "random", "greedy", "greedy")
    assert FirstLegal.calls > 8
    np.testing.assert_array_equal(played.seat_scores, engine.seat_scores)


@pytest.mark.parametrize("bot", [42, None, object(), b"greedy", ["greedy"]])
def test_arena_refuses_what_is_neither_a_bot_nor_a_policy(bot):
    with pytest.raises(TypeError, match=re.escape(repr(bot))):
        tavlok.arena(["greedy", "random", "random", bot], games=1)


def test_parts_of_an_arena_are_its_games_with_their_numbers():
    seen_games = []

    def numbered(view):
        seen_games.extend(view["game"].tolist())
        return first_legal(view)

    engine_only = ["greedy", "random", "random", "greedy"]
    for lineup in (engine_only, [numbered] + engine_only[1:]):
        whole = tavlok.arena(lineup, games=13, seed=6, opening=2)
        seen_games.clear()
        # Games 5 to 11: seats rotated and random draws made as game number, not row, says.
        part = tavlok.arena(lineup, 7, seed=6, opening=2, first_game=5, progress=lambda *a: 0)
        np.testing.assert_array_equal(part.seat_scores, whole.seat_scores[5:12])
        np.testing.assert_array_equal(part.seats, whole.seats[5:12])
        assert part.first_game == 5 and part.games == 7 and "games 5 to 11" in part.table()
        if lineup[0] is numbered:
            assert set(seen_games) == set(range(5, 12))
    with pytest.raises(ValueError, match="first_game"):
        tavlok.arena(["greedy"] * 4, games=2, first_game=2**40 - 2)
    with pytest.raises(ValueError, match="first_game"):
        tavlok.arena(["greedy"] * 4, games=2, first_game=-1)


def test_arena_refuses_unknown_names_and_bad_settings():
    with pytest.raises(ValueError, match="unknown bot 'mtcs'"):
        tavlok.arena(["greedy", "random", "random", "mtcs"], games=1)
    with pytest.raises(ValueError, match="unknown bot 'mtcs'"):
        tavlok.arena([first_legal, "random", "random", "mtcs"], games=1)
    # Quoted whole, not cut short at the NUL (naming a bot that exists).
    with pytest.raises(ValueError, match=r"^unknown bot 'mcts:ms=1\\x00j': .*, not '1\\x00j'$"):
        tavlok.arena(["mcts:ms=1\0j", "greedy", "random", "greedy"], games=1)
    with pytest.raises(ValueError, match="bots must hold 4, not 3"):
        tavlok.arena(["greedy"] * 3, games=1)
    with pytest.raises(ValueError, match="games"):
        tavlok.arena(["greedy"] * 4, games=0)
    with pytest.raises(ValueError, match="opening must be between 0 and 84, not 85"):
        tavlok.arena([first_legal, "random", "random", "random"], games=1, opening=85)
    with pytest.raises(ValueError, match="opening must be between 0 and 84, not -1"):
        tavlok.arena(["greedy"] * 4, games=1, opening=-1)
    for batch in (0, 65537):
        with pytest.raises(ValueError, match="batch_size"):
            tavlok.arena([first_legal] * 4, games=2, batch_size=batch)
    with pytest.raises(TypeError, match="PerState"):
        bots.PerState(3)


@pytest.mark.parametrize(
    ("argument", "value", "message"),
    [
        ("games", 2**40, "games must be between 1 and 2**40 - 1, not 1099511627776"),
        ("first_game", 2**40 - 2, "first_game must be between 0 and 1099511627773, not 109"),
        ("threads", 0, "threads must be between 1 and 1024, not 0"),
        ("opening", 85, "opening must be between 0 and 84, not 85"),
        ("batch_size", 65537, "batch_size must be between 1 and 65536, not 65537"),
    ],
)
def test_the_package_and_the_engine_word_an_arena_argument_alike(argument, value, message):
    # The engine's own check, which the package's stands before, with the same limit and words.
    given = {"games": 2, "first_game": 0, "threads": 1, "opening": 0, "batch_size": 2}
    given[argument] = value
    for call in (
        lambda: tavlok.arena([first_legal] * 4, **given),
        lambda: tavlok._core.Arena(
            [None] * 4, 0, given["games"], given["batch_size"], given["threads"],
            given["opening"], given["first_game"],
        ),
    ):
        with pytest.raises(ValueError) as refused:
            call()
        assert str(refused.value).startswith(message)
    if argument != "batch_size":
        del given["batch_size"]
        names = ["random"] * 4
        with pytest.raises(ValueError, match=re.escape(message)):
            tavlok._core.play_arena(names, 0, given["first_game"], given["games"],
                                    given["threads"], given["opening"])


def answering(answer):
    """A batched policy that plays first_legal except in game 1, where it answers answer(view, i)
    (i: the game's row)."""

    def policy(view):
        moves = list(first_legal(view))
        for i, game in enumerate(view["game"]):
            if game == 1:
                moves[i] = answer(view, i)
        return moves

    return policy


@pytest.mark.parametrize(
    ("answer", "message"),
    [
        (lambda view, i: -1, "game 1: grid index -1 is outside 0 to 36399"),
        (lambda view, i: 36400, "game 1: grid index 36400 is outside 0 to 36399"),
        (lambda view, i: 2**70, f"game 1: grid index {2**70} is outside 0 to 36399"),
        # Past the 4,300 digits that Python will turn into text.
        (lambda view, i: -(10**5000), r"game 1: grid index \(a negative number of 16610 bits\) is"),
        # The monomino away from the start corner: a grid index that names a placement, but not
        # a legal one for a seat's first piece.
        (lambda view, i: 105, r"game 1: grid index 105 for seat 0: .*start corner"),
    ],
)
def test_an_illegal_move_names_the_policy_the_game_and_the_index(answer, message):
    policy = answering(answer)
    with pytest.raises(ValueError, match=f"^'policy' chose an illegal move: {message}"):
        tavlok.arena([policy, policy, policy, policy], games=3, seed=0)


def test_a_policy_answer_of_the_wrong_form_is_refused():
    with pytest.raises(ValueError, match=r"returned shape \(2,\) for 3 games"):
        tavlok.arena([lambda view: [0, 0]] * 4, games=3)
    with pytest.raises(ValueError, match=r"returned shape \(\) for 3 games.*PerState"):
        tavlok.arena([lambda state: 0] * 4, games=3)
    with pytest.raises(TypeError, match="float64"):
        tavlok.arena([lambda view: np.zeros(len(view["game"]))] * 4, games=3)
    with pytest.raises(TypeError):
        tavlok.arena([lambda view: ["a"] * len(view["game"])] * 4, games=3)


def result_of(by_bot_scores):
    """An ArenaResult whose bots scored by_bot_scores[g][i] in game g, seats rotating."""
    by_bot = np.array(by_bot_scores, dtype=np.int16)
    games = len(by_bot)
    seats = np.array([[(i + g) % 4 for i in range(4)] for g in range(games)], dtype=np.uint8)
    seat_scores = np.empty_like(by_bot)
    np.put_along_axis(seat_scores, seats.astype(np.intp), by_bot, axis=1)
    return ArenaResult(("a", "b", "c", "d"), 0, seat_scores, seats)


def test_win_rates_come_with_wilson_intervals_and_scores_with_standard_errors():
    result = result_of([[10, -5, -7, -9], [10, 0, -7, -9], [10, -5, -7, -9], [-6, 4, -7, -9]])
    np.testing.assert_array_equal(result.win_rate, [0.75, 0.25, 0, 0])
    # Wilson's 95% intervals for 3, 1 and 0 successes in 4 trials, as tabulated.
    np.testing.assert_allclose(
        result.win_rate_interval,
        [[0.3006, 0.9544], [0.0456, 0.6994], [0, 0.4899], [0, 0.4899]],
        atol=5e-5,
    )
    # Bot a: mean 6, deviations 4, 4, 4, -12, sample variance 192 / 3 = 64, error 8 / 2; bot b:
    # mean -1.5, squared deviations 12.25, 2.25, 12.25, 30.25.
    np.testing.assert_allclose(result.mean_score, [6, -1.5, -7, -9])
    np.testing.assert_allclose(result.score_stderr, [4, math.sqrt(57 / 3) / 2, 0, 0])
    assert np.isnan(result_of([[1, 2, 3, 4]]).score_stderr).all()
    # A tie on the best score splits the win; the interval is of the share.
    tied = result_of([[5, 5, 0, 0], [5, 5, 0, 0]])
    np.testing.assert_array_equal(tied.win_rate, [0.5, 0.5, 0, 0])
    np.testing.assert_allclose(tied.win_rate_interval[0], wilson_interval(0.5, 2))
    low, high = wilson_interval(0.5, 2)
    assert low == pytest.approx(1 - high) and 0 < low < 0.5


def test_rating_is_the_bradley_terry_maximum_likelihood_on_the_elo_scale():
    # One game: a above the three others, who tie. With half a win each way added to every pair,
    # a beat each of them 1.5 times in 2 meetings: p_a / (p_a + p_x) = 3 / 4, so p_a = 3 p_x,
    # 400 log10(3) apart, and averaging 0 puts a at 300 log10(3).
    result = result_of([[15, -10, -10, -10]])
    np.testing.assert_array_equal(
        result.pairwise_wins,
        [[0, 1, 1, 1], [0, 0, 0.5, 0.5], [0, 0.5, 0, 0.5], [0, 0.5, 0.5, 0]],
    )
    third = 100 * math.log10(3)
    np.testing.assert_allclose(result.rating, [3 * third, -third, -third, -third])

    # Any case: at the maximum, each bot's expected wins under the model equal its wins.
    played = result_of(
        [[10, -5, -7, -9], [3, 8, -7, -1], [-20, -5, 15, -9], [2, 2, -7, 20], [0, -5, -7, -9]]
    )
    rating = played.rating
    assert rating.sum() == pytest.approx(0, abs=1e-9)
    wins = played.pairwise_wins + 0.5 * (1 - np.eye(4))
    meetings = wins + wins.T
    expected = meetings / (1 + 10 ** ((rating[None, :] - rating[:, None]) / 400))
    np.fill_diagonal(expected, 0)
    np.testing.assert_allclose(expected.sum(axis=1), wins.sum(axis=1), rtol=1e-9)
    # More wins, a higher rating.
    assert list(np.argsort(-rating)) == list(np.argsort(-wins.sum(axis=1)))
    np.testing.assert_allclose(bradley_terry(np.zeros((4, 4))), 0)


def test_table_shows_the_intervals_and_ratings():
    result = result_of([[10, -5, -7, -9], [10, 0, -7, -9], [10, -5, -7, -9], [-6, 4, -7, -9]])
    rows = re.findall(
        r"^(\d) (\w) +(-?\d+\.\d\d) +(\d+\.\d\d) +(\d+\.\d)% +\[(\d+\.\d), (\d+\.\d)\] +([+-]\d+)$",
        result.table(),
        re.M,
    )
    assert [r[:5] for r in rows] == [
        ("0", "a", "6.00", "4.00", "75.0"),
        ("1", "b", "-1.50", "2.18", "25.0"),
        ("2", "c", "-7.00", "0.00", "0.0"),
        ("3", "d", "-9.00", "0.00", "0.0"),
    ]
    assert [r[5:7] for r in rows][0] == ("30.1", "95.4")
    assert [int(r[7]) for r in rows] == [round(x) for x in result.rating]
    assert "Wilson" in result.table() and "Bradley-Terry" in result.table()


@pytest.mark.parametrize(
    ("scores", "error", "message"),
    [
        (np.array([1.9, 1.2, 0, 0]), TypeError, "scores must be integers, not float values"),
        (np.array([1e300, 0, 0, 0]), TypeError, "not float values"),
        (np.array([True, False, False, False]), TypeError, "not bool values"),
        (np.array([2**64 - 1, 0, 0, 0], np.uint64), ValueError, "not 18446744073709551615$"),
        (np.array([[0, 0, 0, 0], [0, 32768, 0, 0]], np.int32), ValueError, "not 32768$"),
        (np.array([0, 0, 0, -(2**63)]), ValueError, "-32768 and 32767, not -9223372036854775808$"),
    ],
)
def test_win_shares_take_integer_scores_only_and_quote_the_one_refused(scores, error, message):
    with pytest.raises(error, match=message):
        tavlok._core.win_shares(scores)


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int32, np.uint64, np.int64])
def test_win_shares_read_every_integer_type_and_layout(dtype):
    scores = np.array([[3, 7, 7, 1], [-2, -9, -4, -5], [15, 15, 15, 15]])
    if np.dtype(dtype).kind == "u":
        scores += 9
    expected = [[0, 0.5, 0.5, 0], [1, 0, 0, 0], [0.25] * 4]
    np.testing.assert_array_equal(tavlok._core.win_shares(scores.astype(dtype)), expected)
    # A view with strides of its own (backwards), read in place.
    flipped = scores.astype(dtype)[::-1]
    np.testing.assert_array_equal(tavlok._core.win_shares(flipped), expected[::-1])
    # Each row's scores apart in memory (column-major), read through the columns' stride.
    by_column = np.asfortranarray(scores.astype(dtype))
    np.testing.assert_array_equal(tavlok._core.win_shares(by_column), expected)
    np.testing.assert_array_equal(tavlok._core.win_shares(scores[0].astype(dtype)), expected[0])


@pytest.mark.parametrize(
    "case", ["timed_positions=0", "a policy called batched", "a policy named mcts:1"]
)
def test_the_ladder_checks_before_playing_and_times_each_bot_as_what_it_is(case, monkeypatch):
    # A clock that only the policies move, one second a move: the engine's bots cost nothing on
    # it, so a policy timed as an engine bot of its name would show 0.
    clock = [0.0]
    monkeypatch.setattr(time, "thread_time", lambda: clock[0])

    def batched(view):
        clock[0] += len(view["game"])
        return first_legal(view)

    def per_state(state):
        clock[0] += 1
        return state.legal_actions()[0]

    named = bots.PerState(per_state, "mcts:1")
    played = []
    bots_, options, costs = {
        "timed_positions=0": (["random"] * 4, {"timed_positions": 0}, None),
        "a policy called batched": (["random", "greedy", batched, "random"], {}, [0, 0, 1, 0]),
        "a policy named mcts:1": ([named, "greedy"] * 2, {}, [1, 0] * 2),
    }[case]

    def run():
        return ladder(bots_, 8, progress=lambda done, _: played.append(done), **options)

    if costs is None:
        with pytest.raises(ValueError, match="timed_positions must be 1 or more"):
            run()
        assert played == []
        return
    rated = run()
    assert played[-1] == 8 and rated.seconds_per_move == tuple(costs)
    assert rated.result.bots[costs.index(1)] == case.split()[-1]
    assert "a policy's over every move it made" in rated.table()


def test_a_ladder_of_five_bots_is_the_arenas_of_its_tables_added_up():
    five = ["random", "greedy", "net", "greedy", "random"]
    played = []
    rated = ladder(five, 7, seed=5, progress=lambda done, total: played.append((done, total)))
    assert played == sorted(played) and played[-1] == (7, 7)
    assert rated.table_bots == tuple(itertools.combinations(range(5), 4))
    wins, games_of, pairs, first = np.zeros(5), np.zeros(5), np.zeros((5, 5)), 0
    for table, seated, games in zip(rated.tables, rated.table_bots, [2, 2, 1, 1, 1], strict=True):
        alone = tavlok.arena(
            [five[i] for i in seated], games, seed=5, opening=4, first_game=first
        )
        assert np.array_equal(table.seat_scores, alone.seat_scores)
        wins[list(seated)] += alone.wins.sum(axis=0)
        games_of[list(seated)] += games
        pairs[np.ix_(seated, seated)] += alone.pairwise_wins
        first += games
    np.testing.assert_allclose(rated.win_rate, wins / games_of)
    np.testing.assert_allclose(rated.rating, bradley_terry(pairs))
    assert "7 games of 5 bots, 5 tables of four" in rated.table()
    played.clear()
    with pytest.raises(ValueError, match="unknown bot 'nets'"):
        ladder([*five, "nets"], 15, progress=lambda done, _: played.append(done))
    assert played == []  # the last table's bot is refused before the first table plays


def test_greedy_beats_random_by_a_clear_margin():
    result = tavlok.arena(["greedy", "random", "random", "random"], games=400, seed=11)
    assert result.win_rate[0] > 0.8
    assert all(result.mean_score[0] > result.mean_score[i] + 20 for i in (1, 2, 3))
    assert result.win_rate.sum() == pytest.approx(1)
    assert result.win_rate_interval[0, 0] > 0.8
    assert result.rating[0] > 400 + max(result.rating[1:])


def test_arena_results_do_not_depend_on_threads_or_progress_reports():
    bots_ = ["greedy", "random", bots.random, bots.Random(5)]
    one = tavlok.arena(bots_, games=40, seed=3, threads=1)
    reported = []
    two = tavlok.arena(bots_, games=40, seed=3, threads=2, progress=lambda *a: reported.append(a))
    np.testing.assert_array_equal(one.seat_scores, two.seat_scores)
    np.testing.assert_array_equal(one.seats, two.seats)
    assert reported[-1] == (40, 40) and len(reported) > 1
    assert one.bots == ("greedy", "random", "random", "random")
    assert not np.array_equal(one.seat_scores, tavlok.arena(bots_, games=40, seed=4).seat_scores)

    with_policy = []
    tavlok.arena([first_legal] + bots_[1:], games=40, seed=3, batch_size=8,
                 progress=lambda *a: with_policy.append(a))
    assert with_policy[-1] == (40, 40) and len(with_policy) > 1
    assert [done for done, _ in with_policy] == sorted({done for done, _ in with_policy})


def test_arena_rotates_the_seats_every_game():
    # Four greedy bots play the same game every time, so only the rotation moves the scores.
    result = tavlok.arena(["greedy"] * 4, games=8, seed=0, threads=2)
    first = result.seat_scores[0]
    assert (result.seat_scores == first).all()
    for g in range(8):
        assert [result.scores[g, i] for i in range(4)] == [first[(i + g) % 4] for i in range(4)]
    assert np.allclose(result.mean_score, first.mean())
    assert np.allclose(result.win_rate, 0.25)
    best = first == first.max()
    np.testing.assert_allclose(result.seat_win_rate, best / best.sum())

    # The same game played through the Python callables.
    state = State()
    while not state.is_terminal():
        state.apply(bots.greedy(state))
    assert list(state.scores()) == first.tolist()


def test_arena_command_prints_progress_and_the_table(capsys):
    assert main(["arena", "greedy", "random", "random", "random", "--games", "20"]) == 0
    out, err = capsys.readouterr()
    rows = re.findall(
        r"^(\d) (greedy|random) +(-?\d+\.\d\d) +\d+\.\d\d +(\d+\.\d)%"
        r" +\[[\d.]+, [\d.]+\] +[+-]\d+$",
        out,
        re.M,
    )
    assert [r[1] for r in rows] == ["greedy", "random", "random", "random"]
    assert sum(float(r[3]) for r in rows) == pytest.approx(100, abs=0.3)
    assert err.splitlines()[-1] == "20/20 games"


def test_documented_evaluation_example_runs(capsys):
    block = example("tavlok.arena(")
    assert len(block.code.strip().splitlines()) <= 12
    namespace = block.run()
    out = capsys.readouterr().out
    low, high = namespace["result"].win_rate_interval[0]
    assert re.fullmatch(r"last_legal wins \d+\.\d% \(95% interval \d+\.\d% to \d+\.\d%\)\n", out)
    assert 0 < low < namespace["result"].win_rate[0] < high <= 1


def positions_of_a_random_game(seed, every=8):
    state, bot, positions = State(), bots.Random(seed), []
    while not state.is_terminal():
        if len(state.history) % every == 0:
            positions.append(state.clone())
        state.apply(bot(state))
    return positions, state


def test_mcts_is_deterministic_for_a_seed_and_the_seed_matters():
    positions, _ = positions_of_a_random_game(1)
    searched = [bots.MCTS(30, seed=1, playout="random")(p) for p in positions]
    # The same moves again, from the same object and from a new one.
    bot = bots.MCTS(30, seed=1, playout="random")
    assert [bot(p) for p in positions] == searched
    assert [bot(p) for p in positions] == searched
    other = [bots.MCTS(30, seed=2, playout="random")(p) for p in positions]
    assert other != searched
    assert all(move in p.legal_actions() for move, p in zip(other, positions, strict=True))


@pytest.mark.parametrize("playout", ["random", "largest", "greedy"])
def test_mcts_plays_whole_games_of_legal_moves(playout):
    state, bot = State(), bots.MCTS(playouts=6 if playout == "greedy" else 12, playout=playout)
    while not state.is_terminal():
        move = bot(state)
        assert move in state.legal_actions()
        state.apply(move)
    with pytest.raises(ValueError, match="game is over"):
        bot(state)


def test_mcts_settings_are_read_by_the_engine_and_named_its_way():
    assert bots.MCTS().name == "mcts"
    assert bots.MCTS(400).name == "mcts:400"
    assert bots.MCTS(milliseconds=50, playout="random").name == "mcts:ms=50,playout=random"
    bot = bots.MCTS.named("mcts:playouts=400", seed=9)
    assert bot.name == "mcts:400" and bot.seed == 9
    assert eval(repr(bot), {"tavlok": tavlok}).name == "mcts:400"
    with pytest.raises(ValueError, match="not both"):
        bots.MCTS(playouts=10, milliseconds=10)
    with pytest.raises(ValueError, match="playouts must be a whole number from 1"):
        bots.MCTS(0)
    with pytest.raises(ValueError, match="score_weight must be a number from 0 to 1"):
        bots.MCTS(score_weight=2)
    with pytest.raises(ValueError, match="not the search bot"):
        bots.MCTS.named("greedy")
    with pytest.raises(ValueError, match="seed"):
        bots.MCTS(seed=-1)


def test_mcts_plays_in_the_arena_by_name_and_as_an_object():
    by_name = tavlok.arena(["mcts:4", "greedy", "random", "greedy"], games=8, seed=3, threads=1)
    as_object = tavlok.arena(
        [bots.MCTS(4, seed=77), "greedy", "random", "greedy"], games=8, seed=3, threads=2
    )
    assert as_object.bots == by_name.bots == ("mcts:4", "greedy", "random", "greedy")
    np.testing.assert_array_equal(as_object.seat_scores, by_name.seat_scores)
    # Beside a policy, in lockstep.
    mixed = tavlok.arena(["mcts:4", first_legal, "random", "greedy"], games=8, seed=3, batch_size=3)
    assert mixed.games == 8
    with pytest.raises(ValueError, match="unknown bot 'mcts:abc': playouts must be"):
        tavlok.arena(["mcts:abc", "greedy", "random", "greedy"], games=1)


def stopped_with(pattern):
    """Whether a KeyboardInterrupt carries one note that matches pattern: a stop inside the
    engine."""
    return lambda error: [n for n in getattr(error, "__notes__", []) if re.fullmatch(pattern, n)]


def test_ctrl_c_ends_a_long_search_and_a_lockstep_arena():
    interrupted(
        lambda: bots.MCTS(milliseconds=30_000)(State()),
        stopped_with(r"tavlok: the search stopped after \d+ of 30000 milliseconds; it returns no move"),
    )
    # The search bot keeps the engine busy for most of the time, where the signal should land.
    error = interrupted(
        lambda: tavlok.arena([first_legal, "mcts:30", "greedy", "greedy"], games=2000, threads=2),
        stopped_with(r"tavlok: the arena stopped after (\d+) of 2000 games; their results are not "
                     r"returned"),
        delay=0.3,
    )
    assert int(re.search(r"after (\d+) of", error.__notes__[0])[1]) < 2000
    # The next arena plays as if nothing had happened.
    np.testing.assert_array_equal(
        tavlok.arena([first_legal, "random", "greedy", "greedy"], 4, 1).seat_scores,
        tavlok.arena([first_legal, "random", "greedy", "greedy"], 4, 1, threads=1).seat_scores,
    )


def test_arena_command_plays_the_search_bot(capsys):
    command = ["arena", "mcts:4", "greedy", "greedy", "greedy", "--games", "4", "--opening", "2"]
    assert main(command) == 0
    out = capsys.readouterr().out
    assert re.search(r"^0 mcts:4 +-?\d+\.\d\d", out, re.M)
    assert out.startswith("4 games, seed 0, 2 random placements first;")
