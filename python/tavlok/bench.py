"""How fast whole games run through ``_tavlok`` with the cheapest policy that plays legally.

The policy observes the seat to move, and takes the first legal grid index at or after a
pseudo-random start (``bytes.find`` over the mask, wrapping around), so that nearly all the time
measured is the engine's: observe, the copy of the mask into bytes, and step.
"""

from __future__ import annotations

import random
import time
from typing import NamedTuple

import _tavlok


class BenchResult(NamedTuple):
    games: int
    turns: int  # placements; a done seat's passed turn is not counted
    seconds: float

    @property
    def games_per_second(self) -> float:
        return self.games / self.seconds

    @property
    def microseconds_per_turn(self) -> float:
        return self.seconds * 1e6 / self.turns

    def __str__(self) -> str:
        return (
            f"{self.games} games, {self.turns} turns in {self.seconds:.3f} s: "
            f"{self.games_per_second:.1f} games/s, {self.microseconds_per_turn:.1f} µs per turn"
        )


def run(games: int, seed: int = 0) -> BenchResult:
    """Play ``games`` whole games and time them; the same seed plays the same games."""
    if games < 1:
        raise ValueError("games must be at least 1")
    rng = random.Random(seed)
    game = _tavlok.PyTavlok()
    num_actions = game.num_actions
    turns = 0
    started = time.perf_counter()
    for _ in range(games):
        game.reset()
        done = [False] * 4
        playing = 4
        while playing:
            seat = game.agent_selection
            if done[seat]:
                game.step(None)
                continue
            mask = game.observe(seat).action_mask
            start = rng.randrange(num_actions)
            action = mask.find(1, start)
            if action < 0:
                action = mask.find(1, 0, start)
            if action < 0:
                # The observation found no legal move, so the engine has marked the seat done.
                done[seat] = True
                playing -= 1
                game.step(None)
                continue
            game.step(action)
            turns += 1
    return BenchResult(games, turns, time.perf_counter() - started)
