"""The games the page shows, and their answers: a replay of recorded games (``Replay``) or a
person's game against the engine's bots (``Live``), each taking a request's query and body as
mappings and answering with what the page draws, or refusing with a ``RequestError``. Every
rule (legality, the frames, who won) is the engine's; a view carries what the page would
otherwise have to work out itself. ``server`` carries them over HTTP.
"""

from __future__ import annotations

import re
import threading
from collections.abc import Callable, Sequence
from http import HTTPStatus
from typing import Any

from .. import _arguments
from .. import bots as _bots
from .._core import State
from ..actions import decode, encode, turn_orientation, turned
from ..board import SEAT_COLOUR_NAMES, SEAT_COLOURS, _hex
from ..pieces import BOARD_SIZE, KINDS, NUM_SEATS, ORIENTATIONS
from ..records import GameRecord, winners

__all__ = ["Live", "Replay", "RequestError", "pieces"]

_WHOLE = re.compile(r"\d{1,9}")


class RequestError(Exception):
    """A request refused: its HTTP status and the message the page shows."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def pieces() -> dict[str, Any]:
    """What the page needs to draw and turn pieces."""
    return {
        "board_size": BOARD_SIZE,
        "colours": [_hex(colour) for colour in SEAT_COLOURS],
        "names": list(SEAT_COLOUR_NAMES),
        "kinds": list(KINDS),
        "orientations": [
            {
                "kind": o.kind,
                "ordinal": o.ordinal,
                "cells": [list(cell) for cell in o.cells],
                "turn": turn_orientation(o.index),
                "flip": turn_orientation(o.index, flip=True),
            }
            for o in ORIENTATIONS
        ],
    }


def _view(
    state: State, players: Sequence[str], legal: bool, history: Sequence[int] | None = None
) -> dict[str, Any]:
    """The page's picture of a position, everything in seat 0's frame; the move list is
    ``history`` (the whole game of a replay), or the moves that led to ``state``."""
    over = state.is_terminal()
    moves, replayed = [], State()
    for index in state.history if history is None else history:
        absolute = turned(index, replayed.seat)
        moves.append({"seat": replayed.seat, "index": absolute, "text": str(decode(absolute))})
        replayed.apply(index)
    scores = state.scores()
    view: dict[str, Any] = {
        "svg": state.svg(0, names=players),
        "players": list(players),
        "moves": moves,
        "to_move": None if over else state.seat,
        "over": over,
        "scores": list(scores) if scores is not None else None,
        "winners": winners(scores) if scores is not None else None,
    }
    if legal:
        indices = [turned(i, state.seat) for i in state.legal_actions().tolist()]
        view["legal"] = indices
        # The same placements as the page and a script use them, so that neither decodes an index.
        view["placements"] = [
            [placement.orientation, placement.row, placement.col]
            for placement in map(decode, indices)
        ]
    return view


class Replay:
    """Recorded games to step through."""

    mode = "replay"

    def __init__(self, records: Sequence[GameRecord]) -> None:
        if not records:
            raise ValueError("no games to show")
        self.records = list(records)

    def view(self, query: dict[str, str]) -> dict[str, Any]:
        _expect(query, {"game", "move", "legal"})
        game = _whole(query, "game", 0)
        if game >= len(self.records):
            raise RequestError(
                HTTPStatus.NOT_FOUND, f"game {game} is outside 0 to {len(self.records) - 1}"
            )
        record = self.records[game]
        move = min(_whole(query, "move", len(record.history)), len(record.history))
        state = State.from_history(record.history[:move])
        view = _view(state, record.players, _flag(query, "legal"), record.history)
        view.update(
            mode=self.mode,
            game=game,
            games=len(self.records),
            move=move,
            length=len(record.history),
            seed=record.seed,
            final_scores=list(record.scores) if record.scores is not None else None,
        )
        return view

    def post(
        self, path: str, body: dict[str, Any], query: dict[str, str] | None = None
    ) -> dict[str, Any]:
        raise RequestError(HTTPStatus.NOT_FOUND, "a replay takes no moves")


class Live:
    """A game in which a person plays one seat against the engine's bots at the others.

    ``bots`` names the bots of the other seats in seat order, ``record(game)`` is called with
    each game that ends (to keep it), and ``seed`` seeds the bots.
    """

    mode = "live"

    def __init__(
        self,
        human: int,
        bots: Sequence[str],
        seed: int = 0,
        record: Callable[[GameRecord], None] | None = None,
    ) -> None:
        human = _arguments.whole(human, "human", 0, NUM_SEATS - 1)
        bots = _arguments.counted(bots, "bots", NUM_SEATS - 1)
        self.human, self.seed, self._record = human, seed, record
        names = iter(bots)
        self.players = ["you" if s == human else next(names) for s in range(NUM_SEATS)]
        self._bots = {
            s: _bots.make(name, seed + s) for s, name in enumerate(self.players) if s != human
        }
        self._lock = threading.Lock()
        self._new_game()

    def _new_game(self) -> None:
        self.state = State()
        self._bots_move()

    def _bots_move(self) -> None:
        _bots.play_until_turn(self.state, self.human, self._bots)
        if self.state.is_terminal() and self._record is not None:
            self._record(GameRecord.from_state(self.state, self.players, self.seed))

    def view(self, query: dict[str, str]) -> dict[str, Any]:
        _expect(query, {"legal"})
        with self._lock:
            view = _view(self.state, self.players, _flag(query, "legal"))
            held = self.state.hands(self.human)[0]
            hand = [kind for kind, holds in zip(KINDS, held, strict=True) if holds]
            view.update(mode=self.mode, human=self.human, hand=hand, move=len(self.state.history))
            return view

    def post(
        self, path: str, body: dict[str, Any], query: dict[str, str] | None = None
    ) -> dict[str, Any]:
        """A new game, a move or a check (see the module); a move's or new game's answer is its
        view, with the legal moves when ``query`` asks for them."""
        query = query or {}
        # Checked before the game changes: a bad query refuses the move along with it.
        _expect(query, set() if path == "/api/check" else {"legal"})
        _flag(query, "legal")
        if path == "/api/new":
            _expect(body, set())
            with self._lock:
                self._new_game()
            return self.view(query)
        with self._lock:
            if path == "/api/check":
                try:
                    self._placement(body)
                except RequestError as refused:
                    if refused.status != HTTPStatus.CONFLICT:
                        raise
                    return {"legal": False, "reason": str(refused)}
                return {"legal": True}
            self.state.apply(self._placement(body))
            self._bots_move()
        return self.view(query)

    def _placement(self, body: dict[str, Any]) -> int:
        """The grid index, in the person's frame, of the placement ``body`` asks for: refused
        (409 with the engine's reason) unless the person may make it now."""
        _expect(body, {"orientation", "row", "col"}, required=True)
        try:
            orientation, row, col = (
                _arguments.whole(body[key], key) for key in ("orientation", "row", "col")
            )
        except TypeError as refused:
            raise RequestError(HTTPStatus.BAD_REQUEST, str(refused)) from None
        state = self.state
        if state.is_terminal():
            raise RequestError(HTTPStatus.CONFLICT, "the game is over")
        if state.seat != self.human:
            raise RequestError(HTTPStatus.CONFLICT, "it is not your turn")
        try:
            index = turned(encode(orientation, row, col), -self.human)
            state.clone().apply(index)
        except ValueError as refused:
            # Without the grid index in the mover's frame, which the page does not show.
            reason = str(refused).split(": ", 1)[-1]
            raise RequestError(HTTPStatus.CONFLICT, reason) from None
        return index


def _expect(fields: dict[str, Any], allowed: set[str], required: bool = False) -> None:
    unknown = sorted(set(fields) - allowed)
    if unknown:
        raise RequestError(HTTPStatus.BAD_REQUEST, f"unknown field {unknown[0]!r}")
    if required and set(fields) != allowed:
        missing = sorted(allowed - set(fields))
        raise RequestError(HTTPStatus.BAD_REQUEST, f"missing field {missing[0]!r}")


def _whole(query: dict[str, str], key: str, default: int) -> int:
    text = query.get(key)
    if text is None:
        return default
    if not _WHOLE.fullmatch(text):
        raise RequestError(HTTPStatus.BAD_REQUEST, f"{key} must be a whole number, not {text!r}")
    return int(text)


def _flag(query: dict[str, str], key: str) -> bool:
    text = query.get(key, "0")
    if text not in ("0", "1"):
        raise RequestError(HTTPStatus.BAD_REQUEST, f"{key} must be 0 or 1")
    return text == "1"
