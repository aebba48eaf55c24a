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

``PerState(function)`` makes a bot for the arena out of any function from a State to a grid
index (see ``tavlok.arena``).
"""

from __future__ import annotations

import operator
import random as _random
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, ClassVar, SupportsIndex

from . import _core

if TYPE_CHECKING:
    from ._core import State

__all__ = ["BOTS", "Greedy", "PerState", "Random", "engine_name", "greedy", "random"]


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


class PerState:
    """A bot for ``tavlok.arena`` from a function of one ``State`` to the grid index it plays.

    The arena calls it once for every move it makes, on a copy of the game, in a fixed order; a
    batched policy, called once for all the games waiting for it, is the faster choice for a
    model. ``name`` is what the arena's results call it (the function's name by default).
    """

    def __init__(self, function: Callable[[State], SupportsIndex], name: str | None = None):
        if not callable(function):
            raise TypeError(f"PerState needs a function of one State, not {function!r}")
        self.function = function
        self.name = name if name is not None else _name_of(function)

    def __call__(self, state: State) -> int:
        return operator.index(self.function(state))

    def __repr__(self) -> str:
        return f"tavlok.bots.PerState({self.function!r}, name={self.name!r})"


greedy = Greedy()
random = Random(seed=0)

# The bots the engine knows by name, for the arena and the command line.
BOTS: dict[str, type[Greedy] | type[Random]] = {"greedy": Greedy, "random": Random}

# The moves the engine makes itself: a bot whose class keeps one of them is played by the engine in
# the arena; a subclass with a __call__ of its own is played by calling it.
_ENGINE_MOVES = {cls.__call__: cls for cls in BOTS.values()}


def engine_name(bot: Any) -> str | None:
    """The name the engine plays ``bot`` by in the arena, when the engine can play it itself: a
    bot of this module whose move has not been replaced. None for anything else."""
    if isinstance(bot, tuple(BOTS.values())) and type(bot).__call__ in _ENGINE_MOVES:
        return bot.name
    return None


def _name_of(function: Any) -> str:
    """A short name for a callable: its own name, or its class's."""
    return str(getattr(function, "__name__", None) or type(function).__name__)
