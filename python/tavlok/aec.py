"""The game as a PettingZoo AEC environment for four agents, ``player_0`` to ``player_3``.

It follows PettingZoo's classic board games. All four agents stay in ``agents`` until the game is
over. ``agent_selection`` only ever names an agent whose seat has a legal placement: a seat left
without one is skipped, so no live agent is handed an all-zero mask. When no seat can move, the
step that made the last placement terminates all four agents at once and gives each its final
score as its reward for that step (every other step rewards 0, so an agent's rewards add up to its
score). Each terminated agent is then stepped once with None, which removes it and changes
nothing else. Nothing is ever truncated.

``raw_env`` is the environment itself; an illegal move raises ``ValueError`` and changes
nothing. ``candidates=K`` adds the mover's K first candidates to its observations, and
``mask="candidates"`` makes an action a candidate's number (see ``tavlok.VectorEnv``). ``env`` wraps it as PettingZoo's classic games are wrapped: out-of-range actions fail an
assertion, calls out of order are refused, and an illegal move ends the game for everyone, the
mover scoring ``ILLEGAL_MOVE_REWARD`` and the others 0.
"""

from __future__ import annotations

import operator
from typing import Any, ClassVar

import numpy as np
from gymnasium import logger
from gymnasium.spaces import Space
from pettingzoo import AECEnv  # type: ignore[import-untyped]
from pettingzoo.utils import wrappers  # type: ignore[import-untyped]

from . import _arguments, _core, spaces
from .actions import refused, refused_candidate
from .board import Board
from .pieces import NUM_SEATS
from .state import RENDER_MODES, State, picture

AGENTS = tuple(f"player_{seat}" for seat in range(NUM_SEATS))
# The engine's reward for an illegal move, below every score a seat can make.
ILLEGAL_MOVE_REWARD: float = _core.ILLEGAL_MOVE_REWARDS["score"]

Observation = dict[str, np.ndarray]


class GameOver(RuntimeError):
    """A step, or ``last()``, after every agent has left the game: ``reset()`` starts a new one."""


def raw_env(
    render_mode: str | None = None, candidates: int | None = None, mask: str = "bytes"
) -> TavlokEnv:
    """The environment without wrappers; call ``reset`` before the first step."""
    return TavlokEnv(render_mode=render_mode, candidates=candidates, mask=mask)


def env(**kwargs: Any) -> AECEnv:
    """``raw_env(**kwargs)`` in the wrappers of PettingZoo's classic games."""
    wrapped = TerminateIllegal(raw_env(**kwargs), ILLEGAL_MOVE_REWARD)
    return OrderEnforcing(AssertOutOfBounds(wrapped))


def _read_from_game(name: str) -> property:
    # A C-level getter: a Python one costs as much as the lookup it saves.
    return property(operator.attrgetter(f"_game.{name}"), doc=f"The environment's ``{name}``.")


class _ReadsTheGame:
    """Reads the per-agent tables straight from the unwrapped environment. PettingZoo's wrappers
    find them through one ``__getattr__`` call per layer, which made a decision through three
    layers cost about three times one on the bare environment; the values are the same objects."""

    def __init__(self, env: AECEnv, *args: Any) -> None:
        super().__init__(env, *args)  # type: ignore[call-arg]
        self._game = env.unwrapped

    agents = _read_from_game("agents")
    agent_selection = _read_from_game("agent_selection")
    rewards = _read_from_game("rewards")
    _cumulative_rewards = _read_from_game("_cumulative_rewards")
    terminations = _read_from_game("terminations")
    truncations = _read_from_game("truncations")
    infos = _read_from_game("infos")


class TerminateIllegal(_ReadsTheGame, wrappers.TerminateIllegalWrapper):  # type: ignore[misc]
    """PettingZoo's classic handling of an illegal move."""


