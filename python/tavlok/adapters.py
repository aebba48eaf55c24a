"""The package's environments under the key names that RLlib's and Tianshou's action masking read.

tavlok's observations follow PettingZoo's classic games: ``"observation"`` (the four planes),
``"action_mask"`` and ``"hands"``. Two libraries mask under other names, and their default
networks read one flat vector, not a dict of arrays:

- RLlib's action-masking module (``ActionMaskingTorchRLModule`` in ``ray.rllib.examples``) reads
  ``obs["observations"]`` and ``obs["action_mask"]``;
- Tianshou's masked policies (DQN and its kin, the random multi-agent policy) read ``obs.obs`` and
  ``obs.mask``, a bool array, true where an action is legal.

``rllib(env)`` and ``tianshou(env)`` wrap an env so that it speaks the library's dialect. The
observation becomes ``{features_key: features, mask_key: mask}``, where ``features`` is float32,
``FEATURES`` values in [0, 1]: the planes (plane, row, column) and then the hands (seat, kind),
``numpy.concatenate`` of the two flattened; ``split_features`` undoes it. An env made with
``candidates=K`` adds its candidates' feature rows after them (K x 44 more, within the bounds of
``"candidate_features"``; ``split_candidates`` gives them back as ``(..., K, 44)``), and with
``mask="candidates"`` the mask is the K-long candidate mask, the actions candidates' numbers, so
that the library's masked policies pick among the candidates unchanged. The mask holds the same
legal actions as the env's ``"action_mask"``: RLlib's is that very array, Tianshou's a bool view
of it, so under ``make_vec(..., copy=False)`` the next step rewrites it as it rewrites the env's.
Rewards, terminations, infos and everything else pass through unchanged (a vector env's
``infos["final_obs"]``, under same-step autoreset, too).
"""

from __future__ import annotations

import functools
import math
from typing import Any

import gymnasium
import numpy as np
from gymnasium.spaces import Box, Dict
from gymnasium.vector.utils import batch_space

from . import _core
from .pieces import NUM_ACTIONS
from .spaces import HANDS_SHAPE, PLANES_SHAPE

__all__ = ["FEATURES", "rllib", "split_candidates", "split_features", "tianshou"]

_PLANE_VALUES = math.prod(PLANES_SHAPE)
# The features of the planes and hands, which come first whatever else follows.
FEATURES = _PLANE_VALUES + math.prod(HANDS_SHAPE)
_CANDIDATE_COLUMNS = len(_core.NET_FEATURES)


