"""Rollouts: a batched policy plays a learner env for a number of steps, and the steps come back as
numpy arrays, ready for a learner's update (``play_rollout``, run on Ray actors by
``tavlok.ray.RolloutWorkers``; ``join`` puts several workers' rollouts side by side).

**The policy protocol**: a callable that takes the env's observation dict (``"observation"``,
``"hands"`` and the legal actions in the env's layout, ``num_envs`` rows; the env's own read-only
buffers, valid until the next step) and returns one of

- the actions: one legal grid index per env (a sequence or integer array);
- ``(actions, log_probs)``: with each action's log-probability under the policy, kept in the
  rollout as float32;
- a dict with ``"actions"``, optionally ``"log_probs"``, and any other per-env arrays (a value
  estimate, say), which the rollout keeps as ``extras``, stacked over the steps.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields, replace
from typing import Any

import numpy as np

from . import _arguments, _core
from .arena import Policy  # observations in, actions out; here answered in the protocol above
from .pieces import NUM_SEATS
from .spaces import HANDS_SHAPE, PLANES_SHAPE

__all__ = ["Policy", "Rollout", "join", "play_rollout"]

PLANES_BYTES = math.prod(PLANES_SHAPE)
HANDS_BYTES = math.prod(HANDS_SHAPE)


@dataclass(eq=False)
class Rollout:
    """``steps`` steps of ``num_envs`` envs, as one worker (or one local loop) played them.

    Arrays over the decisions have the shape ``(steps, num_envs, ...)``; the legal actions of
    step t in env e are row ``t * num_envs + e`` of the sparse layout
    (``legal_indices[legal_offsets[r]:legal_offsets[r + 1]]``, ascending), or
    ``action_mask[t, e]`` in the bit and byte layouts. With same-step autoreset (what
    ``tavlok.ray.RolloutWorkers`` uses) every row is a decision with legal actions: the step that
    ends a game shows the next game's first view, and the ended game is listed in ``ended_*``.

    Planes and hands hold only 0 and 1: Ray workers ship them eight to a byte, and
    ``RolloutWorkers.collect`` unpacks them unless asked not to. Packed (``packed`` true),
    ``observation`` is ``(steps, num_envs, 200)`` and ``hands`` ``(steps, num_envs, 11)`` uint8,
    each env-step's planes (or hands) flattened and packed in ``numpy.packbits`` order;
    ``unpacked()`` restores them.
    """

    observation: np.ndarray  # (steps, num_envs, 4, 20, 20) uint8: the learner's planes
    hands: np.ndarray  # (steps, num_envs, 4, 21) uint8
    actions: np.ndarray  # (steps, num_envs) int32: the grid index played
    rewards: np.ndarray  # (steps, num_envs) float32
    terminations: np.ndarray  # (steps, num_envs) bool: the step ended the env's game
    next_obs: dict[str, np.ndarray]  # the observation after the last step, for bootstrapping
    legal_offsets: np.ndarray | None = None  # (steps * num_envs + 1,) int64, sparse layout
    legal_indices: np.ndarray | None = None  # (total,) int32, sparse layout
    action_mask: np.ndarray | None = None  # (steps, num_envs, width), bit or byte layout
    log_probs: np.ndarray | None = None  # (steps, num_envs) float32, if the policy gives them
    extras: dict[str, np.ndarray] = field(default_factory=dict)  # the policy's other arrays
    # One entry per game that ended, by step and then env: where, the learner's seat, the scores.
    ended_step: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))
    ended_env: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))
    ended_seat: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int8))
    ended_scores: np.ndarray = field(default_factory=lambda: np.zeros((0, NUM_SEATS), np.int16))
    packed: bool = False
    # The Ray worker that played it, and how many workers in its place died before; None for a
    # rollout played locally or joined from several workers.
    worker: int | None = None
    generation: int | None = None

    @property
    def steps(self) -> int:
        return self.actions.shape[0]

    @property
    def num_envs(self) -> int:
        return self.actions.shape[1]

    @property
    def ended_wins(self) -> np.ndarray:
        """(ended games,) float64: the learner's share of each ended game's win."""
        shares = _core.win_shares(self.ended_scores.reshape(-1, NUM_SEATS))
        return shares[np.arange(len(shares)), self.ended_seat.astype(np.intp)]

    def legal(self, step: int, env: int) -> np.ndarray:
        """The legal grid indices of the decision at (step, env), ascending."""
        if self.legal_offsets is not None and self.legal_indices is not None:
            row = step * self.num_envs + env
            return self.legal_indices[self.legal_offsets[row] : self.legal_offsets[row + 1]]
        assert self.action_mask is not None
        mask = self.action_mask[step, env]
        if mask.dtype == np.uint8:  # bits, in numpy.packbits order
            mask = np.unpackbits(mask)
        return np.flatnonzero(mask).astype(np.int32)

    def packed_form(self) -> Rollout:
        """The rollout with its planes and hands eight to a byte, as workers ship it."""
        if self.packed:
            return self
        steps, envs = self.actions.shape
        return replace(
            self,
            observation=np.packbits(self.observation.reshape(steps, envs, -1), axis=-1),
            hands=np.packbits(self.hands.reshape(steps, envs, -1), axis=-1),
            packed=True,
        )

    def unpacked(self) -> Rollout:
        """The rollout with one byte per plane cell and per piece in hand."""
        if not self.packed:
            return self
        steps, envs = self.actions.shape
        planes = np.unpackbits(self.observation, axis=-1, count=PLANES_BYTES)
        hands = np.unpackbits(self.hands, axis=-1, count=HANDS_BYTES)
        return replace(
            self,
            observation=planes.reshape(steps, envs, *PLANES_SHAPE),
            hands=hands.reshape(steps, envs, *HANDS_SHAPE),
            packed=False,
        )

    @property
    def nbytes(self) -> int:
        """The bytes of its arrays: what the object store ships from a worker."""
        arrays = [getattr(self, spec.name) for spec in fields(self)]
        arrays += list(self.extras.values()) + list(self.next_obs.values())
        return sum(array.nbytes for array in arrays if isinstance(array, np.ndarray))


def _decision(answer: Any, n: int) -> tuple[np.ndarray, np.ndarray | None, dict[str, Any]]:
    """A policy's answer as (actions, log-probabilities or None, extras)."""
    if isinstance(answer, Mapping):
        extras = dict(answer)
        if "actions" not in extras:
            raise ValueError("a policy that returns a dict puts its actions under 'actions'")
        actions = extras.pop("actions")
        log_probs = extras.pop("log_probs", None)
    elif isinstance(answer, tuple):
        if len(answer) != 2:
            raise ValueError(
                f"a policy returns actions, (actions, log_probs) or a dict, not a tuple of "
                f"{len(answer)}"
            )
        actions, log_probs = answer
        extras = {}
    else:
        actions, log_probs, extras = answer, None, {}
    actions = np.asarray(actions)
    if actions.dtype.kind not in "iu" or actions.shape != (n,):
        raise ValueError(
            f"a policy returns one integer grid index per env, ({n},); not {actions.dtype} "
            f"{actions.shape}"
        )
    if log_probs is not None:
        log_probs = np.asarray(log_probs, dtype=np.float32).reshape(n)
    return actions, log_probs, {key: np.asarray(value) for key, value in extras.items()}


