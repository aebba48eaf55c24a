"""Moves as a person types and reads them: PIECE ORDINAL ROW COL (or ORIENTATION ROW COL) in
board coordinates, the lists of legal moves and pieces in hand, and drawings of a piece."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from ..actions import decode, encode, turned
from ..pieces import KIND_ORIENTATIONS, KINDS, ORIENTATIONS, find_kind, orientation_index
from ..state import State

MOVE_HELP = """\
Type a move as PIECE ORDINAL ROW COL, for example 'PentominoF 2 5 7': the
piece's name (any letter case), which of its orientations, and the row and
column of the top-left corner of the orientation's bounding box. ORIENTATION
ROW COL with the orientation index 0-90 works too. Rows and columns are the
board's, as numbered on the board shown, for every seat: seat 0's start corner
is top-left, seat 1's top-right, seat 2's bottom-right, seat 3's bottom-left.
  ? or moves [PIECE]  list your legal moves, optionally of one piece
  pieces [PIECE]      list the pieces you hold, or draw one piece's orientations
  show PIECE          draw a piece's orientations with their ordinals
  board               show the board again
  quit                leave the game (so does end of input)"""


def parse_move(words: Sequence[str]) -> int:
    """The grid index of a typed move: PIECE ORDINAL ROW COL, or ORIENTATION ROW COL."""
    if len(words) == 4 or (len(words) == 3 and not words[0].lstrip("-").isdigit()):
        kind = _kind(words[0])
        if len(words) == 3:
            raise ValueError(
                f"give {kind}'s orientation too: {kind} ORDINAL ROW COL ('show {kind}')"
            )
        ordinal, row, col = (
            _number(w, name) for w, name in zip(words[1:], ("ordinal", "row", "col"), strict=True)
        )
        return encode(orientation_index(kind, ordinal), row, col)
    if len(words) == 3:
        orientation, row, col = (
            _number(w, name) for w, name in zip(words, ("orientation", "row", "col"), strict=True)
        )
        return encode(orientation, row, col)
    raise ValueError(
        "a move is PIECE ORDINAL ROW COL (for example 'PentominoF 2 5 7') or ORIENTATION ROW COL"
    )


def _kind(name: str) -> str:
    try:
        return find_kind(name)
    except KeyError as error:
        raise ValueError(error.args[0]) from None


def _number(word: str, name: str) -> int:
    try:
        return int(word)
    except ValueError:
        raise ValueError(f"{name} must be a whole number, not {word!r}") from None


def moves_text(legal: np.ndarray, filters: Sequence[str], seat: int = 0) -> str:
    """The legal moves of ``seat`` (grid indices in its frame), of the pieces named in
    ``filters`` when there are any, grouped by orientation."""
    kinds = {_kind(name) for name in filters}
    squares: dict[tuple[str, int], list[str]] = {}
    for index in sorted(turned(i, seat) for i in legal.tolist()):
        placement = decode(index)
        if not kinds or placement.piece in kinds:
            key = (placement.piece, placement.ordinal)
            squares.setdefault(key, []).append(f"{placement.row} {placement.col}")
    if not squares:
        return "no legal move" + (f" with {', '.join(sorted(kinds))}" if kinds else "")
    total = sum(len(at) for at in squares.values())
    lines = [f"{total} legal move{'s' if total != 1 else ''} (PIECE ORDINAL: ROW COL, ...):"]
    lines += [f"  {kind} {ordinal}: {', '.join(at)}" for (kind, ordinal), at in squares.items()]
    return "\n".join(lines)


def pieces_text(state: State, seat: int) -> str:
    """The pieces ``seat`` holds, with the range of their orientation ordinals."""
    held = [kind for kind, holds in zip(KINDS, state.hands(seat)[0], strict=True) if holds]
    lines = [f"{len(held)} pieces in hand (name: orientation ordinals):"]
    lines += [f"  {kind}: 0-{len(KIND_ORIENTATIONS[kind]) - 1}" for kind in held]
    return "\n".join(lines)


def show_text(names: Sequence[str]) -> str:
    """One piece's orientations drawn side by side under their ordinals."""
    if len(names) != 1:
        raise ValueError("show takes one piece name, for example 'show PentominoF'")
    kind = _kind(names[0])
    shapes = [ORIENTATIONS[index] for index in KIND_ORIENTATIONS[kind]]
    height = max(shape.height for shape in shapes)
    width = max(shape.width for shape in shapes)
    gap = "   "
    lines = [kind, gap.join(str(shape.ordinal).ljust(width) for shape in shapes).rstrip()]
    for r in range(height):
        cells = ((shape.rows[r] if r < shape.height else "").ljust(width, " ") for shape in shapes)
        lines.append(gap.join(cells).rstrip())
    return "\n".join(lines)
