"""The network: a small convolutional net over the learner's planes and the four hands, scoring
each legal placement at its anchor cell, plus a value head.

A grid index is orientation × 400 + cell, the cell being the top-left corner of the
orientation's bounding box. The trunk gives every cell a feature vector; a placement's logit is
that vector at its cell dotted with a learnt vector of its orientation, plus the orientation's
bias. Only the legal indices are scored, so a game with 300 legal placements costs 300 dot
products, not 36,400. The trunk is small on purpose: CPU time per sample is what limits a
training run on a laptop, and three 3 × 3 convolutions, the last one dilated, already see the
9 × 9 cells centred on the anchor, which hold every cell a five-cell piece placed there covers.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import torch
from torch import nn
from training.ppo import Evaluate
from training.segments import gather_rows, segment_entropy, segment_ids, segment_log_softmax

from tavlok.pieces import CELLS_PER_BOARD, KINDS, NUM_ORIENTATIONS, NUM_SEATS
from tavlok.rollout import Rollout

HANDS = NUM_SEATS * len(KINDS)


class Batch:
    """The tensors of a batch of observations: planes, hands and the ragged legal rows."""

    def __init__(
        self,
        planes: torch.Tensor,
        hands: torch.Tensor,
        offsets: torch.Tensor,
        indices: torch.Tensor,
    ) -> None:
        self.planes, self.hands, self.offsets, self.indices = planes, hands, offsets, indices
        self.rows = len(offsets) - 1
        self.segments = segment_ids(offsets)

    @classmethod
    def from_obs(cls, obs: Mapping[str, np.ndarray]) -> Batch:
        """From an env's or the arena's observation dict. The arrays are copied: an env rewrites
        its own at the next step."""
        return cls(
            torch.tensor(obs["observation"]),
            torch.tensor(obs["hands"]),
            torch.tensor(obs["legal_offsets"], dtype=torch.int64),
            torch.tensor(obs["legal_indices"], dtype=torch.int64),
        )


class PolicyNet(nn.Module):
    def __init__(self, channels: int = 16, blocks: int = 2) -> None:
        super().__init__()
        self.stem = nn.Conv2d(NUM_SEATS, channels, 3, padding=1)
        self.hands = nn.Linear(HANDS, channels)
        # Dilation 1, 2, 1, 2, ...: a dilated layer widens the view by four cells for the same cost.
        self.blocks = nn.ModuleList(
            nn.Conv2d(channels, channels, 3, padding=1 + i % 2, dilation=1 + i % 2)
            for i in range(blocks)
        )
        # Small orientation vectors: the untrained policy is close to uniform over legal moves.
        self.orientation = nn.Parameter(torch.randn(NUM_ORIENTATIONS, channels) * 0.01)
        self.orientation_bias = nn.Parameter(torch.zeros(NUM_ORIENTATIONS))
        self.value = nn.Sequential(nn.Linear(channels + HANDS, 64), nn.ReLU(), nn.Linear(64, 1))

    def forward(self, batch: Batch) -> tuple[torch.Tensor, torch.Tensor]:
        """The logits of every legal entry ``(len(batch.indices),)`` and each game's value."""
        hands = batch.hands.flatten(1).float()
        x = torch.relu(self.stem(batch.planes.float()) + self.hands(hands)[:, :, None, None])
        for conv in self.blocks:
            x = torch.relu(x + conv(x))
        cells = x.flatten(2).transpose(1, 2).reshape(-1, x.shape[1])  # (games * 400, channels)
        orientation = batch.indices // CELLS_PER_BOARD
        anchor = batch.segments * CELLS_PER_BOARD + batch.indices % CELLS_PER_BOARD
        logits = (cells[anchor] * self.orientation[orientation]).sum(1)
        logits = logits + self.orientation_bias[orientation]
        value = self.value(torch.cat([x.mean((2, 3)), hands], 1)).squeeze(1)
        return logits, value

    def evaluator(self, rollout: Rollout) -> Evaluate:
        """PPO's view of a rollout of ``SamplingPolicy``: the minibatch's ragged legal rows
        gathered out of the rollout's, scored, and read at each sample's chosen entry."""
        samples = rollout.actions.size

        def flat(array: np.ndarray) -> torch.Tensor:  # sample s = step × num_envs + env
            return torch.from_numpy(array.reshape(samples, *array.shape[2:]))

        planes, hands = flat(rollout.observation), flat(rollout.hands)
        offsets = torch.from_numpy(rollout.legal_offsets)
        indices = torch.from_numpy(rollout.legal_indices).long()
        choice = flat(rollout.extras["choice"])

        def evaluate(rows: torch.Tensor) -> Any:
            row_offsets, entries = gather_rows(offsets, rows)
            batch = Batch(planes[rows], hands[rows], row_offsets, indices[entries])
            logits, value = self(batch)
            log_probs = segment_log_softmax(logits, batch.segments, batch.rows)
            return (
                log_probs[row_offsets[:-1] + choice[rows]],
                value,
                lambda: segment_entropy(log_probs, batch.segments, batch.rows),
            )

        return evaluate
