"""One learner seat against three bots, as a single Gymnasium environment.

Each ``step`` places the learner's piece, then the three opponents, played by the package's bots
in the engine (``tavlok.bots``), move until the learner has a legal placement again or the game is
over. A seat left without a legal placement is passed, so the learner is never handed an all-zero
mask while its game goes on; if the learner runs out of placements first, the opponents play the
game out within that same step. Nothing is ever truncated.

An illegal action raises ``ValueError`` and changes nothing, as the PettingZoo raw environment
does. Gymnasium's own checker (``gymnasium.utils.env_checker.check_env``) steps with actions drawn
from the whole ``Discrete(36400)`` space, unmasked, and expects them to be taken; for it, and for
learners that do not mask, ``on_illegal="terminate"`` ends the episode at an illegal action
instead, with a reward below every one a game can give. Masked sampling is Gymnasium's own:
``env.action_space.sample(mask=obs["action_mask"])``.

Registered as ``"tavlok/Tavlok-v0"`` when ``tavlok`` is imported with Gymnasium installed
(``tavlok.registration``).
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, SupportsIndex

import numpy as np
from gymnasium import Env, logger, spaces
from gymnasium.error import ResetNeeded

from . import _core, bots
from ._numbers import shown
from .actions import PLANES_SHAPE
from .match import IllegalMove, Match
from .pieces import KINDS, NUM_ACTIONS, NUM_SEATS

if TYPE_CHECKING:
    from . import State

HANDS_SHAPE = (NUM_SEATS, len(KINDS))
NUM_OPPONENTS = NUM_SEATS - 1
REWARDS = ("score", "win")
ON_ILLEGAL = ("raise", "terminate")
# With on_illegal="terminate": below every reward of a game (a seat's score is at worst -88).
ILLEGAL_ACTION_REWARDS = {"score": -89.0, "win": -1.0}

Observation = dict[str, np.ndarray]
Bot = Callable[["State"], int]


def observation_space() -> spaces.Dict:
    """What a seat sees, as the PettingZoo environment hands it out: ``"observation"``, its four
    planes in its own frame (plane k is seat (seat + k) mod 4); ``"action_mask"``, the flat int8
    legal-action mask; ``"hands"``, 1 where each of those seats still holds a kind."""
    return spaces.Dict(
        {
            "observation": spaces.Box(0, 1, PLANES_SHAPE, dtype=np.uint8),
            "action_mask": spaces.Box(0, 1, (NUM_ACTIONS,), dtype=np.int8),
            "hands": spaces.Box(0, 1, HANDS_SHAPE, dtype=np.uint8),
        }
    )


class TavlokGymEnv(Env[Observation, int]):
    """The learner plays one seat, three bots the others; see the module docstring.

    ``opponents``: one bot name for all three, or three names for the seats that move after the
    learner, in turn order (``opponents[k]`` plays seat (learner + 1 + k) mod 4). A name is one
    the arena takes: ``"random"``, ``"greedy"``, ``"mcts"``, or ``"mcts:400"`` and the like for
    the search with settings (``tavlok.bots``); ``opponents`` holds them as the engine spells
    them. ``seat``: the learner's seat, 0 to 3, or None to rotate it by one seat each game,
    starting from a seat drawn from the env's generator. ``reward``: ``"score"``
    gives the learner's final score at the step that ends its game, ``"win"`` gives 1 to the best
    score of the game (1/k each when k seats share it) and 0 otherwise; every other step rewards 0.
    ``on_illegal``: ``"raise"`` or ``"terminate"``, what an illegal action does (see ``step``).

    Bad arguments raise ``TypeError`` or ``ValueError`` here, before anything is built.
    """

    metadata: ClassVar[dict[str, Any]] = {
        "render_modes": ["human", "ansi", "rgb_array"],
        "render_fps": 2,
    }

    def __init__(
        self,
        opponents: str | Sequence[str] = ("random", "random", "random"),
        seat: SupportsIndex | None = None,
        reward: str = "score",
        render_mode: str | None = None,
        on_illegal: str = "raise",
    ) -> None:
        self._bot_makers = _opponent_makers(opponents)
        self._fixed_seat = _seat(seat)
        if reward not in REWARDS:
            raise ValueError(f"reward must be one of {REWARDS}, not {reward!r}")
        if on_illegal not in ON_ILLEGAL:
            raise ValueError(f"on_illegal must be one of {ON_ILLEGAL}, not {on_illegal!r}")
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(
                f"render_mode must be None or one of {self.metadata['render_modes']}, "
                f"not {render_mode!r}"
            )
        self.opponents = tuple(name for name, _ in self._bot_makers)
        self.reward = reward
        self.on_illegal = on_illegal
        self.render_mode = render_mode
        self.observation_space = observation_space()
        self.action_space = spaces.Discrete(NUM_ACTIONS)
        self._match: Match | None = None
        # The episode ended at an illegal action (on_illegal="terminate"); the game did not.
        self._ended_illegally = False
        self._bots: list[Bot] | None = None
        self._next_seat: int | None = None
        self._seat = 0
        self._observation: Observation | None = None

    @property
    def seat(self) -> int:
        """The learner's seat in the current game."""
        return self._seat

    def reset(
        self, *, seed: SupportsIndex | None = None, options: Mapping[str, Any] | None = None
    ) -> tuple[Observation, dict[str, Any]]:
        """Start a new game and play the opponents up to the learner's first move.

        A seed reseeds the env's generator, from which the opponents' generators and the seat
        rotation are drawn: the same seed and the same learner moves replay the same games.
        Without one, both carry on from where they are. There are no options: ``options`` must be
        None or empty.

        Bad arguments raise before anything changes.
        """
        seed = _seed(seed)
        if options is not None:
            if not isinstance(options, Mapping):
                raise TypeError(f"options must be None or a mapping, not {type(options).__name__}")
            if options:
                raise ValueError(f"there are no options, but got {sorted(map(str, options))}")
        super().reset(seed=seed)
        if seed is not None or self._bots is None:
            self._bots = [make(self.np_random) for _, make in self._bot_makers]
        if self._fixed_seat is not None:
            self._seat = self._fixed_seat
        else:
            if seed is not None or self._next_seat is None:
                self._next_seat = int(self.np_random.integers(NUM_SEATS))
            self._seat = self._next_seat
            self._next_seat = (self._seat + 1) % NUM_SEATS
        self._match = Match()
        self._ended_illegally = False
        moves = self._play_opponents()
        if self.render_mode == "human":
            self.render()
        return self._observe(), {"seat": self._seat, "opponent_moves": moves}

    def step(
        self, action: SupportsIndex
    ) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        """Place the learner's piece at grid index ``action``, then play the opponents.

        Returns the learner's next observation, the reward (0 until the game is over), whether the
        game is over, False (never truncated) and an info dict: ``"seat"``, the learner's seat;
        ``"opponent_moves"``, the grid indices the opponents played after this move, in order;
        and once the game is over ``"scores"``, the four final scores in seat order.

        An illegal action (a grid index that is not a legal placement for the learner now)
        raises ``ValueError`` and changes nothing. With ``on_illegal="terminate"`` it ends the
        episode instead: the board stays as it was, the observation's mask is all zero, the
        reward is -89 (``reward="score"``) or -1 (``"win"``) and the info holds
        ``"illegal_action"``. An action that is not a whole number raises ``TypeError`` and
        changes nothing. A step before ``reset`` or after the episode is over raises
        ``gymnasium.error.ResetNeeded``.
        """
        match = self._match_in_play("step")
        try:
            match.place(action)
        except IllegalMove:
            if self.on_illegal == "raise":
                raise
            return self._end_illegally(operator.index(action))
        moves = self._play_opponents()
        info: dict[str, Any] = {"seat": self._seat, "opponent_moves": moves}
        scores = match.scores()
        reward = 0.0
        if scores is not None:
            info["scores"] = scores
            reward = self._final_reward(scores)
        if self.render_mode == "human":
            self.render()
        return self._observe(), reward, scores is not None, False, info

    def action_masks(self) -> np.ndarray:
        """The legal actions of the last observation as a new (36400,) bool array (all False once
        the episode is over): what sb3-contrib's MaskablePPO asks for."""
        if self._observation is None:
            raise ResetNeeded("action_masks() before reset(): call reset() first")
        return self._observation["action_mask"].astype(np.bool_)

    def render(self) -> str | np.ndarray | None:
        """The board in seat 0's frame, as the PettingZoo environment draws it: the text with
        ANSI colours (``"ansi"``), an RGB image (``"rgb_array"``), or printed (``"human"``, at
        every reset and step)."""
        if self.render_mode is None:
            logger.warn("render() was called without a render_mode; pass one to the env")
            return None
        if self._match is None:
            raise ResetNeeded("render() before reset(): call reset() first")
        return self._match.render(self.render_mode)

    def _match_in_play(self, call: str) -> Match:
        match = self._match
        if match is None:
            raise ResetNeeded(f"{call}() before reset(): call reset() first")
        if match.is_over() or self._ended_illegally:
            raise ResetNeeded(f"{call}() after the episode is over: call reset() to start anew")
        return match

    def _end_illegally(
        self, action: int
    ) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        self._ended_illegally = True
        observation = self._observe()
        observation["action_mask"][:] = 0
        if self.render_mode == "human":
            self.render()
        info = {"seat": self._seat, "opponent_moves": (), "illegal_action": action}
        return observation, ILLEGAL_ACTION_REWARDS[self.reward], True, False, info

    def _play_opponents(self) -> tuple[int, ...]:
        """Let the bots move until the learner is to move or the game is over; their moves."""
        match = self._match
        assert match is not None and self._bots is not None
        moves = []
        while not match.is_over() and match.to_move != self._seat:
            bot = self._bots[(match.to_move - self._seat - 1) % NUM_SEATS]
            move = bot(match.state)
            match.place(move)
            moves.append(int(move))
        return tuple(moves)

    def _observe(self) -> Observation:
        match = self._match
        assert match is not None
        planes, grid_mask = match.state.observation(self._seat)
        observation = {
            "observation": planes,
            "action_mask": grid_mask.reshape(NUM_ACTIONS).view(np.int8),
            "hands": match.hands(self._seat),
        }
        self._observation = observation
        return observation

    def _final_reward(self, scores: Sequence[int]) -> float:
        mine = scores[self._seat]
        if self.reward == "score":
            return float(mine)
        best = max(scores)
        return 1.0 / scores.count(best) if mine == best else 0.0


