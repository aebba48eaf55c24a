"""tavlok: four seats place polyomino pieces on a 20 × 20 board; the rules run in ``_tavlok``.

This package adds what a Python user wants around the engine: numpy views of an observation, the
piece catalogue for decoding grid indices, board pictures, a PettingZoo environment (``env``,
needs the ``pettingzoo`` extra), positions for tree search (``State``), reference bots
(``bots``) and matches between them (``arena``), and a command line (``python -m tavlok``).
"""

from __future__ import annotations

# In the development tree the compiled _core lives in the build directory's tavlok/, which is on
# sys.path too; extend_path lets this package find it there. Installed, it sits beside us.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from typing import TYPE_CHECKING

from . import bots
from .state import State
from .actions import GRID_SHAPE, PLANES_SHAPE, Placement, arrays, decode, encode, legal_actions
from .board import SEAT_COLOURS, Board, board_svg
from .arena import ArenaResult, arena
from .match import IllegalMove, Match
from .pieces import KINDS, NUM_ACTIONS, NUM_ORIENTATIONS, ORIENTATIONS, orientation_index
from .vector import VectorEnv

if TYPE_CHECKING:
    from .aec import TavlokEnv

__all__ = [
    "GRID_SHAPE",
    "KINDS",
    "NUM_ACTIONS",
    "NUM_ORIENTATIONS",
    "ORIENTATIONS",
    "PLANES_SHAPE",
    "SEAT_COLOURS",
    "ArenaResult",
    "VectorEnv",
    "Board",
    "IllegalMove",
    "Match",
    "Placement",
    "State",
    "arena",
    "arrays",
    "board_svg",
    "bots",
    "decode",
    "encode",
    "env",
    "legal_actions",
    "orientation_index",
]


def env(render_mode: str | None = None) -> TavlokEnv:
    """A PettingZoo AEC environment for the four seats (requires pettingzoo and gymnasium)."""
    # Imported here so that the rest of the package works without PettingZoo installed.
    try:
        from .aec import env as make
    except ModuleNotFoundError as missing:
        if missing.name not in ("pettingzoo", "gymnasium"):
            raise
        raise ModuleNotFoundError(
            f"tavlok.env() needs {missing.name}: pip install 'tavlok[pettingzoo]'",
            name=missing.name,
        ) from missing

    return make(render_mode=render_mode)
