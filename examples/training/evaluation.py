"""The policy in ``tavlok.arena`` against three of the engine's bots, and the learning curve."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
import torch
from training.model import Batch, PolicyNet
from training.segments import segment_argmax

import tavlok


class ArgmaxPolicy:
    """A batched arena policy: each game's highest-scoring legal placement. Deterministic, so a
    position gets the same answer whatever games share its batch, and the arena's results do not
    depend on its batch size or threads."""

    name = "ppo"

    def __init__(self, net: PolicyNet) -> None:
        self.net = net

    @torch.no_grad()
    def __call__(self, obs: Mapping[str, np.ndarray]) -> np.ndarray:
        batch = Batch.from_obs(obs)
        logits, _ = self.net(batch)
        return batch.indices[segment_argmax(logits, batch.segments, batch.rows)].numpy()


def evaluate(
    player: str | ArgmaxPolicy, opponent: str, games: int, seed: int, threads: int, opening: int
) -> tavlok.ArenaResult:
    """``games`` games of ``player`` (a batched policy, or a bot name such as a scorer's exported
    ``"net:path=FILE"``) against three ``opponent`` bots, seats rotating."""
    return tavlok.arena(
        [player, opponent, opponent, opponent],
        games=games,
        seed=seed,
        threads=threads,
        opening=opening,
    )


def plot(
    curve: Sequence[Mapping[str, float]], opponents: Sequence[str], path: str, title: str
) -> None:
    """Win rate (with its 95% interval) against each opponent over env-steps, as a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    steps = np.array([row["env_steps"] for row in curve])
    figure, axes = plt.subplots(figsize=(7, 4.2), dpi=120)
    for opponent in opponents:
        rate = np.array([row[f"{opponent}_win_rate"] for row in curve])
        low = np.array([row[f"{opponent}_low"] for row in curve])
        high = np.array([row[f"{opponent}_high"] for row in curve])
        (line,) = axes.plot(steps, rate, marker="o", markersize=3, label=f"vs 3 × {opponent}")
        axes.fill_between(steps, low, high, color=line.get_color(), alpha=0.2)
    axes.axhline(0.25, color="grey", linestyle="--", linewidth=1, label="even share (25%)")
    axes.set_xlabel("learner env-steps")
    axes.set_ylabel("win rate (95% interval)")
    axes.set_ylim(0, 1)
    axes.grid(alpha=0.3)
    axes.legend(loc="center right")
    axes.set_title(title)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
