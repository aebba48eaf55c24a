"""Game records: games kept as JSON Lines, to look at again, share or replay.

A record file holds one game per line, a JSON object with these keys:

- ``"tavlok"``: the version of the package that wrote it (a string);
- ``"players"``: four strings, the bot, policy or person at seats 0 to 3;
- ``"history"``: the grid indices placed, in order, each in the frame of the seat that placed it
  (as ``State.history`` gives them; ``tavlok.decode`` names them);
- ``"scores"``: the four final scores in seat order, or null for a game left unfinished;
- ``"seed"`` and ``"game"``: the seed the game was played from and its number in an arena, or
  null; ``"opening"``: how many of the first placements were random ones (0 when absent).

Nothing else is stored: the board, the seat to move and the pieces in hand all follow from the
history. Reading a record replays its history with ``State.from_history`` and checks the stored
scores against the replayed game, so a record that does not describe a real game is refused.
Keys other than these are kept out of the record and ignored, so that later versions can add some.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np

from . import __version__
from ._core import State, win_shares
from .pieces import NUM_SEATS

__all__ = [
    "GameRecord", "RecordError", "iter_records", "read_records", "winners", "write_records"
]

# A line longer than this is no game: 84 grid indices of 5 digits and four names fit in far less.
MAX_LINE = 64 * 1024


def winners(scores: Sequence[int]) -> list[int]:
    """The seats that share the win of a game that ended with ``scores``, as the engine decides
    it (``tavlok._core.win_shares``): the command line and the page name them."""
    shares = win_shares(np.asarray(scores, dtype=np.int64))
    return [seat for seat, share in enumerate(shares.tolist()) if share > 0]


class RecordError(ValueError):
    """A line of a record file that is not a game. ``line`` is its number (from 1), ``records``
    the games read before it."""

    def __init__(self, line: int, reason: str, records: Sequence[GameRecord] = ()) -> None:
        super().__init__(f"line {line}: {reason}")
        self.line, self.reason, self.records = line, reason, list(records)


@dataclass(frozen=True)
class GameRecord:
    """One game as it was played: who sat where, the moves, and how it ended."""

    history: tuple[int, ...]
    players: tuple[str, ...] = ("player_0", "player_1", "player_2", "player_3")
    scores: tuple[int, ...] | None = None
    seed: int | None = None
    game: int | None = None
    opening: int = 0
    version: str = field(default=__version__, compare=False)

    def __post_init__(self) -> None:
        if len(self.players) != NUM_SEATS:
            raise ValueError(f"a game has four players, not {len(self.players)}")

    @classmethod
    def from_state(
        cls,
        state: State,
        players: Sequence[str] | None = None,
        seed: int | None = None,
        game: int | None = None,
        opening: int = 0,
    ) -> GameRecord:
        """The record of the game that led to ``state``."""
        names = tuple(players) if players is not None else cls.players
        return cls(state.history, names, state.scores(), seed, game, opening)

    def state(self) -> State:
        """The game replayed to its end; ValueError when the history holds an illegal move."""
        return State.from_history(self.history)

    def to_json(self) -> str:
        """The record as one line of JSON, without the newline."""
        fields: dict[str, Any] = {
            "tavlok": self.version,
            "players": list(self.players),
            "seed": self.seed,
            "game": self.game,
            "opening": self.opening,
            "history": list(self.history),
            "scores": list(self.scores) if self.scores is not None else None,
        }
        return json.dumps(fields, separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str) -> GameRecord:
        """The record a line of JSON holds, checked by replaying it; ValueError says what is
        wrong."""
        try:
            fields = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"not JSON ({error.msg} at column {error.colno})") from None
        except RecursionError:
            # The parser recurses once a level; a record nests two deep.
            raise ValueError("not a record: JSON nested too deeply") from None
        if not isinstance(fields, dict):
            raise ValueError(f"a record is a JSON object, not {type(fields).__name__}")
        missing = [key for key in ("tavlok", "players", "history", "scores") if key not in fields]
        if missing:
            raise ValueError(f"the record has no {', '.join(repr(k) for k in missing)}")
        version = fields["tavlok"]
        if not isinstance(version, str):
            raise ValueError("'tavlok' (the version that wrote the record) must be a string")
        players = fields["players"]
        if not isinstance(players, list) or not all(isinstance(p, str) for p in players):
            raise ValueError("'players' must be a list of strings")
        history = _whole_numbers(fields["history"], "history")
        scores = fields["scores"]
        if scores is not None:
            scores = _whole_numbers(scores, "scores")
            if len(scores) != NUM_SEATS:
                raise ValueError(f"'scores' holds four numbers, not {len(scores)}")
        seed, game = fields.get("seed"), fields.get("game")
        for key, value in (("seed", seed), ("game", game)):
            if value is not None and not _is_whole(value):
                raise ValueError(f"{key!r} must be a whole number or null")
        opening = fields.get("opening", 0)
        if not _is_whole(opening) or opening < 0:
            raise ValueError("'opening' must be a whole number, 0 or more")
        record = cls(history, tuple(players), scores, seed, game, opening, version)
        try:
            final = record.state()
        except ValueError as refused:
            raise ValueError(f"the history is not a game: {refused}") from None
        replayed = final.scores()
        if replayed != scores:
            if scores is None:
                raise ValueError(f"the game is over (scores {list(replayed)}) but 'scores' is null")
            if replayed is None:
                raise ValueError("'scores' are given but the history stops before the game ends")
            raise ValueError(
                f"'scores' {list(scores)} do not match the history, which scores {list(replayed)}"
            )
        return record


def _is_whole(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _whole_numbers(value: object, key: str) -> tuple[int, ...]:
    if not isinstance(value, list) or not all(_is_whole(v) for v in value):
        raise ValueError(f"{key!r} must be a list of whole numbers")
    return tuple(value)


def write_records(
    file: str | os.PathLike[str] | IO[str], records: Iterable[GameRecord], append: bool = False
) -> int:
    """Writes the records, one line each, to a path (replaced, or added to with ``append``) or
    an open text file; returns how many were written."""
    if isinstance(file, (str, os.PathLike)):
        with open(file, "a" if append else "w", encoding="utf-8") as opened:
            return write_records(opened, records)
    count = 0
    for record in records:
        file.write(record.to_json() + "\n")
        count += 1
    file.flush()
    return count


def iter_records(file: str | os.PathLike[str] | IO[str]) -> Iterator[GameRecord]:
    """The records of a path or open text file, one by one. A line that is not a game raises
    RecordError naming it, after the games before it have been yielded; blank lines are skipped.
    """
    if isinstance(file, (str, os.PathLike)):
        # Bytes that are not UTF-8 are read as lone surrogates, so that the line holding them is
        # named; a strict decoder would fail on the chunk it reads ahead, lines before it and all.
        with open(file, encoding="utf-8", errors="surrogateescape", newline="") as opened:
            yield from iter_records(opened)
        return
    number = 0
    while True:
        line = file.readline(MAX_LINE + 1)
        if not line:
            return
        number += 1
        if len(line) > MAX_LINE and not line.endswith("\n"):
            raise RecordError(number, f"longer than {MAX_LINE} characters")
        if not line.strip():
            continue
        try:
            line.encode("utf-8")
        except UnicodeEncodeError as error:
            raise RecordError(number, f"not UTF-8 (at column {error.start + 1})") from None
        try:
            yield GameRecord.from_json(line)
        except ValueError as error:
            raise RecordError(number, str(error)) from None


def read_records(file: str | os.PathLike[str] | IO[str]) -> list[GameRecord]:
    """All the records of a path or open text file. RecordError names the first line that is not
    a game and carries the games before it in ``records``."""
    records: list[GameRecord] = []
    try:
        for record in iter_records(file):
            records.append(record)
    except RecordError as error:
        raise RecordError(error.line, error.reason, records) from None
    return records
