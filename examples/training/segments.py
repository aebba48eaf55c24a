"""Softmax, sampling and argmax over ragged rows of legal actions, with torch ops only.

The env lists each game's legal grid indices end to end (``legal_indices``), game i's being
``legal_indices[offsets[i]:offsets[i + 1]]``. A policy scores those entries only, so every
reduction below runs over the entries of a row (a segment) with ``scatter_reduce`` and
``index_add``: O(legal placements) work, where a dense mask costs 36,400 per game.
"""

from __future__ import annotations

import torch


def segment_ids(offsets: torch.Tensor) -> torch.Tensor:
    """The row of each entry: ``(offsets[-1],)`` int64 from ``(rows + 1,)`` offsets."""
    rows = len(offsets) - 1
    lengths = offsets[1:] - offsets[:-1]
    return torch.repeat_interleave(torch.arange(rows, device=offsets.device), lengths)


def segment_max(values: torch.Tensor, segments: torch.Tensor, rows: int) -> torch.Tensor:
    """Each row's largest value; -inf for an empty row."""
    start = torch.full((rows,), -torch.inf, dtype=values.dtype, device=values.device)
    return start.scatter_reduce(0, segments, values, "amax", include_self=True)


def segment_sum(values: torch.Tensor, segments: torch.Tensor, rows: int) -> torch.Tensor:
    return torch.zeros(rows, dtype=values.dtype, device=values.device).index_add(
        0, segments, values
    )


def segment_log_softmax(logits: torch.Tensor, segments: torch.Tensor, rows: int) -> torch.Tensor:
    """log p of every entry, p being the softmax of the logits within its row."""
    # Subtracting the row's maximum changes nothing but keeps exp() in range; as a constant it
    # needs no gradient.
    shifted = logits - segment_max(logits.detach(), segments, rows)[segments]
    return shifted - segment_sum(shifted.exp(), segments, rows).log()[segments]


def segment_entropy(log_probs: torch.Tensor, segments: torch.Tensor, rows: int) -> torch.Tensor:
    """Each row's entropy, from its entries' log-probabilities."""
    return -segment_sum(log_probs.exp() * log_probs, segments, rows)


def segment_argmax(values: torch.Tensor, segments: torch.Tensor, rows: int) -> torch.Tensor:
    """The position (into ``values``) of each row's largest entry, the first one on a tie; an
    empty row gets ``len(values)``, which indexes nothing."""
    total = len(values)
    is_max = values == segment_max(values, segments, rows)[segments]
    positions = torch.arange(total, device=values.device)
    candidates = torch.where(is_max, positions, total)
    first = torch.full((rows,), total, dtype=positions.dtype, device=values.device)
    return first.scatter_reduce(0, segments, candidates, "amin", include_self=True)


def segment_sample(
    logits: torch.Tensor, segments: torch.Tensor, rows: int, generator: torch.Generator
) -> torch.Tensor:
    """One entry per row drawn from the row's softmax (the Gumbel-max trick: the argmax of the
    logits plus independent Gumbel noise is a sample), as a position into ``logits``."""
    uniform = torch.rand(len(logits), generator=generator, dtype=logits.dtype)
    gumbel = -torch.log(-torch.log(uniform.clamp_min(torch.finfo(logits.dtype).tiny)))
    return segment_argmax(logits + gumbel, segments, rows)


def gather_rows(offsets: torch.Tensor, rows: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    """The ragged rows ``rows`` taken out of ``offsets``: their new offsets and, for each of
    their entries, its position in the old entries (index the old arrays with it)."""
    starts, ends = offsets[rows], offsets[rows + 1]
    lengths = ends - starts
    new_offsets = torch.zeros(len(rows) + 1, dtype=offsets.dtype, device=offsets.device)
    torch.cumsum(lengths, 0, out=new_offsets[1:])
    segments = segment_ids(new_offsets)
    within = torch.arange(int(new_offsets[-1]), device=offsets.device) - new_offsets[segments]
    return new_offsets, starts[segments] + within
