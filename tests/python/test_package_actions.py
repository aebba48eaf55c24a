"""Grid indices as placements, and the numpy views of an observation."""

import numpy as np
import pytest

import _tavlok
import tavlok
from tavlok._core import turn_cell as turn_clockwise
from tavlok.actions import turn_orientation, turned


def memory_owner(array):
    """The object at the end of an array's chain of bases: what it is a view of."""
    while isinstance(array, np.ndarray):
        array = array.base
    return array


def test_decode_and_encode_are_inverse_over_the_whole_grid():
    decoded = 0
    for index in range(36400):
        try:
            placement = tavlok.decode(index)
        except ValueError:
            continue
        decoded += 1
        assert tavlok.encode(placement.orientation, placement.row, placement.col) == index
        assert placement.grid_index == index
        assert tavlok.ORIENTATIONS[placement.orientation].kind == placement.piece
    assert decoded == 30433
    placement = tavlok.decode(np.int64(30 * 400 + 5 * 20 + 7))
    assert placement == tavlok.Placement("PentominoF", 30, 5, 7, 2)
    assert str(placement) == "PentominoF 2 5 7"
    # Orientation 69 is X.X over XXX: the gap in the top row is not covered.
    assert tavlok.decode(69 * 400).cells == ((0, 0), (0, 2), (1, 0), (1, 1), (1, 2))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: tavlok.decode(-1), "outside 0 to 36399"),
        (lambda: tavlok.decode(36400), "outside 0 to 36399"),
        (lambda: tavlok.decode(1 * 400 + 19), "Domino 0 .1x2. does not fit at row 0, col 19"),
        (lambda: tavlok.encode(91, 0, 0), "orientation 91 is outside 0 to 90"),
        (lambda: tavlok.encode(90, 16, 0), "rows go up to 15 and columns up to 19"),
        (lambda: tavlok.encode(0, 0, -1), "does not fit"),
        (lambda: turned(1 * 400 + 19, 1), "names no placement"),
        (lambda: turn_clockwise(0, 20, 1), "col 20 is outside 0 to 19"),
        (lambda: turn_orientation(-1), "orientation -1 is outside 0 to 90"),
    ],
)
def test_indices_that_name_no_placement_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_arrays_wrap_the_observation_bytes_in_engine_layout():
    game = _tavlok.PyTavlok()
    game.step(tavlok.encode(13, 0, 0))  # seat 0: the square tetromino in its corner
    observation = game.observe(1)
    planes, mask = tavlok.arrays(observation)
    assert (planes.shape, planes.dtype) == ((4, 20, 20), np.uint8)
    assert (mask.shape, mask.dtype) == (tuple(game.action_grid_shape), np.uint8)
    assert not planes.flags.writeable and not mask.flags.writeable
    assert isinstance(memory_owner(planes), bytes) and isinstance(memory_owner(mask), bytes)
    # Seen from seat 1, seat 0 is the seat before it: plane 3, turned a quarter counter-clockwise.
    assert {tuple(cell) for cell in np.argwhere(planes[3])} == {(19, 0), (19, 1), (18, 0), (18, 1)}
    assert planes[:3].sum() == 0
    legal = tavlok.legal_actions(observation)
    np.testing.assert_array_equal(legal, np.flatnonzero(mask))
    assert len(legal) == 58 and all(
        tavlok.decode(g).row == 0 == tavlok.decode(g).col for g in legal
    )
    np.testing.assert_array_equal(tavlok.legal_actions(observation.action_mask), legal)
    np.testing.assert_array_equal(tavlok.legal_actions(mask), legal)


@pytest.mark.parametrize("seed", [0, 1])
def test_placements_turned_into_each_frame_land_where_the_engine_shows_them(seed):
    # Each move is in its mover's frame; every seat's planes show it turned into that seat's.
    rng = np.random.default_rng(seed)
    state = tavlok.State()
    while not state.is_terminal():
        mover = state.seat
        move = int(rng.choice(state.legal_actions()))
        state.apply(move)
        for viewer in range(4):
            plane = state.observation(viewer)[0][(mover - viewer) % 4]
            for r, c in tavlok.decode(turned(move, mover - viewer)).cells:
                assert plane[r, c] == 1
            # The mover's first piece covered its start corner, (0, 0) in its own frame.
            assert plane[turn_clockwise(0, 0, mover - viewer)] == 1
