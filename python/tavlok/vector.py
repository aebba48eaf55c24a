"""Many games at once: ``VectorEnv`` plays a batch of independent games in the C++ engine.

A step of the batch is one call: the engine plays every env's action, passes the seats that are
done, restarts the games that ended as Gymnasium's autoreset modes do, and writes every env's next
observation into arrays that the env owns, with the interpreter lock released and the envs split
over a few threads. ``tavlok.gym_vector.LearnerVectorEnv`` is the same batch with one seat
played by the caller and three by the engine's bots; the two share the code below.
"""

from __future__ import annotations

import functools
import secrets
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _arguments, _core, spaces
from .cores import default_threads
# The shapes and the bounds on lists and candidates, as this module offers them.
from .spaces import HANDS_SHAPE, MAX_CANDIDATES, MAX_LEGAL_PLACEMENTS, PLANES_SHAPE  # noqa: F401

if TYPE_CHECKING:
    from gymnasium import spaces as gym_spaces

# The engine's words for the legal-action layouts and the autoreset modes (the values of
# Gymnasium's AutoresetMode, which either names), and the most threads a batch takes; the engine
# checks them where the batch is made.
MASK_LAYOUTS: tuple[str, ...] = _core.MASK_LAYOUTS
AUTORESET_MODES: tuple[str, ...] = _core.AUTORESET_MODES
MAX_THREADS: int = _core.MAX_THREADS
# The most random placements that may open a game (``opening``).
MAX_OPENING: int = _core.MAX_OPENING


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


@functools.cache
def _nothing_legal(mask: str, candidates: int | None) -> dict[str, np.ndarray]:
    """The legal actions of a game that is over, as one env's observation holds them: an empty
    mask, or an empty list."""
    return {
        field["name"]: _read_only(
            np.zeros(0 if field["rows"] == "packed" else field["shape"], dtype=field["dtype"])
        )
        for field in spaces.view_fields(mask, False, candidates)
        if field["rows"] != "offsets" and not field["kept_at_end"]
    }


def _autoreset_tag(value: str) -> Any:
    """Gymnasium's AutoresetMode for a value, which its wrappers expect in metadata; the value
    itself when Gymnasium (before 1.1, or at all) has none."""
    try:
        from gymnasium.vector import AutoresetMode
    except ImportError:
        return value
    return AutoresetMode(value)


