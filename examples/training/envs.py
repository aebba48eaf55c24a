"""The learner env both policies train on: the one place that builds it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import gymnasium

# A bot name for all three opponents, three names, or a pool {bot name: weight} drawn from per
# game and per seat.
Opponents = str | list[str] | Mapping[str, float]


def learner_options(
    opponents: Opponents, reward: str, opening: int, candidates: int | None
) -> dict[str, Any]:
    """The env's options: with ``candidates`` K, each observation carries the seat's first K
    candidates and the action is a candidate's number; without, the action is a grid index out of
    the ragged legal rows. Same-step autoreset makes every observation a decision."""
    options: dict[str, Any] = {
        "opponents": opponents,
        "autoreset_mode": "SameStep",
        "reward": reward,
    }
    if opening:
        options["opening"] = opening
    if candidates is None:
        return options | {"mask": "indices"}
    return options | {"mask": "candidates", "candidates": candidates}


def make_envs(num_envs: int, threads: int, **options: Any) -> Any:
    """``num_envs`` learner games side by side, stepped on ``threads`` threads, with the options
    of ``learner_options``."""
    return gymnasium.make_vec(
        "tavlok:tavlok/Tavlok-v0",
        num_envs=num_envs,
        vectorization_mode="vector_entry_point",
        num_threads=threads,
        **options,
    )
