"""Matches between bots, for evaluation: the engine's own bots, and policies written in Python.

Game g of an arena seats bot i at seat (i + g) mod 4, so that over every four games each bot has
played each seat once and no bot gains from where it sits; and the game draws its random numbers
from a generator seeded from (seed, g) alone, so the results do not depend on the number of
threads or on how the games are split into calls: ``first_game`` plays a part of a longer arena
(games ``first_game`` to ``first_game + games - 1``), and the parts of an arena, put end to end,
are the whole (``tavlok.ray.arena`` plays them on a cluster).

A bot is one of:

- one of the engine's bots, by name (``"greedy"``, ``"random"``, ``"net"``,
  ``"net:path=FILE"``, ``"mcts"``, ``"mcts:400"``: see ``tavlok.bots``) or as an object of
  ``tavlok.bots`` (``bots.greedy``, ``bots.Random(7)``, ``bots.Net(path=...)``,
  ``bots.MCTS(playouts=400)``). The engine plays it in C++ with the interpreter lock released.
  The bot's own random source is not used: a random bot draws from the game's generator, and
  every search is seeded from it. (A search with a budget in milliseconds makes the games depend
  on the machine and its load.)
- a batched policy: any other callable. It is called with the observations of all the games
  waiting for it at once, as a dict of numpy arrays (n games):

  - ``"observation"``: (n, 4, 20, 20) uint8, the four planes in the mover's frame (plane k is the
    seat k turns after the mover), as ``State.observation`` gives them;
  - ``"hands"``: (n, 4, 21) uint8, 1 where the seat k turns after the mover still holds a piece,
    in catalogue order (``tavlok.KINDS``);
  - ``"legal_offsets"`` (n + 1,) and ``"legal_indices"`` (total,), int32: the legal grid indices
    of game i, ascending, are ``legal_indices[legal_offsets[i]:legal_offsets[i + 1]]``;
  - ``"seat"``: (n,) int8, the seat to move; ``"game"``: (n,) int64, which game of the arena.

  It returns one grid index per game, as a sequence or array of n integers. An illegal one raises
  ``ValueError`` naming the game and the index, and the arena stops.
- a function of one ``State``, wrapped in ``tavlok.bots.PerState``; and likewise an object of a
  ``tavlok.bots`` class whose ``__call__`` has been replaced by a subclass. It is called once
  for every move, with a copy of the game.

With only the engine's bots, the games are spread over threads. With policies, up to
``batch_size`` games are played side by side and advance in lockstep: the engine moves its bots
in every game (on its threads, without the lock) until each waits for a policy; each policy is
then called once for all the games waiting for it. A game's moves depend only on the bots, the
seed and its index, so the results do not depend on the threads or the batch size either, as
long as each policy answers a position the same way whatever other games come with it.
"""

from __future__ import annotations

import itertools
import math
import operator
import os
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _arguments, _core
from .bots import BOTS, ENGINE_MOVES, PerState, _name_of, make
from .cores import default_threads
from .pieces import NUM_ACTIONS, NUM_SEATS
from .records import GameRecord, write_records
from .state import State

__all__ = [
    "LADDER",
    "ArenaResult",
    "Ladder",
    "Policy",
    "arena",
    "bradley_terry",
    "ladder",
    "wilson_interval",
]

# A batched policy: the observations of n games in, n grid indices out.
Policy = Callable[[Mapping[str, np.ndarray]], Any]

# What the engine plays in one arena: how many games, threads, random placements first (up to
# every placement of a game) and games side by side (a lockstep arena's window).
MAX_GAMES: int = _core.MAX_GAMES
MAX_THREADS: int = _core.MAX_THREADS
MAX_OPENING: int = _core.MAX_PLACEMENTS
MAX_BATCH: int = _core.MAX_WINDOW
DEFAULT_BATCH = 1024

# The normal quantile of a two-sided 95% interval.
Z95 = 1.959963984540054
# What the tables say of their ratings.
RATING_NOTE = (
    "rating: Bradley-Terry on the Elo scale (mean 0), from the order of every pair of bots in "
    "every game"
)