def play_rollout(
    env: Any,
    obs: Mapping[str, np.ndarray],
    policy: Policy,
    steps: int,
    worker: int | None = None,
    generation: int | None = None,
) -> tuple[Rollout, dict[str, np.ndarray]]:
    """Plays ``steps`` steps of ``policy`` in ``env`` (a ``LearnerVectorEnv``) from ``obs``;
    returns the ``Rollout`` and the observation to go on from (a copy). ``worker`` and
    ``generation`` label the rollout of a Ray worker."""
    steps = _arguments.whole(steps, "steps", 1)
    n = env.num_envs
    sparse = "legal_offsets" in obs
    kept: dict[str, np.ndarray] = {}
    extras: dict[str, np.ndarray] = {}

    def keep(into: dict[str, np.ndarray], name: str, t: int, value: Any, dtype: Any = None) -> None:
        value = np.asarray(value, dtype)
        if name not in into:
            into[name] = np.zeros((steps, *value.shape), value.dtype)
        into[name][t] = value

    lengths = np.empty((steps, n), np.int64)
    indices: list[np.ndarray] = []
    ended: list[tuple[int, int, int, np.ndarray]] = []
    for t in range(steps):
        keep(kept, "observation", t, obs["observation"])
        keep(kept, "hands", t, obs["hands"])
        if sparse:
            lengths[t] = np.diff(obs["legal_offsets"])
            indices.append(obs["legal_indices"].copy())
        else:
            keep(kept, "action_mask", t, obs["action_mask"])
        chosen, logp, more = _decision(policy(obs), n)
        keep(kept, "actions", t, chosen, np.int32)
        if logp is not None:
            keep(kept, "log_probs", t, logp)
        for key, value in more.items():
            keep(extras, key, t, value)
        obs, reward, terminated, _, infos = env.step(chosen)
        keep(kept, "rewards", t, reward, np.float32)
        keep(kept, "terminations", t, terminated, np.bool_)
        if terminated.any():
            info = infos.get("final_info", infos)
            for e in np.flatnonzero(terminated):
                ended.append((t, int(e), int(info["seat"][e]), info["scores"][e]))
    rollout = Rollout(
        **kept,
        next_obs={key: np.array(value) for key, value in obs.items()},
        extras=extras,
        ended_step=np.array([e[0] for e in ended], np.int32),
        ended_env=np.array([e[1] for e in ended], np.int32),
        ended_seat=np.array([e[2] for e in ended], np.int8),
        ended_scores=np.array([e[3] for e in ended], np.int16).reshape(-1, NUM_SEATS),
        worker=worker,
        generation=generation,
    )
    if sparse:
        rollout.legal_offsets = _offsets(lengths.reshape(-1))
        rollout.legal_indices = np.concatenate(indices)
    return rollout, rollout.next_obs