def _bot_maker(name: str) -> tuple[str, Callable[[np.random.Generator], Bot]]:
    """The engine's spelling of a bot's name and a maker of the bot from the env's generator. The
    engine reads the name, as it does for the arena: "random", "greedy", "mcts", "mcts:400"."""
    engine_name = _core.bot_name(name)
    kind = engine_name.partition(":")[0]
    if kind == "greedy":
        return engine_name, lambda generator: bots.Greedy()
    if kind == "random":
        return engine_name, lambda generator: bots.Random(seed=_bot_seed(generator))
    return engine_name, lambda generator: bots.MCTS.named(engine_name, seed=_bot_seed(generator))


def _bot_seed(generator: np.random.Generator) -> int:
    return int(generator.integers(2**63))


def _opponent_makers(opponents: object) -> list[tuple[str, Callable[[np.random.Generator], Bot]]]:
    names = [opponents] * NUM_OPPONENTS if isinstance(opponents, str) else opponents
    if not isinstance(names, Sequence) or len(names) != NUM_OPPONENTS:
        raise TypeError(
            f"opponents must be a bot name or a sequence of {NUM_OPPONENTS} names, "
            f"not {opponents!r}"
        )
    makers = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"an opponent is named by a string, not {type(name).__name__}")
        makers.append(_bot_maker(name))
    return makers


def _seat(seat: object) -> int | None:
    if seat is None:
        return None
    value = _whole_number("seat", seat)
    if not 0 <= value < NUM_SEATS:
        raise ValueError(f"seat must be None or 0 to {NUM_SEATS - 1}, not {shown(value)}")
    return value


def _seed(seed: object) -> int | None:
    if seed is None:
        return None
    value = _whole_number("seed", seed)
    if value < 0:
        raise ValueError(f"seed must be 0 or more, not {shown(value)}")
    return value


def _whole_number(name: str, value: object) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be None or a whole number, not {type(value).__name__}")
    return operator.index(value)  # type: ignore[arg-type]
