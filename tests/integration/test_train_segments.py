"""The ragged-row operations of examples/training against their dense equivalents: a softmax
over 36,400 logits with the illegal ones masked out, and numpy slicing of the rows.

These need PyTorch: run them with ``make test-integration``.
"""

import sys
from pathlib import Path

import numpy as np
import pytest
import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

from training.model import Batch, PolicyNet  # noqa: E402
from training.segments import (  # noqa: E402
    gather_rows,
    segment_argmax,
    segment_entropy,
    segment_ids,
    segment_log_softmax,
    segment_sample,
)

from tavlok.pieces import NUM_ACTIONS  # noqa: E402


def ragged(lengths, seed=0):
    """Random legal rows of the given lengths: ascending distinct grid indices per row, with
    logits for each entry."""
    rng = np.random.default_rng(seed)
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    rows = [np.sort(rng.choice(NUM_ACTIONS, size=n, replace=False)) for n in lengths]
    indices = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
    logits = rng.normal(scale=3.0, size=len(indices))
    return (
        torch.from_numpy(offsets),
        torch.from_numpy(indices.astype(np.int64)),
        torch.tensor(logits, dtype=torch.float64, requires_grad=True),
    )


def dense(offsets, indices, logits):
    """The same logits in a (rows, 36400) grid, -inf where a grid index is not legal."""
    rows = len(offsets) - 1
    grid = torch.full((rows, NUM_ACTIONS), -torch.inf, dtype=logits.dtype)
    return grid.index_put((segment_ids(offsets), indices), logits)


LENGTHS = [5, 1, 300, 2, 57]


def test_log_softmax_entropy_and_gradients_match_a_dense_masked_softmax():
    offsets, indices, logits = ragged(LENGTHS)
    segments, rows = segment_ids(offsets), len(LENGTHS)
    log_probs = segment_log_softmax(logits, segments, rows)
    full = torch.log_softmax(dense(offsets, indices, logits), dim=1)
    expected = full[segments, indices]
    torch.testing.assert_close(log_probs, expected)
    # A row of one legal move is certain.
    assert log_probs[offsets[1]].item() == pytest.approx(0.0, abs=1e-12)

    probs = full.exp()
    dense_entropy = -torch.where(probs > 0, probs * full, torch.zeros_like(full)).sum(1)
    torch.testing.assert_close(segment_entropy(log_probs, segments, rows), dense_entropy)

    weights = torch.linspace(-1, 2, len(indices), dtype=logits.dtype)
    (ours,) = torch.autograd.grad((weights * log_probs).sum(), logits)
    (theirs,) = torch.autograd.grad((weights * expected).sum(), logits)
    torch.testing.assert_close(ours, theirs)


def test_log_softmax_is_stable_for_large_logits():
    offsets, indices, logits = ragged([4, 3], seed=1)
    shifted = logits.detach() + torch.tensor([1e4] * 4 + [-1e4] * 3, dtype=logits.dtype)
    segments = segment_ids(offsets)
    log_probs = segment_log_softmax(shifted, segments, 2)
    assert torch.isfinite(log_probs).all()
    torch.testing.assert_close(log_probs, segment_log_softmax(logits.detach(), segments, 2))


def test_argmax_picks_each_rows_best_entry_and_the_first_on_a_tie():
    offsets, indices, logits = ragged(LENGTHS, seed=2)
    segments = segment_ids(offsets)
    picked = segment_argmax(logits.detach(), segments, len(LENGTHS))
    grid = dense(offsets, indices, logits.detach())
    assert torch.equal(indices[picked], grid.argmax(1))
    assert torch.equal(segments[picked], torch.arange(len(LENGTHS)))

    tied = torch.tensor([0.0, 2.0, 2.0, 1.0, 5.0, 5.0])
    segments = segment_ids(torch.tensor([0, 4, 6]))
    assert segment_argmax(tied, segments, 2).tolist() == [1, 4]


def test_samples_follow_the_rows_softmax():
    offsets, indices, logits = ragged([6, 3], seed=3)
    logits = logits.detach()
    segments = segment_ids(offsets)
    generator = torch.Generator().manual_seed(0)
    draws = 20_000
    counts = torch.zeros(len(indices))
    for _ in range(draws // 1000):
        # 1000 copies of the two rows side by side: one call draws 2000 samples.
        many_offsets = torch.cat(
            [torch.zeros(1, dtype=torch.int64), torch.tensor([6, 3] * 1000).cumsum(0)]
        )
        many = segment_sample(logits.repeat(1000), segment_ids(many_offsets), 2000, generator)
        assert torch.equal(segment_ids(many_offsets)[many], torch.arange(2000))
        counts += torch.bincount(many % len(indices), minlength=len(indices)).float()
    probs = segment_log_softmax(logits, segments, 2).exp()
    frequency = counts / draws
    stderr = (probs * (1 - probs) / draws).sqrt()
    assert ((frequency - probs).abs() <= 5 * stderr + 1e-9).all(), (frequency, probs)
    # The same generator state draws the same samples.
    again = torch.Generator().manual_seed(5)
    first = segment_sample(logits, segments, 2, again)
    assert torch.equal(first, segment_sample(logits, segments, 2, torch.Generator().manual_seed(5)))


def test_gather_rows_takes_the_rows_entries_in_order():
    offsets, indices, _ = ragged(LENGTHS, seed=4)
    rows = torch.tensor([4, 1, 1, 2, 0])
    new_offsets, entries = gather_rows(offsets, rows)
    expected = [indices[offsets[r] : offsets[r + 1]] for r in rows.tolist()]
    assert new_offsets.tolist() == np.cumsum([0] + [len(e) for e in expected]).tolist()
    assert torch.equal(indices[entries], torch.cat(expected))


def test_a_games_logits_do_not_depend_on_the_games_beside_it():
    # The anchor of an entry is found through its row's game: scoring three games together must
    # give each game exactly what scoring it alone gives.
    torch.manual_seed(0)
    net = PolicyNet().eval()
    offsets, indices, _ = ragged([7, 12, 3], seed=5)
    planes = torch.randint(0, 2, (3, 4, 20, 20), dtype=torch.uint8)
    hands = torch.randint(0, 2, (3, 4, 21), dtype=torch.uint8)
    with torch.no_grad():
        together, values = net(Batch(planes, hands, offsets, indices))
        for game in range(3):
            rows = slice(int(offsets[game]), int(offsets[game + 1]))
            alone, value = net(
                Batch(
                    planes[game : game + 1],
                    hands[game : game + 1],
                    torch.tensor([0, rows.stop - rows.start]),
                    indices[rows],
                )
            )
            torch.testing.assert_close(together[rows], alone)
            torch.testing.assert_close(values[game : game + 1], value)
