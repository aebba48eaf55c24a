"""The Python piece catalogue against the game's rules and against the engine's masks."""

import numpy as np
import pytest

from tavlok import Match, legal_actions
from tavlok.pieces import KIND_ORIENTATIONS, KIND_SIZE, KINDS, ORIENTATIONS


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
    assert [KIND_SIZE[k] for k in KINDS] == [1, 2, 3, 3] + [4] * 5 + [5] * 12
    placements = [(21 - o.height) * (21 - o.width) for o in ORIENTATIONS]
    assert sum(placements) == 30433


# Cells of every placement as flat indices into a 401-cell board whose last cell stays empty, so
# that pieces of fewer than five cells pad with it; and the kind of every placement.
_PLACEMENTS = [
    (o, r, c) for o in ORIENTATIONS for r in range(20) for c in range(20) if o.fits(r, c)
]
_GRID = np.array([o.index * 400 + r * 20 + c for o, r, c in _PLACEMENTS])
_CELLS = np.array(
    [
        [(r + dr) * 20 + c + dc for dr, dc in o.cells] + [400] * (5 - o.size)
        for o, r, c in _PLACEMENTS
    ]
)
_KIND = np.array([KINDS.index(o.kind) for o, _, _ in _PLACEMENTS])


def oracle_mask(planes, kinds_placed):
    """The legal grid indices by the rules, from the planes alone, cell by cell."""
    own = np.pad(planes[0].astype(bool), 1)
    edge = own[:-2, 1:-1] | own[2:, 1:-1] | own[1:-1, :-2] | own[1:-1, 2:]
    corner = own[:-2, :-2] | own[:-2, 2:] | own[2:, :-2] | own[2:, 2:]
    blocked = planes.any(axis=0) | edge
    if not kinds_placed:
        blocked, corner = np.zeros((20, 20), bool), np.zeros((20, 20), bool)
        corner[0, 0] = True
    blocked = np.append(blocked.ravel(), False)
    corner = np.append(corner.ravel(), False)
    in_hand = ~np.isin(_KIND, [KINDS.index(k) for k in kinds_placed])
    legal = ~blocked[_CELLS].any(axis=1) & corner[_CELLS].any(axis=1) & in_hand
    mask = np.zeros(36400, dtype=np.uint8)
    mask[_GRID[legal]] = 1
    return mask


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_engine_masks_match_the_rules_applied_to_the_catalogue(seed):
    # Any orientation typed wrongly in the catalogue, or any shift of the engine's, shows up as a
    # placement that one side allows and the other does not.
    rng = np.random.default_rng(seed)
    match = Match()
    out = set()
    while len(out) < 4:
        seat = match.to_move
        observation = match.observe(seat)
        planes = np.frombuffer(observation.observation, np.uint8).reshape(4, 20, 20)
        mask = np.frombuffer(observation.action_mask, np.uint8)
        np.testing.assert_array_equal(mask, oracle_mask(planes, match.pieces_placed(seat)))
        if match.is_done(seat):
            out.add(seat)
            match.pass_turn()
        else:
            match.place(rng.choice(legal_actions(mask)))