def wilson_interval(rate: np.ndarray, n: int, z: float = Z95) -> np.ndarray:
    """The Wilson score interval of a rate of successes among n trials: (..., 2) lower and upper
    bounds, z standard errors wide (95% for the default). It stays inside [0, 1] and is sound
    for rates near 0 or 1, where the plain normal interval is not."""
    rate = np.asarray(rate, dtype=float)
    z2n = z * z / n
    centre = (rate + z2n / 2) / (1 + z2n)
    half = z / (1 + z2n) * np.sqrt(rate * (1 - rate) / n + z2n / (4 * n))
    return np.stack([centre - half, centre + half], axis=-1)


def bradley_terry(wins: np.ndarray, prior: float = 0.5, tolerance: float = 1e-12) -> np.ndarray:
    """Bradley-Terry strengths on the Elo scale, by maximum likelihood, from pairwise results.

    ``wins[i, j]`` is how often i finished above j (a tie counts half to each); the model says i
    finishes above j with probability p_i / (p_i + p_j). Each pair is also given ``prior`` wins
    each way (half a win each is one drawn meeting), so a bot that never lost still gets a finite
    rating. Returns 400 log10(p_i), shifted so that the ratings average 0: a difference of 400
    means odds of 10 to 1.
    """
    wins = np.asarray(wins, dtype=float)
    n = len(wins)
    off_diagonal = 1 - np.eye(n)
    wins = (wins + prior) * off_diagonal
    meetings = wins + wins.T
    total = wins.sum(axis=1)
    strength = np.ones(n)
    # Hunter's minorise-maximise step: p_i <- W_i / sum_j N_ij / (p_i + p_j). Each step raises the
    # likelihood, which is concave in log p, so the steps converge to the maximum.
    for _ in range(100_000):
        updated = total / (meetings / (strength[:, None] + strength[None, :])).sum(axis=1)
        updated /= np.exp(np.log(updated).mean())
        converged = np.abs(np.log(updated) - np.log(strength)).max() < tolerance
        strength = updated
        if converged:
            break
    ratings = 400 * np.log10(strength)
    return ratings - ratings.mean()


