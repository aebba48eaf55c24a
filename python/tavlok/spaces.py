"""Every Gymnasium space of the package (the PettingZoo env, the single Gymnasium env and both
vector envs hand out the same views of a seat), built from the engine's own table of those arrays
(``tavlok._core.view_fields``), which the engine writes by, so that an env and its space cannot
drift apart. Gymnasium is imported on first use: ``tavlok.vector`` runs without it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from . import _core
from .actions import PLANES_SHAPE  # noqa: F401 - offered beside HANDS_SHAPE
from .pieces import NUM_ACTIONS

if TYPE_CHECKING:
    from gymnasium import spaces as gym_spaces

# One seat's hands, as the engine's table declares them.
HANDS_SHAPE: tuple[int, ...] = next(
    tuple(field["shape"]) for field in _core.view_fields("bytes") if field["name"] == "hands"
)
# The most legal placements a seat can ever have: lists are never longer.
MAX_LEGAL_PLACEMENTS: int = _core.MAX_LEGAL_PLACEMENTS
# The most candidates a view lists (``candidates=K`` takes 1 to this).
MAX_CANDIDATES: int = _core.MAX_CANDIDATES
# The layouts in which one seat's legal actions are one flat mask, which the one-game envs take:
# of grid indices, or of candidates.
ONE_GAME_MASKS = ("bytes", "candidates")


def _gymnasium() -> Any:
    try:
        from gymnasium import spaces
    except ModuleNotFoundError as missing:
        raise ModuleNotFoundError(
            "tavlok's Gymnasium spaces need gymnasium: pip install 'tavlok[gymnasium]'",
            name=missing.name,
        ) from missing
    return spaces


def actions_are_candidates(mask: str, candidates: int | None = None) -> bool:
    """Whether an action in layout ``mask`` is a candidate's number (its ``"action_mask"`` has one
    entry per candidate) rather than a grid index."""
    return any(
        field["name"] == "action_mask" and field["per_candidate"]
        for field in _core.view_fields(mask, candidates)
    )


def action_space(mask: str = "bytes", candidates: int | None = None) -> gym_spaces.Discrete:
    """``Discrete(36400)``, a grid index; ``Discrete(candidates)``, a candidate's number, where
    the layout's actions are candidates."""
    if actions_are_candidates(mask, candidates):
        return _gymnasium().Discrete(int(candidates))  # type: ignore[arg-type]
    return _gymnasium().Discrete(NUM_ACTIONS)


def _box(field: dict[str, Any]) -> gym_spaces.Box:
    dtype = np.dtype(field["dtype"])
    low, high = field["low"], field["high"]
    if dtype.kind in "iub":  # whole bounds for whole numbers
        low, high = int(low), int(high)
    return _gymnasium().Box(low, high, tuple(field["shape"]), dtype=dtype)


def view_fields(
    mask: str, with_seat: bool, candidates: int | None = None
) -> list[dict[str, Any]]:
    """The engine's fields of a seat's view in layout ``mask`` with ``candidates`` candidates
    listed (None: none), in its order: what obs holds."""
    return [
        field
        for field in _core.view_fields(mask, candidates)
        if field["part"] == "view" and (with_seat or field["name"] != "seat")
    ]


def single_observation_space(
    mask: str = "bytes", with_seat: bool = False, candidates: int | None = None
) -> gym_spaces.Dict:
    """One seat's view in the legal-action layout ``mask``, with its seat when ``with_seat`` and
    ``candidates`` of its candidates: one env of a vector env (a list of legal grid indices is a
    stacked ``Sequence``; one env has no offsets). By default, what the PettingZoo env and the
    single Gymnasium env hand out: its planes in its own frame (plane k is seat (seat + k) mod
    4), the flat int8 legal-action mask and the hands, 1 where each of those seats still holds a
    kind."""
    spaces = _gymnasium()
    single: dict[str, Any] = {}
    for field in view_fields(mask, with_seat, candidates):
        if field["rows"] == "packed":
            single[field["name"]] = spaces.Sequence(
                spaces.Discrete(int(field["high"]) + 1), stack=True
            )
        elif field["rows"] == "env":
            single[field["name"]] = _box(field)
    return spaces.Dict(single)


def vector_spaces(
    mask: str, num_envs: int, with_seat: bool, candidates: int | None = None
) -> dict[str, Any]:
    """The spaces of a vector env of ``num_envs`` envs, by the names of Gymnasium's attributes:
    ``"single_observation"``, ``"observation"``, ``"single_action"`` and ``"action"``."""
    spaces = _gymnasium()
    from gymnasium.vector.utils import batch_space

    single = single_observation_space(mask, with_seat, candidates)
    batched: dict[str, Any] = {}
    for field in view_fields(mask, with_seat, candidates):
        name = field["name"]
        if field["rows"] == "offsets":
            batched[name] = spaces.Box(
                0, num_envs * int(field["high"]), (num_envs + 1,), dtype=np.dtype(field["dtype"])
            )
        elif field["rows"] == "packed":  # every env's list end to end
            batched[name] = single[name]
        else:
            batched[name] = batch_space(single[name], num_envs)
    single_action = action_space(mask, candidates)
    return {
        "single_observation": single,
        "observation": spaces.Dict(batched),
        "single_action": single_action,
        "action": batch_space(single_action, num_envs),
    }
