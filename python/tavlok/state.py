"""Pictures of a ``tavlok.State``: the engine's position type draws itself with the package's
``Board``, attached here so that the compiled module never imports the package.

Nothing is added to the calls a search makes (``apply``, ``clone``, ``legal_actions``): the
methods below are looked up only when called.
"""

from __future__ import annotations

import operator
from typing import SupportsIndex

from ._core import State
from .board import Board, board_svg

__all__ = ["State"]


def board(self: State, viewer: SupportsIndex = 0) -> Board:
    """A tavlok.Board snapshot in seat viewer's frame."""
    viewer = operator.index(viewer)
    planes, _ = self.observation(viewer)
    return Board.from_planes(planes, viewer)


def _repr_svg_(self: State) -> str:
    """The board as SVG, for notebooks."""
    return board_svg(board(self))


State.board = board  # type: ignore[method-assign]
State._repr_svg_ = _repr_svg_  # type: ignore[method-assign]