class _BatchEnv:
    """What ``VectorEnv`` and ``LearnerVectorEnv`` share: one ``tavlok._core.Batch``, its arrays,
    seeds, options, infos, arrays and spaces. ``opponents`` None is self-play: every seat is the
    caller's, obs shows the seat to move and rewards are the four scores; otherwise the caller
    plays one seat, sees its game in its own frame, and is paid the batch's ``reward``; ``pool``
    instead of ``opponents`` draws them game by game."""

    # None until __init__ has made the batch: an env whose arguments were refused still closes
    # (Gymnasium's VectorEnv closes itself when collected, made or not).
    _batch: _core.Batch | None = None

    def __init__(
        self,
        num_envs: int,
        num_threads: int | None,
        seed: int | None,
        mask: str,
        autoreset_mode: Any,
        copy: bool,
        opponents: tuple[str, str, str] | None = None,
        seat: int | None = None,
        reward: str = "score",
        candidates: int | None = None,
        pool: list[tuple[str, float]] | None = None,
        opening: int = 0,
    ) -> None:
        autoreset = getattr(autoreset_mode, "value", autoreset_mode)
        seed = _arguments.seed(seed)
        seed = secrets.randbits(64) if seed is None else seed
        threads = min(default_threads(), MAX_THREADS) if num_threads is None else num_threads
        self._copy = bool(copy)
        self._batch = _core.Batch(
            num_envs, threads, mask, autoreset, seed, opponents, seat, reward, not copy,
            candidates, pool, opening,
        )
        self._mask: str = mask
        self._candidates: int | None = None if candidates is None else int(candidates)
        self.opening: int = int(opening)
        self._autoreset: str = autoreset
        self.num_envs: int = self._batch.num_envs
        self.closed = False
        self.metadata: dict[str, Any] = {"autoreset_mode": _autoreset_tag(self._autoreset)}
        self._with_seat = opponents is None and pool is None  # self-play
        self._obs_keys = [
            field["name"] for field in spaces.view_fields(mask, self._with_seat, candidates)
        ]
        self._take_arrays()
        self._truncated = _read_only(np.zeros(self.num_envs, dtype=np.bool_))
        self._spaces: dict[str, Any] = {}

    @property
    def num_threads(self) -> int:
        """The threads that step the envs (the requested number, at most ``num_envs``)."""
        return self._batch.num_threads

    @property
    def mask(self) -> str:
        """``"bytes"``, ``"bits"``, ``"indices"`` or ``"candidates"``: how observations hold the
        legal actions (and, for ``"candidates"``, what an action is)."""
        return self._mask

    @property
    def candidates(self) -> int | None:
        """How many of the mover's candidates each observation lists; None for none."""
        return self._candidates

    def state(self, env: int) -> _core.State:
        """A copy of env ``env``'s game, with its ``history`` of every placement. While another
        thread is inside ``reset`` or ``step``, RuntimeError says the env is in use, as a second
        ``step`` would."""
        return self._batch.state(env)

    @property
    def autoreset_mode(self) -> str:
        """``"NextStep"``, ``"SameStep"`` or ``"Disabled"``, the value of Gymnasium's mode."""
        return self._autoreset

    # ---- reset and step ------------------------------------------------------------------------

    def reset(
        self,
        seed: int | Sequence[int | None] | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        """Starts a new game in every env (and plays the bots that move before the learner);
        returns ``(obs, {})``.

        ``seed``: an int seeds every env's generator again from ``(seed, env index)``; a list
        gives each env its own (None lets that env's generator carry on); None lets them all
        carry on. ``options={"reset_mask": m}``, ``m`` a bool array of shape ``(num_envs,)``,
        restarts only the envs where ``m`` is true (their seeds alone are used), as Gymnasium's
        vector envs do. Bad arguments raise before anything changes.
        """
        if seed is None:
            seeds = None
        elif isinstance(seed, Sequence) and not isinstance(seed, (str, bytes)):
            listed = _arguments.counted(seed, "a list of seeds", self.num_envs)
            seeds = [_arguments.seed(each) for each in listed]
        else:
            seeds = [_arguments.seed(seed)] * self.num_envs
        self._batch.reset(seeds, self._reset_mask(options))
        if self._copy:
            self._take_arrays()
        return self._obs(), {}

    def step(
        self, actions: Any
    ) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Plays one grid index per env (with ``mask="candidates"``, one candidate's number, below
        the env's count of ``"action_mask"``), an integer array of shape ``(num_envs,)``, for its
        seat to move (then the bots move). If any action is not legal, ``ValueError`` names the
        first such env and its action, and no env is stepped.

        Returns ``(obs, rewards, terminations, truncations, infos)``: ``rewards`` as the class
        says; ``terminations``, ``(num_envs,)`` bool, true for the envs whose game ended;
        ``truncations``, all false: no game is cut short; ``infos``, empty unless a game ended,
        then ``"scores"`` ``(num_envs, 4)`` int16, ``"placements"`` ``(num_envs,)`` int16
        (pieces placed in the game) and ``"seat"`` (whose view ended it), each with its ``_key``
        mask of the envs that ended. Under same-step autoreset these are ``infos["final_info"]``,
        beside ``infos["final_obs"]`` (one observation dict per ended env, None elsewhere).
        """
        actions = np.asarray(actions)
        if not actions.dtype.isnative:
            actions = actions.astype(actions.dtype.newbyteorder("="))
        finished = self._batch.step(actions)
        if self._copy:
            self._take_arrays()
        infos = self._infos() if finished else {}
        truncated = np.zeros(self.num_envs, np.bool_) if self._copy else self._truncated
        return self._obs(), self._rewards, self._terminated, truncated, infos

    def close(self, **kwargs: Any) -> None:
        """Ends the worker threads; the env refuses ``reset`` and ``step`` afterwards."""
        if self._batch is not None:
            self._batch.close()
        self.closed = True

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _reset_mask(self, options: Any) -> np.ndarray | None:
        """The envs that reset restarts (Gymnasium's ``options["reset_mask"]``), or None for all."""
        options = _arguments.options(options, known=("reset_mask",))
        if "reset_mask" not in options:
            return None
        mask = options["reset_mask"]
        if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_:
            raise TypeError("options['reset_mask'] must be a numpy bool array")
        if mask.shape != (self.num_envs,):
            raise ValueError(
                f"options['reset_mask'] must have shape ({self.num_envs},), not {mask.shape}"
            )
        if not mask.any():
            raise ValueError("options['reset_mask'] must name at least one env")
        return np.ascontiguousarray(mask)

    def _take_arrays(self) -> None:
        """Takes the batch's views of what the last reset or step wrote: the same read-only
        arrays every time in place, otherwise new ones that the batch never writes again."""
        self._arrays: dict[str, np.ndarray] = self._batch.outputs
        self._seat = self._arrays["seat"]
        self._terminated = self._arrays["terminated"]
        self._rewards = self._arrays["scores" if self._with_seat else "rewards"]

    def _obs(self) -> dict[str, np.ndarray]:
        obs = {key: self._arrays[key] for key in self._obs_keys}
        if "legal_indices" in obs:
            obs["legal_indices"] = obs["legal_indices"][: self._arrays["legal_offsets"][-1]]
        return obs

    def _infos(self) -> dict[str, Any]:
        """Infos of a step that ended games, in Gymnasium's form: an array per key over the envs,
        with a ``_key`` mask of the envs it holds something for."""
        ended = self._terminated.copy()
        same_step = self._autoreset == "SameStep"
        info = {
            "scores": self._arrays["scores"].copy(),
            "placements": self._arrays["placements"].copy(),
            # Whose view ended the game: with same-step autoreset obs already shows the next game.
            "seat": self._arrays["final_seat" if same_step else "seat"].copy(),
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
        obs: dict[str, Any] = {}
        for key in self._obs_keys:
            kept = self._arrays.get("final_" + key)
            if kept is not None:
                obs[key] = kept[env].copy()
            elif key != "legal_offsets":  # one env's lists need no offsets
                obs[key] = _nothing_legal(self._mask, self._candidates)[key]
        return obs

    # ---- spaces (Gymnasium's, built on first use: the rest of the env runs without it) ---------

    @property
    def single_observation_space(self) -> gym_spaces.Dict:
        """One env's observation."""
        return self._space("single_observation")

    @property
    def observation_space(self) -> gym_spaces.Dict:
        """The batch's observation: the single space over ``num_envs`` envs, except with
        ``mask="indices"``, where ``"legal_offsets"`` is a Box of ``num_envs + 1`` offsets and
        ``"legal_indices"`` a stacked Sequence of every env's indices end to end."""
        return self._space("observation")

    @property
    def single_action_space(self) -> gym_spaces.Discrete:
        """``Discrete(36400)``: a grid index; with ``mask="candidates"``, ``Discrete(K)``, a
        candidate's number."""
        return self._space("single_action")

    @property
    def action_space(self) -> gym_spaces.MultiDiscrete:
        """``MultiDiscrete([36400] * num_envs)``: one grid index per env (``[K] * num_envs``, one
        candidate's number, with ``mask="candidates"``)."""
        return self._space("action")

    def _space(self, name: str) -> Any:
        if not self._spaces:
            self._spaces = spaces.vector_spaces(
                self._mask, self.num_envs, self._with_seat, self._candidates
            )
        return self._spaces[name]


class VectorEnv(_BatchEnv):
    """``num_envs`` independent games stepped together; the caller plays every seat.

    Every env waits at a seat that has a legal placement: seats that are done are passed inside
    the engine. The env follows Gymnasium's vector envs as far as a game of four seats allows,
    with one departure: rewards are per seat, ``(num_envs, 4)`` int16, zero except where a game
    ended in the step, which pays all four their final scores in seat order.

    Observations (the dict ``obs``), all of the seat to move:

    - ``"observation"``: ``(num_envs, 4, 20, 20)`` uint8, its four planes in its frame;
    - its legal actions: ``"action_mask"``, ``(num_envs, 36400)`` int8, 1 at the legal grid
      indices; with ``mask="bits"`` ``(num_envs, 4550)`` uint8, eight grid indices per byte in
      the order of ``numpy.packbits``; with ``mask="indices"`` two arrays instead:
      ``"legal_offsets"`` ``(num_envs + 1,)`` int32 and ``"legal_indices"`` int32, env i's legal
      grid indices, ascending, being ``legal_indices[legal_offsets[i]:legal_offsets[i + 1]]``;
    - ``"hands"``: ``(num_envs, 4, 21)`` uint8, row k for the seat k turns after the mover, 1 for
      each kind (in ``tavlok.KINDS`` order) that seat still holds;
    - ``"seat"``: ``(num_envs,)`` int8, the seat to move;
    - with ``candidates=K`` (1 to 64), the mover's candidates, the moves the engine's search and
      net weigh, in greedy's order (largest pieces first, then greedy's score):
      ``"candidate_indices"`` ``(num_envs, K)`` int32, each one's grid index, -1 past the
      count; ``"candidate_features"`` ``(num_envs, K, 44)`` float32, each one's feature row
      (``tavlok.net.FEATURES`` names the columns; ``_core.net_features(state)`` gives the same
      rows), zeros past the count; and ``"candidate_mask"`` ``(num_envs, K)`` int8, 1 for each
      candidate. With ``mask="candidates"`` an action is a candidate's number instead of a grid
      index: the action space is ``Discrete(K)`` per env, ``"action_mask"`` is the ``(num_envs,
      K)`` candidate mask, in place of ``"candidate_mask"``, and no grid mask or list is
      written. A policy restricted to candidates cannot play a move outside them (at most K of
      a position's legal moves; the largest pieces first, so a small piece is never a candidate
      while a larger one can be placed).

    A game that ends shows the view of the seat that made the last placement, with no legal
    action. With ``autoreset_mode="NextStep"`` (Gymnasium's default) the env's next step starts a
    new game and plays none of its action (anything is accepted); with ``"SameStep"`` the new
    game starts at once and the final view is in ``infos["final_obs"]``; with ``"Disabled"`` the
    env waits until ``reset(options={"reset_mask": ...})`` restarts it.

    Every ``reset`` and ``step`` hands out new writable arrays (obs, ``rewards``,
    ``terminations``, ``truncations`` and infos) that the env never writes again, so a caller
    may keep them as long as it likes, as a replay buffer or RLlib's episodes do. They cost no
    copy: the engine writes each call's arrays into memory that no array still held uses, and
    takes memory back once the caller has let go of every array of a call, so a loop that drops
    each step's arrays before the next step goes between two sets. Keeping them all costs a new
    set per step (docs/benchmarks.md: what it costs). **With** ``copy=False`` the arrays are the
    env's own buffers instead, rewritten in place by every ``reset`` and ``step``: the same
    read-only array objects every time (``"legal_indices"`` a new view of the same buffer), and
    so are ``rewards``, ``terminations`` and ``truncations``; for a loop that consumes each step
    at once and keeps nothing, which then saves the work of making the arrays at each call.

    ``opening=N`` (0 to 40) begins every game with N uniform random placements drawn from the
    env's generator, so that games differ even between players that draw nothing; an opening
    after which no seat of the caller's would move is drawn again.

    ``num_threads`` threads step the envs (default: the cores this process may use; at most
    1024), with the interpreter lock released; results do not depend on it. Each env carries its
    own random generator, seeded from ``(seed, env index)`` with ``seed`` below 2**64 (a random
    one when None); the rules draw nothing at random, the bots of ``LearnerVectorEnv`` do. A
    batch too large for the memory this process may use raises ``MemoryError`` saying what it
    needs.

    Ctrl-C stops a long ``reset`` or ``step`` within milliseconds (``KeyboardInterrupt``, with a
    note saying how far it got); ``step`` then refuses until the next ``reset`` of every env, as
    it does in a child forked while another thread of its parent was inside ``reset`` or ``step``.
    """

    def __init__(
        self,
        num_envs: int,
        num_threads: int | None = None,
        seed: int | None = None,
        mask: str = "bytes",
        autoreset_mode: Any = "NextStep",
        copy: bool = True,
        candidates: int | None = None,
        opening: int = 0,
    ) -> None:
        super().__init__(
            num_envs, num_threads, seed, mask, autoreset_mode, copy, candidates=candidates,
            opening=opening,
        )