@dataclass(frozen=True, eq=False)
class ArenaResult:
    """What an arena played: each bot's win rate with a 95% Wilson interval, mean score with its
    standard error and Bradley-Terry rating, in the order of ``bots``; and each seat's figures."""

    bots: tuple[str, ...]
    seed: int
    seat_scores: np.ndarray  # (games, 4) int16: the final scores of each game, by seat
    seats: np.ndarray  # (games, 4) uint8: the seat each bot played in each game
    opening: int = 0  # the random placements that began every game
    first_game: int = 0  # the number of the first game, which row 0 holds

    @property
    def games(self) -> int:
        return len(self.seat_scores)

    @property
    def scores(self) -> np.ndarray:
        """(games, 4) int16: each bot's final score in each game."""
        return self._by_bot(self.seat_scores)

    @property
    def seat_wins(self) -> np.ndarray:
        """(games, 4) float: each seat's share of the game's win; seats tied on the best score
        share it equally, so every row adds up to 1."""
        return _core.win_shares(self.seat_scores)

    @property
    def wins(self) -> np.ndarray:
        """(games, 4) float: each bot's share of each game's win."""
        return self._by_bot(self.seat_wins)

    @property
    def mean_score(self) -> np.ndarray:
        """Each bot's mean final score."""
        return self.scores.mean(axis=0)

    @property
    def score_stderr(self) -> np.ndarray:
        """The standard error of each bot's mean score: the sample standard deviation over the
        square root of the games; NaN for a single game."""
        if self.games < 2:
            return np.full(NUM_SEATS, np.nan)
        return self.scores.std(axis=0, ddof=1) / math.sqrt(self.games)

    @property
    def win_rate(self) -> np.ndarray:
        """Each bot's share of all the wins; the four add up to 1."""
        return self.wins.mean(axis=0)

    @property
    def win_rate_interval(self) -> np.ndarray:
        """(4, 2): the 95% Wilson interval of each bot's win rate, a shared win counting as its
        share."""
        return wilson_interval(self.win_rate, self.games)

    @property
    def pairwise_wins(self) -> np.ndarray:
        """(4, 4) float: entry (i, j) is how many games bot i finished above bot j, a tie on
        score counting half."""
        scores = self.scores.astype(np.int32)
        above = scores[:, :, None] > scores[:, None, :]
        tied = scores[:, :, None] == scores[:, None, :]
        wins = above.sum(axis=0) + 0.5 * tied.sum(axis=0)
        np.fill_diagonal(wins, 0)
        return wins

    @property
    def rating(self) -> np.ndarray:
        """Each bot's Bradley-Terry rating on the Elo scale, averaging 0, from the order of every
        pair of bots in every game (``pairwise_wins``; see ``bradley_terry``)."""
        return bradley_terry(self.pairwise_wins)

    @property
    def seat_mean_score(self) -> np.ndarray:
        """Each seat's mean final score, whoever played it."""
        return self.seat_scores.mean(axis=0)

    @property
    def seat_win_rate(self) -> np.ndarray:
        """Each seat's share of all the wins, whoever played it."""
        return self.seat_wins.mean(axis=0)

    def _by_bot(self, per_seat: np.ndarray) -> np.ndarray:
        """A (games, 4) figure by seat rearranged into the order of ``bots``."""
        return np.take_along_axis(per_seat, self.seats.astype(np.intp), axis=1)

    def table(self) -> str:
        """The per-bot and per-seat figures as a small text table."""
        # Long names (a search bot's settings) push their own row out rather than every row.
        width = min(max(10, *(len(name) for name in self.bots)), 24)
        opened = f", {self.opening} random placements first" if self.opening else ""
        part = f" (games {self.first_game} to {self.first_game + self.games - 1})"
        lines = [
            f"{self.games} games{part if self.first_game else ''}, seed {self.seed}{opened}; "
            "seats rotate every game, a shared win is split",
            f"{'bot':<{width + 2}}{'mean score':>12}{'± s.e.':>8}"
            f"{'win rate':>10}{'95% interval':>16}{'rating':>8}",
        ]
        # "z": a figure that rounds to zero shows as 0, never -0 (an interval's low end computes
        # to -1e-17 for a bot that never won).
        stderr, interval, rating = self.score_stderr, self.win_rate_interval, self.rating
        for i, name in enumerate(self.bots):
            low, high = 100 * interval[i]
            lines.append(
                f"{i} {name:<{width}}{self.mean_score[i]:>z12.2f}{stderr[i]:>8.2f}"
                f"{self.win_rate[i]:>z10.1%}{f'[{low:z.1f}, {high:z.1f}]':>16}{rating[i]:>+z8.0f}"
            )
        lines.append(f"{'seat':<{width + 2}}{'mean score':>12}{'':>8}{'win rate':>10}")
        for seat in range(NUM_SEATS):
            lines.append(
                f"{seat:<{width + 2}}{self.seat_mean_score[seat]:>z12.2f}{'':>8}"
                f"{self.seat_win_rate[seat]:>z10.1%}"
            )
        lines.append("win rate: 95% Wilson interval")
        lines.append(RATING_NOTE)
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


@dataclass(frozen=True)
class _Player:
    """One of the four bots as the arena plays it: by the engine (``engine``, its name there) or
    by calling ``policy``, batched or on one State at a time (``per_state``)."""

    name: str
    engine: str | None = None
    policy: Callable[..., Any] | None = None
    per_state: bool = False


