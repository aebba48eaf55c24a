"""Grid indices as placements, and numpy views of an observation.

A grid index is orientation × 400 + row × 20 + col, where (row, col) is the top-left corner of the
orientation's bounding box, in the frame of the seat that moves: every seat sees its own start
corner at (0, 0).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple, SupportsIndex

import numpy as np

from . import _core
from ._arguments import shown

# Seeing a placement from another seat's frame is the engine's: seat k's placement in its own
# frame is turned(index, k - viewer) in seat viewer's; turn_orientation turns or mirrors a piece.
from ._core import turn_orientation, turned  # noqa: F401
from .pieces import BOARD_SIZE, CELLS_PER_BOARD, NUM_ORIENTATIONS, NUM_SEATS, ORIENTATIONS

if TYPE_CHECKING:
    from _tavlok import PyObservation

GRID_SHAPE = (NUM_ORIENTATIONS, BOARD_SIZE, BOARD_SIZE)
PLANES_SHAPE = (NUM_SEATS, BOARD_SIZE, BOARD_SIZE)


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
    orientation, row, col = _core.decode(grid_index)
    shape = ORIENTATIONS[orientation]
    return Placement(shape.kind, orientation, row, col, shape.ordinal)


def encode(orientation: SupportsIndex, row: SupportsIndex, col: SupportsIndex) -> int:
    """The grid index of an orientation placed with its top-left corner at (row, col)."""
    return _core.encode(orientation, row, col)


def refused(mover: str, grid_index: int, reason: object) -> ValueError:
    """The error of a placement that the engine refused ``mover`` for ``reason``, naming the
    placement in words when the grid index names one."""
    try:
        move = f"{decode(grid_index)} (grid index {grid_index})"
    except ValueError:
        move = f"grid index {shown(grid_index)}"
    return ValueError(f"{mover} cannot play {move}: {reason}")


def refused_candidate(mover: str, number: int, count: int) -> ValueError:
    """The error of a candidate's number that names none of ``mover``'s ``count`` candidates."""
    listed = f"numbered 0 to {count - 1}" if count else "none"
    return ValueError(
        f"{mover} cannot play candidate {shown(number)}: it has {count} candidates, {listed}"
    )


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