class _Dialect:
    """One library's names for the features and the mask, and the mask's dtype it wants."""

    def __init__(self, library: str, features: str, mask: str, mask_dtype: type) -> None:
        self.library = library
        self.features = features
        self.mask = mask
        self.mask_dtype = np.dtype(mask_dtype)

    def space(self, space: Any) -> Dict:
        """The adapted space of one env's observation ``space`` (the env's single space)."""
        keys = set(space.keys()) if isinstance(space, Dict) else set()
        mask_shape = space["action_mask"].shape if "action_mask" in keys else None
        rows = space["candidate_features"] if "candidate_features" in keys else None
        masks = {(NUM_ACTIONS,)} | ({rows.shape[:1]} if rows is not None else set())
        if not {"observation", "hands"} <= keys or mask_shape not in masks:
            raise ValueError(
                f"{self.library}() adapts observations with a flat 'action_mask' of "
                f"{NUM_ACTIONS} bytes (mask='bytes') or of the candidates (mask='candidates'), "
                f"not {space}"
            )
        mask = space["action_mask"]
        if mask.dtype != self.mask_dtype:
            mask = Box(0, 1, mask.shape, self.mask_dtype)
        low, high = np.zeros(FEATURES, np.float32), np.ones(FEATURES, np.float32)
        if rows is not None:
            low = np.concatenate((low, rows.low.reshape(-1)))
            high = np.concatenate((high, rows.high.reshape(-1)))
        return Dict({self.features: Box(low, high, dtype=np.float32), self.mask: mask})

    def __call__(self, obs: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        """The adapted observation of one env, or of a batch (leading axes are kept)."""
        planes, hands = obs["observation"], obs["hands"]
        batch = planes.shape[: -len(PLANES_SHAPE)]
        parts = [planes.reshape(*batch, -1), hands.reshape(*batch, -1)]
        if "candidate_features" in obs:
            parts.append(obs["candidate_features"].reshape(*batch, -1))
        features = np.concatenate(parts, axis=-1, dtype=np.float32)
        mask = obs["action_mask"]
        # A 0/1 int8 mask is a valid bool array as it stands.
        return {self.features: features, self.mask: mask.view(self.mask_dtype)}


RLLIB = _Dialect("rllib", "observations", "action_mask", np.int8)
TIANSHOU = _Dialect("tianshou", "obs", "mask", np.bool_)


def rllib(env: Any) -> Any:
    """``env`` for RLlib's action-masking module: ``"observations"`` (the features) and
    ``"action_mask"`` (int8). ``env`` is the PettingZoo env (``tavlok.env()`` or ``raw_env()``,
    for RLlib's ``PettingZooEnv``), the single Gymnasium env, or the vector env of
    ``gymnasium.make_vec("tavlok:tavlok/Tavlok-v0", ..., vectorization_mode=
    "vector_entry_point")``."""
    return _wrap(env, RLLIB)


def tianshou(env: Any) -> Any:
    """The single Gymnasium env for Tianshou's masked policies: ``"obs"`` (the features) and
    ``"mask"`` (bool). The PettingZoo env needs no adapter: Tianshou's ``PettingZooEnv`` reads
    its ``"action_mask"`` itself."""
    if not isinstance(env, gymnasium.Env):
        raise TypeError(
            "tianshou() adapts the single Gymnasium env; pass tavlok.env() to Tianshou's "
            f"PettingZooEnv as it is, not {type(env).__name__}"
        )
    return _Observations(env, TIANSHOU)


def split_features(features: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The planes ``(..., 4, 20, 20)`` and hands ``(..., 4, 21)`` of adapted features
    ``(..., FEATURES)``, as float32 views."""
    batch = features.shape[:-1]
    return (
        features[..., :_PLANE_VALUES].reshape(*batch, *PLANES_SHAPE),
        features[..., _PLANE_VALUES:FEATURES].reshape(*batch, *HANDS_SHAPE),
    )


def split_candidates(features: np.ndarray) -> np.ndarray:
    """The candidates' feature rows ``(..., K, 44)`` of adapted features of an env made with
    ``candidates=K``, as a float32 view."""
    batch = features.shape[:-1]
    return features[..., FEATURES:].reshape(*batch, -1, _CANDIDATE_COLUMNS)


def _wrap(env: Any, dialect: _Dialect) -> Any:
    if isinstance(env, gymnasium.Env):
        return _Observations(env, dialect)
    if isinstance(env, gymnasium.vector.VectorEnv):
        return _VectorObservations(env, dialect)
    aec = _aec_wrapper()
    if aec is not None and isinstance(env, aec.wraps):
        return aec(env, dialect)
    raise TypeError(
        f"{dialect.library}() adapts the PettingZoo env, the single Gymnasium env or the "
        f"Gymnasium vector env, not {type(env).__name__}"
    )


class _Observations(gymnasium.ObservationWrapper):  # type: ignore[misc]
    """A single Gymnasium env's observations in a library's dialect."""

    def __init__(self, env: gymnasium.Env, dialect: _Dialect) -> None:
        super().__init__(env)
        self.observation_space = dialect.space(env.observation_space)
        self._dialect = dialect

    def observation(self, observation: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        return self._dialect(observation)


class _VectorObservations(gymnasium.vector.VectorObservationWrapper):  # type: ignore[misc]
    """A Gymnasium vector env's observations in a library's dialect."""

    def __init__(self, env: gymnasium.vector.VectorEnv, dialect: _Dialect) -> None:
        super().__init__(env)
        self.single_observation_space = dialect.space(env.single_observation_space)
        self.observation_space = batch_space(self.single_observation_space, env.num_envs)
        self._dialect = dialect

    def observations(self, observations: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        return self._dialect(observations)


@functools.cache
def _aec_wrapper() -> type | None:
    """The AEC wrapper, None without PettingZoo (imported on first use, as ``tavlok.env``)."""
    try:
        from pettingzoo import AECEnv  # type: ignore[import-untyped]
        from pettingzoo.utils import BaseWrapper  # type: ignore[import-untyped]
    except ModuleNotFoundError:
        return None

    class AECObservations(BaseWrapper):  # type: ignore[misc]
        """A PettingZoo AEC env's observations in a library's dialect."""

        wraps = AECEnv

        def __init__(self, env: Any, dialect: _Dialect) -> None:
            super().__init__(env)
            self._dialect = dialect
            self._spaces = {
                agent: dialect.space(env.observation_space(agent)) for agent in env.possible_agents
            }

        def observation_space(self, agent: str) -> Dict:
            return self._spaces[agent]

        def observe(self, agent: str) -> dict[str, np.ndarray]:
            return self._dialect(self.env.observe(agent))

    return AECObservations