def arena(
    bots: Sequence[Any],
    games: int = 100,
    seed: int = 0,
    threads: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    batch_size: int | None = None,
    opening: int = 0,
    record: str | os.PathLike[str] | list[GameRecord] | None = None,
    first_game: int = 0,
) -> ArenaResult:
    """Plays ``games`` games between four bots (see the module's documentation) and returns what
    they scored and won; a bot that is none of those raises ``TypeError``, and a name the engine
    does not know ``ValueError``.

    ``threads`` defaults to the cores this process may use. ``progress(done, total)`` is called
    as games finish. ``batch_size`` caps how many games a policy sees at once (1024 by default,
    at most 65536). ``opening`` random placements (0 to 84, from the game's generator) begin
    every game: without them, bots that draw nothing at random (greedy, most policies) play the
    same game whenever they sit in the same seats, and the intervals, which take the games to be
    independent, would claim far more than four distinct games can show. ``first_game`` plays
    games ``first_game`` on of the arena that begins at 0. ``record`` keeps every game as a
    ``tavlok.GameRecord``, written to a path as JSON Lines or appended to a list.

    Ctrl-C (or any signal handler that raises) stops the games within one game per thread, or
    one round of moves when a bot is a policy; the exception carries a note saying how many
    games were played.
    """
    players, games, seed, batch_size, opening = _setup(bots, games, seed, batch_size, opening)
    first_game = _arguments.whole(first_game, "first_game", 0, MAX_GAMES - games)
    threads = _arguments.whole(threads, "threads", 1, MAX_THREADS, allow_none=True)
    if threads is None:
        threads = min(default_threads(), MAX_THREADS)
    # The engine plays no more games side by side than there are.
    batch = DEFAULT_BATCH if batch_size is None else batch_size
    if isinstance(record, (str, os.PathLike)):
        open(record, "a").close()  # a path that cannot be written fails now, not after the games
    elif record is not None and not isinstance(record, list):
        raise TypeError(f"record must be a path or a list, not {type(record).__name__}")

    engine_names = [player.engine for player in players if player.engine is not None]
    histories = None
    if len(engine_names) == NUM_SEATS and record is None:
        scores, seats = _play_engine(
            engine_names, seed, first_game, games, threads, opening, progress
        )
    else:
        # The lockstep arena plays the same games (each from its own generator) and can keep
        # their moves.
        scores, seats, histories = _play_lockstep(
            players, seed, first_game, games, threads, batch, opening, progress, record is not None
        )
    names = tuple(player.name for player in players)
    result = ArenaResult(names, seed, scores, seats, opening, first_game)
    if histories is not None:
        _keep_records(result, histories, record)  # type: ignore[arg-type]
    return result


# The engine's bots at their defaults, from the weakest to the strongest: the ladder that the
# documentation shows and ``python -m tavlok arena --ladder`` plays.
LADDER = ("random", "greedy", "net", "mcts")


