"""The piece catalogue: 21 piece kinds in 91 orientations, in the order of the action grid.

An orientation's position in ``ORIENTATIONS`` is its orientation index, the first coordinate of
the action grid (orientation, row, col). The catalogue is the engine's (``tavlok._core``), read
once when the package is imported, so that a grid index can be decoded, drawn and typed in with
plain Python objects.
"""

from __future__ import annotations

from dataclasses import dataclass

from . import _core
from ._arguments import shown

BOARD_SIZE: int = _core.BOARD_SIZE
NUM_SEATS: int = _core.NUM_SEATS
CELLS_PER_BOARD: int = _core.CELLS_PER_BOARD


@dataclass(frozen=True, slots=True)
class Orientation:
    """One orientation of one piece kind, anchored at the top-left corner of its bounding box."""

    index: int
    kind: str
    ordinal: int
    rows: tuple[str, ...]
    # The covered squares as (row, col) offsets from the bounding box's top-left corner, row by row.
    cells: tuple[tuple[int, int], ...]

    @property
    def height(self) -> int:
        return len(self.rows)

    @property
    def width(self) -> int:
        return len(self.rows[0])

    def fits(self, row: int, col: int) -> bool:
        """Whether the bounding box, with its top-left corner at (row, col), stays on the board."""
        try:
            _core.encode(self.index, row, col)
        except ValueError:
            return False
        return True


def _rows(cells: list[tuple[int, int]]) -> tuple[str, ...]:
    """The cells drawn row by row, "X" filled and "." empty."""
    height = 1 + max(r for r, _ in cells)
    width = 1 + max(c for _, c in cells)
    return tuple(
        "".join("X" if (r, c) in cells else "." for c in range(width)) for r in range(height)
    )


ORIENTATIONS: tuple[Orientation, ...] = tuple(
    Orientation(index, kind, ordinal, _rows(cells), tuple(sorted(cells)))
    for index, (kind, ordinal, cells) in enumerate(_core.orientations())
)
NUM_ORIENTATIONS = len(ORIENTATIONS)
# The size of the action space: every grid index, of which 30,433 name a placement that fits.
NUM_ACTIONS = NUM_ORIENTATIONS * CELLS_PER_BOARD

# Kinds in catalogue order, each with the orientation indices that belong to it.
KINDS: tuple[str, ...] = tuple(_core.piece_kinds())
KIND_ORIENTATIONS: dict[str, tuple[int, ...]] = {
    kind: tuple(o.index for o in ORIENTATIONS if o.kind == kind) for kind in KINDS
}

_KIND_BY_FOLDED_NAME = {kind.casefold(): kind for kind in KINDS}


def find_kind(name: str) -> str:
    """The kind's exact name for a name typed in any letter case; KeyError when there is none."""
    try:
        return _KIND_BY_FOLDED_NAME[name.casefold()]
    except KeyError:
        raise KeyError(f"unknown piece {name!r}; the pieces are {', '.join(KINDS)}") from None


def orientation_index(kind: str, ordinal: int) -> int:
    """The orientation index of ordinal ``ordinal`` of piece ``kind``."""
    indices = KIND_ORIENTATIONS[find_kind(kind)]
    if not 0 <= ordinal < len(indices):
        raise ValueError(
            f"{find_kind(kind)} has orientations 0 to {len(indices) - 1}, not {shown(ordinal)}"
        )
    return indices[ordinal]
