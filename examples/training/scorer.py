"""The move-scoring policy: a multilayer perceptron that scores each of a position's candidates
(the env's ``candidate_features``: at most K placements in greedy's order, 44 numbers each) from
its own row alone, and plays the softmax of those scores over the candidates present.

Scoring a row alone is what the engine's net bot does, so the scoring layers are a net the engine
plays: ``export`` writes them as a weights file (``"net:path=FILE"``), and ``from_weights`` reads
one back into a module. The value head is the learner's own and is not exported: it reads the
mean and the maximum of the candidates' last hidden rows (what the moves on offer look like) and
the position's columns of the features, which every row shares.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import torch
from torch import nn
from training.ppo import Evaluate

from tavlok import net
from tavlok.rollout import Rollout

# Where the columns that describe the position, the same in every row, begin.
POSITION = net.FEATURES.index("placed")


class CandidateScorer(nn.Module):
    """Scores ``(games, K, features)`` candidate rows, ``widths`` hidden layers wide."""

    def __init__(self, widths: Sequence[int] = (64, 64), value_width: int = 64) -> None:
        super().__init__()
        # The engine's reader refuses widths or depths its format does not take, at the first
        # export; the value head needs at least one hidden layer to read.
        if not widths:
            raise ValueError("the scorer needs at least one hidden layer")
        layers: list[nn.Module] = []
        inputs = len(net.FEATURES)
        for width in widths:
            layers += [nn.Linear(inputs, width), nn.ReLU()]
            inputs = width
        last = nn.Linear(inputs, 1)
        # Small scores: the untrained policy is close to uniform over its candidates.
        with torch.no_grad():
            last.weight.mul_(0.01)
            last.bias.zero_()
        # What the engine plays: Linear layers with a ReLU between each two, one score out.
        self.score = nn.Sequential(*layers, last)
        self.value = nn.Sequential(
            nn.Linear(2 * inputs + len(net.FEATURES) - POSITION, value_width),
            nn.ReLU(),
            nn.Linear(value_width, 1),
        )

    @property
    def widths(self) -> list[int]:
        return [layer.out_features for layer in self.score[:-1:2]]

    def forward(
        self, features: torch.Tensor, mask: torch.Tensor
    ) -> tuple[torch.Tensor, torch.Tensor]:
        """Each candidate's logit ``(games, K)``, -inf where ``mask`` (bool) has no candidate,
        and each game's value ``(games,)``."""
        hidden = self.score[:-1](features)
        logits = self.score[-1](hidden).squeeze(-1).masked_fill(~mask, -torch.inf)
        present = mask.unsqueeze(-1)
        count = present.sum(1).clamp_min(1)
        mean = (hidden * present).sum(1) / count
        # ReLU rows are never negative, so a zero in place of a missing row leaves the maximum.
        most = (hidden * present).amax(1)
        value = self.value(torch.cat([mean, most, features[:, 0, POSITION:]], 1)).squeeze(1)
        return logits, value

    def evaluator(self, rollout: Rollout) -> Evaluate:
        """PPO's view of a rollout of ``SamplingScorer``: each sample's rows, mask and chosen
        candidate number."""
        samples = rollout.actions.size
        features = torch.from_numpy(rollout.extras["features"].reshape(samples, -1, len(net.FEATURES)))
        mask = torch.from_numpy(rollout.action_mask.reshape(samples, -1) != 0)
        choice = torch.from_numpy(rollout.actions.reshape(samples).astype(np.int64))

        def evaluate(rows: torch.Tensor) -> Any:
            present = mask[rows]
            logits, value = self(features[rows], present)
            log_probs = torch.log_softmax(logits, 1)

            def entropy() -> torch.Tensor:
                # Masked-out entries have p = 0 and log p = -inf: 0 × -inf must count as 0.
                return -(log_probs.exp() * log_probs.masked_fill(~present, 0)).sum(1)

            return log_probs.gather(1, choice[rows, None]).squeeze(1), value, entropy

        return evaluate


def observed(obs: Mapping[str, np.ndarray]) -> tuple[torch.Tensor, torch.Tensor]:
    """The candidate rows of an env's observation, as a copy (an env rewrites its own), and
    which are candidates: those with a grid index, whatever the mask layout."""
    return torch.tensor(obs["candidate_features"]), torch.from_numpy(obs["candidate_indices"] >= 0)


class SamplingScorer:
    """The collecting policy, in ``tavlok.rollout``'s protocol: a candidate number per game drawn
    from the softmax over its candidates (the Gumbel-max trick, from ``generator``), with its
    log-probability and the game's value; the rows it saw go into the rollout as ``"features"``.
    """

    def __init__(self, net: CandidateScorer, generator: torch.Generator | None = None) -> None:
        self.net = net
        self.generator = generator if generator is not None else torch.Generator()

    @torch.no_grad()
    def __call__(self, obs: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        features, mask = observed(obs)
        logits, value = self.net(features, mask)
        uniform = torch.rand(logits.shape, generator=self.generator)
        gumbel = -torch.log(-torch.log(uniform.clamp_min(torch.finfo(logits.dtype).tiny)))
        picked = (logits + gumbel).argmax(1)
        log_probs = torch.log_softmax(logits, 1).gather(1, picked[:, None]).squeeze(1)
        return {
            "actions": picked.numpy(),
            "log_probs": log_probs.numpy(),
            "value": value.numpy(),
            "features": features.numpy(),
        }


@torch.no_grad()
def argmax(scorer: CandidateScorer, obs: Mapping[str, np.ndarray]) -> np.ndarray:
    """Each game's best-scored candidate number (the first on a tie, as the engine picks)."""
    logits, _ = scorer(*observed(obs))
    return logits.argmax(1).numpy()


def export(scorer: CandidateScorer, path: str | os.PathLike[str]) -> net.NetWeights:
    """Writes the scoring layers as the engine's weights file, to play as ``"net:path=FILE"``."""
    return net.export(scorer.score, path)


def from_weights(weights: net.NetWeights) -> CandidateScorer:
    """A scorer whose scoring layers are those of a weights file (``tavlok.net.read(path)``), to
    go on training or to compare with the engine; its value head is new (the file has none)."""
    scorer = CandidateScorer([weight.shape[0] for weight, _ in weights.layers[:-1]])
    with torch.no_grad():
        for layer, (weight, bias) in zip(scorer.score[::2], weights.layers, strict=True):
            layer.weight.copy_(torch.from_numpy(np.array(weight)))
            layer.bias.copy_(torch.from_numpy(np.array(bias)))
    return scorer
