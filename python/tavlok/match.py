"""One game for the package's own front ends (the PettingZoo environment and the command line).

The game itself is a ``tavlok.State``: it observes without side effects, passes the seats that
cannot move, knows when the game is over and what every seat still holds, so nothing here keeps a
second record of it. ``Match`` adds what those front ends want around it: refusals that name the
placement in words, and the pictures of the envs' render modes.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, SupportsIndex

import numpy as np

from ._numbers import shown
from .actions import decode
from .board import Board
from .pieces import KINDS

if TYPE_CHECKING:
    from . import State


def _new_state() -> State:
    # Taken from the package at call time: the package binds State before it imports us, from
    # whichever of its extension modules defines it.
    from . import State

    return State()


class IllegalMove(ValueError):
    """A move the seat to move may not make now; the game is unchanged."""

    def __init__(self, seat: int, move: str, reason: str) -> None:
        super().__init__(f"seat {seat} cannot play {move}: {reason}")
        self.seat, self.move, self.reason = seat, move, reason


class Match:
    """A game in progress: whose turn it is, what every seat holds, and what lies on the board."""

    def __init__(self) -> None:
        self.state = _new_state()

    def reset(self) -> None:
        self.state = _new_state()

    @property
    def to_move(self) -> int:
        """The seat to move: one with a legal placement while the game goes on."""
        return self.state.seat

    def is_over(self) -> bool:
        return self.state.is_terminal()

    def place(self, action: SupportsIndex) -> None:
        """Make the seat to move place the piece that grid index ``action`` names; the seats left
        without a legal placement are passed.

        Raises IllegalMove (a ValueError) when that placement is not legal for it now.
        """
        index = operator.index(action)
        state = self.state
        seat = state.seat
        try:
            state.apply(index)
        except ValueError as refused:
            raise _illegal(seat, index, refused) from None

    def hands(self, viewer: int = 0) -> np.ndarray:
        """(4, 21) uint8, a new array: 1 where a seat still holds a kind (columns in catalogue
        order), row k for seat (viewer + k) mod 4."""
        return self.state.hands(viewer)

    def held(self, seat: int) -> tuple[str, ...]:
        """The kinds ``seat`` still holds, in catalogue order."""
        return tuple(kind for kind, held in zip(KINDS, self.hands(seat)[0], strict=True) if held)

    def scores(self) -> tuple[int, int, int, int] | None:
        """The four final scores in seat order once the game is over, None before."""
        return self.state.scores()

    def board(self, viewer: int = 0) -> Board:
        """A snapshot of the board in ``viewer``'s frame."""
        return self.state.board(viewer)

    def render(self, mode: str) -> str | np.ndarray | None:
        """The board as the envs' render modes draw it (see ``render``)."""
        return render(self.state, mode)


def refusal(state: State, action: SupportsIndex) -> IllegalMove | None:
    """Why the seat to move of ``state`` may not place grid index ``action``, in the engine's
    words; None when it may. ``state`` is left as it was."""
    index = operator.index(action)
    try:
        state.clone().apply(index)
    except ValueError as refused:
        return _illegal(state.seat, index, refused)
    return None


def _illegal(seat: int, index: int, refused: ValueError) -> IllegalMove:
    try:
        move = f"{decode(index)} (grid index {index})"
    except ValueError:
        move = f"grid index {shown(index)}"
    return IllegalMove(seat, move, str(refused))


# The render modes of the envs that draw their game here.
RENDER_MODES = ("human", "ansi", "rgb_array")


def render(state: State, mode: str) -> str | np.ndarray | None:
    """The board in seat 0's frame as the envs' render modes draw it: the text with ANSI colours
    (``"ansi"``), an RGB image (``"rgb_array"``), or printed (``"human"``)."""
    board = state.board(0)
    if mode == "ansi":
        return board.text()
    if mode == "rgb_array":
        return board.rgb()
    print(board.text())
    return None
