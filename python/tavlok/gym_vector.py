"""One learner against three bots, ``num_envs`` games at once: ``LearnerVectorEnv``, a Gymnasium
vector env in C++ and the vector entry point of ``gymnasium.make_vec("tavlok/Tavlok-v0", ...)``.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Union

import gymnasium
import numpy as np

from . import _arguments, _core
from .pieces import KINDS, NUM_SEATS
from .state import picture
from .vector import _BatchEnv

__all__ = ["REWARDS", "LearnerVectorEnv"]

# The engine's words for what a learner is paid; the engine checks them where the batch is made.
REWARDS: tuple[str, ...] = _core.REWARDS
RENDER_MODES = ("ansi", "rgb_array")
# A learner moves at most once per piece: 21 steps end any game.
MOST_LEARNER_MOVES = len(KINDS)

# What ``opponents`` takes: a bot name for all three, three names, or a pool {name: weight}.
Opponents = Union[str, Sequence[str], Mapping[str, float]]


class LearnerVectorEnv(_BatchEnv, gymnasium.vector.VectorEnv):  # type: ignore[misc]
    """``num_envs`` games of one learner against three of the engine's bots. A step plays every
    learner's move and then the bots' moves, inside the engine with the interpreter lock released,
    until each learner is to move again or its game is over.

    - ``opponents``: a bot name for all three, or three names; ``opponents[k]`` plays the seat
      k + 1 turns after the learner, by the names the arena takes (see ``tavlok.bots``):
      ``"random"`` (uniform over the legal placements, drawing from the env's generator),
      ``"greedy"``, the net (``"net"``, or ``"net:path=FILE"`` for weights of your own), and
      the search, ``"mcts"`` or ``"mcts:400"`` and the like, seeded at every move from the
      env's generator. A search takes milliseconds a move where the other bots take
      microseconds, and a step waits for the slowest env. Or a pool, a mapping ``{name:
      weight}`` (weights above 0): each of the three opponents of every game is drawn from it
      when the game starts, with probability weight / sum, from the env's generator.
      ``set_opponents`` changes them between steps.
    - ``candidates``: None, or K from 1 to 64: every observation lists the learner's K first
      candidates with their features (see ``tavlok.VectorEnv``); ``mask="candidates"`` makes
      an action a candidate's number, ``Discrete(K)``.
    - ``opening``: N from 0 to 40 uniform random placements that begin every game, drawn from
      the env's generator (as the arena's ``opening``), before the first decision: bots that
      draw nothing, such as greedy, then meet the learner in many positions instead of the same
      few lines.
    - ``seat``: the learner's seat, 0 to 3, in every game; None (the default) rotates it one seat
      on per game, starting from a seat drawn from the env's generator when it is seeded.
    - ``reward``: ``"score"`` pays the learner its final score when its game ends; ``"win"``
      pays 1 split equally between the seats with the best score (0 to the others). Every other
      step pays 0: ``rewards`` is float32 ``(num_envs,)``.
    - ``mask``, ``autoreset_mode``, ``num_threads``, ``copy``: as ``tavlok.VectorEnv``, whose
      docstring says how long the arrays handed out hold: by default for good, with
      ``copy=False`` until the next call rewrites them.
    - ``render_mode``: None, ``"ansi"`` or ``"rgb_array"``; ``render()`` then returns a tuple of
      every env's board (text or image) in seat 0's frame, as ``tavlok.env()`` draws it.

    The observation is the learner's, as in ``tavlok.VectorEnv`` without ``"seat"``: ``seats``
    gives its seat in each env, and ``"seat"`` in ``infos`` is the learner's. A game that is over
    shows the learner's final view, with no legal action. A game is exactly what
    ``tavlok.State`` plays from the learner's moves and the bots' (``state(env)`` hands out a
    copy with its history). The env's generator draws the learner's first seat and the bots'
    moves, so one seed replays the same games for the same learner moves, whatever
    ``num_threads``.
    """

    def __init__(
        self,
        num_envs: int,
        opponents: Opponents = ("random", "random", "random"),
        seat: int | None = None,
        reward: str = "score",
        mask: str = "bytes",
        autoreset_mode: Any = "NextStep",
        num_threads: int | None = None,
        render_mode: str | None = None,
        copy: bool = True,
        max_episode_steps: int | None = None,
        candidates: int | None = None,
        opening: int = 0,
    ) -> None:
        names, pool = _opponents(opponents)
        seat = _arguments.whole(seat, "seat", 0, NUM_SEATS - 1, allow_none=True)
        self.render_mode = _arguments.choice(
            render_mode, "render_mode", RENDER_MODES, allow_none=True
        )
        # Every game ends within that many learner moves, so a larger limit never truncates and
        # is accepted as it stands (gymnasium.make_vec passes a registered one on).
        _arguments.whole(
            max_episode_steps, "max_episode_steps", MOST_LEARNER_MOVES, allow_none=True
        )
        super().__init__(
            num_envs, num_threads, None, mask, autoreset_mode, copy, names, seat, reward,
            candidates, pool, opening,
        )
        self.metadata = {**self.metadata, "render_modes": list(RENDER_MODES)}
        self.opponents: tuple[str, str, str] | dict[str, float] = names or dict(pool)
        self.seat = seat
        self.reward = reward

    @property
    def seats(self) -> np.ndarray:
        """``(num_envs,)`` int8: the learner's seat in each env's game, as the last reset or step
        left it (the env's own array with ``copy=False``)."""
        return self._seat

    def set_opponents(self, opponents: Opponents) -> None:
        """New opponents, in any form ``opponents`` takes, for every game from its next start on
        (an autoreset or ``reset``): the games under way keep theirs, and nothing is rebuilt. A
        bad name or weight raises and changes nothing."""
        names, pool = _opponents(opponents)
        self._batch.set_opponents(names, pool)
        self.opponents = names or dict(pool)

    def render(self) -> tuple[Any, ...] | None:
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render_mode")
            return None
        return tuple(picture(self.state(env), self.render_mode) for env in range(self.num_envs))

    def __repr__(self) -> str:
        shown = [f"opponents={self.opponents}", f"seat={self.seat}", f"reward={self.reward!r}",
                 f"mask={self.mask!r}"]
        if self.candidates is not None:
            shown.append(f"candidates={self.candidates}")
        if self.opening:
            shown.append(f"opening={self.opening}")
        return f"LearnerVectorEnv(num_envs={self.num_envs}, {', '.join(shown)})"


def _opponents(
    opponents: Opponents,
) -> tuple[tuple[str, str, str] | None, list[tuple[str, float]] | None]:
    """Three names, or a pool as (name, weight) pairs: one of the two. The engine knows its bots
    by name and checks names and weights itself."""
    if isinstance(opponents, Mapping):
        if not all(isinstance(name, str) for name in opponents):
            raise TypeError(f"a pool of opponents maps bot names to weights, not {opponents!r}")
        return None, [(name, _weight(weight)) for name, weight in opponents.items()]
    names = (opponents,) * 3 if isinstance(opponents, str) else opponents
    if (
        not isinstance(names, Sequence)
        or len(names) != 3
        or not all(isinstance(name, str) for name in names)
    ):
        raise TypeError(
            f"opponents must be a bot name or three of them, or a mapping of names to weights, "
            f"not {opponents!r}"
        )
    return tuple(names), None  # type: ignore[return-value]


def _weight(weight: object) -> float:
    if isinstance(weight, bool) or not isinstance(weight, (int, float, np.integer, np.floating)):
        raise TypeError(f"a pool's weights must be numbers, not {type(weight).__name__}")
    return float(weight)