@dataclass(frozen=True, eq=False)
class Ladder:
    """A round-robin of four or more bots, with each bot's processor time per move. Every set of
    four of them plays one table (all four in every game, so every pair at the table meets in
    every game); with four bots there is one table and its arena is the whole ladder."""

    tables: tuple[ArenaResult, ...]  # one arena per set of four, in itertools.combinations order
    table_bots: tuple[tuple[int, ...], ...]  # which of ``bots`` sat at each table
    bots: tuple[str, ...]
    seconds_per_move: tuple[float, ...]  # by bot, in the order of bots
    timed_positions: int  # how many positions of the games each engine bot was timed on
    # By bot: whether it was timed on its own moves in the games instead (a policy).
    timed_in_games: tuple[bool, ...]

    @property
    def result(self) -> ArenaResult:
        """The arena of the first table: the whole ladder when it rates four bots."""
        return self.tables[0]

    @property
    def games(self) -> np.ndarray:
        """How many games each bot played."""
        return self._summed(lambda table: np.full(NUM_SEATS, table.games))

    @property
    def win_rate(self) -> np.ndarray:
        """Each bot's share of the wins of the games it played."""
        return self._summed(lambda table: table.wins.sum(axis=0)) / self.games

    @property
    def win_rate_interval(self) -> np.ndarray:
        """(bots, 2): the 95% Wilson interval of each bot's win rate."""
        return wilson_interval(self.win_rate, self.games)

    @property
    def mean_score(self) -> np.ndarray:
        """Each bot's mean final score over the games it played."""
        return self._summed(lambda table: table.scores.sum(axis=0)) / self.games

    @property
    def pairwise_wins(self) -> np.ndarray:
        """(bots, bots): how many games bot i finished above bot j at the tables where they met,
        a tie on score counting half."""
        wins = np.zeros((len(self.bots), len(self.bots)))
        for table, seated in zip(self.tables, self.table_bots, strict=True):
            wins[np.ix_(seated, seated)] += table.pairwise_wins
        return wins

    @property
    def rating(self) -> np.ndarray:
        """Each bot's Bradley-Terry rating on the Elo scale, averaging 0, from the order of every
        pair of bots in every game they met in."""
        return bradley_terry(self.pairwise_wins)

    def _summed(self, per_table: Callable[[ArenaResult], np.ndarray]) -> np.ndarray:
        """A figure of the four bots of each table, added up by bot."""
        total = np.zeros(len(self.bots))
        for table, seated in zip(self.tables, self.table_bots, strict=True):
            np.add.at(total, list(seated), per_table(table))
        return total

    def table(self) -> str:
        """The bots from the highest rating down, as a small text table."""
        first = self.tables[0]
        width = min(max(8, *(len(name) for name in self.bots)), 24)
        games = sum(table.games for table in self.tables)
        tables = len(self.tables)
        at = (
            "all four bots"
            if tables == 1
            else f"{len(self.bots)} bots, {tables} tables of four ({games // tables}+ games each)"
        )
        lines = [
            f"{games} games of {at}, seed {first.seed}, {first.opening} random placements first; "
            "seats rotate every game",
            f"{'bot':<{width}}{'rating':>8}{'win rate':>10}{'95% interval':>16}"
            f"{'mean score':>12}{'ms a move':>11}",
        ]
        interval, rating, win_rate = self.win_rate_interval, self.rating, self.win_rate
        for i in np.argsort(-rating, kind="stable"):
            low, high = (max(0.0, 100 * x) for x in interval[i])
            lines.append(
                f"{self.bots[i]:<{width}}{rating[i]:>+z8.0f}{win_rate[i]:>10.1%}"
                f"{f'[{low:.1f}, {high:.1f}]':>16}{self.mean_score[i]:>12.2f}"
                f"{1000 * self.seconds_per_move[i]:>11.3f}"
            )
        lines.append(RATING_NOTE + ("" if tables == 1 else " they met in"))
        policies = "; a policy's over every move it made, as the arena called it"
        lines.append(
            f"ms a move: processor time, the mean over {self.timed_positions} positions of these "
            "games, each bot called from Python (tavlok.bots)"
            + (policies if any(self.timed_in_games) else "")
        )
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


class _Timed:
    """A policy that adds up the processor time of its calls and the moves it answers."""

    def __init__(self, policy: Callable[..., Any], name: str, per_state: bool):
        self.policy, self.name, self.per_state = policy, name, per_state
        self.seconds, self.moves = 0.0, 0

    def __call__(self, observed: Any) -> Any:
        start = time.thread_time()
        try:
            return self.policy(observed)
        finally:
            self.seconds += time.thread_time() - start
            self.moves += 1 if self.per_state else len(observed["game"])


