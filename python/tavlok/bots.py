"""Reference opponents: fixed policies from a ``tavlok.State`` to the grid index they play.

Both run in the engine, and the arena (``tavlok.arena``) plays the very same code on its own
threads:

- ``random``: uniform over the legal placements of the seat to move. ``Random(seed)`` makes one
  with its own generator; the module's ``random`` is seeded with 0 when the package is imported.
- ``greedy``: the largest piece first; among its placements, the one with the highest score =
  (the mover's corner cells after the move) + (for each opponent, that opponent's corner cells
  the piece covers). A corner cell of a seat is an empty cell that shares no edge with its pieces
  and touches one of them at a corner: where its next piece can go. Ties go to the lowest grid
  index, so the bot is deterministic.

Calling a bot on a finished game raises ``ValueError``.
"""

from __future__ import annotations

import random as _random
from typing import TYPE_CHECKING, ClassVar

from . import _core

if TYPE_CHECKING:
    from ._core import State

__all__ = ["BOTS", "Greedy", "Random", "greedy", "random"]


class Greedy:
    """Largest piece first, then most corner cells gained and taken; see the module docs."""

    name: ClassVar[str] = "greedy"

    def __call__(self, state: State) -> int:
        return _core.greedy_action(state)

    def __repr__(self) -> str:
        return "tavlok.bots.Greedy()"


class Random:
    """Uniform over the legal placements, drawing from its own generator."""

    name: ClassVar[str] = "random"

    def __init__(self, seed: int | None = None) -> None:
        self.seed = seed
        self._generator = _random.Random(seed)

    def __call__(self, state: State) -> int:
        # The engine picks move floor(key * n / 2**64) of the n: uniform for a uniform key.
        return _core.random_action(state, self._generator.getrandbits(64))

    def __repr__(self) -> str:
        return f"tavlok.bots.Random(seed={self.seed!r})"


greedy = Greedy()
random = Random(seed=0)

# The bots the engine knows by name, for the arena and the command line.
BOTS: dict[str, type[Greedy] | type[Random]] = {"greedy": Greedy, "random": Random}