class AssertOutOfBounds(_ReadsTheGame, wrappers.AssertOutOfBoundsWrapper):  # type: ignore[misc]
    """PettingZoo's assertion that an action lies in the action space."""

    def step(self, action: Any) -> None:
        # A bool is an int to Python and to the space's contains(), but as an index into the mask
        # it selects rows; it is a mistake, not move 0 or 1, and is refused as numpy's bool is.
        if isinstance(action, bool):
            raise AssertionError("action is not in action space")
        # An integer in range passes the assertion; saying so here spares the space's contains(),
        # which costs more than the rest of a decision. Anything else takes PettingZoo's path.
        if isinstance(action, (int, np.integer)) and 0 <= action < self._game.num_actions:
            self.env.step(action)
        else:
            super().step(action)


class OrderEnforcing(_ReadsTheGame, wrappers.OrderEnforcingWrapper):  # type: ignore[misc]
    """PettingZoo's order enforcing, with a clear error for a step or ``last()`` once the game is
    over (PettingZoo would only warn, or fail on a missing key)."""

    def __init__(self, env: AECEnv) -> None:
        super().__init__(env)
        # Until the first reset the tables are refused, as PettingZoo refuses them: a read through
        # the missing _game falls back to the wrapper's __getattr__, which raises.
        del self._game

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        self._game = self.unwrapped
        super().reset(seed=seed, options=options)

    def step(self, action: Any) -> None:
        if self._has_reset and not self.agents:
            raise _game_over("step")
        super().step(action)

    def last(self, observe: bool = True) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        if self._has_reset and not self.agents:
            raise _game_over("last")
        return super().last(observe)


def _game_over(call: str) -> GameOver:
    return GameOver(
        f"{call}() after the game is over: every agent has left; reset() starts a new one"
    )


