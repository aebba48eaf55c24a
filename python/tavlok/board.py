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

import unicodedata
from collections.abc import Callable, Iterable, Sequence
from typing import Any
from xml.sax.saxutils import escape

import numpy as np

from . import _arguments, _core
from .actions import PLANES_SHAPE
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
ANSI_BACKGROUNDS: tuple[str, ...] = _core.SEAT_BACKGROUNDS
ANSI_RESET = "\x1b[0m"


# What a name must not bring into a picture: control and format characters (escapes that drive
# a terminal, a NUL, which no XML document may hold, direction overrides), lone surrogates (no
# encoding writes them), unassigned code points and line breaks.
_UNPRINTABLE = frozenset(("Cc", "Cf", "Cs", "Cn", "Zl", "Zp"))


def printable(text: str) -> str:
    """``text`` with each character that ``_UNPRINTABLE`` keeps out of the pictures written as
    its Python escape (``\\x1b``, ``\\u202e``): visible, and the same in every picture."""
    return "".join(
        char.encode("unicode_escape", "backslashreplace").decode("ascii")
        if unicodedata.category(char) in _UNPRINTABLE
        else char
        for char in text
    )


def columns_of(text: str) -> int:
    """The terminal columns ``text`` takes: two for an East Asian wide or full-width character,
    none for a combining mark, one for any other."""
    return sum(
        0 if unicodedata.combining(char) else 2 if unicodedata.east_asian_width(char) in "WF" else 1
        for char in text
    )


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
        return _core.turn_cell(0, 0, seat - self._viewer)

    def cell_counts(self) -> tuple[int, ...]:
        """Number of cells each seat covers, in seat order."""
        counts = np.bincount(self._owners.ravel() + 1, minlength=NUM_SEATS + 1)
        return tuple(int(n) for n in counts[1:])

    def text(self, colour: bool = True) -> str:
        """The board as 41 lines of 103 columns, the engine's text form when ``colour`` is set.

        Without colour, a covered cell shows its seat number instead of a coloured "x", so the
        text stays readable in logs and files.
        """
        return _core.board_text(self._owners, colour)

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
        *,
        marks: bool = True,
        fits: Callable[[str], bool] | None = None,
    ) -> list[str]:
        """One line per seat: its number, colour, mark, name, cells placed and score when given;
        ``short`` leaves out the mark and the name, ``marks=False`` the mark. A name is cut
        (ending "...") until ``fits(line)``, so that a long one never widens the picture, and
        shown as ``printable`` shows it, so that no picture carries a control character."""
        counts = self.cell_counts()
        lines = []
        for seat in range(NUM_SEATS):
            cells = f"{counts[seat]} cell{'' if counts[seat] == 1 else 's'}"
            head = f"{seat} {SEAT_COLOUR_NAMES[seat]}"
            if short:
                tail = f" {scores[seat]:+d}" if scores is not None else ""
                lines.append(f"{head} {cells}{tail}")
                continue
            head += f" {SEAT_MARKS[seat]}: " if marks else ": "
            tail = f", {cells}" + (f", score {scores[seat]}" if scores is not None else "")
            name = printable(names[seat]) if names is not None else f"player_{seat}"
            line = head + name + tail
            while fits is not None and name and not fits(line):
                name = name[:-1]
                line = f"{head}{name}...{tail}"
            lines.append(line)
        return lines

    def rgb(
        self,
        cell_size: int = 16,
        *,
        last: Iterable[tuple[int, int]] | None = None,
        scores: Sequence[int] | None = None,
        names: Sequence[str] | None = None,
    ) -> np.ndarray:
        """The board as an (H, W, 3) uint8 image, as ``svg`` draws it; the legend holds each
        seat's swatch, name, cells placed and score, a long name cut so that the size depends on
        ``cell_size`` alone. The board starts at pixel (``top``, ``left``) of
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
        x = left + cs + 2 * scale
        room = image.shape[1] - x - scale
        lines = self.legend(
            scores, names, marks=False, fits=lambda line: _text_width(line) * scale <= room
        )
        for seat, line in enumerate(lines):
            y = top + side + 1 + 2 * scale + seat * legend_row
            swatch = image[y : y + cs, left : left + cs]
            swatch[:] = SEAT_COLOURS[seat]
            swatch[masks[seat]] = MARK_COLOURS[seat]
            _draw_text(image, line, y + (cs - 5 * scale) // 2, x, scale)
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
        when ``colour`` is set), the last placement in brackets (or bold). 23 lines, the board 63
        columns wide and the legend within ``columns`` (25 lines when long names leave room for
        one seat a line); when ``columns`` is fewer than 63, 24 lines of at most 43."""
        compact = columns < 63
        last_cells = set(last or ())
        width = 2 if compact else 3
        lines = []
        if compact:
            for digits in (lambda c: str(c // 10) if c >= 10 else " ", lambda c: str(c % 10)):
                lines.append("   " + " ".join(digits(c) for c in range(BOARD_SIZE)))
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
        legend = self.legend(
            scores, names, short=compact, marks=False, fits=lambda line: columns_of(line) <= columns
        )
        # Two seats a line when they fit side by side, one a line when the names are too long.
        wide = [columns_of(line) for line in legend]
        half = max(wide[0], wide[2]) + 2
        if half + max(wide[1], wide[3]) <= max(columns, 43):
            legend = [
                legend[left] + " " * (half - wide[left]) + legend[left + 1] for left in (0, 2)
            ]
        lines += legend
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


# The images' pixel font: capitals, digits and the legend's punctuation, 5 pixels high and 3 wide
# but for the few that need more (M, N, W) or less; rows top to bottom. "1" is 2 wide so that
# the column numbers 10 to 19 keep a clear gap between them.
_FONT = {
    char: tuple(rows.split())
    for char, rows in {
        "0": "111 101 101 101 111", "1": "01 11 01 01 01", "2": "111 001 111 100 111",
        "3": "111 001 111 001 111", "4": "101 101 111 001 001", "5": "111 100 111 001 111",
        "6": "111 100 111 101 111", "7": "111 001 010 010 010", "8": "111 101 111 101 111",
        "9": "111 101 111 001 111", "A": "010 101 111 101 101", "B": "110 101 110 101 110",
        "C": "011 100 100 100 011", "D": "110 101 101 101 110", "E": "111 100 110 100 111",
        "F": "111 100 110 100 100", "G": "011 100 101 101 011", "H": "101 101 111 101 101",
        "I": "111 010 010 010 111", "J": "001 001 001 101 010", "K": "101 101 110 101 101",
        "L": "100 100 100 100 111", "M": "10001 11011 10101 10001 10001",
        "N": "1001 1101 1011 1001 1001", "O": "010 101 101 101 010", "P": "110 101 110 100 100",
        "Q": "010 101 101 110 011", "R": "110 101 110 101 101", "S": "011 100 010 001 110",
        "T": "111 010 010 010 010", "U": "101 101 101 101 111", "V": "101 101 101 101 010",
        "W": "10001 10001 10101 11011 10001", "X": "101 101 010 101 101",
        "Y": "101 101 010 010 010", "Z": "111 001 010 100 111", " ": "00 00 00 00 00",
        "-": "000 000 111 000 000", "+": "000 010 111 010 000", ":": "0 1 0 1 0",
        ",": "0 0 0 1 1", ".": "0 0 0 0 1", "_": "000 000 000 000 111",
        "=": "000 111 000 111 000", "(": "01 10 10 10 01", ")": "10 01 01 01 10",
        "/": "001 001 010 100 100", "'": "1 1 0 0 0", "?": "111 001 010 000 010",
    }.items()
}


def _glyph(char: str) -> tuple[str, ...]:
    """A character's rows: lower case drawn as capitals, an accented letter as its letter,
    anything else the font lacks as "?"."""
    return _FONT.get(unicodedata.normalize("NFKD", char)[:1].upper(), _FONT["?"])


def _text_width(text: str) -> int:
    """The width of ``text`` in font pixels, a pixel of space between characters."""
    return sum(len(_glyph(char)[0]) + 1 for char in text) - 1 if text else 0


def _draw_text(
    image: np.ndarray, text: str, top: int, left: int, scale: int, centre: bool = False
) -> None:
    """Draws ``text`` in TEXT_COLOUR, each font pixel ``scale`` pixels square; ``centre``
    centres it on ``left``."""
    if centre:
        left -= _text_width(text) * scale // 2
    for char in text:
        glyph = np.array([[bit == "1" for bit in row] for row in _glyph(char)])
        big = glyph.repeat(scale, axis=0).repeat(scale, axis=1)
        image[top : top + big.shape[0], left : left + big.shape[1]][big] = TEXT_COLOUR
        left += big.shape[1] + scale
