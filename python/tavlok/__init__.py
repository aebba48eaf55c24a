"""tavlok: four seats place polyomino pieces on a 20 × 20 board; the rules run in a C++ engine.

The package stands on the engine's binding ``tavlok._core`` (positions, batched games, bots and
matches); ``_tavlok``, the single-game module beside it, is the engine's specified class, whose
observations ``arrays`` wraps for numpy. Around the engine the package adds what a Python user
wants: the piece catalogue for decoding grid indices, board pictures, a PettingZoo environment
(``env``, needs the ``pettingzoo`` extra), a Gymnasium environment of one seat against bots
(``gymnasium.make("tavlok:tavlok/Tavlok-v0")``, needs the ``gymnasium`` extra), positions for tree
search (``State``), reference bots (``bots``) and matches between them (``arena``), rollouts of
a policy (``tavlok.rollout``), and a command line (``python -m tavlok``).
"""

from __future__ import annotations

# In the development tree the compiled _core lives in the build directory's tavlok/, which is on
# sys.path too; extend_path lets this package find it there. Installed, it sits beside us. (Not
# the one-line `__import__("pkgutil")` idiom: static analysers such as the documentation's take
# that for a namespace package and read nothing of this file.)
import pkgutil as _pkgutil

__path__ = _pkgutil.extend_path(__path__, __name__)

# The version written into game records; pyproject.toml holds the same (a test compares them).
__version__ = "0.1.0"

import importlib
from typing import TYPE_CHECKING

from . import bots
from .state import State
from .actions import GRID_SHAPE, PLANES_SHAPE, Placement, arrays, decode, encode, legal_actions
from .board import SEAT_COLOURS, Board, board_svg
from .arena import ArenaResult, arena
from .records import GameRecord, RecordError, read_records, write_records
from .pieces import KINDS, NUM_ACTIONS, NUM_ORIENTATIONS, ORIENTATIONS, orientation_index
from .vector import VectorEnv
from .registration import register as _register_with_gymnasium

_register_with_gymnasium()  # "tavlok/Tavlok-v0", when Gymnasium is installed

if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any

    from pettingzoo import AECEnv  # type: ignore[import-untyped]

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
    "GameRecord",
    "RecordError",
    "VectorEnv",
    "Board",
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
    "raw_env",
    "read_records",
    "write_records",
]


def raw_env(
    render_mode: str | None = None, candidates: int | None = None, mask: str = "bytes"
) -> TavlokEnv:
    """The PettingZoo environment without wrappers (needs pettingzoo); ``candidates=K`` lists
    the mover's candidates, and ``mask="candidates"`` plays a candidate's number."""
    return _aec().raw_env(render_mode=render_mode, candidates=candidates, mask=mask)


def env(**kwargs: Any) -> AECEnv:
    """``raw_env(**kwargs)`` wrapped as PettingZoo's classic games are (needs pettingzoo)."""
    return _aec().env(**kwargs)


def _aec() -> ModuleType:
    # Imported on first use, so that the rest of the package works without PettingZoo installed.
    try:
        return importlib.import_module(".aec", __name__)
    except ModuleNotFoundError as missing:
        if missing.name not in ("pettingzoo", "gymnasium"):
            raise
        raise ModuleNotFoundError(
            f"tavlok.env() needs {missing.name}: pip install 'tavlok[pettingzoo]'",
            name=missing.name,
        ) from missing
