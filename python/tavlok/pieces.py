"""The piece catalogue: 21 piece kinds in 91 orientations, in the order of the action grid.

An orientation's position in ``ORIENTATIONS`` is its orientation index, the first coordinate of
the action grid (orientation, row, col). The table is literal data, written out shape by shape in
the engine's order, so that a grid index can be decoded, drawn and typed in without asking the
engine (which exposes only indices and masks).
"""

from __future__ import annotations

from dataclasses import dataclass

from ._arguments import shown

BOARD_SIZE = 20
NUM_SEATS = 4
CELLS_PER_BOARD = BOARD_SIZE * BOARD_SIZE

# (orientation index, piece kind, ordinal within the kind, rows top to bottom, "X" filled).
ORIENTATION_TABLE: tuple[tuple[int, str, int, str], ...] = (
    (0, "Monomino", 0, "X"),
    (1, "Domino", 0, "XX"),
    (2, "Domino", 1, "X/X"),
    (3, "TrominoL", 0, "XX/X."),
    (4, "TrominoL", 1, "X./XX"),
    (5, "TrominoL", 2, ".X/XX"),
    (6, "TrominoL", 3, "XX/.X"),
    (7, "TrominoI", 0, "XXX"),
    (8, "TrominoI", 1, "X/X/X"),
    (9, "TetrominoT", 0, ".X./XXX"),
    (10, "TetrominoT", 1, "X./XX/X."),
    (11, "TetrominoT", 2, "XXX/.X."),
    (12, "TetrominoT", 3, ".X/XX/.X"),
    (13, "TetrominoO", 0, "XX/XX"),
    (14, "TetrominoL", 0, "X../XXX"),
    (15, "TetrominoL", 1, "XXX/X.."),
    (16, "TetrominoL", 2, "X./X./XX"),
    (17, "TetrominoL", 3, "XX/X./X."),
    (18, "TetrominoL", 4, "XX/.X/.X"),
    (19, "TetrominoL", 5, "XXX/..X"),
    (20, "TetrominoL", 6, "..X/XXX"),
    (21, "TetrominoL", 7, ".X/.X/XX"),
    (22, "TetrominoI", 0, "XXXX"),
    (23, "TetrominoI", 1, "X/X/X/X"),
    (24, "TetrominoS", 0, "X./XX/.X"),
    (25, "TetrominoS", 1, ".X/XX/X."),
    (26, "TetrominoS", 2, ".XX/XX."),
    (27, "TetrominoS", 3, "XX./.XX"),
    (28, "PentominoF", 0, ".X./XXX/X.."),
    (29, "PentominoF", 1, "X../XXX/.X."),
    (30, "PentominoF", 2, "XX./.XX/.X."),
    (31, "PentominoF", 3, ".XX/XX./.X."),
    (32, "PentominoF", 4, "..X/XXX/.X."),
    (33, "PentominoF", 5, ".X./XX./.XX"),
    (34, "PentominoF", 6, ".X./XXX/..X"),
    (35, "PentominoF", 7, ".X./.XX/XX."),
    (36, "PentominoX", 0, ".X./XXX/.X."),
    (37, "PentominoP", 0, "XX/XX/X."),
    (38, "PentominoP", 1, "XX/XX/.X"),
    (39, "PentominoP", 2, "X./XX/XX"),
    (40, "PentominoP", 3, ".X/XX/XX"),
    (41, "PentominoP", 4, "XXX/.XX"),
    (42, "PentominoP", 5, ".XX/XXX"),
    (43, "PentominoP", 6, "XXX/XX."),
    (44, "PentominoP", 7, "XX./XXX"),
    (45, "PentominoW", 0, "X../XX./.XX"),
    (46, "PentominoW", 1, ".XX/XX./X.."),
    (47, "PentominoW", 2, "..X/.XX/XX."),
    (48, "PentominoW", 3, "XX./.XX/..X"),
    (49, "PentominoZ", 0, "X../XXX/..X"),
    (50, "PentominoZ", 1, "..X/XXX/X.."),
    (51, "PentominoZ", 2, ".XX/.X./XX."),
    (52, "PentominoZ", 3, "XX./.X./.XX"),
    (53, "PentominoY", 0, "XXXX/.X.."),
    (54, "PentominoY", 1, ".X../XXXX"),
    (55, "PentominoY", 2, "XXXX/..X."),
    (56, "PentominoY", 3, "..X./XXXX"),
    (57, "PentominoY", 4, "X./X./XX/X."),
    (58, "PentominoY", 5, ".X/.X/XX/.X"),
    (59, "PentominoY", 6, "X./XX/X./X."),
    (60, "PentominoY", 7, ".X/XX/.X/.X"),
    (61, "PentominoL", 0, "XXXX/X..."),
    (62, "PentominoL", 1, "X.../XXXX"),
    (63, "PentominoL", 2, "XXXX/...X"),
    (64, "PentominoL", 3, "...X/XXXX"),
    (65, "PentominoL", 4, "X./X./X./XX"),
    (66, "PentominoL", 5, ".X/.X/.X/XX"),
    (67, "PentominoL", 6, "XX/X./X./X."),
    (68, "PentominoL", 7, "XX/.X/.X/.X"),
    (69, "PentominoU", 0, "X.X/XXX"),
    (70, "PentominoU", 1, "XXX/X.X"),
    (71, "PentominoU", 2, "XX/X./XX"),
    (72, "PentominoU", 3, "XX/.X/XX"),
    (73, "PentominoT", 0, ".X./.X./XXX"),
    (74, "PentominoT", 1, "X../XXX/X.."),
    (75, "PentominoT", 2, "XXX/.X./.X."),
    (76, "PentominoT", 3, "..X/XXX/..X"),
    (77, "PentominoV", 0, "XXX/X../X.."),
    (78, "PentominoV", 1, "X../X../XXX"),
    (79, "PentominoV", 2, "..X/..X/XXX"),
    (80, "PentominoV", 3, "XXX/..X/..X"),
    (81, "PentominoN", 0, ".XXX/XX.."),
    (82, "PentominoN", 1, "XX../.XXX"),
    (83, "PentominoN", 2, "XXX./..XX"),
    (84, "PentominoN", 3, "..XX/XXX."),
    (85, "PentominoN", 4, "X./X./XX/.X"),
    (86, "PentominoN", 5, ".X/.X/XX/X."),
    (87, "PentominoN", 6, ".X/XX/X./X."),
    (88, "PentominoN", 7, "X./XX/.X/.X"),
    (89, "PentominoI", 0, "XXXXX"),
    (90, "PentominoI", 1, "X/X/X/X/X"),
)


