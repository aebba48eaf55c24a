"""How fast games run with the cheapest policy that plays legally (``python -m tavlok bench``).

``run`` plays whole games through ``_tavlok``: the policy observes the seat to move and takes the
first legal grid index at or after a pseudo-random start (``bytes.find`` over the mask, wrapping
around), so that nearly all the time measured is the engine's: observe, the copy of the mask into
bytes, and step. ``run_vector`` times ``VectorEnv.step`` under the same kind of policy, vectorised.
"""

from __future__ import annotations

import random
import time
from typing import NamedTuple

import numpy as np

import _tavlok

from . import _arguments
from .pieces import NUM_ACTIONS
from .vector import VectorEnv


class BenchResult(NamedTuple):
    games: int
    turns: int  # placements; a done seat's passed turn is not counted
    seconds: float

    def __str__(self) -> str:
        return (
            f"{self.games} games, {self.turns} turns in {self.seconds:.3f} s: "
            f"{self.games / self.seconds:.1f} games/s, "
            f"{self.seconds * 1e6 / self.turns:.1f} µs per turn"
        )


def run(games: int, seed: int = 0) -> BenchResult:
    """Play ``games`` whole games and time them; the same seed plays the same games."""
    games = _arguments.whole(games, "games", 1)
    rng = random.Random(seed)
    game = _tavlok.PyTavlok()
    num_actions = game.num_actions
    turns = 0
    started = time.perf_counter()
    for _ in range(games):
        game.reset()
        while not all(game.terminations):
            mask = game.observe(game.agent_selection).action_mask
            start = rng.randrange(num_actions)
            action = mask.find(1, start)
            if action < 0:
                action = mask.find(1, 0, start)
            # A seat with no legal move (the engine marks it done as it observes it) passes.
            game.step(action if action >= 0 else None)
            turns += action >= 0
    return BenchResult(games, turns, time.perf_counter() - started)


def first_legal_from(masks: np.ndarray, start: int) -> np.ndarray:
    """Per row of a bytes-form mask, the first legal grid index at or after ``start``, wrapping
    around to the first one overall: a cheap, legal, not entirely predictable policy."""
    tail = masks[:, start:]
    return np.where(tail.any(axis=1), start + tail.argmax(axis=1), masks.argmax(axis=1))


def first_listed_from(offsets: np.ndarray, indices: np.ndarray, start: int) -> np.ndarray:
    """``first_legal_from`` over lists of legal grid indices (``mask="indices"``): each list is
    ascending and they follow each other env by env, so env * NUM_ACTIONS + index ascends over
    all of them and one binary search per env finds its first index at or after ``start``."""
    envs = np.arange(len(offsets) - 1)
    counts = np.diff(offsets)
    keys = np.repeat(envs * NUM_ACTIONS, counts) + indices
    at = np.searchsorted(keys, envs * NUM_ACTIONS + start)
    # An env whose game is over has no list: it takes the 0 appended, which is not played.
    return np.append(indices, 0)[np.where(at < offsets[1:], at, offsets[:-1])]


class VectorBenchResult(NamedTuple):
    num_envs: int
    threads: int
    mask: str
    steps: int
    step_seconds: float  # inside VectorEnv.step only
    total_seconds: float  # with the policy choosing the actions
    games: int

    @property
    def microseconds_per_env_step(self) -> float:
        return self.step_seconds * 1e6 / (self.num_envs * self.steps)

    def __str__(self) -> str:
        return (
            f"VectorEnv({self.num_envs}, {self.threads} thread(s), mask={self.mask!r}): "
            f"{self.steps} steps, {self.games} games ended; step alone "
            f"{1e6 / self.microseconds_per_env_step:,.0f} env-steps/s "
            f"({self.microseconds_per_env_step:.2f} µs per env-step); with the policy "
            f"{self.num_envs * self.steps / self.total_seconds:,.0f} env-steps/s"
        )


def run_vector(
    num_envs: int,
    threads: int | None = None,
    steps: int | None = None,
    mask: str = "bytes",
    seed: int = 0,
) -> VectorBenchResult:
    """Times ``steps`` batched steps of ``num_envs`` games (by default about 50,000 env-steps)
    under ``first_legal_from`` with a random start drawn each step; the same seed plays the same
    games."""
    steps = _arguments.whole(steps, "steps", 1, allow_none=True)
    if steps is None:
        steps = max(20, 50_000 // num_envs)
    rng = np.random.default_rng(seed)
    with VectorEnv(num_envs, threads, seed=seed, mask=mask) as env:
        obs, _ = env.reset()
        step_seconds = 0.0
        games = 0
        started = time.perf_counter()
        for _ in range(steps):
            start = int(rng.integers(NUM_ACTIONS))
            if mask == "indices":
                actions = first_listed_from(obs["legal_offsets"], obs["legal_indices"], start)
            else:
                masks = obs["action_mask"]
                if mask == "bits":
                    masks = np.unpackbits(masks, axis=1)
                actions = first_legal_from(masks, start)
            before = time.perf_counter()
            obs, _, terminated, _, _ = env.step(actions)
            step_seconds += time.perf_counter() - before
            games += int(terminated.sum())
        total = time.perf_counter() - started
        return VectorBenchResult(num_envs, env.num_threads, mask, steps, step_seconds, total, games)
