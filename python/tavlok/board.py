"""Snapshots of the board and their pictures: terminal text, SVG and an RGB image.

A snapshot holds, for every cell, the seat whose piece covers it (or -1), as seen from one seat's
frame. Seats keep the engine's colour names (0 blue, 1 yellow, 2 red, 3 green), drawn in the
Okabe-Ito palette, which readers with any common form of colour blindness can tell apart: its red
is a vermillion and its green a bluish green, different in lightness as well as hue. Colour is
never the only clue: the SVG and the image put a mark of its own in every cell of a seat (a dot,
a triangle, a square, a cross), and the terminal pictures its number.

The pictures (``svg``, ``rgb``, ``display``) number the rows and columns of the frame and carry a
legend with each seat's colour, mark, name, cells placed and, once known, score; the cells of the
last placement are outlined. ``text`` stays the engine's own text layout.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any
from xml.sax.saxutils import escape

import numpy as np

from . import _arguments
from .actions import PLANES_SHAPE, turn_clockwise
from .pieces import BOARD_SIZE, NUM_SEATS

EMPTY = -1
SEAT_COLOURS: tuple[tuple[int, int, int], ...] = (
    (0, 114, 178),  # blue
    (240, 228, 66),  # yellow
    (213, 94, 0),  # vermillion: the palette's red
    (0, 158, 115),  # bluish green
)
SEAT_COLOUR_NAMES = ("blue", "yellow", "red", "green")
SEAT_MARKS = ("dot", "triangle", "square", "cross")
# The colour of a seat's mark: dark on the light yellow, light on the others.
MARK_COLOURS: tuple[tuple[int, int, int], ...] = ((255,) * 3, (0,) * 3, (255,) * 3, (255,) * 3)
LAST_MOVE_COLOUR = (17, 17, 17)
TEXT_COLOUR = (63, 63, 70)
BACKGROUND = (255, 255, 255)
EMPTY_COLOUR = (244, 244, 245)
GRID_COLOUR = (212, 212, 216)
# The engine's background colour escapes, in seat order.
ANSI_BACKGROUNDS = ("\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m")
ANSI_RESET = "\x1b[0m"

_SEPARATOR = "-" * 103
_HEADER = "  | " + " | ".join(f"{c:2d}" for c in range(BOARD_SIZE)) + " |"


def _hex(colour: tuple[int, int, int]) -> str:
    return "#{:02x}{:02x}{:02x}".format(*colour)


class Board:
    """Who covers each cell, seen from the frame of seat ``viewer`` (its start corner top-left)."""

    __slots__ = ("_owners", "_viewer")

    def __init__(self, owners: Any, viewer: int = 0) -> None:
        grid = np.array(owners, dtype=np.int8)
        if grid.shape != (BOARD_SIZE, BOARD_SIZE):
            raise ValueError(f"a board is {BOARD_SIZE}x{BOARD_SIZE}, not {grid.shape}")
        if grid.min() < EMPTY or grid.max() >= NUM_SEATS:
            raise ValueError("board cells hold a seat 0 to 3, or -1 for an empty cell")
        grid.flags.writeable = False
        self._owners = grid
        self._viewer = _arguments.whole(viewer, "viewer", 0, NUM_SEATS - 1)

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

    def svg(
        self,
        cell_size: int = 20,
        *,
        last: Iterable[tuple[int, int]] | None = None,
        scores: Sequence[int] | None = None,
        names: Sequence[str] | None = None,
    ) -> str:
        """The board as a standalone SVG document, the cells ``last`` (the last placement, in this
        frame) outlined and empty start corners ringed."""
        cs = cell_size
        side = BOARD_SIZE * cs
        width, height = side + 3 * cs // 2, side + 6 * cs
        font = max(7, cs * 11 // 20)
        parts = [
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="{font}">',
            f"<title>tavlok board seen by seat {self._viewer}</title>",
            f"<defs>{_svg_marks(cs)}</defs>",
            f'<rect width="{width}" height="{height}" fill="{_hex(BACKGROUND)}"/>',
            f'<g fill="{_hex(TEXT_COLOUR)}" text-anchor="middle">',
        ]
        for i in range(BOARD_SIZE):
            parts.append(f'<text x="{cs + i * cs + cs / 2}" y="{cs * 0.75}">{i}</text>')
            parts.append(f'<text x="{cs / 2}" y="{cs + i * cs + cs * 0.7}">{i}</text>')
        parts.append("</g>")
        parts.append(f'<g class="board" transform="translate({cs} {cs})">')
        parts.append(f'<rect width="{side}" height="{side}" fill="{_hex(EMPTY_COLOUR)}"/>')
        for r, row in enumerate(self._owners.tolist()):
            for c, seat in enumerate(row):
                if seat != EMPTY:
                    parts.append(
                        f'<rect x="{c * cs}" y="{r * cs}" width="{cs}" height="{cs}" '
                        f'fill="{_hex(SEAT_COLOURS[seat])}" data-seat="{seat}"/>'
                        f'<use href="#mark-{seat}" x="{c * cs}" y="{r * cs}"/>'
                    )
        lines = " ".join(f"M{i * cs} 0V{side}M0 {i * cs}H{side}" for i in range(BOARD_SIZE + 1))
        parts.append(f'<path d="{lines}" stroke="{_hex(GRID_COLOUR)}" stroke-width="1"/>')
        inset = max(1, cs // 8)
        for seat, (r, c) in self._corners():
            if self._owners[r, c] == EMPTY:
                parts.append(
                    f'<rect x="{c * cs + inset + 1}" y="{r * cs + inset + 1}" '
                    f'width="{cs - 2 * inset - 2}" height="{cs - 2 * inset - 2}" fill="none" '
                    f'stroke="{_hex(SEAT_COLOURS[seat])}" stroke-width="{inset + 1}"/>'
                )
        edges = _outline(last)
        if edges:
            path = " ".join(
                f"M{c0 * cs} {r0 * cs}L{c1 * cs} {r1 * cs}" for (r0, c0), (r1, c1) in edges
            )
            parts.append(
                f'<path class="last-move" d="{path}" stroke="{_hex(LAST_MOVE_COLOUR)}" '
                f'stroke-width="{max(3, cs // 6)}" stroke-linecap="square" fill="none"/>'
            )
        parts.append("</g>")
        for seat, line in enumerate(self.legend(scores, names)):
            y = side + 3 * cs // 2 + seat * cs
            parts.append(
                f'<g data-legend-seat="{seat}"><rect x="{cs}" y="{y}" width="{cs}" '
                f'height="{cs}" fill="{_hex(SEAT_COLOURS[seat])}"/>'
                f'<use href="#mark-{seat}" x="{cs}" y="{y}"/>'
                f'<text x="{2.5 * cs}" y="{y + cs * 0.72}" fill="{_hex(TEXT_COLOUR)}">'
                f"{escape(line)}</text></g>"
            )
        parts.append("</svg>")
        return "\n".join(parts)

    def legend(
        self,
        scores: Sequence[int] | None = None,
        names: Sequence[str] | None = None,
        short: bool = False,
    ) -> list[str]:
        """One line per seat: its number, colour, mark, name, cells placed and score when given;
        ``short`` leaves out the mark and the name."""
        counts = self.cell_counts()
        lines = []
        for seat in range(NUM_SEATS):
            name = names[seat] if names is not None else f"player_{seat}"
            cells = f"{counts[seat]} cell{'' if counts[seat] == 1 else 's'}"
            line = f"{seat} {SEAT_COLOUR_NAMES[seat]}"
            line += f" {cells}" if short else f" {SEAT_MARKS[seat]}: {name}, {cells}"
            if scores is not None:
                line += f" {scores[seat]:+d}" if short else f", score {scores[seat]}"
            lines.append(line)
        return lines

    def rgb(
        self,
        cell_size: int = 16,
        *,
        last: Iterable[tuple[int, int]] | None = None,
        scores: Sequence[int] | None = None,
    ) -> np.ndarray:
        """The board as an (H, W, 3) uint8 image, as ``svg`` draws it; the legend holds each
        seat's swatch, cells placed and score. The board starts at pixel (``top``, ``left``) of
        ``layout(cell_size)``."""
        if cell_size < 8:
            raise ValueError("cells need at least 8 pixels to show the seats' marks")
        cs = cell_size
        top, left, scale = self.layout(cs)
        side = BOARD_SIZE * cs
        legend_row = max(cs, 7 * scale)
        image = np.empty((top + side + 1 + scale * 2 + 4 * legend_row, left + side + 1 + cs, 3),
                         dtype=np.uint8)
        image[:] = BACKGROUND
        board = image[top : top + side + 1, left : left + side + 1]
        palette = np.array((EMPTY_COLOUR, *SEAT_COLOURS), dtype=np.uint8)
        cells = palette[self._owners.astype(np.intp) + 1]
        board[:side, :side] = cells.repeat(cs, axis=0).repeat(cs, axis=1)
        masks = _mark_masks(cs)
        for seat in range(NUM_SEATS):
            for r, c in zip(*np.nonzero(self._owners == seat), strict=True):
                board[r * cs : (r + 1) * cs, c * cs : (c + 1) * cs][masks[seat]] = (
                    MARK_COLOURS[seat]
                )
        board[::cs, :] = GRID_COLOUR
        board[:, ::cs] = GRID_COLOUR
        inset, width = 2, max(2, cs // 8)
        for seat, (r, c) in self._corners():
            if self._owners[r, c] == EMPTY:
                y, x = r * cs + inset, c * cs + inset
                ring = board[y : (r + 1) * cs - inset + 1, x : (c + 1) * cs - inset + 1]
                ring[:] = SEAT_COLOURS[seat]
                ring[width:-width, width:-width] = EMPTY_COLOUR
        thick = max(2, cs // 8)
        for (r0, c0), (r1, c1) in _outline(last):
            y0, x0 = r0 * cs, c0 * cs
            y1, x1 = r1 * cs, c1 * cs
            # Inside the cell on either side of the edge, so that no neighbour is covered over.
            h = thick // 2
            board[max(0, y0 - h) : y1 + thick - h, max(0, x0 - h) : x1 + thick - h] = (
                LAST_MOVE_COLOUR
            )
        for i in range(BOARD_SIZE):
            _draw_text(image, str(i), top - 7 * scale, left + i * cs + cs // 2, scale, centre=True)
            _draw_text(image, f"{i:>2}", top + i * cs + (cs - 5 * scale) // 2, scale, scale)
        counts = self.cell_counts()
        for seat in range(NUM_SEATS):
            y = top + side + 1 + 2 * scale + seat * legend_row
            swatch = image[y : y + cs, left : left + cs]
            swatch[:] = SEAT_COLOURS[seat]
            swatch[masks[seat]] = MARK_COLOURS[seat]
            text = f"{counts[seat]}" + (f" {scores[seat]}" if scores is not None else "")
            _draw_text(image, text, y + (cs - 5 * scale) // 2, left + cs + 2 * scale, scale)
        return image

    @staticmethod
    def layout(cell_size: int = 16) -> tuple[int, int, int]:
        """Where ``rgb(cell_size)`` puts the board: (top, left) of its first cell in pixels, and
        the scale of the digits' 3 x 5 pixel font."""
        scale = max(1, cell_size // 8)
        return 9 * scale, 10 * scale, scale

    def display(
        self,
        colour: bool = True,
        *,
        last: Iterable[tuple[int, int]] | None = None,
        scores: Sequence[int] | None = None,
        names: Sequence[str] | None = None,
        columns: int = 80,
    ) -> str:
        """The board for a terminal: each covered cell shows its seat's number (on its colour
        when ``colour`` is set), the last placement in brackets (or bold). 23 lines of 63
        columns; when ``columns`` is fewer, 24 lines of at most 43 (the legend may run longer)."""
        compact = columns < 63
        last_cells = set(last or ())
        width = 2 if compact else 3
        lines = []
        if compact:
            lines.append("   " + " ".join(str(c // 10) if c >= 10 else " " for c in range(20)))
            lines.append("   " + " ".join(str(c % 10) for c in range(BOARD_SIZE)))
        else:
            lines.append("   " + "".join(f"{c:^3}" for c in range(BOARD_SIZE)))
        for r, row in enumerate(self._owners.tolist()):
            body = []
            for c, seat in enumerate(row):
                marked = (r, c) in last_cells
                if seat == EMPTY:
                    body.append(". " if compact else " . ")
                    continue
                if compact:
                    cell = f"{seat}{'<' if marked else ' '}"
                else:
                    cell = f"[{seat}]" if marked else f" {seat} "
                if colour:
                    bold = "\x1b[1m" if marked else ""
                    cell = f"{ANSI_BACKGROUNDS[seat]}{bold}{cell[:width - 1]}{ANSI_RESET}{cell[-1]}"
                body.append(cell)
            lines.append(f"{r:2d} " + "".join(body).rstrip())
        legend = [line.replace(f" {SEAT_MARKS[s]}:", ":") for s, line in enumerate(
            self.legend(scores, names, short=compact))]
        half = 20 if compact else 40
        lines += [f"{legend[0]:<{half}}{legend[1]}", f"{legend[2]:<{half}}{legend[3]}"]
        return "\n".join(line.rstrip() for line in lines)

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


def _outline(cells: Iterable[tuple[int, int]] | None) -> list[tuple[tuple[int, int], ...]]:
    """The edges around a set of cells, each as its two end points (row, col) on the grid
    lines, in order of the cells: the edges between two cells of the set are left out."""
    inside = {(int(r), int(c)) for r, c in cells or ()}
    edges = []
    for r, c in sorted(inside):
        if (r - 1, c) not in inside:
            edges.append(((r, c), (r, c + 1)))
        if (r + 1, c) not in inside:
            edges.append(((r + 1, c), (r + 1, c + 1)))
        if (r, c - 1) not in inside:
            edges.append(((r, c), (r + 1, c)))
        if (r, c + 1) not in inside:
            edges.append(((r, c + 1), (r + 1, c + 1)))
    return edges


def _svg_marks(cs: int) -> str:
    """The four seats' marks as SVG symbols the size of a cell, in their mark colours."""
    h, lo, hi = cs / 2, cs * 0.3, cs * 0.7
    shapes = (
        f'<circle cx="{h}" cy="{h}" r="{cs * 0.2}"/>',
        f'<polygon points="{h},{cs * 0.25} {cs * 0.75},{cs * 0.72} {cs * 0.25},{cs * 0.72}"/>',
        f'<rect x="{lo}" y="{lo}" width="{hi - lo}" height="{hi - lo}"/>',
        f'<path d="M{lo} {lo}L{hi} {hi}M{hi} {lo}L{lo} {hi}" stroke-width="{max(1.5, cs / 9)}"'
        f' stroke="{_hex(MARK_COLOURS[3])}"/>',
    )
    return "".join(
        f'<g id="mark-{seat}" fill="{_hex(MARK_COLOURS[seat])}">{shape}</g>'
        for seat, shape in enumerate(shapes)
    )


def _mark_masks(cs: int) -> tuple[np.ndarray, ...]:
    """The four seats' marks as (cs, cs) boolean masks over a cell, the shapes of the SVG's."""
    y, x = np.mgrid[0:cs, 0:cs] + 0.5
    u, v = y / cs, x / cs  # 0 to 1 down and across the cell
    dot = (u - 0.5) ** 2 + (v - 0.5) ** 2 <= 0.2**2
    triangle = (u >= 0.25) & (u <= 0.72) & (np.abs(v - 0.5) <= (u - 0.25) * 0.25 / 0.47)
    square = (u >= 0.3) & (u <= 0.7) & (v >= 0.3) & (v <= 0.7)
    band = max(1.0, cs / 12) / cs
    within = (u >= 0.28) & (u <= 0.72) & (v >= 0.28) & (v <= 0.72)
    cross = within & ((np.abs(u - v) <= band) | (np.abs(u + v - 1) <= band))
    return dot, triangle, square, cross


# Digits and the minus sign in 3 x 5 pixels, rows top to bottom.
_GLYPHS = {
    "0": ("111", "101", "101", "101", "111"),
    "1": ("010", "110", "010", "010", "111"),
    "2": ("111", "001", "111", "100", "111"),
    "3": ("111", "001", "111", "001", "111"),
    "4": ("101", "101", "111", "001", "001"),
    "5": ("111", "100", "111", "001", "111"),
    "6": ("111", "100", "111", "101", "111"),
    "7": ("111", "001", "010", "010", "010"),
    "8": ("111", "101", "111", "101", "111"),
    "9": ("111", "101", "111", "001", "111"),
    "-": ("000", "000", "111", "000", "000"),
    " ": ("000", "000", "000", "000", "000"),
}


def _draw_text(
    image: np.ndarray, text: str, top: int, left: int, scale: int, centre: bool = False
) -> None:
    """Draws digits (and minus signs, spaces) in TEXT_COLOUR, each glyph 3 x 5 pixels times
    ``scale`` with a pixel of space after it; ``centre`` centres the text on ``left``."""
    if centre:
        left -= (4 * len(text) - 1) * scale // 2
    for i, char in enumerate(text):
        glyph = np.array([[bit == "1" for bit in row] for row in _GLYPHS[char]])
        big = glyph.repeat(scale, axis=0).repeat(scale, axis=1)
        x = left + 4 * i * scale
        image[top : top + big.shape[0], x : x + big.shape[1]][big] = TEXT_COLOUR
