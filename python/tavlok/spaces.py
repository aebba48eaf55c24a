"""Every Gymnasium space of the package, built in one place.

The PettingZoo env, the single Gymnasium env and both vector envs hand out the same views of a
seat: its four planes in its own frame, its legal actions (a mask, packed bits or a list of grid
indices) and the four hands. Their spaces are built here, from one description of those arrays,
so that an env and its space cannot drift apart. Gymnasium is imported on first use: the envs of
``tavlok.vector`` run without it until a space is asked for.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from . import _core
from .actions import PLANES_SHAPE
from .pieces import KINDS, NUM_ACTIONS, NUM_SEATS

if TYPE_CHECKING:
    from gymnasium import spaces as gym_spaces

__all__ = [
    "HANDS_SHAPE",
    "PLANES_SHAPE",
    "action_space",
    "planes_space",
    "seat_observation_space",
    "single_observation_space",
    "vector_spaces",
]

HANDS_SHAPE = (NUM_SEATS, len(KINDS))
# The most legal placements a seat can ever have: lists are never longer.
MAX_LEGAL_PLACEMENTS: int = _core.MAX_LEGAL_PLACEMENTS


def _gymnasium() -> Any:
    try:
        from gymnasium import spaces
    except ModuleNotFoundError as missing:
        raise ModuleNotFoundError(
            "tavlok's Gymnasium spaces need gymnasium: pip install 'tavlok[gymnasium]'",
            name=missing.name,
        ) from missing
    return spaces


def planes_space() -> gym_spaces.Box:
    """A seat's four planes, ``(4, 20, 20)`` uint8 of 0 and 1 (also the PettingZoo state)."""
    return _gymnasium().Box(0, 1, PLANES_SHAPE, dtype=np.uint8)


def action_space() -> gym_spaces.Discrete:
    """``Discrete(36400)``: a grid index."""
    return _gymnasium().Discrete(NUM_ACTIONS)


def single_observation_space(mask: str = "bytes", with_seat: bool = False) -> gym_spaces.Dict:
    """One seat's view in the legal-action layout ``mask`` (``"bytes"``, ``"bits"`` or
    ``"indices"``), with its seat when ``with_seat``: one env of a vector env."""
    spaces = _gymnasium()
    single: dict[str, Any] = {"observation": planes_space()}
    if mask == "bytes":
        single["action_mask"] = spaces.Box(0, 1, (NUM_ACTIONS,), dtype=np.int8)
    elif mask == "bits":
        single["action_mask"] = spaces.Box(0, 255, (NUM_ACTIONS // 8,), dtype=np.uint8)
    else:
        single["legal_indices"] = spaces.Sequence(action_space(), stack=True)
    single["hands"] = spaces.Box(0, 1, HANDS_SHAPE, dtype=np.uint8)
    if with_seat:
        single["seat"] = spaces.Box(0, NUM_SEATS - 1, (), dtype=np.int8)
    return spaces.Dict(single)


def seat_observation_space() -> gym_spaces.Dict:
    """What the PettingZoo env and the single Gymnasium env hand out: ``"observation"``, the
    seat's planes in its own frame (plane k is seat (seat + k) mod 4); ``"action_mask"``, the flat
    int8 legal-action mask; ``"hands"``, 1 where each of those seats still holds a kind."""
    return single_observation_space("bytes")


def vector_spaces(mask: str, num_envs: int, with_seat: bool) -> dict[str, Any]:
    """The spaces of a vector env of ``num_envs`` envs, by the names of Gymnasium's attributes:
    ``"single_observation"``, ``"observation"``, ``"single_action"`` and ``"action"``. The
    batched observation is the single one over the envs, except with ``mask="indices"``, where
    ``"legal_offsets"`` is a Box of ``num_envs + 1`` offsets and ``"legal_indices"`` a stacked
    Sequence of every env's indices end to end."""
    spaces = _gymnasium()
    from gymnasium.vector.utils import batch_space

    single = single_observation_space(mask, with_seat)
    if mask == "indices":
        batched = {
            key: batch_space(space, num_envs)
            for key, space in single.items()
            if key != "legal_indices"
        }
        batched["legal_offsets"] = spaces.Box(
            0, num_envs * MAX_LEGAL_PLACEMENTS, (num_envs + 1,), dtype=np.int32
        )
        batched["legal_indices"] = single["legal_indices"]
        observation = spaces.Dict(batched)
    else:
        observation = batch_space(single, num_envs)
    single_action = action_space()
    return {
        "single_observation": single,
        "observation": observation,
        "single_action": single_action,
        "action": batch_space(single_action, num_envs),
    }
