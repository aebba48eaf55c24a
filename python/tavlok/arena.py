"""Matches between the reference bots, played in the engine with the interpreter lock released.

Game g of an arena seats bot i at seat (i + g) mod 4, so that over every four games each bot has
played each seat once and no bot gains from where it sits; and the game draws its random numbers
from a generator seeded from (seed, g) alone, so the results do not depend on the number of
threads or on how the games are split into calls.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _core
from .bots import BOTS
from ._numbers import shown
from .cores import default_threads
from .pieces import NUM_SEATS

# What the engine plays in one arena: games are numbered below 2**40, and a thread per core of
# the largest machines is enough.
MAX_GAMES = 2**40 - 1
MAX_THREADS = 1024


@dataclass(frozen=True, eq=False)
class ArenaResult:
    """What an arena played. Per-bot figures follow the order of ``bots``."""

    bots: tuple[str, ...]
    seed: int
    seat_scores: np.ndarray  # (games, 4) int16: the final scores of each game, by seat
    seats: np.ndarray  # (games, 4) uint8: the seat each bot played in each game

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
        best = self.seat_scores == self.seat_scores.max(axis=1, keepdims=True)
        return best / best.sum(axis=1, keepdims=True)

    @property
    def wins(self) -> np.ndarray:
        """(games, 4) float: each bot's share of each game's win."""
        return self._by_bot(self.seat_wins)

    @property
    def mean_score(self) -> np.ndarray:
        """Each bot's mean final score."""
        return self.scores.mean(axis=0)

    @property
    def win_rate(self) -> np.ndarray:
        """Each bot's share of all the wins; the four add up to 1."""
        return self.wins.mean(axis=0)

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
        lines = [
            f"{self.games} games, seed {self.seed}; seats rotate every game, a shared win is split",
            f"{'bot':<12}{'mean score':>12}{'win rate':>10}",
        ]
        for i, name in enumerate(self.bots):
            lines.append(
                f"{i} {name:<10}{self.mean_score[i]:>12.2f}{self.win_rate[i]:>10.1%}"
            )
        lines.append(f"{'seat':<12}{'mean score':>12}{'win rate':>10}")
        for seat in range(NUM_SEATS):
            lines.append(
                f"{seat:<12}{self.seat_mean_score[seat]:>12.2f}{self.seat_win_rate[seat]:>10.1%}"
            )
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


def arena(
    bots: Sequence[Any],
    games: int = 100,
    seed: int = 0,
    threads: int | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> ArenaResult:
    """Plays ``games`` games between four bots and returns what they scored and won.

    ``bots`` names four bots, by name (``"greedy"``, ``"random"``) or as the objects of
    ``tavlok.bots``; the engine plays them itself, so a ``Random`` bot's own generator is not used:
    every game draws from its own, seeded from ``(seed, game index)``. ``threads`` defaults to the
    cores this process may use; the results are the same for any number. ``progress(done, total)``
    is called as games finish.

    Ctrl-C (or any signal handler that raises) stops the games within one game per thread; the
    exception carries a note saying how many were played, and nothing is returned.
    """
    names = tuple(_bot_name(bot) for bot in bots)
    if len(names) != NUM_SEATS:
        raise ValueError(f"an arena needs four bots, not {len(names)}")
    games = operator.index(games)
    if not 1 <= games <= MAX_GAMES:
        raise ValueError(f"games must be between 1 and 2**40 - 1, not {shown(games)}")
    seed = operator.index(seed)
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, not {shown(seed)}")
    if threads is None:
        threads = min(default_threads(), MAX_THREADS)
    else:
        threads = operator.index(threads)
        if not 1 <= threads <= MAX_THREADS:
            raise ValueError(
                f"threads must be between 1 and {MAX_THREADS}, or None for the cores this "
                f"process may use; not {shown(threads)}"
            )

    # Without a progress report one call plays everything; with one, calls of a few games per
    # thread, which changes nothing in the games.
    chunk = games if progress is None else max(8 * threads, math.ceil(games / 100))
    scores, seats = [], []
    for first in range(0, games, chunk):
        count = min(chunk, games - first)
        played, seated = _core.play_arena(names, seed, first, count, threads)
        scores.append(played)
        seats.append(seated)
        if progress is not None:
            progress(first + count, games)
    return ArenaResult(names, seed, np.concatenate(scores), np.concatenate(seats))


def _bot_name(bot: Any) -> str:
    name = bot if isinstance(bot, str) else getattr(bot, "name", None)
    if name not in BOTS:
        raise ValueError(
            f"the arena plays the engine's bots {sorted(BOTS)}, given by name or from "
            f"tavlok.bots; not {bot!r}"
        )
    return name