def ladder(
    bots: Sequence[Any] = LADDER,
    games: int = 400,
    seed: int = 0,
    threads: int | None = None,
    opening: int = 4,
    progress: Callable[[int, int], None] | None = None,
    timed_positions: int = 100,
) -> Ladder:
    """Rates four or more bots (the engine's by name, ``LADDER`` by default, or anything ``arena``
    takes) in one seeded arena, as ``arena`` plays it, and times each bot's moves: one of the
    engine's on ``timed_positions`` positions spread over the first games, a policy on every move
    it made in them. With more than four bots, every set of four plays a table, and the
    ``games`` are shared among the tables as evenly as they go, each table playing the next games
    of the one arena (``first_game``). Every argument is checked before the first game."""
    timed_positions = _arguments.whole(timed_positions, "timed_positions", 1)
    given = list(bots)
    if len(given) < NUM_SEATS:
        raise ValueError(f"bots must hold {NUM_SEATS} or more, not {len(given)}")
    table_bots = tuple(itertools.combinations(range(len(given)), NUM_SEATS))
    games = _arguments.whole(games, "games", len(table_bots), MAX_GAMES)
    seed = _arguments.seed(seed, allow_none=False)
    players = [_player(bot) for bot in given]
    # Each policy is timed as itself, whatever its name says, on the calls the arena makes; one
    # playing several seats is still called once a round for all of them.
    timers: dict[int, tuple[_Timed, Any]] = {}
    for player in players:
        if player.policy is not None and id(player.policy) not in timers:
            timer = _Timed(player.policy, player.name, player.per_state)
            seated = PerState(timer, timer.name) if timer.per_state else timer
            timers[id(player.policy)] = (timer, seated)
    playing = [
        bot if player.policy is None else timers[id(player.policy)][1]
        for bot, player in zip(given, players, strict=True)
    ]
    # Made now, to be timed after the games, so that a name the engine refuses stops the ladder
    # before its first table.
    engine_bots = {i: make(p.engine, seed) for i, p in enumerate(players) if p.policy is None}
    records: list[GameRecord] = []
    tables, first_game = [], 0
    for number, seated in enumerate(table_bots):
        played = games // len(table_bots) + (number < games % len(table_bots))
        counted = None
        if progress is not None:
            counted = lambda done, _, before=first_game: progress(before + done, games)  # noqa: E731
        table = [playing[i] for i in seated]
        tables.append(
            arena(table, played, seed, threads, counted, None, opening, records, first_game)
        )
        first_game += played
    positions = []
    for record in records:
        state = State()
        for move in record.history:
            positions.append(state.clone())
            state.apply(move)
        if len(positions) >= 5 * timed_positions:
            break
    # Every fifth position, so that the few games timed reach from their openings to their ends.
    positions = positions[::5][:timed_positions]
    seconds = []
    for i, player in enumerate(players):
        if player.policy is not None:
            timer = timers[id(player.policy)][0]
            seconds.append(timer.seconds / timer.moves)
            continue
        bot = engine_bots[i]
        start = time.thread_time()
        for position in positions:
            bot(position)
        seconds.append((time.thread_time() - start) / len(positions))
    in_games = tuple(player.policy is not None for player in players)
    names = tuple(player.name for player in players)
    return Ladder(tuple(tables), table_bots, names, tuple(seconds), len(positions), in_games)


def _keep_records(
    result: ArenaResult, histories: np.ndarray, record: str | os.PathLike[str] | list[GameRecord]
) -> None:
    kept = []
    for i, (moves, seated) in enumerate(zip(histories, result.seats.tolist(), strict=True)):
        by_seat = tuple(result.bots[seated.index(seat)] for seat in range(NUM_SEATS))
        history = tuple(moves[moves >= 0].tolist())
        scores = tuple(int(s) for s in result.seat_scores[i])
        game = result.first_game + i
        kept.append(GameRecord(history, by_seat, scores, result.seed, game, result.opening))
    if isinstance(record, list):
        record.extend(kept)
    else:
        write_records(record, kept)


def _setup(
    bots: Any, games: Any, seed: Any, batch_size: Any, opening: Any
) -> tuple[list[_Player], int, int, int | None, int]:
    """What an arena is asked to play, checked the same wherever its games are played: the
    players, games, seed, batch size and opening; or the error that says what is wrong."""
    players = [_player(bot) for bot in _arguments.counted(bots, "bots", NUM_SEATS)]
    return (
        players,
        _arguments.whole(games, "games", 1, MAX_GAMES),
        _arguments.seed(seed, allow_none=False),
        _arguments.whole(batch_size, "batch_size", 1, MAX_BATCH, allow_none=True),
        _arguments.whole(opening, "opening", 0, MAX_OPENING),
    )


