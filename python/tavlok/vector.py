"""Many games at once: ``VectorEnv`` plays a batch of independent games in the C++ engine.

A step of the batch is one call: the engine plays every env's action, passes the seats that are
done, restarts the games that ended as Gymnasium's autoreset modes do, and writes every env's next
observation into arrays that the env owns, with the interpreter lock released and the envs split
over a few threads. ``tavlok.gym_vector.LearnerVectorEnv`` is the same machinery with one seat
played by the caller and three by the engine's bots; the two share the code below.
"""

from __future__ import annotations

import operator
import secrets
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _core
from ._numbers import shown
from .cores import default_threads
from .pieces import NUM_ACTIONS
# The shapes and the bound on lists, as this module has always offered them.
from .spaces import HANDS_SHAPE, MAX_LEGAL_PLACEMENTS, PLANES_SHAPE, vector_spaces  # noqa: F401

if TYPE_CHECKING:
    from gymnasium import spaces

MASK_LAYOUTS = ("bytes", "bits", "indices")
# The values of Gymnasium's AutoresetMode (gymnasium.vector.AutoresetMode), which either names.
AUTORESET_MODES = ("NextStep", "SameStep", "Disabled")


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


# Parts of final observations that are the same for every game that is over: no legal action.
_NO_MASK = {
    "bytes": _read_only(np.zeros(NUM_ACTIONS, dtype=np.int8)),
    "bits": _read_only(np.zeros(NUM_ACTIONS // 8, dtype=np.uint8)),
}
_NO_INDICES = _read_only(np.zeros(0, dtype=np.int32))


def autoreset_value(mode: Any) -> str:
    """The value of an autoreset mode given as a ``gymnasium.vector.AutoresetMode`` or its value."""
    value = getattr(mode, "value", mode)
    if not isinstance(value, str) or value not in AUTORESET_MODES:
        raise ValueError(
            f"autoreset_mode must be a gymnasium.vector.AutoresetMode or one of "
            f"{', '.join(map(repr, AUTORESET_MODES))}, not {mode!r}"
        )
    return value


def _autoreset_tag(value: str) -> Any:
    """Gymnasium's AutoresetMode for a value, which its wrappers expect in metadata; the value
    itself when Gymnasium (before 1.1, or at all) has none."""
    try:
        from gymnasium.vector import AutoresetMode
    except ImportError:
        return value
    return AutoresetMode(value)


class _BatchEnv:
    """What ``VectorEnv`` and ``LearnerVectorEnv`` share: seeds, options, the arrays of the
    engine's batch, infos, copies and spaces. ``self._batch`` is a ``tavlok._core`` batch."""

    _batch: Any
    num_envs: int
    _seat_in_obs = True  # the self-play env shows the seat to move

    def _take_arrays(self, mask: str, autoreset: str, copy: bool) -> None:
        batch = self._batch
        self.num_envs = batch.num_envs
        self._mask = mask
        self._autoreset = autoreset
        self._copy = bool(copy)
        # Read-only views of the batch's own memory, taken once: the engine rewrites them in place.
        self._observation = batch.observation
        self._action_mask = batch.action_mask
        self._legal_offsets = batch.legal_offsets
        self._legal_room = batch.legal_indices
        self._hands = batch.hands
        self._seat = batch.seat
        self._scores = batch.scores
        self._terminated = batch.terminated
        self._placements = batch.placements
        self._final_observation = batch.final_observation
        self._final_hands = batch.final_hands
        self._final_seat = batch.final_seat
        self._truncated = _read_only(np.zeros(self.num_envs, dtype=np.bool_))
        self.metadata = {"autoreset_mode": _autoreset_tag(autoreset)}
        self._spaces: dict[str, Any] = {}

    @property
    def num_threads(self) -> int:
        """The threads that step the envs (the requested number, at most ``num_envs``)."""
        return self._batch.num_threads

    @property
    def mask(self) -> str:
        """``"bytes"``, ``"bits"`` or ``"indices"``: how observations hold the legal actions."""
        return self._mask

    @property
    def autoreset_mode(self) -> str:
        """``"NextStep"``, ``"SameStep"`` or ``"Disabled"``, the value of Gymnasium's mode."""
        return self._autoreset

    # ---- reset and step ------------------------------------------------------------------------

    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        seeds = _seeds(seed, self.num_envs)
        only = _reset_mask(options, self.num_envs)
        self._batch.reset(seeds, only)
        return self._obs(), {}

    def step(
        self, actions: Any
    ) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        actions = np.asarray(actions)
        if actions.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, not {actions.dtype}")
        if not actions.dtype.isnative:
            actions = actions.astype(actions.dtype.newbyteorder("="))
        finished = self._batch.step(actions)
        infos = self._infos() if finished else {}
        return (
            self._obs(),
            self._out(self._rewards()),
            self._out(self._terminated),
            self._out(self._truncated),
            infos,
        )

    def close(self, **kwargs: Any) -> None:
        """Ends the worker threads; the env refuses ``reset`` and ``step`` afterwards."""
        self._batch.close()
        self.closed = True

    def _rewards(self) -> np.ndarray:
        raise NotImplementedError

    def _out(self, array: np.ndarray) -> np.ndarray:
        return np.array(array) if self._copy else array

    def _obs(self) -> dict[str, np.ndarray]:
        obs = {"observation": self._observation}
        if self._mask == "indices":
            obs["legal_offsets"] = self._legal_offsets
            obs["legal_indices"] = self._legal_room[: self._legal_offsets[-1]]
        else:
            obs["action_mask"] = self._action_mask
        obs["hands"] = self._hands
        if self._seat_in_obs:
            obs["seat"] = self._seat
        if self._copy:
            return {key: np.array(value) for key, value in obs.items()}
        return obs

    def _infos(self) -> dict[str, Any]:
        """Infos of a step that ended games, in Gymnasium's form: an array per key over the envs,
        with a ``_key`` mask of the envs it holds something for."""
        ended = self._terminated.copy()
        same_step = self._autoreset == "SameStep"
        info = {
            "scores": self._scores.copy(),
            "placements": self._placements.copy(),
            # Whose view ended the game: with same-step autoreset obs already shows the next game.
            "seat": (self._final_seat if same_step else self._seat).copy(),
        }
        for key in list(info):
            info["_" + key] = ended
        if not same_step:
            return info
        final_obs = np.full(self.num_envs, None, dtype=object)
        for env in np.flatnonzero(ended):
            final_obs[env] = self._final_obs(int(env))
        return {
            "final_obs": final_obs,
            "_final_obs": ended,
            "final_info": info,
            "_final_info": ended,
        }

    def _final_obs(self, env: int) -> dict[str, Any]:
        """One env's final observation, as one env of the single observation space holds it."""
        obs: dict[str, Any] = {"observation": self._final_observation[env].copy()}
        if self._mask == "indices":
            obs["legal_indices"] = _NO_INDICES
        else:
            obs["action_mask"] = _NO_MASK[self._mask]
        obs["hands"] = self._final_hands[env].copy()
        if self._seat_in_obs:
            obs["seat"] = self._final_seat[env].copy()
        return obs

    # ---- spaces --------------------------------------------------------------------------------

    @property
    def single_observation_space(self) -> spaces.Dict:
        """One env's observation: a ``gymnasium.spaces.Dict`` (needs gymnasium)."""
        return self._space("single_observation")

    @property
    def observation_space(self) -> spaces.Dict:
        """The batch's observation: the single space over ``num_envs`` envs, except with
        ``mask="indices"``, where ``"legal_offsets"`` is a Box of ``num_envs + 1`` offsets and
        ``"legal_indices"`` a stacked Sequence of every env's indices end to end."""
        return self._space("observation")

    @property
    def single_action_space(self) -> spaces.Discrete:
        """``Discrete(36400)``: a grid index."""
        return self._space("single_action")

    @property
    def action_space(self) -> spaces.MultiDiscrete:
        """``MultiDiscrete([36400] * num_envs)``: one grid index per env."""
        return self._space("action")

    def _space(self, name: str) -> Any:
        # Built on first use, once: the rest of the env runs without gymnasium installed.
        if not self._spaces:
            self._spaces = vector_spaces(self._mask, self.num_envs, self._seat_in_obs)
        return self._spaces[name]


class VectorEnv(_BatchEnv):
    """``num_envs`` independent games stepped together; the caller plays every seat.

    Every env waits at a seat that has a legal placement: seats that are done are passed inside
    the engine. The env follows the conventions of Gymnasium's vector envs as far as a game of
    four seats allows: ``reset`` and ``step`` return what theirs return, ``metadata`` names the
    autoreset mode, the spaces are Gymnasium's (built on first use; they need gymnasium). The one
    departure: rewards are per seat, ``(num_envs, 4)``, since every seat of every game is the
    caller's, and a finished game pays all four at once.

    Observations (``reset`` and ``step`` return the dict ``obs``), all of the seat to move:

    - ``"observation"``: ``(num_envs, 4, 20, 20)`` uint8, its four planes in its frame;
    - its legal actions: ``"action_mask"``, ``(num_envs, 36400)`` int8, 1 at the legal grid
      indices; with ``mask="bits"`` ``(num_envs, 4550)`` uint8, eight grid indices per byte in
      the order of ``numpy.packbits``; with ``mask="indices"`` two arrays instead:
      ``"legal_offsets"`` ``(num_envs + 1,)`` int32 and ``"legal_indices"`` int32, env i's legal
      grid indices, ascending, being ``legal_indices[legal_offsets[i]:legal_offsets[i + 1]]``;
    - ``"hands"``: ``(num_envs, 4, 21)`` uint8, row k for the seat k turns after the mover, 1 for
      each kind (in ``tavlok.KINDS`` order) that seat still holds;
    - ``"seat"``: ``(num_envs,)`` int8, the seat to move.

    A game that ends shows the view of the seat that made the last placement, with no legal
    action. With ``autoreset_mode="NextStep"`` (Gymnasium's default) the step that ends it
    returns that view, and the env's next step starts a new game and plays none of its action
    (anything is accepted: an empty list or mask has nothing to pick); with ``"SameStep"`` the
    new game starts at once and the final view is in ``infos["final_obs"]``; with
    ``"Disabled"`` the env waits until ``reset(options={"reset_mask": ...})`` restarts it.

    **The arrays are the env's own buffers**, rewritten in place by every ``reset`` and
    ``step``: they are the same read-only array objects every time (``"legal_indices"`` is a new
    view of the same buffer, as long as this step's lists), and so are the ``rewards``,
    ``terminations`` and ``truncations`` of ``step``. Copy what you keep past the next call, or
    pass ``copy=True`` for new writable arrays on every call (``torch.from_numpy`` wants them
    writable). Infos hold new arrays.

    ``num_threads`` threads step the envs (default: the cores this process may use; never more
    than ``num_envs``, and at most 1024), with the interpreter lock released; results do not
    depend on it. A batch too large for the memory this process may use raises ``MemoryError``
    saying what it needs. Each env carries its own random generator, seeded from
    ``(seed, env index)`` with ``seed`` below 2**64 (a random one when None). The rules draw
    nothing at random, so the games are fully determined by the actions; the generators serve
    the bots of ``LearnerVectorEnv``.

    Ctrl-C stops a long ``reset`` or ``step`` within milliseconds (``KeyboardInterrupt``, with a
    note saying how far it got). Some envs have then moved and others not, so ``step`` refuses
    until the next ``reset`` of every env; so it does in a child forked while another thread of
    its parent was inside ``reset`` or ``step``.
    """

    def __init__(
        self,
        num_envs: int,
        num_threads: int | None = None,
        seed: int | None = None,
        mask: str = "bytes",
        autoreset_mode: Any = "NextStep",
        copy: bool = False,
    ) -> None:
        if mask not in MASK_LAYOUTS:
            raise ValueError(f"mask must be 'bytes', 'bits' or 'indices', not {mask!r}")
        autoreset = autoreset_value(autoreset_mode)
        threads = batch_threads() if num_threads is None else num_threads
        self._batch = _core.Batch(num_envs, threads, mask, autoreset, _seed(seed, fresh=True))
        self._take_arrays(mask, autoreset, copy)
        self.closed = False

    def reset(
        self,
        seed: int | Sequence[int | None] | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        """Starts a new game in every env; returns ``(obs, info)`` with their first observations.

        ``seed``: an int seeds every env's generator again from ``(seed, env index)``; a list
        gives each env its own (None lets that env's generator carry on); None lets them all
        carry on. ``options={"reset_mask": m}``, ``m`` a bool array of shape ``(num_envs,)``,
        restarts only the envs where ``m`` is true (their seeds alone are used), as Gymnasium's
        vector envs do. Bad arguments raise before anything changes; ``info`` is empty.
        """
        return super().reset(seed=seed, options=options)

    def step(
        self, actions: Any
    ) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Plays one grid index per env for its seat to move.

        ``actions`` is an integer array of shape ``(num_envs,)``. If any action is not legal,
        ``ValueError`` names the first such env and its action, and no env is stepped.

        Returns ``(obs, rewards, terminations, truncations, infos)``:

        - ``rewards``: ``(num_envs, 4)`` int16, zero, except for an env whose game ended in this
          step, where it holds the four final scores in seat order;
        - ``terminations``: ``(num_envs,)`` bool, true for the envs whose game ended;
        - ``truncations``: ``(num_envs,)`` bool, all false: no game is cut short;
        - ``infos``: empty unless a game ended; then, under the next-step and disabled modes,
          ``"scores"`` ``(num_envs, 4)`` int16, ``"placements"`` ``(num_envs,)`` int16 (pieces
          placed in the game) and ``"seat"`` (whose view ended it), each with its ``_key`` mask
          of the envs that ended; under same-step autoreset these are ``infos["final_info"]``,
          beside ``infos["final_obs"]`` (one observation dict per ended env, None elsewhere), each
          with its ``_key`` mask.
        """
        return super().step(actions)

    def _rewards(self) -> np.ndarray:
        return self._scores

    def __enter__(self) -> VectorEnv:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def batch_threads() -> int:
    """The default number of threads of a batch: the cores this process may use, at most the
    1024 that a batch takes."""
    return min(default_threads(), 1024)


def _seed(seed: int | None, fresh: bool) -> int | None:
    """An int seed checked to fit 64 bits; for a new env, None becomes a random one."""
    if seed is None:
        return secrets.randbits(64) if fresh else None
    if isinstance(seed, bool):
        raise TypeError("seed must be None, a whole number or a list of them, not bool")
    value = operator.index(seed)
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, not {shown(value)}")
    return value


def _seeds(seed: Any, num_envs: int) -> list[int | None] | None:
    """One seed or None per env, from an int (every env's) or a list of ints and Nones."""
    if seed is None:
        return None
    if isinstance(seed, Sequence) and not isinstance(seed, (str, bytes)):
        if len(seed) != num_envs:
            raise ValueError(f"a list of seeds needs one per env, {num_envs}, not {len(seed)}")
        return [_seed(s, fresh=False) for s in seed]
    return [_seed(seed, fresh=False)] * num_envs


def _reset_mask(options: Any, num_envs: int) -> np.ndarray | None:
    """The envs that reset restarts (Gymnasium's ``options["reset_mask"]``), or None for all."""
    if options is None:
        return None
    if not isinstance(options, Mapping):
        raise TypeError(f"options must be None or a mapping, not {type(options).__name__}")
    unknown = set(options) - {"reset_mask"}
    if unknown:
        raise ValueError(f"unknown reset options {sorted(map(str, unknown))}: only 'reset_mask'")
    if "reset_mask" not in options:
        return None
    mask = options["reset_mask"]
    if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_:
        raise TypeError("options['reset_mask'] must be a numpy bool array")
    if mask.shape != (num_envs,):
        raise ValueError(f"options['reset_mask'] must have shape ({num_envs},), not {mask.shape}")
    if not mask.any():
        raise ValueError("options['reset_mask'] must name at least one env")
    return np.ascontiguousarray(mask)
