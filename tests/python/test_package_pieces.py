"""The Python piece catalogue against the rules model's own table, and the masks, hands and
scores of a State against the model."""

import numpy as np
import pytest

from support import rules
from tavlok import State
from tavlok.pieces import KIND_ORIENTATIONS, KINDS, ORIENTATIONS


def symmetries(rows):
    """Every distinct shape a piece takes under quarter turns and reflections."""
    cells = {(r, c) for r, row in enumerate(rows) for c, sq in enumerate(row) if sq == "X"}
    shapes = set()
    for _ in range(4):
        cells = {(c, -r) for r, c in cells}
        for variant in (cells, {(r, -c) for r, c in cells}):
            top = min(r for r, _ in variant)
            left = min(c for _, c in variant)
            shapes.add(frozenset((r - top, c - left) for r, c in variant))
    return shapes


def test_each_kind_lists_exactly_its_distinct_orientations():
    assert len(ORIENTATIONS) == 91
    assert [o.index for o in ORIENTATIONS] == list(range(91))
    assert [len(KIND_ORIENTATIONS[k]) for k in KINDS] == [
        1, 2, 4, 2, 4, 1, 8, 2, 4, 8, 1, 8, 4, 4, 8, 8, 4, 4, 4, 8, 2,
    ]  # fmt: skip
    assert [KIND_ORIENTATIONS[k][0] for k in KINDS] == [
        0, 1, 3, 7, 9, 13, 14, 22, 24, 28, 36, 37, 45, 49, 53, 61, 69, 73, 77, 81, 89,
    ]  # fmt: skip
    for kind in KINDS:
        shapes = [ORIENTATIONS[i] for i in KIND_ORIENTATIONS[kind]]
        assert [s.ordinal for s in shapes] == list(range(len(shapes)))
        assert {frozenset(s.cells) for s in shapes} == symmetries(shapes[0].rows), kind
        for s in shapes:
            assert len({len(row) for row in s.rows}) == 1, f"ragged rows in {s}"
            assert "X" in s.rows[0] and any(row[0] == "X" for row in s.rows), s
    placements = [(21 - o.height) * (21 - o.width) for o in ORIENTATIONS]
    assert sum(placements) == 30433


def test_catalogue_is_the_rules_models_own_table():
    expected = [(kind, shape) for kind, shapes in rules.CATALOGUE for shape in shapes]
    assert [(o.kind, "/".join(o.rows)) for o in ORIENTATIONS] == expected


@pytest.mark.parametrize("seed", [0, 1])
def test_masks_hands_and_scores_match_the_rules_model(seed):
    # Any orientation typed wrongly in the catalogue, or any shift of the engine's, shows up as a
    # placement that one side allows and the other does not.
    rng = np.random.default_rng(seed)
    state, model = State(), rules.Model()
    while not state.is_terminal():
        seat = state.seat
        while model.selection != seat:  # the seats the State passed have no move in the model
            model.observe(model.selection)
            assert model.done[model.selection]
            model.step(None)
        model.observe(seat)
        legal = state.legal_actions()
        assert legal.tolist() == sorted(model.mask[seat])
        np.testing.assert_array_equal(
            state.hands(seat), [model.in_hand[(seat + k) % 4] for k in range(4)]
        )
        move = int(rng.choice(legal))
        state.apply(move)
        assert model.step(move) is None
    for seat in range(4):
        model.observe(seat)
    assert list(state.scores()) == model.rewards()
