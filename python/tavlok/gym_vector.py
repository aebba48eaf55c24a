"""One learner against three bots, ``num_envs`` games at once: a Gymnasium vector env in C++.

``LearnerVectorEnv`` is a ``gymnasium.vector.VectorEnv``: each env is a game in which the caller
plays one seat, the learner, and the engine's bots play the other three. A step plays every
learner's move and then the bots' moves, inside the engine with the interpreter lock released,
until each learner is to move again or its game is over. It is the vector entry point of
``gymnasium.make_vec("tavlok/Tavlok-v0", num_envs=N, ...)``.
"""

from __future__ import annotations

import operator
import secrets
from collections.abc import Mapping, Sequence
from typing import Any

import gymnasium
import numpy as np

from . import _core
from ._numbers import shown
from .vector import MASK_LAYOUTS, _BatchEnv, autoreset_value, batch_threads

__all__ = ["REWARDS", "LearnerVectorEnv"]

REWARDS = ("score", "win")
RENDER_MODES = ("ansi", "rgb_array")
# A learner moves at most once per piece: 21 steps end any game.
MOST_LEARNER_MOVES = 21


class LearnerVectorEnv(_BatchEnv, gymnasium.vector.VectorEnv):  # type: ignore[misc]
    """``num_envs`` games of one learner against three of the engine's bots.

    - ``opponents``: a bot name for all three, or three names; ``opponents[k]`` plays the seat
      k + 1 turns after the learner, by the names the arena takes (see ``tavlok.bots``):
      ``"random"`` (uniform over the legal placements, drawing from the env's generator),
      ``"greedy"``, and the search, ``"mcts"`` or ``"mcts:400"`` and the like, seeded at every
      move from the env's generator. A search takes milliseconds a move where the other bots
      take microseconds, and a step waits for the slowest env.
    - ``seat``: the learner's seat, 0 to 3, in every game; None (the default) rotates it one seat
      on per game, starting from a seat drawn from the env's generator when it is seeded.
    - ``reward``: ``"score"`` pays the learner its final score when its game ends; ``"win"``
      pays 1 split equally between the seats with the best score (0 to the others). Every other
      step pays 0.
    - ``mask``, ``autoreset_mode``, ``num_threads``, ``copy``: as ``tavlok.VectorEnv``, whose
      docstring says which arrays are the env's own and rewritten by the next call.
    - ``render_mode``: None, ``"ansi"`` or ``"rgb_array"``; ``render()`` then returns a tuple of
      every env's board (text or image) in seat 0's frame, as ``tavlok.env()`` draws it.

    The observation is the learner's: ``"observation"`` (its planes), its legal actions
    (``"action_mask"``, or ``"legal_offsets"`` and ``"legal_indices"`` with ``mask="indices"``)
    and ``"hands"``, as in ``tavlok.VectorEnv``; ``seats`` gives its seat in each env. A game
    that is over shows the learner's final view, with no legal action. ``step`` returns
    ``rewards`` float32 ``(num_envs,)``; ``infos`` are as ``tavlok.VectorEnv``'s, ``"seat"``
    being the learner's. A game is exactly what ``tavlok.State`` plays from the learner's moves
    and the bots' (``state(env)`` hands out a copy with its history).

    ``reset(seed=...)``: an int seeds every env's generator from ``(seed, env index)``, a list
    one per env (None lets that one carry on); the generator draws the learner's first seat and
    the random bots' moves, so one seed replays the same games for the same learner moves,
    whatever ``num_threads``. ``options={"reset_mask": m}`` restarts only the envs where ``m`` is
    true.
    """

    def __init__(
        self,
        num_envs: int,
        opponents: str | Sequence[str] = ("random", "random", "random"),
        seat: int | None = None,
        reward: str = "score",
        mask: str = "bytes",
        autoreset_mode: Any = "NextStep",
        num_threads: int | None = None,
        render_mode: str | None = None,
        copy: bool = False,
        max_episode_steps: int | None = None,
    ) -> None:
        names = _opponents(opponents)
        if seat is not None:
            if isinstance(seat, bool):
                raise TypeError("seat must be None or a seat from 0 to 3, not bool")
            seat = operator.index(seat)
            if not 0 <= seat <= 3:
                raise ValueError(f"seat must be None or a seat from 0 to 3, not {shown(seat)}")
        if reward not in REWARDS:
            raise ValueError(f"reward must be 'score' or 'win', not {reward!r}")
        if mask not in MASK_LAYOUTS:
            raise ValueError(f"mask must be 'bytes', 'bits' or 'indices', not {mask!r}")
        autoreset = autoreset_value(autoreset_mode)
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(
                f"render_mode must be None, 'ansi' or 'rgb_array', not {render_mode!r}"
            )
        if max_episode_steps is not None and operator.index(max_episode_steps) < MOST_LEARNER_MOVES:
            # Every game ends within that many learner moves, so a larger limit never truncates
            # and is accepted as it stands (gymnasium.make_vec passes a registered one on).
            raise ValueError(
                f"max_episode_steps below {MOST_LEARNER_MOVES} would cut games short, which this "
                f"env does not do; not {max_episode_steps}"
            )
        threads = batch_threads() if num_threads is None else num_threads
        self._batch = _core.Batch(
            num_envs, threads, mask, autoreset, secrets.randbits(64), names, seat, reward
        )
        self._take_arrays(mask, autoreset, copy)
        self.metadata = {**self.metadata, "render_modes": list(RENDER_MODES)}
        self.render_mode = render_mode
        self.opponents = names
        self.seat = seat
        self.reward = reward
        self.closed = False

    _seat_in_obs = False  # the learner sees its game in its own frame; `seats` has its seat

    @property
    def seats(self) -> np.ndarray:
        """``(num_envs,)`` int8: the learner's seat in each env's game (the env's own array)."""
        return self._seat

    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        """Starts a new game in every env (or those of ``options["reset_mask"]``) and plays the
        bots that move before the learner; returns ``(obs, {})``. Bad arguments raise before
        anything changes."""
        return super().reset(seed=seed, options=options)

    def step(
        self, actions: Any
    ) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Plays one grid index per env for its learner, then the bots; returns ``(obs,
        rewards, terminations, truncations, infos)``. An action the learner may not play raises
        ``ValueError`` naming the env, and no env is stepped."""
        return super().step(actions)

    def state(self, env: int) -> _core.State:
        """A copy of env ``env``'s game, with its ``history`` of every placement."""
        return self._batch.state(env)

    def render(self) -> tuple[Any, ...] | None:
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render_mode")
            return None
        boards = (self._batch.state(env).board(0) for env in range(self.num_envs))
        if self.render_mode == "ansi":
            return tuple(board.text() for board in boards)
        return tuple(board.rgb() for board in boards)

    def _rewards(self) -> np.ndarray:
        return self._arrays["rewards"]

    def __repr__(self) -> str:
        return (
            f"LearnerVectorEnv(num_envs={self.num_envs}, opponents={self.opponents}, "
            f"seat={self.seat}, reward={self.reward!r}, mask={self.mask!r})"
        )


def _opponents(opponents: str | Sequence[str]) -> tuple[str, str, str]:
    # The engine knows its bots by name and refuses others itself.
    names = (opponents,) * 3 if isinstance(opponents, str) else opponents
    if (
        not isinstance(names, Sequence)
        or len(names) != 3
        or not all(isinstance(name, str) for name in names)
    ):
        raise TypeError(f"opponents must be a bot name or three of them, not {opponents!r}")
    return tuple(names)  # type: ignore[return-value]