def _player(bot: Any) -> _Player:
    if isinstance(bot, str):
        return _Player(bot, engine=bot)
    if isinstance(bot, tuple(BOTS.values())):
        if type(bot).__call__ in ENGINE_MOVES:
            return _Player(bot.name, engine=bot.name)
        # A subclass of a bot of ours with a move of its own: a function of one State.
        return _Player(type(bot).__name__, policy=bot, per_state=True)
    if isinstance(bot, PerState):
        return _Player(bot.name, policy=bot, per_state=True)
    if callable(bot):
        own_name = getattr(bot, "name", None)
        name = own_name if isinstance(own_name, str) else _name_of(bot)
        return _Player(name, policy=bot)
    raise TypeError(
        "an arena bot is the name of one of the engine's bots, a tavlok.bots object, a batched "
        f"policy (a callable) or a tavlok.bots.PerState function; not {bot!r}"
    )


def _play_engine(
    names: list[str],
    seed: int,
    first_game: int,
    games: int,
    threads: int,
    opening: int,
    progress: Callable[[int, int], None] | None,
) -> tuple[np.ndarray, np.ndarray]:
    # Without a progress report one call plays everything; with one, calls of a few games per
    # thread, which changes nothing in the games.
    chunk = games if progress is None else max(8 * threads, math.ceil(games / 100))
    scores, seats = [], []
    for first in range(0, games, chunk):
        count = min(chunk, games - first)
        played, seated = _core.play_arena(names, seed, first_game + first, count, threads, opening)
        scores.append(played)
        seats.append(seated)
        if progress is not None:
            progress(first + count, games)
    return np.concatenate(scores), np.concatenate(seats)


def _play_lockstep(
    players: list[_Player],
    seed: int,
    first_game: int,
    games: int,
    threads: int,
    batch: int,
    opening: int,
    progress: Callable[[int, int], None] | None,
    record: bool = False,
) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    engine_names = [player.engine for player in players]
    table = _core.Arena(engine_names, seed, games, batch, threads, opening, first_game, record)
    # One call per policy and round, however many of the four bots it plays: the bots it plays,
    # as bits (bit i for bot i), by policy, in the order the policies first appear.
    masks: dict[int, tuple[_Player, int]] = {}
    for i, player in enumerate(players):
        if player.policy is not None:
            first, mask = masks.get(id(player.policy), (player, 0))
            masks[id(player.policy)] = (first, mask | 1 << i)
    reported = 0
    while table.advance():
        for player, mask in masks.values():
            waiting = table.select(mask)
            if len(waiting) == 0:
                continue
            policy: Callable[..., Any] = player.policy  # type: ignore[assignment]
            if player.per_state:
                answer = [policy(state) for state in table.states()]
            else:
                answer = policy(table.observe())
            moves = _grid_indices(answer, waiting, player.name)
            try:
                table.play(moves)
            except ValueError as refused:
                raise ValueError(f"{player.name!r} chose an illegal move: {refused}") from None
        if progress is not None and table.finished > reported:
            reported = table.finished
            progress(reported, games)
    if progress is not None and reported < games:
        progress(games, games)
    return (*table.results(), table.histories() if record else None)


def _grid_indices(returned: Any, waiting: np.ndarray, name: str) -> np.ndarray:
    """A policy's answer as one int64 grid index per waiting game, or the error that says why it
    is not one."""
    n = len(waiting)
    moves = np.asarray(returned)
    if moves.dtype.kind == "O":
        # Python ints beyond int64, or objects with __index__.
        moves = np.array([operator.index(m) for m in moves.reshape(-1)], dtype=object).reshape(
            moves.shape
        )
    elif moves.dtype.kind not in "iu":
        raise TypeError(
            f"{name!r} returned {moves.dtype} values: a policy returns one grid index (an int) "
            "per game"
        )
    if moves.shape != (n,):
        raise ValueError(
            f"{name!r} returned shape {moves.shape} for {n} games: a policy returns one grid "
            "index per game (a function of one State goes in tavlok.bots.PerState)"
        )
    outside = (moves < 0) | (moves >= NUM_ACTIONS)
    if outside.any():
        i = int(np.flatnonzero(outside)[0])
        move = _arguments.shown(int(moves[i]))
        raise ValueError(
            f"{name!r} chose an illegal move: game {waiting[i]}: grid index {move} is outside "
            f"0 to {NUM_ACTIONS - 1}"
        )
    return np.ascontiguousarray(moves, dtype=np.int64)
