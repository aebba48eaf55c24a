"""Pictures of a ``tavlok.State``: the engine's position type draws itself with the package's
``Board``, attached here so that the compiled module never imports the package.

Nothing is added to the calls a search makes (``apply``, ``clone``, ``legal_actions``): the
methods below are looked up only when called.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import TYPE_CHECKING, SupportsIndex

import numpy as np

from ._core import State
from .board import Board

if TYPE_CHECKING:
    from .records import GameRecord

__all__ = ["RENDER_MODES", "State", "picture"]

# The render modes of the package's envs.
RENDER_MODES = ("human", "ansi", "rgb_array")


def board(self: State, viewer: SupportsIndex = 0) -> Board:
    """A tavlok.Board snapshot in seat viewer's frame."""
    viewer = operator.index(viewer)
    planes, _ = self.observation(viewer)
    return Board.from_planes(planes, viewer)


def last_placement(self: State, viewer: SupportsIndex = 0) -> list[tuple[int, int]]:
    """The cells the last placement covered, in seat viewer's frame; none before the first."""
    history = self.history
    if not history:
        return []
    before = State.from_history(history[:-1]).observation(viewer)[0].any(axis=0)
    now = self.observation(viewer)[0].any(axis=0)
    return [(int(r), int(c)) for r, c in zip(*np.nonzero(now & ~before), strict=True)]


def svg(
    self: State, viewer: SupportsIndex = 0, cell_size: int = 20, names: Sequence[str] | None = None
) -> str:
    """The board as SVG in seat viewer's frame, with the last placement outlined and, once the
    game is over, the scores in the legend."""
    return board(self, viewer).svg(
        cell_size, last=last_placement(self, viewer), scores=self.scores(), names=names
    )


def picture(
    state: State, mode: str, names: Sequence[str] | None = None
) -> str | np.ndarray | None:
    """The board in seat 0's frame as the envs' render modes draw it: the engine's text with ANSI
    colours (``"ansi"``), an RGB image (``"rgb_array"``), or printed for an 80-column terminal
    (``"human"``, the last placement marked). The pictures' legends give each seat's name
    (``names``, else the seats' own) and, once the game is over, its score."""
    if mode == "ansi":
        return state.render()
    board = state.board(0)
    if mode == "rgb_array":
        return board.rgb(scores=state.scores(), names=names)
    print(board.display(last=state.last_placement(0), scores=state.scores(), names=names))
    return None


def record(
    self: State,
    players: Sequence[str] | None = None,
    seed: int | None = None,
    game: int | None = None,
) -> GameRecord:
    """The game so far as a tavlok.GameRecord (write it with tavlok.write_records)."""
    from .records import GameRecord

    return GameRecord.from_state(self, players, seed, game)


State.board = board  # type: ignore[method-assign]
State.record = record  # type: ignore[method-assign]
State.last_placement = last_placement  # type: ignore[method-assign]
State.svg = svg  # type: ignore[method-assign]
State._repr_svg_ = svg  # type: ignore[method-assign]  # the board as SVG, for notebooks
