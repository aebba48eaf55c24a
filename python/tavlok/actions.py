"""Grid indices as placements, and numpy views of an observation.

A grid index is orientation × 400 + row × 20 + col, where (row, col) is the top-left corner of the
orientation's bounding box, in the frame of the seat that moves: every seat sees its own start
corner at (0, 0).
"""

from __future__ import annotations

import operator
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple, SupportsIndex

import numpy as np

from ._arguments import shown
from .pieces import BOARD_SIZE, CELLS_PER_BOARD, NUM_ACTIONS, NUM_ORIENTATIONS, ORIENTATIONS

if TYPE_CHECKING:
    from _tavlok import PyObservation

GRID_SHAPE = (NUM_ORIENTATIONS, BOARD_SIZE, BOARD_SIZE)
PLANES_SHAPE = (4, BOARD_SIZE, BOARD_SIZE)


class Placement(NamedTuple):
    """One orientation of one piece with the top-left corner of its bounding box at (row, col)."""

    piece: str
    orientation: int
    row: int
    col: int
    ordinal: int

    @property
    def grid_index(self) -> int:
        return self.orientation * CELLS_PER_BOARD + self.row * BOARD_SIZE + self.col

    @property
    def cells(self) -> tuple[tuple[int, int], ...]:
        """The board cells the piece covers, in the mover's frame."""
        return tuple((self.row + r, self.col + c) for r, c in ORIENTATIONS[self.orientation].cells)

    def __str__(self) -> str:
        # The form a person types at the command line: piece, ordinal, row, col.
        return f"{self.piece} {self.ordinal} {self.row} {self.col}"


def decode(grid_index: SupportsIndex) -> Placement:
    """The placement a grid index names; ValueError for an index that names none."""
    index = operator.index(grid_index)
    if not 0 <= index < NUM_ACTIONS:
        raise ValueError(f"grid index {shown(index)} is outside 0 to {NUM_ACTIONS - 1}")
    orientation, square = divmod(index, CELLS_PER_BOARD)
    row, col = divmod(square, BOARD_SIZE)
    shape = ORIENTATIONS[orientation]
    if not shape.fits(row, col):
        raise ValueError(
            f"grid index {index} names no placement: {shape.kind} {shape.ordinal} "
            f"({shape.height}x{shape.width}) does not fit at row {row}, col {col}"
        )
    return Placement(shape.kind, orientation, row, col, shape.ordinal)


def encode(orientation: SupportsIndex, row: SupportsIndex, col: SupportsIndex) -> int:
    """The grid index of an orientation placed with its top-left corner at (row, col)."""
    o, r, c = operator.index(orientation), operator.index(row), operator.index(col)
    if not 0 <= o < NUM_ORIENTATIONS:
        raise ValueError(f"orientation {shown(o)} is outside 0 to {NUM_ORIENTATIONS - 1}")
    shape = ORIENTATIONS[o]
    if not shape.fits(r, c):
        raise ValueError(
            f"{shape.kind} {shape.ordinal} ({shape.height}x{shape.width}) does not fit with its "
            f"top-left corner at row {shown(r)}, col {shown(c)}; rows go up to "
            f"{BOARD_SIZE - shape.height} and columns up to {BOARD_SIZE - shape.width}"
        )
    return o * CELLS_PER_BOARD + r * BOARD_SIZE + c


def refused(mover: str, grid_index: int, reason: object) -> ValueError:
    """The error of a placement that the engine refused ``mover`` for ``reason``, naming the
    placement in words when the grid index names one."""
    try:
        move = f"{decode(grid_index)} (grid index {grid_index})"
    except ValueError:
        move = f"grid index {shown(grid_index)}"
    return ValueError(f"{mover} cannot play {move}: {reason}")


def arrays(obs: PyObservation) -> tuple[np.ndarray, np.ndarray]:
    """The observation's planes (4, 20, 20) and mask (91, 20, 20), both uint8 over its bytes:
    each property read once and wrapped with no conversion (read-only, as bytes are)."""
    planes = np.frombuffer(obs.observation, dtype=np.uint8).reshape(PLANES_SHAPE)
    mask = np.frombuffer(obs.action_mask, dtype=np.uint8).reshape(GRID_SHAPE)
    return planes, mask


def legal_actions(
    obs: PyObservation | Mapping[str, Any] | bytes | bytearray | memoryview | np.ndarray,
) -> np.ndarray:
    """The grid indices whose mask byte is 1, ascending: from an observation of the engine or of
    the PettingZoo environment, or from a mask (bytes, or an array indexed as flattened)."""
    if isinstance(obs, Mapping):
        obs = obs["action_mask"]
    if not isinstance(obs, np.ndarray):
        mask = obs if isinstance(obs, (bytes, bytearray, memoryview)) else obs.action_mask
        obs = np.frombuffer(mask, dtype=np.uint8)
    if obs.dtype.itemsize == 1 and obs.dtype.kind in "iu":
        # 0/1 bytes read as booleans: numpy finds the ones several times faster than in integers.
        obs = obs.view(np.bool_)
    return np.flatnonzero(obs)


def turn_clockwise(row: int, col: int, quarter_turns: int) -> tuple[int, int]:
    """Where a cell lands after the board is turned clockwise ``quarter_turns`` times.

    Seat k's own cell (r, c) shows at this place, with quarter_turns = (k - viewer) mod 4, in the
    frame of the viewing seat: each next seat in turn order sits a quarter turn further clockwise.
    """
    last = BOARD_SIZE - 1
    for _ in range(quarter_turns % 4):
        row, col = col, last - row
    return row, col


def _normalised(cells: list[tuple[int, int]]) -> tuple[int, int, frozenset[tuple[int, int]]]:
    top = min(r for r, _ in cells)
    left = min(c for _, c in cells)
    return top, left, frozenset((r - top, c - left) for r, c in cells)


# Every orientation by its set of cells, anchored at the top-left of its bounding box.
_BY_SHAPE = {_normalised(list(o.cells))[2]: o.index for o in ORIENTATIONS}


def turned(grid_index: SupportsIndex, quarter_turns: int) -> int:
    """The same placement seen from another frame: the grid index of the cells of ``grid_index``
    after the board is turned clockwise ``quarter_turns`` times.

    The placement of seat k, in its own frame, is ``turned(index, k - viewer)`` in the frame of
    seat viewer; ``turned(index, k)`` puts it on the board as seat 0 sees it.
    """
    cells = [turn_clockwise(r, c, quarter_turns) for r, c in decode(grid_index).cells]
    top, left, shape = _normalised(cells)
    return encode(_BY_SHAPE[shape], top, left)


def turn_orientation(orientation: int, flip: bool = False) -> int:
    """The orientation of the same piece turned a quarter clockwise, or mirrored left to right
    when ``flip`` is set."""
    cells = ORIENTATIONS[orientation].cells
    moved = [(r, -c) if flip else (c, -r) for r, c in cells]
    return _BY_SHAPE[_normalised(moved)[2]]
