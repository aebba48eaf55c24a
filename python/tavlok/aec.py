"""The game as a PettingZoo AEC environment for four agents, ``player_0`` to ``player_3``.

Rewards: every step gives 0 to everyone, except that an agent receives its final score on the
step after which it is terminated: minus the cells of the pieces it still holds, or 15 for placing
all 21 pieces (20 when the last one was the one-cell piece). An agent's rewards therefore add up
to its score. An agent is terminated as soon as it has no legal placement left, which is found out
when its turn comes; it is then stepped once with None and leaves ``agents``. No agent is ever
asked to act on an empty mask, and nothing is ever truncated.
"""

from __future__ import annotations

import operator
from typing import Any, ClassVar

import numpy as np
from gymnasium import logger, spaces
from pettingzoo import AECEnv  # type: ignore[import-untyped]

from .actions import PLANES_SHAPE
from .board import Board
from .match import IllegalMove, Match
from .pieces import NUM_SEATS

AGENTS = tuple(f"player_{seat}" for seat in range(NUM_SEATS))

Observation = dict[str, np.ndarray]


def env(render_mode: str | None = None) -> TavlokEnv:
    """A new environment; call ``reset`` before the first step."""
    return TavlokEnv(render_mode=render_mode)


class TavlokEnv(AECEnv[str, Observation, int]):  # type: ignore[misc]
    """Four agents take turns placing pieces; see the module docstring for rewards."""

    metadata: ClassVar[dict[str, Any]] = {
        "name": "tavlok_v0",
        "render_modes": ["human", "ansi", "rgb_array"],
        "is_parallelizable": False,
    }

    def __init__(self, render_mode: str | None = None) -> None:
        super().__init__()
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(
                f"render_mode must be None or one of {self.metadata['render_modes']}, "
                f"not {render_mode!r}"
            )
        self.render_mode = render_mode
        self._match = Match()
        self.possible_agents = list(AGENTS)
        self._seat = {agent: seat for seat, agent in enumerate(AGENTS)}
        # Built once: PettingZoo and seeding rely on getting the same space object every call.
        self.observation_spaces = {
            agent: spaces.Dict(
                {
                    "observation": spaces.Box(0, 1, PLANES_SHAPE, dtype=np.uint8),
                    "action_mask": spaces.Box(0, 1, (self._match.num_actions,), dtype=np.int8),
                }
            )
            for agent in AGENTS
        }
        self.action_spaces = {agent: spaces.Discrete(self._match.num_actions) for agent in AGENTS}
        self._observed: dict[int, tuple[object, Observation]] = {}
        self._start()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Start a new game. A seed seeds the agents' action spaces, so that sampled moves repeat.

        The game itself has no randomness.
        """
        self._match.reset()
        if seed is not None:
            for i, agent in enumerate(AGENTS):
                self.action_spaces[agent].seed(seed + i)
        self._start()

    def _start(self) -> None:
        self.agents = list(AGENTS)
        self.rewards = {agent: 0.0 for agent in AGENTS}
        self._cumulative_rewards = {agent: 0.0 for agent in AGENTS}
        self.terminations = {agent: False for agent in AGENTS}
        self.truncations = {agent: False for agent in AGENTS}
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in AGENTS}
        self._observed.clear()
        self.agent_selection = AGENTS[self._match.to_move]

    def observe(self, agent: str) -> Observation:
        """The agent's four planes, in its own frame, and its flat int8 legal-action mask.

        Both arrays are read-only views over the engine's bytes; they stay valid after later
        moves, which do not change them.
        """
        seat = self._seat[agent]
        observation = self._match.observe(seat)
        cached = self._observed.get(seat)
        if cached is None or cached[0] is not observation:
            arrays = {
                "observation": np.frombuffer(observation.observation, dtype=np.uint8).reshape(
                    PLANES_SHAPE
                ),
                "action_mask": np.frombuffer(observation.action_mask, dtype=np.int8),
            }
            cached = (observation, arrays)
            self._observed[seat] = cached
        return dict(cached[1])

    def step(self, action: int | np.integer[Any] | None) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._step_terminated(agent, action)
            return
        if action is None:
            raise ValueError(
                f"{agent} has legal moves and must choose one; None is for agents that are done"
            )
        try:
            self._match.place(operator.index(action))
        except IllegalMove as refused:
            raise ValueError(f"{agent} cannot play {refused.move}: {refused.reason}") from None
        self._cumulative_rewards[agent] = 0.0
        self._clear_rewards()
        self._hand_over()
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def _step_terminated(self, agent: str, action: object) -> None:
        if action is not None:
            raise ValueError(f"{agent} is done; the only valid action is None")
        self._match.pass_turn()
        self.agents.remove(agent)
        for table in (
            self.rewards,
            self._cumulative_rewards,
            self.terminations,
            self.truncations,
            self.infos,
        ):
            del table[agent]
        self._clear_rewards()
        if self.agents:
            self._hand_over()
            self._accumulate_rewards()

    def _hand_over(self) -> None:
        """Give the turn to the next agent still in the game, terminating it if it cannot move.

        The engine passes over seats that are done; the agents of those seats have already left,
        so their turns are passed here without anyone being asked.
        """
        while True:
            seat = self._match.to_move
            agent = AGENTS[seat]
            if agent in self.agents:
                break
            self._match.pass_turn()
        self.agent_selection = agent
        if self._match.is_done(seat):
            self.terminations[agent] = True
            score = self._match.scores()[seat]
            self.rewards[agent] = float(score if score is not None else 0)

    def board(self, viewer: int = 0) -> Board:
        """A snapshot of the board in seat ``viewer``'s frame (its start corner top-left).

        It is built from the moves this environment applied, so taking it observes no seat and
        changes nothing in the game.
        """
        return self._match.board(viewer)

    def state(self) -> np.ndarray:
        """The four seats' cells in seat 0's frame, (4, 20, 20) uint8, plane k for seat k."""
        owners = self._match.board(0).owners
        return np.stack([owners == seat for seat in range(NUM_SEATS)]).astype(np.uint8)

    def render(self) -> str | np.ndarray | None:
        if self.render_mode is None:
            logger.warn("render() was called without a render_mode; pass one to tavlok.env()")
            return None
        board = self._match.board(0)
        if self.render_mode == "ansi":
            return board.text()
        if self.render_mode == "rgb_array":
            return board.rgb()
        print(board.text())
        return None

    def close(self) -> None:
        """Nothing to release: the game lives in memory only."""
