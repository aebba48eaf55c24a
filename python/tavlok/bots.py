"""Reference opponents: policies from a ``tavlok.State`` to the grid index they play.

All four run in the engine, and the arena (``tavlok.arena``) plays the very same code on its own
threads:

- ``random``: uniform over the legal placements of the seat to move. ``Random(seed)`` makes one
  with its own generator; the module's ``random`` is seeded with 0 when the package is imported.
- ``greedy``: the largest piece first; among its placements, the one with the highest score =
  (the mover's corner cells after the move) + (for each opponent, that opponent's corner cells
  the piece covers). A corner cell of a seat is an empty cell that shares no edge with its pieces
  and touches one of them at a corner: where its next piece can go. Ties go to the lowest grid
  index, so the bot is deterministic.
- ``MCTS(...)``: Monte-Carlo tree search (UCT) in the engine. Each move runs playouts from the
  position, growing a tree of the moves that did best; every node keeps the outcome for the seat
  that moved into it (a win share, blended with the score margin), so each seat plays for itself.
  Moves are tried in greedy's order and widened as a node earns visits. At its default budget
  (1000 playouts a move that place random pieces of the largest size that fits, a few tens of
  milliseconds) it beats three greedy bots in nearly every game. It is ``"mcts"`` to the arena
  and the command line, and ``"mcts:400"`` with 400 playouts a move (see ``MCTS.name``).
- ``Net(...)``: a small network trained to play as the search does (``tavlok.net``), at about the
  cost of a few greedy moves. It scores the moves the search would consider (greedy's best 64)
  and plays the best-scored one; with a ``temperature`` it draws one from their softmax instead.
  It is ``"net"`` to the arena and the command line, and ``"net:path=FILE"`` plays weights of
  your own of the same features, read when the name is.

Calling a bot on a finished game raises ``ValueError``.

``make(name, seed)`` is the bot of a name as the arena and the command line spell it.
"""

from __future__ import annotations

import operator
import os
import random as _random
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, ClassVar, SupportsIndex

from . import _arguments, _core
from .pieces import NUM_SEATS

if TYPE_CHECKING:
    from ._core import State

__all__ = [
    "BOTS",
    "MCTS",
    "Greedy",
    "Net",
    "PerState",
    "Random",
    "greedy",
    "make",
    "play_until_turn",
    "random",
]

# A bot: the grid index it plays in a position, in the mover's frame.
Bot = Callable[["State"], SupportsIndex]


class Greedy:
    """Largest piece first, then most corner cells gained and taken; see the module docs."""

    name: ClassVar[str] = "greedy"

    def __call__(self, state: State) -> int:
        return _core.greedy_action(state)

    def __repr__(self) -> str:
        return "tavlok.bots.Greedy()"


class Random:
    """Uniform over the legal placements, drawing from its own generator."""

    name: ClassVar[str] = "random"

    def __init__(self, seed: int | None = None) -> None:
        self.seed = seed
        self._generator = _random.Random(seed)

    def __call__(self, state: State) -> int:
        # The engine picks move floor(key * n / 2**64) of the n: uniform for a uniform key.
        return _core.random_action(state, self._generator.getrandbits(64))

    def __repr__(self) -> str:
        return f"tavlok.bots.Random(seed={self.seed!r})"


class MCTS:
    """Monte-Carlo tree search (UCT) for the seat to move; see the module docs.

    The budget of a move is ``playouts`` (1000 by default) or ``milliseconds``, not both. With
    playouts, the move depends only on the position, the settings and ``seed``, so the bot is
    deterministic; with milliseconds, on the machine too. ``playout`` is how a playout picks its
    moves: ``"largest"`` (the default: a random move of one of the largest pieces that fit),
    ``"random"`` or ``"greedy"``; ``exploration`` is UCB1's constant on outcomes in [0, 1],
    ``widening`` how fast a node considers more of its moves (1 + widening * sqrt(visits) of
    them), and ``score_weight`` the weight of the score margin against the win share in the
    outcome; ``prior="net"`` orders the position's moves by the net bot's scores instead of
    greedy's order (which pays at small budgets only). Settings left as None keep the engine's
    defaults.

    The search runs with the interpreter lock released; Ctrl-C ends it with KeyboardInterrupt.
    The arena plays it in the engine with every search seeded from the game's own generator, not
    from ``seed``.
    """

    def __init__(
        self,
        playouts: int | None = None,
        milliseconds: int | None = None,
        seed: int = 0,
        *,
        playout: str | None = None,
        exploration: float | None = None,
        widening: float | None = None,
        score_weight: float | None = None,
        prior: str | None = None,
    ) -> None:
        if playouts is not None and milliseconds is not None:
            raise ValueError("MCTS takes a budget of playouts or of milliseconds, not both")
        name = _name(
            "mcts",
            playouts=_arguments.whole(playouts, "playouts", allow_none=True),
            ms=_arguments.whole(milliseconds, "milliseconds", allow_none=True),
            playout=playout,
            prior=prior,
            exploration=_real(exploration),
            widening=_real(widening),
            score_weight=_real(score_weight),
        )
        self.seed = _arguments.seed(seed, allow_none=False)
        # The engine reads the settings, says what is wrong with them, and spells them its way.
        self.name: str = _core.bot_name(name)

    def __call__(self, state: State) -> int:
        return _core.mcts_action(state, self.name, self.seed)

    def __repr__(self) -> str:
        return f"tavlok.bots.MCTS.named({self.name!r}, seed={self.seed})"

    @classmethod
    def named(cls, name: str, seed: int = 0) -> MCTS:
        """The search bot of an arena name such as ``"mcts"`` or ``"mcts:400"``."""
        bot = cls(seed=seed)
        bot.name = _core.bot_name(name)
        if not bot.name.startswith("mcts"):
            raise ValueError(f"{name!r} is not the search bot, 'mcts'")
        return bot