@dataclass(frozen=True, slots=True)
class Orientation:
    """One orientation of one piece kind, anchored at the top-left corner of its bounding box."""

    index: int
    kind: str
    ordinal: int
    rows: tuple[str, ...]

    @property
    def height(self) -> int:
        return len(self.rows)

    @property
    def width(self) -> int:
        return len(self.rows[0])

    @property
    def cells(self) -> tuple[tuple[int, int], ...]:
        """The covered squares as (row, col) offsets from the bounding box's top-left corner."""
        return tuple(
            (r, c)
            for r, row in enumerate(self.rows)
            for c, square in enumerate(row)
            if square == "X"
        )

    def fits(self, row: int, col: int) -> bool:
        """Whether the bounding box, with its top-left corner at (row, col), stays on the board."""
        return 0 <= row <= BOARD_SIZE - self.height and 0 <= col <= BOARD_SIZE - self.width


ORIENTATIONS: tuple[Orientation, ...] = tuple(
    Orientation(index, kind, ordinal, tuple(rows.split("/")))
    for index, kind, ordinal, rows in ORIENTATION_TABLE
)
NUM_ORIENTATIONS = len(ORIENTATIONS)
# The size of the action space: every grid index, of which 30,433 name a placement that fits.
NUM_ACTIONS = NUM_ORIENTATIONS * CELLS_PER_BOARD

# Kinds in catalogue order, each with the orientation indices that belong to it.
KINDS: tuple[str, ...] = tuple(dict.fromkeys(o.kind for o in ORIENTATIONS))
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
