"""One learner seat against three bots, as a single Gymnasium environment.

It is the one-env case of the learner batch (``tavlok.gym_vector.LearnerVectorEnv``): the same
seats, bots, rewards and seeding, played in the engine. Each ``step`` places the learner's piece,
then the opponents move until the learner has a legal placement again or the game is over, so the
learner is never handed an all-zero mask while its game goes on. Nothing is ever truncated.

An illegal action raises ``ValueError``, as in the PettingZoo raw environment. Gymnasium's own
checker (``gymnasium.utils.env_checker.check_env``) steps with unmasked samples of
``Discrete(36400)`` and expects them to be taken: ``on_illegal="terminate"`` serves it, and
learners that do not mask (masked sampling is ``env.action_space.sample(mask=obs["action_mask"])``).
Registered as ``"tavlok/Tavlok-v0"`` when ``tavlok`` is imported with Gymnasium installed.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, SupportsIndex

import numpy as np
from gymnasium import Env, logger
from gymnasium.error import ResetNeeded

from . import _arguments, _core, spaces
from .actions import refused, refused_candidate
from .gym_vector import LearnerVectorEnv, Opponents
from .state import RENDER_MODES, picture

if TYPE_CHECKING:
    from . import State

ON_ILLEGAL = ("raise", "terminate")
# With on_illegal="terminate", by reward kind: the engine's reward for an illegal move.
ILLEGAL_ACTION_REWARDS: dict[str, float] = _core.ILLEGAL_MOVE_REWARDS

# Why a step is refused until the next reset.
GAME_OVER = "the episode is over"
UNFINISHED = "a %s that did not finish (stopped by Ctrl-C)"

Observation = dict[str, np.ndarray]

# What an env made again from its arguments has anew: the engine's games and what follows them.
_NOT_PICKLED = ("_games", "_state", "_view", "_ended")


class TavlokGymEnv(Env[Observation, int]):
    """The learner plays one seat, three bots the others; see the module docstring.

    ``opponents``, ``seat`` and ``reward`` are ``LearnerVectorEnv``'s (``opponents`` is held as
    the engine spells the names); ``on_illegal``, ``"raise"`` or ``"terminate"``, is what an
    illegal action does (see ``step``); ``opponent_moves`` adds the opponents' placements to the
    infos (see ``step``), off by default because their number changes from step to step, and
    libraries that stack every step's infos into arrays (Tianshou) need them the same shape.
    ``candidates``, ``opening`` and ``mask`` are ``LearnerVectorEnv``'s, ``mask`` being
    ``"bytes"`` (an action is a grid index) or ``"candidates"`` (an action is a candidate's
    number, ``Discrete(candidates)``, and ``"action_mask"`` the candidate mask). Bad arguments
    raise here, before anything is built.

    The env pickles (and copies) as it was made: a copy has the same arguments and no game, so
    it wants a ``reset`` before its first ``step``, as a new env does. The engine's games do not
    travel, and what Gymnasium's subprocess vector envs and Ray ship to their workers is an env
    that is yet to be reset.
    """

    metadata: ClassVar[dict[str, Any]] = {"render_modes": list(RENDER_MODES), "render_fps": 2}
    # None until __init__ has made the games: an env whose arguments were refused still closes.
    _games: LearnerVectorEnv | None = None

    def __init__(
        self,
        opponents: Opponents = ("random", "random", "random"),
        seat: SupportsIndex | None = None,
        reward: str = "score",
        render_mode: str | None = None,
        on_illegal: str = "raise",
        opponent_moves: bool = False,
        candidates: SupportsIndex | None = None,
        mask: str = "bytes",
        opening: SupportsIndex = 0,
    ) -> None:
        # The arguments as given (nothing else is bound yet), to make the env again when it is
        # unpickled.
        self._made_with = {name: value for name, value in locals().items() if name != "self"}
        mask = _arguments.choice(mask, "mask", spaces.ONE_GAME_MASKS)
        self.on_illegal = _arguments.choice(on_illegal, "on_illegal", ON_ILLEGAL)
        self.opponent_moves = bool(opponent_moves)
        self.render_mode = _arguments.choice(
            render_mode, "render_mode", RENDER_MODES, allow_none=True
        )
        # Autoreset disabled: a game that is over waits for reset(), as a single env's does. The
        # batch's own arrays, rewritten in place, as observations are copies of them.
        self._games = LearnerVectorEnv(
            1,
            opponents,
            seat,
            reward,
            mask=mask,
            autoreset_mode="Disabled",
            num_threads=1,
            copy=False,
            candidates=candidates,
            opening=opening,
        )
        self.reward = self._games.reward
        self._name_opponents()
        self._on_candidates = spaces.actions_are_candidates(mask, self._games.candidates)
        self.observation_space = spaces.single_observation_space(
            mask, False, self._games.candidates
        )
        self.action_space = spaces.action_space(mask, self._games.candidates)
        # A copy of the game after the last reset or step (None before the first reset), and the
        # learner's view of it in the batch's own arrays, which only this env's calls rewrite.
        self._state: State | None = None
        self._view: Observation = {}
        # Why the env takes no step before the next reset, or None while the episode goes on.
        self._ended: str | None = None

    @property
    def seat(self) -> int:
        """The learner's seat in the current game."""
        return int(self._games.seats[0])

    def set_opponents(self, opponents: Opponents) -> None:
        """New opponents, in any form ``opponents`` takes, from the next ``reset`` on (see
        ``LearnerVectorEnv.set_opponents``); a copy of the env is made with them."""
        self._games.set_opponents(opponents)
        self._made_with["opponents"] = opponents
        self._name_opponents()

    def _name_opponents(self) -> None:
        """``opponents`` as the engine spells the names: a tuple, or a pool's dict."""
        named = self._games.opponents
        if isinstance(named, dict):
            self.opponents: Any = {_core.bot_name(name): w for name, w in named.items()}
        else:
            self.opponents = tuple(_core.bot_name(name) for name in named)

    def reset(
        self, *, seed: SupportsIndex | None = None, options: Mapping[str, Any] | None = None
    ) -> tuple[Observation, dict[str, Any]]:
        """Start a new game and play the opponents up to the learner's first move.

        A seed, below 2**64, reseeds the env's generator as ``LearnerVectorEnv.reset`` reseeds
        its env 0 (and ``np_random``, which is not used); without one, the generator carries on.
        There are no options. Bad arguments raise before anything changes.
        """
        seed = _arguments.seed(seed)
        _arguments.options(options, known=())
        super().reset(seed=seed)
        self._ended = UNFINISHED % "reset()"
        self._view, _ = self._games.reset(seed=seed)
        state = self._took()
        self._ended = None
        return self._observation(), self._info(state.history)

    def step(
        self, action: SupportsIndex
    ) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        """Place the learner's piece at grid index ``action``, then play the opponents.

        Returns the learner's next observation, the reward (0 until the game is over), whether the
        game is over, False (never truncated) and an info dict: ``"seat"``, the learner's seat;
        with ``opponent_moves=True``, ``"opponent_moves"``, the grid indices the opponents played
        after this move, in order (those before the learner's first move after ``reset``); and
        once the game is over ``"scores"``, the four final scores in seat order.

        An illegal action raises ``ValueError`` and changes nothing; with
        ``on_illegal="terminate"`` it ends the episode instead, the board as it was, the mask all
        zero, the reward -89 (``reward="score"``) or -1 (``"win"``) and ``"illegal_action"`` in
        the info. A step before ``reset``, after the episode is over, or after a reset or step
        that Ctrl-C stopped raises ``gymnasium.error.ResetNeeded``.
        """
        state = self._started("step")
        if self._ended is not None:
            raise ResetNeeded(f"step() after {self._ended}: call reset() to start anew")
        index = _arguments.whole(action, "action")
        legal = self._view["action_mask"][0]
        if not (0 <= index < legal.size and legal[index]):
            if self._on_candidates:
                if self.on_illegal == "raise":
                    mover = f"seat {self.seat}"
                    raise refused_candidate(mover, index, int(legal.sum()))
            else:
                try:
                    state.clone().apply(index)
                except ValueError as reason:
                    if self.on_illegal == "raise":
                        raise refused(f"seat {self.seat}", index, reason) from None
            self._ended = GAME_OVER
            observation = self._observation()
            observation["action_mask"][:] = 0
            if self.render_mode == "human":
                self.render()
            info = {**self._info(()), "illegal_action": index}
            return observation, ILLEGAL_ACTION_REWARDS[self.reward], True, False, info
        placed = len(state.history)
        # A step that Ctrl-C stops leaves the opponents part-way through their moves: the
        # learner's next action must not be placed for one of them.
        self._ended = UNFINISHED % "step()"
        self._view, rewards, terminations, _, _ = self._games.step(np.array([index]))
        state = self._took()
        info = self._info(state.history[placed + 1 :])
        over = bool(terminations[0])
        if over:
            info["scores"] = state.scores()
        self._ended = GAME_OVER if over else None
        return self._observation(), float(rewards[0]), over, False, info

    def action_masks(self) -> np.ndarray:
        """The legal actions of the last observation as a new bool array, (36400,) or with
        ``mask="candidates"`` (candidates,) (all False once the episode is over): what
        sb3-contrib's MaskablePPO asks for."""
        self._started("action_masks")
        if self._ended is not None:
            return np.zeros(self.action_space.n, dtype=np.bool_)
        return self._view["action_mask"][0].astype(np.bool_)

    def render(self) -> str | np.ndarray | None:
        """The board in seat 0's frame, as the PettingZoo environment draws it: the text with
        ANSI colours (``"ansi"``), an RGB image (``"rgb_array"``), or printed (``"human"``, at
        every reset and step)."""
        if self.render_mode is None:
            logger.warn("render() was called without a render_mode; pass one to the env")
            return None
        self._started("render")
        return picture(self._games.state(0), self.render_mode)

    def close(self) -> None:
        if self._games is not None:
            self._games.close()

    def __getstate__(self) -> dict[str, Any]:
        return {key: value for key, value in vars(self).items() if key not in _NOT_PICKLED}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(**state["_made_with"])  # type: ignore[misc]
        vars(self).update(state)

    def _info(self, opponent_moves: tuple[int, ...]) -> dict[str, Any]:
        if self.opponent_moves:
            return {"seat": self.seat, "opponent_moves": opponent_moves}
        return {"seat": self.seat}

    def _started(self, call: str) -> State:
        if self._state is None:
            raise ResetNeeded(f"{call}() before reset(): call reset() first")
        return self._state

    def _took(self) -> State:
        """The game after a reset or step of the batch, drawn in human mode."""
        self._state = state = self._games.state(0)
        if self.render_mode == "human":
            picture(state, "human")
        return state

    def _observation(self) -> Observation:
        return {key: np.array(value[0]) for key, value in self._view.items()}
