"""Snapshots of the board and their pictures: terminal text, SVG and an RGB image.

A snapshot holds, for every cell, the seat whose piece covers it (or -1), as seen from one seat's
frame. Seat colours follow the engine's text rendering: 0 blue, 1 yellow, 2 red, 3 green.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from ._numbers import shown
from .actions import PLANES_SHAPE, turn_clockwise
from .pieces import BOARD_SIZE, NUM_SEATS

EMPTY = -1
SEAT_COLOURS: tuple[tuple[int, int, int], ...] = (
    (37, 99, 235),  # blue
    (234, 179, 8),  # yellow
    (220, 38, 38),  # red
    (22, 163, 74),  # green
)
EMPTY_COLOUR = (244, 244, 245)
GRID_COLOUR = (212, 212, 216)
# The engine's background colour escapes, in seat order.
ANSI_BACKGROUNDS = ("\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m")
ANSI_RESET = "\x1b[0m"

_SEPARATOR = "-" * 103
_HEADER = "  | " + " | ".join(f"{c:2d}" for c in range(BOARD_SIZE)) + " |"


def _hex(colour: tuple[int, int, int]) -> str:
    return "#{:02x}{:02x}{:02x}".format(*colour)


def _darker(colour: tuple[int, int, int]) -> tuple[int, int, int]:
    r, g, b = colour
    return (r * 3 // 5, g * 3 // 5, b * 3 // 5)


class Board:
    """Who covers each cell, seen from the frame of seat ``viewer`` (its start corner top-left)."""

    __slots__ = ("_owners", "_viewer")

    def __init__(self, owners: Any, viewer: int = 0) -> None:
        grid = np.array(owners, dtype=np.int8)
        if grid.shape != (BOARD_SIZE, BOARD_SIZE):
            raise ValueError(f"a board is {BOARD_SIZE}x{BOARD_SIZE}, not {grid.shape}")
        if grid.min() < EMPTY or grid.max() >= NUM_SEATS:
            raise ValueError("board cells hold a seat 0 to 3, or -1 for an empty cell")
        if not 0 <= viewer < NUM_SEATS:
            raise ValueError(f"viewer must be a seat 0 to 3, not {shown(viewer)}")
        grid.flags.writeable = False
        self._owners = grid
        self._viewer = viewer

    @classmethod
    def from_planes(cls, planes: Any, viewer: int = 0) -> Board:
        """The board seen by ``viewer`` from its observation planes (array or the 1,600 bytes).

        Plane k holds seat (viewer + k) mod 4. Where planes overlap, which no legal game produces,
        the lowest plane wins, as in the engine's rendering.
        """
        if isinstance(planes, (bytes, bytearray, memoryview)):
            planes = np.frombuffer(planes, dtype=np.uint8)
        planes = np.asarray(planes).reshape(PLANES_SHAPE)
        owners = np.full((BOARD_SIZE, BOARD_SIZE), EMPTY, dtype=np.int8)
        for k in reversed(range(NUM_SEATS)):
            owners[planes[k] != 0] = (viewer + k) % NUM_SEATS
        return cls(owners, viewer)

    @property
    def owners(self) -> np.ndarray:
        """(20, 20) int8, read-only: the seat covering each cell, -1 where none does."""
        return self._owners

    @property
    def viewer(self) -> int:
        return self._viewer

    def start_corner(self, seat: int) -> tuple[int, int]:
        """Where ``seat``'s start corner lies in this board's frame."""
        return turn_clockwise(0, 0, seat - self._viewer)

    def cell_counts(self) -> tuple[int, ...]:
        """Number of cells each seat covers, in seat order."""
        counts = np.bincount(self._owners.ravel() + 1, minlength=NUM_SEATS + 1)
        return tuple(int(n) for n in counts[1:])

    def text(self, colour: bool = True) -> str:
        """The board as 41 lines of 103 columns, the engine's text form when ``colour`` is set.

        Without colour, a covered cell shows its seat number instead of a coloured "x", so the
        text stays readable in logs and files.
        """
        cells = []
        for seat in range(NUM_SEATS):
            mark = f"{ANSI_BACKGROUNDS[seat]}x{ANSI_RESET}" if colour else str(seat)
            cells.append(f"|  {mark} ")
        empty = "|  . "
        lines = [_HEADER, _SEPARATOR]
        for r, row in enumerate(self._owners.tolist()):
            body = "".join(empty if seat == EMPTY else cells[seat] for seat in row)
            lines.append(f"{r:2d}{body}|")
            lines.append(_SEPARATOR)
        lines.pop()
        return "\n".join(lines)

    def svg(self, cell_size: int = 20) -> str:
        """The board as a standalone SVG document, start corners outlined in their seat's colour."""
        side = BOARD_SIZE * cell_size
        parts = [
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{side}" height="{side}" '
            f'viewBox="0 0 {side} {side}">',
            f"<title>tavlok board seen by seat {self._viewer}</title>",
            f'<rect width="{side}" height="{side}" fill="{_hex(EMPTY_COLOUR)}"/>',
        ]
        for r, row in enumerate(self._owners.tolist()):
            for c, seat in enumerate(row):
                if seat != EMPTY:
                    parts.append(
                        f'<rect x="{c * cell_size}" y="{r * cell_size}" width="{cell_size}" '
                        f'height="{cell_size}" fill="{_hex(SEAT_COLOURS[seat])}" '
                        f'data-seat="{seat}"/>'
                    )
        lines = " ".join(
            f"M{i * cell_size} 0V{side}M0 {i * cell_size}H{side}" for i in range(BOARD_SIZE + 1)
        )
        parts.append(f'<path d="{lines}" stroke="{_hex(GRID_COLOUR)}" stroke-width="1"/>')
        inset = max(1, cell_size // 8)
        for seat, (r, c) in self._corners():
            covered = self._owners[r, c] != EMPTY
            outline = _darker(SEAT_COLOURS[seat]) if covered else SEAT_COLOURS[seat]
            parts.append(
                f'<rect x="{c * cell_size + inset + 1}" y="{r * cell_size + inset + 1}" '
                f'width="{cell_size - 2 * inset - 2}" height="{cell_size - 2 * inset - 2}" '
                f'fill="none" stroke="{_hex(outline)}" stroke-width="{inset + 1}"/>'
            )
        parts.append("</svg>")
        return "\n".join(parts)

    def rgb(self, cell_size: int = 16) -> np.ndarray:
        """The board as an (H, W, 3) uint8 image, H = W = 20 × cell_size + 1.

        Every covered cell is filled with its seat's colour; start corners carry a ring inside the
        cell, in the seat's colour while empty and a darker shade once covered, so the middle of
        every cell keeps the colour of its seat.
        """
        if cell_size < 8:
            raise ValueError("cells need at least 8 pixels to show the start-corner rings")
        palette = np.array((EMPTY_COLOUR, *SEAT_COLOURS), dtype=np.uint8)
        cells = palette[self._owners.astype(np.intp) + 1]
        side = BOARD_SIZE * cell_size
        image = np.empty((side + 1, side + 1, 3), dtype=np.uint8)
        image[:side, :side] = cells.repeat(cell_size, axis=0).repeat(cell_size, axis=1)
        image[::cell_size, :] = GRID_COLOUR
        image[:, ::cell_size] = GRID_COLOUR
        inset, width = 2, max(2, cell_size // 8)
        for seat, (r, c) in self._corners():
            covered = self._owners[r, c] != EMPTY
            ring = _darker(SEAT_COLOURS[seat]) if covered else SEAT_COLOURS[seat]
            top, left = r * cell_size + inset, c * cell_size + inset
            bottom, right = (r + 1) * cell_size - inset + 1, (c + 1) * cell_size - inset + 1
            image[top:bottom, left:right] = ring
            inner = image[top + width : bottom - width, left + width : right - width]
            inner[:] = SEAT_COLOURS[seat] if covered else EMPTY_COLOUR
        return image

    def _corners(self) -> Iterable[tuple[int, tuple[int, int]]]:
        return ((seat, self.start_corner(seat)) for seat in range(NUM_SEATS))

    def _repr_svg_(self) -> str:
        return self.svg()

    def __str__(self) -> str:
        return self.text(colour=False)

    def __repr__(self) -> str:
        return f"Board(viewer={self._viewer}, cells per seat={self.cell_counts()})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Board):
            return NotImplemented
        return self._viewer == other._viewer and np.array_equal(self._owners, other._owners)

    __hash__ = None  # type: ignore[assignment]


def board_svg(board: Board | Any, cell_size: int = 20) -> str:
    """SVG text of a board snapshot, or of a (20, 20) grid of seats (-1 empty) in seat 0's frame."""
    if not isinstance(board, Board):
        board = Board(board)
    return board.svg(cell_size)