class TavlokEnv(AECEnv[str, Observation, int]):  # type: ignore[misc]
    """Four agents take turns placing pieces; see the module docstring for the rules of play."""

    metadata: ClassVar[dict[str, Any]] = {
        "name": "tavlok_v1",
        "render_modes": list(RENDER_MODES),
        # Turn-based: turn_based_aec_to_parallel converts it, aec_to_parallel would not.
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(
        self, render_mode: str | None = None, candidates: int | None = None, mask: str = "bytes"
    ) -> None:
        super().__init__()
        self.render_mode = _arguments.choice(
            render_mode, "render_mode", self.metadata["render_modes"], allow_none=True
        )
        self._mask = _arguments.choice(mask, "mask", spaces.ONE_GAME_MASKS)
        # The engine checks the count (and that the candidates layout has one).
        fields = spaces.view_fields(self._mask, False, candidates)
        self._candidates = candidates
        # The fields of a seat's view, in the engine's order: what observe hands out.
        self._view_keys = tuple(field["name"] for field in fields)
        self._on_candidates = spaces.actions_are_candidates(self._mask, candidates)
        self.possible_agents = list(AGENTS)
        self._seat = {agent: seat for seat, agent in enumerate(AGENTS)}
        # Built once: PettingZoo and seeding rely on getting the same space object every call.
        self.observation_spaces = {
            agent: spaces.single_observation_space(self._mask, False, candidates)
            for agent in AGENTS
        }
        self.action_spaces = {
            agent: spaces.action_space(self._mask, candidates) for agent in AGENTS
        }
        # The actions are 0 to num_actions - 1: grid indices, or candidates' numbers.
        self.num_actions: int = self.action_spaces[AGENTS[0]].n
        self.state_space = spaces.single_observation_space()["observation"]
        self._start()

    def observation_space(self, agent: str) -> Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> Space[Any]:
        return self.action_spaces[agent]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Start a new game. A seed seeds the agents' action spaces, each from its own stream
        spawned from the seed, so that sampled moves repeat; the game itself has no randomness.
        ``options`` are accepted for the API's sake; there are none.

        Bad arguments raise before anything changes.
        """
        seeds = _agent_seeds(seed)
        _arguments.options(options, known=None)
        if seeds is not None:
            for agent, agent_seed in zip(AGENTS, seeds, strict=True):
                self.action_spaces[agent].seed(agent_seed)
        self._start()

    def _start(self) -> None:
        self._state = State()
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(AGENTS, 0.0)
        self._cumulative_rewards = dict.fromkeys(AGENTS, 0.0)
        self.terminations = dict.fromkeys(AGENTS, False)
        self.truncations = dict.fromkeys(AGENTS, False)
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in AGENTS}
        # Per seat: the number of placements it was taken after, and the observation.
        self._observed: list[tuple[int, Observation] | None] = [None] * NUM_SEATS
        self._placements = 0
        self._skip_agent_selection = None
        self.agent_selection = AGENTS[self._state.seat]

    def observe(self, agent: str) -> Observation:
        """The agent's view, as ``observation_space(agent)`` describes it; the mask is all zero
        once the seat cannot move. The arrays are read-only and never change: observing again
        before the next placement returns the same arrays."""
        seat = self._seat[agent]
        cached = self._observed[seat]
        if cached is None or cached[0] != self._placements:
            view = self._state.view(seat, self._mask, self._candidates)
            for key in self._view_keys:
                view[key].setflags(write=False)
            cached = (self._placements, {key: view[key] for key in self._view_keys})
            self._observed[seat] = cached
        return dict(cached[1])

    def last(self, observe: bool = True) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        if not self.agents:
            raise _game_over("last")
        return super().last(observe)

    def step(self, action: int | np.integer[Any] | None) -> None:
        agent = self.agent_selection
        if not self.agents:
            raise _game_over("step")
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        if action is None:
            raise ValueError(
                f"{agent} has legal moves and must choose one; None is for agents that are done"
            )
        state = self._state
        seat = state.seat
        index = _arguments.whole(action, "action")
        if self._on_candidates:
            # The mover's candidates, as its observation lists them.
            legal = self.observe(agent)["action_mask"]
            if not (0 <= index < legal.size and legal[index]):
                raise refused_candidate(agent, index, int(legal.sum()))
            index = int(self.observe(agent)["candidate_indices"][index])
        try:
            state.apply(index)
        except ValueError as reason:
            raise refused(agent, index, reason) from None
        self._placements += 1
        self._cumulative_rewards[agent] = 0.0
        scores = state.scores()
        if scores is None:
            # Rewards come only at the end, so they are still all 0 from the reset.
            self.agent_selection = AGENTS[state.seat]
        else:
            self.rewards = {a: float(score) for a, score in zip(AGENTS, scores, strict=True)}
            self.terminations = dict.fromkeys(AGENTS, True)
            self.agent_selection = AGENTS[(seat + 1) % NUM_SEATS]
            self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def board(self, viewer: int = 0) -> Board:
        """A snapshot of the board in seat ``viewer``'s frame (its start corner top-left)."""
        return self._state.board(viewer)

    def state(self) -> np.ndarray:
        """The four seats' cells in seat 0's frame, (4, 20, 20) uint8, plane k for seat k."""
        planes, _ = self._state.observation(0)
        return planes

    def render(self) -> str | np.ndarray | None:
        if self.render_mode is None:
            logger.warn("render() was called without a render_mode; pass one to tavlok.env()")
            return None
        return picture(self._state, self.render_mode)

    def close(self) -> None:
        """Nothing to release (PettingZoo's API test asks an env that renders to define it)."""


def _agent_seeds(seed: object) -> list[int] | None:
    """Independent seeds for the four agents' action spaces, from streams spawned from ``seed``
    (agent i under seed s shares nothing with agent j under another seed)."""
    value = _arguments.seed(seed, below=None)
    if value is None:
        return None
    streams = np.random.SeedSequence(value).spawn(NUM_SEATS)
    return [int.from_bytes(s.generate_state(4, np.uint32).tobytes(), "little") for s in streams]