def join(parts: Sequence[Rollout]) -> Rollout:
    """The rollouts of the same steps in several sets of envs (the workers of one ``collect``)
    as one rollout over all their envs, side by side: the envs of ``parts[0]``, then those of
    ``parts[1]``, and so on. The parts share the steps, the layout and the policy's outputs."""
    if not parts:
        raise ValueError("no rollouts to join")
    head = parts[0]

    def form(part: Rollout) -> tuple[Any, ...]:
        outputs = (part.log_probs is None, sorted(part.extras))
        return (part.steps, part.packed, part.legal_offsets is None, *outputs)

    if any(form(part) != form(head) for part in parts):
        raise ValueError("the rollouts differ in steps, layout, packing or the policy's outputs")

    def side_by_side(arrays: list[Any]) -> Any:
        return None if arrays[0] is None else np.concatenate(arrays, axis=1)

    first_env = np.cumsum([0] + [part.num_envs for part in parts])
    ended_env = np.concatenate([p.ended_env + first for p, first in zip(parts, first_env)])
    ended_step = np.concatenate([part.ended_step for part in parts])
    order = np.lexsort((ended_env, ended_step))
    rollout = Rollout(
        **{
            name: side_by_side([getattr(part, name) for part in parts])
            for name in ("observation", "hands", "actions", "rewards", "terminations")
        },
        next_obs=_join_views([part.next_obs for part in parts]),
        action_mask=side_by_side([part.action_mask for part in parts]),
        log_probs=side_by_side([part.log_probs for part in parts]),
        extras={key: side_by_side([part.extras[key] for part in parts]) for key in head.extras},
        ended_step=ended_step[order].astype(np.int32),
        ended_env=ended_env[order].astype(np.int32),
        ended_seat=np.concatenate([part.ended_seat for part in parts])[order],
        ended_scores=np.concatenate([part.ended_scores for part in parts])[order],
        packed=head.packed,
    )
    if head.legal_offsets is not None:
        # Step t's rows are every part's rows of step t, part after part.
        by_step = [
            np.split(part.legal_indices, part.legal_offsets[part.num_envs : -1 : part.num_envs])
            for part in parts
        ]
        lengths = [np.diff(part.legal_offsets).reshape(head.steps, -1) for part in parts]
        rollout.legal_offsets = _offsets(np.concatenate(lengths, axis=1).reshape(-1))
        rollout.legal_indices = np.concatenate([rows for step in zip(*by_step) for rows in step])
    return rollout


def _join_views(views: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """Observation dicts of several envs as one, their rows end to end."""
    joined = {}
    for key, first in views[0].items():
        if key == "legal_offsets":
            lengths = np.concatenate([np.diff(view[key]) for view in views])
            joined[key] = _offsets(lengths).astype(first.dtype)
        else:
            joined[key] = np.concatenate([view[key] for view in views])
    return joined


def _offsets(lengths: np.ndarray) -> np.ndarray:
    """The int64 offsets of rows of these lengths, end to end."""
    offsets = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return offsets
