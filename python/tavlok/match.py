"""One game on the engine, with the turn protocol in one place.

The engine recomputes a seat's legal moves only when that seat is observed, refuses a move by a
seat that has placed before and was not observed since the last move, and declares a seat done
only when an observation finds no legal move. ``Match`` keeps to those rules for its callers (the
PettingZoo environment and the command line): it observes a seat at most once between two moves
and keeps that observation, passes the turns of done seats, and records every placement so that
the board can be shown without observing anyone, since observing changes a seat's flags.
"""

from __future__ import annotations

import operator
from typing import SupportsIndex, cast

import _tavlok
import numpy as np

from .actions import decode, turn_clockwise
from .board import Board
from .pieces import BOARD_SIZE, CELLS_PER_BOARD, NUM_ACTIONS, NUM_SEATS


class IllegalMove(ValueError):
    """A move the seat to move may not make now; the game is unchanged."""

    def __init__(self, seat: int, move: str, reason: str) -> None:
        super().__init__(f"seat {seat} cannot play {move}: {reason}")
        self.seat, self.move, self.reason = seat, move, reason


class Match:
    """A game in progress: whose turn it is, what each seat sees, and what lies on the board."""

    def __init__(self) -> None:
        self.game = _tavlok.PyTavlok()
        self.num_actions: int = self.game.num_actions
        if self.num_actions != NUM_ACTIONS:
            raise RuntimeError(
                f"_tavlok has {self.num_actions} grid indices but this package's piece "
                f"catalogue has {NUM_ACTIONS}; they come from different versions"
            )
        self._clear()

    def reset(self) -> None:
        self.game.reset()
        self._clear()

    def _clear(self) -> None:
        # owner + 1 of every cell in seat 0's frame, 0 where the cell is empty.
        self._cells = bytearray(CELLS_PER_BOARD)
        self.history: list[tuple[int, int]] = []
        self._seen: list[_tavlok.PyObservation | None] = [None] * NUM_SEATS
        self._seen_at = [-1] * NUM_SEATS

    @property
    def to_move(self) -> int:
        return self.game.agent_selection

    def observe(self, seat: int) -> _tavlok.PyObservation:
        """Seat ``seat``'s view, observed at most once between two moves."""
        if self._seen_at[seat] != len(self.history):
            self._seen[seat] = self.game.observe(seat)
            self._seen_at[seat] = len(self.history)
        return cast("_tavlok.PyObservation", self._seen[seat])

    def is_done(self, seat: int) -> bool:
        """Whether ``seat`` has no legal move left, observing it first if the board has changed."""
        self.observe(seat)
        return self.game.terminations[seat]

    def place(self, action: SupportsIndex) -> None:
        """Make the seat to move place the piece that grid index ``action`` names.

        Raises IllegalMove (a ValueError) when that placement is not legal for it now.
        """
        index = operator.index(action)
        seat = self.to_move
        if not 0 <= index < NUM_ACTIONS:
            raise IllegalMove(seat, f"grid index {index}", f"it is outside 0 to {NUM_ACTIONS - 1}")
        # A seat that has placed must be observed since the last move; the observation is kept,
        # so this costs nothing when the caller has just looked at the seat's mask.
        self.observe(seat)
        try:
            self.game.step(index)
        except AssertionError as refused:
            try:
                move = f"{decode(index)} (grid index {index})"
                reason = f"it is not among its legal moves now ({refused})"
            except ValueError as unnamed:
                move, reason = f"grid index {index}", str(unnamed)
            raise IllegalMove(seat, move, reason) from refused
        self.history.append((seat, index))
        quarter_turns = seat  # seat k's own frame is turned k quarter turns from seat 0's
        for r, c in decode(index).cells:
            r0, c0 = turn_clockwise(r, c, quarter_turns)
            self._cells[r0 * BOARD_SIZE + c0] = seat + 1

    def pass_turn(self) -> None:
        """Move the turn past the seat to move, which must be done."""
        if not self.game.terminations[self.to_move]:
            raise IllegalMove(self.to_move, "a pass", "only a seat that is done passes its turn")
        self.game.step(None)

    def scores(self) -> list[int | None]:
        return self.game.rewards

    def pieces_placed(self, seat: int) -> list[str]:
        return [decode(index).piece for mover, index in self.history if mover == seat]

    def board(self, viewer: int = 0) -> Board:
        """A snapshot of the board in ``viewer``'s frame, taken without observing any seat."""
        owners = np.frombuffer(self._cells, dtype=np.uint8).reshape(BOARD_SIZE, BOARD_SIZE)
        # Seen from seat v, seat 0's frame is turned v quarter turns counter-clockwise.
        return Board(np.rot90(owners.astype(np.int8) - 1, viewer), viewer)
