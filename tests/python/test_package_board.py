"""Board snapshots and their pictures: the engine's text, SVG and the RGB image."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

import tavlok
from support import rules
from support.drivers import printed_by, replayed
from tavlok import Board, State
from tavlok.board import EMPTY_COLOUR, GRID_COLOUR, MARK_COLOURS



def expected_text(owners):
    """The engine's board text, built from its rule cell by cell."""
    return rules.board_text(lambda row, col: None if owners[row][col] < 0 else owners[row][col])


def played(seed, moves=None):
    """A game after ``moves`` random placements (the whole game when None)."""
    rng = np.random.default_rng(seed)
    state = State()
    while not state.is_terminal() and (moves is None or len(state.history) < moves):
        state.apply(rng.choice(state.legal_actions()))
    return state


def test_board_text_is_the_engine_layout_built_cell_by_cell():
    owners = np.full((20, 20), -1)
    empty = Board(owners).text()
    assert empty == expected_text(owners)
    assert len(empty) == 4263 and empty.count("\n") == 40
    owners[0, 0], owners[0, 19], owners[19, 19], owners[19, 0] = 0, 1, 2, 3
    assert Board(owners).text() == expected_text(owners)
    assert Board(owners).text(colour=False).split("\n")[40] == "19|  3 " + "|  . " * 18 + "|  2 |"
    # The engine writes the text of what it is given as it is, or refuses it: no seat past the
    # four it has colours for, and no array it would have to convert (int64 260 would wrap).
    for cells, error in [
        (np.full((20, 20), 4, np.int8), ValueError),
        (np.full((20, 20), -2, np.int8), ValueError),
        (np.full((20, 20), 260), TypeError),
        (np.zeros((20, 19), np.int8), TypeError),
    ]:
        with pytest.raises(error):
            tavlok._core.board_text(cells)


@pytest.mark.parametrize("moves", [5, None])
def test_board_matches_the_engine_that_played_the_same_moves(moves):
    state = played(seed=11, moves=moves)
    engine = replayed(state.history)
    assert printed_by(engine.render) == (None, (state.board().text() + "\n").encode())
    for viewer in range(4):
        planes = engine.observe(viewer).observation
        assert Board.from_planes(planes, viewer) == state.board(viewer)


def test_rgb_image_shows_seat_colours_marks_and_start_corners():
    board = played(seed=4, moves=24).board()
    image = board.rgb(cell_size=16)
    top, left, _ = Board.layout(16)
    assert image.dtype == np.uint8 and image.shape[2] == 3
    grid = image[top : top + 321, left : left + 321]
    assert (grid[::16, ::16] == GRID_COLOUR).all()
    near_corner = grid[3::16, 3::16][:20, :20]  # inside every cell, outside any mark
    middles = grid[8::16, 8::16][:20, :20]
    patterns = []
    for seat in range(4):
        covered = board.owners == seat
        assert covered.any()
        assert (near_corner[covered] == tavlok.SEAT_COLOURS[seat]).all()
        assert (middles[covered] == MARK_COLOURS[seat]).all()
        r, c = np.argwhere(covered)[0]
        cell = grid[r * 16 + 1 : r * 16 + 16, c * 16 + 1 : c * 16 + 16]
        patterns.append((cell == MARK_COLOURS[seat]).all(axis=2))
    # Each seat's mark has a shape of its own, so the seats differ without their colours.
    assert all(not np.array_equal(a, b) for i, a in enumerate(patterns) for b in patterns[i + 1 :])
    assert (middles[board.owners < 0] == EMPTY_COLOUR).all()
    empty = Board(np.full((20, 20), -1)).rgb(cell_size=16)[top:, left:]
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