class Net:
    """The net bot; see the module docs.

    ``path`` names a weights file to play instead of the package's (``tavlok.net``), read once,
    now, whatever characters it holds (the name quotes it: ``"net:path='a,b.tvln'"``); ``temperature`` above 0 draws each move from the softmax of the scores over it, from a
    generator seeded with ``seed``. The arena plays it in the engine and draws from the game's own
    generator instead.
    """

    def __init__(
        self,
        path: str | os.PathLike[str] | None = None,
        temperature: float | None = None,
        seed: int = 0,
    ) -> None:
        # A path is quoted by the engine when it holds what would end the setting (a comma).
        text = None if path is None else _core.setting_text(os.fsdecode(path))
        self._setup(_name("net", path=text, temperature=_real(temperature)), seed)

    def _setup(self, name: str, seed: int) -> None:
        # The engine reads the settings and the file, says what is wrong, spells the name its way.
        self._bot = _core.NetBot(name)
        self.name: str = self._bot.name
        self.seed = _arguments.seed(seed, allow_none=False)
        self._generator = _random.Random(self.seed)

    def __call__(self, state: State) -> int:
        return self._bot.action(state, self._generator.getrandbits(64))

    def __repr__(self) -> str:
        return f"tavlok.bots.Net.named({self.name!r}, seed={self.seed})"

    @classmethod
    def named(cls, name: str, seed: int = 0) -> Net:
        """The net bot of an arena name such as ``"net"`` or ``"net:path=mine.tvln"``."""
        bot = cls.__new__(cls)
        bot._setup(name, seed)
        return bot


class PerState:
    """A bot for ``tavlok.arena`` from a function of one ``State`` to the grid index it plays.

    The arena calls it once for every move it makes, on a copy of the game, in a fixed order; a
    batched policy, called once for all the games waiting for it, is the faster choice for a
    model. ``name`` is what the arena's results call it (the function's name by default).
    """

    def __init__(self, function: Callable[[State], SupportsIndex], name: str | None = None):
        if not callable(function):
            raise TypeError(f"PerState needs a function of one State, not {function!r}")
        self.function = function
        self.name = name if name is not None else _name_of(function)

    def __call__(self, state: State) -> int:
        return operator.index(self.function(state))

    def __repr__(self) -> str:
        return f"tavlok.bots.PerState({self.function!r}, name={self.name!r})"


greedy = Greedy()
random = Random(seed=0)

# The bots the engine knows by name, for the arena and the command line ("mcts" takes settings
# after a colon: "mcts:400").
BOTS: dict[str, type[Greedy] | type[Random] | type[MCTS] | type[Net]] = {
    "greedy": Greedy,
    "random": Random,
    "net": Net,
    "mcts": MCTS,
}

# The moves the engine makes itself: a bot whose class keeps one of them is played by the engine in
# the arena; a subclass with a __call__ of its own is played by calling it.
ENGINE_MOVES = {cls.__call__ for cls in BOTS.values()}


def make(name: str, seed: int = 0) -> Greedy | Random | MCTS | Net:
    """The engine's bot called ``name`` (``"greedy"``, ``"random"``, ``"net"``, ``"mcts"``,
    ``"mcts:400"``, ...), with ``seed`` seeding whatever it draws (a search and a net take it
    modulo 2**64, so that the front ends may offset one seed per seat). The engine reads the name,
    as it does in the arena, and its ValueError says why a name names no bot."""
    engine = _core.bot_name(name)
    if engine.startswith("mcts"):
        return MCTS.named(engine, seed % 2**64)
    if engine.startswith("net"):
        return Net.named(engine, seed % 2**64)
    return Random(seed) if engine == "random" else Greedy()


def play_until_turn(
    state: State,
    seat: int | None,
    players: Mapping[int, Bot],
    moved: Callable[[int, int], None] | None = None,
) -> list[tuple[int, int]]:
    """Lets ``players[s]``, the bot of seat s, move for every seat but ``seat`` until ``seat`` is
    to move or the game is over (to the end when ``seat`` is None). Each bot sees a copy of the
    position, so that it cannot change the game but through its answer. Returns the moves made,
    as (seat, grid index in that seat's frame); ``moved(seat, index)`` is called after each, for
    a front end that shows them as they come. An illegal answer raises the engine's
    ``ValueError`` with the moves before it made. A ``seat`` that is no seat is refused before
    any move: no seat would ever be to move, and the bots would play the whole game."""
    seat = _arguments.whole(seat, "seat", 0, NUM_SEATS - 1, allow_none=True)
    made = []
    while not state.is_terminal() and state.seat != seat:
        mover = state.seat
        index = operator.index(players[mover](state.clone()))
        state.apply(index)
        made.append((mover, index))
        if moved is not None:
            moved(mover, index)
    return made


def _name(kind: str, **settings: object) -> str:
    """The name of a bot of ``kind`` with the settings that are not None, for the engine to read:
    ``"mcts:playouts=400"``, or ``"mcts"`` with none."""
    given = ",".join(f"{key}={value}" for key, value in settings.items() if value is not None)
    return f"{kind}:{given}" if given else kind


def _real(value: Any) -> str | None:
    """A real-valued setting as a bot name writes it, None left out."""
    return None if value is None else repr(float(value))


def _name_of(function: Any) -> str:
    """A short name for a callable: its own name, or its class's."""
    return str(getattr(function, "__name__", None) or type(function).__name__)
