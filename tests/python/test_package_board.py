"""Board snapshots and their pictures: the engine's text, SVG and the RGB image."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

import tavlok
from tavlok import Board, Match, legal_actions

SEP = "-" * 103
COLOURS = {0: "\x1b[44m", 1: "\x1b[43m", 2: "\x1b[41m", 3: "\x1b[42m"}


def expected_text(owners):
    """The engine's board text, built from its rule cell by cell."""
    header = "  |" + "".join(f" {c:>2} |" for c in range(20))
    lines = [header, SEP]
    for r in range(20):
        cells = "".join(
            "|  . " if owners[r][c] < 0 else f"|  {COLOURS[owners[r][c]]}x\x1b[0m "
            for c in range(20)
        )
        lines += [f"{r:>2}{cells}|", SEP]
    return "\n".join(lines[:-1])


def played(seed, moves=None):
    """A match after ``moves`` random placements (the whole game when None)."""
    rng = np.random.default_rng(seed)
    match = Match()
    out = set()
    while len(out) < 4 and (moves is None or len(match.history) < moves):
        seat = match.to_move
        if match.is_done(seat):
            out.add(seat)
            match.pass_turn()
        else:
            match.place(rng.choice(legal_actions(match.observe(seat))))
    return match


def test_board_text_is_the_engine_layout_built_cell_by_cell():
    owners = np.full((20, 20), -1)
    empty = Board(owners).text()
    assert empty == expected_text(owners)
    assert len(empty) == 4263 and empty.count("\n") == 40
    owners[0, 0], owners[0, 19], owners[19, 19], owners[19, 0] = 0, 1, 2, 3
    assert Board(owners).text() == expected_text(owners)
    assert Board(owners).text(colour=False).split("\n")[40] == "19|  3 " + "|  . " * 18 + "|  2 |"


@pytest.mark.parametrize("moves", [5, None])
def test_recorded_board_matches_the_engine_without_observing(moves, capfd):
    match = played(seed=11, moves=moves)
    capfd.readouterr()
    match.game.render()
    assert capfd.readouterr().out == match.board().text() + "\n"
    for viewer in range(4):
        planes = match.game.observe(viewer).observation
        assert Board.from_planes(planes, viewer) == match.board(viewer)


def test_rgb_image_shows_seat_colours_and_marks_start_corners():
    board = played(seed=4, moves=24).board()
    image = board.rgb(cell_size=16)
    assert (image.shape, image.dtype) == ((321, 321, 3), np.uint8)
    middles = image[8::16, 8::16]  # the middle pixel of every cell
    for seat in range(4):
        assert (board.owners == seat).any()
        assert (middles[board.owners == seat] == tavlok.SEAT_COLOURS[seat]).all()
    assert (middles[board.owners < 0] == (244, 244, 245)).all()
    empty = Board(np.full((20, 20), -1)).rgb(cell_size=16)
    for seat, (r, c) in enumerate([(0, 0), (0, 19), (19, 19), (19, 0)]):
        assert tuple(empty[r * 16 + 2, c * 16 + 8]) == tavlok.SEAT_COLOURS[seat]


def test_svg_draws_one_square_per_covered_cell():
    board = played(seed=2, moves=12).board(viewer=2)
    svg = tavlok.board_svg(board)
    assert svg == board._repr_svg_()
    root = ET.fromstring(svg)
    seats = [rect.get("data-seat") for rect in root.iter("{http://www.w3.org/2000/svg}rect")]
    assert [seats.count(str(s)) for s in range(4)] == list(board.cell_counts())
    assert sum(board.cell_counts()) > 12
