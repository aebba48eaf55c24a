"""Many games at once: ``VectorEnv`` plays a batch of independent games in the C++ engine.

A step of the batch is one call: the engine plays every env's action, passes the seats that are
done, restarts the games that ended, and writes every env's next observation into arrays that the
env owns, with the interpreter lock released and the envs split over a few threads.
"""

from __future__ import annotations

import operator
import secrets
from typing import Any

import numpy as np

from . import _core
from ._numbers import shown
from .cores import default_threads

MASK_LAYOUTS = ("bytes", "bits")

# Returned in info when no game ended; read-only, so that sharing them is safe.
_NO_ENVS = np.zeros(0, dtype=np.intp)
_NO_SCORES = np.zeros((0, 4), dtype=np.int16)
_NO_PLACEMENTS = np.zeros(0, dtype=np.int16)
for _empty in (_NO_ENVS, _NO_SCORES, _NO_PLACEMENTS):
    _empty.flags.writeable = False
del _empty


class VectorEnv:
    """``num_envs`` independent games stepped together.

    Every env always waits at a seat that has a legal placement: seats that are done are passed
    inside the engine, and a game whose four seats are done ends; it is restarted at once, so the
    observation that follows is the new game's first.

    Observations (``reset`` and ``step`` return the dict ``obs``):

    - ``"observation"``: ``(num_envs, 4, 20, 20)`` uint8, the mover's four planes in its frame;
    - ``"action_mask"``: ``(num_envs, 36400)`` int8, 1 at the mover's legal grid indices; with
      ``mask="bits"`` it is ``(num_envs, 4550)`` uint8 instead, eight grid indices per byte in the
      order of ``numpy.packbits``, so ``numpy.unpackbits(mask, axis=1)`` gives the bytes form;
    - ``"seat"``: ``(num_envs,)`` int8, the seat to move.

    **The arrays are the env's own buffers**, rewritten in place by every ``reset`` and ``step``:
    they are the same (read-only) array objects every time. Copy what you keep past the next call.
    The same holds for the ``rewards`` and ``terminated`` arrays of ``step``.

    ``num_threads`` threads step the envs (default: the cores this process may use; never more
    than ``num_envs``, and at most 1024), with the interpreter lock released. Results do not depend
    on the number of threads. A batch too large for the memory this process may use raises
    ``MemoryError`` saying what it needs. Each env carries its own random generator seeded from ``(seed, env index)``, with
    ``seed`` below 2**64 (a random one when None). The rules draw nothing at random today, so the
    games are fully determined by the actions; whatever randomness is added later replays from
    the same seed.

    Ctrl-C stops a long ``reset`` or ``step`` within milliseconds (``KeyboardInterrupt``, with a
    note saying how far it got). Some envs have then moved and others not, so ``step`` refuses
    until the next ``reset``; so it does in a child forked while another thread of its parent was
    inside ``reset`` or ``step``.
    """

    def __init__(
        self,
        num_envs: int,
        num_threads: int | None = None,
        seed: int | None = None,
        mask: str = "bytes",
    ) -> None:
        if mask not in MASK_LAYOUTS:
            raise ValueError(f"mask must be 'bytes' or 'bits', not {mask!r}")
        threads = min(default_threads(), 1024) if num_threads is None else num_threads
        self._batch = _core.Batch(num_envs, threads, mask == "bits", _seed(seed, fresh=True))
        self._mask = mask
        # Read-only views of the batch's own memory, taken once: the engine rewrites them in place.
        self._observation = self._batch.observation
        self._action_mask = self._batch.action_mask
        self._seat = self._batch.seat
        self._rewards = self._batch.rewards
        self._terminated = self._batch.terminated
        self._placements = self._batch.placements

    @property
    def num_envs(self) -> int:
        return self._batch.num_envs

    @property
    def num_threads(self) -> int:
        """The threads that step the envs (the requested number, at most ``num_envs``)."""
        return self._batch.num_threads

    @property
    def mask(self) -> str:
        """``"bytes"`` or ``"bits"``: the form of ``obs["action_mask"]``."""
        return self._mask

    def reset(self, seed: int | None = None) -> dict[str, np.ndarray]:
        """Starts a new game in every env and returns their first observations.

        With a seed, every env's generator is seeded again from ``(seed, env index)``; without,
        the generators carry on.
        """
        self._batch.reset(_seed(seed, fresh=False))
        return self._obs()

    def step(
        self, actions: Any
    ) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, dict[str, np.ndarray]]:
        """Plays one grid index per env for its seat to move.

        ``actions`` is an integer array of shape ``(num_envs,)``. If any action is not legal,
        ``ValueError`` names the first such env and its action, and no env is stepped.

        Returns ``(obs, rewards, terminated, info)``:

        - ``rewards``: ``(num_envs, 4)`` int16, zero, except for an env whose game ended in this
          step, where it holds the four final scores in seat order;
        - ``terminated``: ``(num_envs,)`` bool, true for the envs whose game ended (``obs`` already
          shows their new game);
        - ``info``: ``{"finished": env indices whose game ended, ascending, "final_scores": their
          rows of rewards, (k, 4) int16, "placements": the pieces placed in each of those games,
          (k,) int16}``; new small arrays, empty when no game ended.
        """
        actions = np.asarray(actions)
        if actions.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, not {actions.dtype}")
        if not actions.dtype.isnative:
            actions = actions.astype(actions.dtype.newbyteorder("="))
        finished = self._batch.step(actions)
        if finished:
            index = np.flatnonzero(self._terminated)
            info = {
                "finished": index,
                "final_scores": self._rewards[index],
                "placements": self._placements[index],
            }
        else:
            info = {
                "finished": _NO_ENVS,
                "final_scores": _NO_SCORES,
                "placements": _NO_PLACEMENTS,
            }
        return self._obs(), self._rewards, self._terminated, info

    def close(self) -> None:
        """Ends the worker threads; the env refuses ``reset`` and ``step`` afterwards."""
        self._batch.close()

    def __enter__(self) -> VectorEnv:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _obs(self) -> dict[str, np.ndarray]:
        return {
            "observation": self._observation,
            "action_mask": self._action_mask,
            "seat": self._seat,
        }


def _seed(seed: int | None, fresh: bool) -> int | None:
    """An int seed checked to fit 64 bits; for a new env, None becomes a random one."""
    if seed is None:
        return secrets.randbits(64) if fresh else None
    value = operator.index(seed)
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, not {shown(value)}")
    return value
