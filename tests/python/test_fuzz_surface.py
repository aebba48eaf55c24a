"""Random interleavings of every call of the Python surface, on two environments at once, each
checked against a small model of the rules kept here.

The model is deliberately naive and shares nothing with the engine: one 20 × 20 array of
booleans per seat, all in seat 0's frame, and the placements enumerated cell by cell from a
literal table of the 91 orientations. After every call the outcome (its value, or the exact
exception with its message or note) and everything the properties show must agree with the
model; a refused call must leave both environments exactly as they were.

The suite runs a fixed, derandomized few hundred examples. A long random run, which keeps the
failures it finds in Hypothesis's example database for the next run:

    TAVLOK_FUZZ_EXAMPLES=20000 python -m pytest tests/python/test_fuzz_surface.py
"""

import os
import sys
import tempfile
from typing import NamedTuple

from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from _tavlok import PyTavlok

SIZE = 20
SEATS = 4
STALE = "Invalid action: Action mask is stale, call observe() first!"
NOT_AVAILABLE = "Invalid action: Action index not available"

# Every piece kind with its orientations, in orientation-index order: rows top to bottom,
# separated by "/", X filled and "." empty.
CATALOGUE = [
    ("Monomino", ["X"]),
    ("Domino", ["XX", "X/X"]),
    ("TrominoL", ["XX/X.", "X./XX", ".X/XX", "XX/.X"]),
    ("TrominoI", ["XXX", "X/X/X"]),
    ("TetrominoT", [".X./XXX", "X./XX/X.", "XXX/.X.", ".X/XX/.X"]),
    ("TetrominoO", ["XX/XX"]),
    ("TetrominoL", ["X../XXX", "XXX/X..", "X./X./XX", "XX/X./X.", "XX/.X/.X", "XXX/..X",
                    "..X/XXX", ".X/.X/XX"]),
    ("TetrominoI", ["XXXX", "X/X/X/X"]),
    ("TetrominoS", ["X./XX/.X", ".X/XX/X.", ".XX/XX.", "XX./.XX"]),
    ("PentominoF", [".X./XXX/X..", "X../XXX/.X.", "XX./.XX/.X.", ".XX/XX./.X.", "..X/XXX/.X.",
                    ".X./XX./.XX", ".X./XXX/..X", ".X./.XX/XX."]),
    ("PentominoX", [".X./XXX/.X."]),
    ("PentominoP", ["XX/XX/X.", "XX/XX/.X", "X./XX/XX", ".X/XX/XX", "XXX/.XX", ".XX/XXX",
                    "XXX/XX.", "XX./XXX"]),
    ("PentominoW", ["X../XX./.XX", ".XX/XX./X..", "..X/.XX/XX.", "XX./.XX/..X"]),
    ("PentominoZ", ["X../XXX/..X", "..X/XXX/X..", ".XX/.X./XX.", "XX./.X./.XX"]),
    ("PentominoY", ["XXXX/.X..", ".X../XXXX", "XXXX/..X.", "..X./XXXX", "X./X./XX/X.",
                    ".X/.X/XX/.X", "X./XX/X./X.", ".X/XX/.X/.X"]),
    ("PentominoL", ["XXXX/X...", "X.../XXXX", "XXXX/...X", "...X/XXXX", "X./X./X./XX",
                    ".X/.X/.X/XX", "XX/X./X./X.", "XX/.X/.X/.X"]),
    ("PentominoU", ["X.X/XXX", "XXX/X.X", "XX/X./XX", "XX/.X/XX"]),
    ("PentominoT", [".X./.X./XXX", "X../XXX/X..", "XXX/.X./.X.", "..X/XXX/..X"]),
    ("PentominoV", ["XXX/X../X..", "X../X../XXX", "..X/..X/XXX", "XXX/..X/..X"]),
    ("PentominoN", [".XXX/XX..", "XX../.XXX", "XXX./..XX", "..XX/XXX.", "X./X./XX/.X",
                    ".X/.X/XX/X.", ".X/XX/X./X.", "X./XX/.X/.X"]),
    ("PentominoI", ["XXXXX", "X/X/X/X/X"]),
]
KINDS = len(CATALOGUE)
MONOMINO = 0
NUM_ACTIONS = sum(len(shapes) for _, shapes in CATALOGUE) * SIZE * SIZE
PIECE_CELLS = [shapes[0].count("X") for _, shapes in CATALOGUE]


class Placement(NamedTuple):
    grid: int  # orientation * 400 + row * 20 + col of the shape's top-left corner
    kind: int  # position of the piece kind in CATALOGUE
    cells: tuple  # (row, col) in the placing seat's own frame
    bits: int  # the same cells as bit row * 20 + col, for quick set tests


def enumerate_placements():
    placements, orientation = [], 0
    for kind, (_, shapes) in enumerate(CATALOGUE):
        for shape in shapes:
            rows = shape.split("/")
            filled = [(r, c) for r, row in enumerate(rows) for c, mark in enumerate(row)
                      if mark == "X"]
            for top in range(SIZE - len(rows) + 1):
                for left in range(SIZE - len(rows[0]) + 1):
                    cells = tuple((top + r, left + c) for r, c in filled)
                    bits = sum(1 << (row * SIZE + col) for row, col in cells)
                    placements.append(
                        Placement(orientation * 400 + top * SIZE + left, kind, cells, bits))
            orientation += 1
    return placements


PLACEMENTS = enumerate_placements()
BY_GRID = {p.grid: p for p in PLACEMENTS}
GRIDS_OF_KIND = [frozenset(p.grid for p in PLACEMENTS if p.kind == kind) for kind in range(KINDS)]


def placements_over_cells():
    """For each cell row * 20 + col, the (grid, kind, bits) of the placements that cover it."""
    covering = [[] for _ in range(SIZE * SIZE)]
    for placement in PLACEMENTS:
        for row, col in placement.cells:
            covering[row * SIZE + col].append((placement.grid, placement.kind, placement.bits))
    return covering


COVERING = placements_over_cells()
FIRST_MOVES = frozenset(p.grid for p in PLACEMENTS if (0, 0) in p.cells)


def turned(row, col, quarter_turns):
    """A cell turned clockwise: seat t's own cell (r, c) is seen by the seat k places before it
    at turned(r, c, k), and by seat 0 (the model's frame) at turned(r, c, t)."""
    for _ in range(quarter_turns % SEATS):
        row, col = col, SIZE - 1 - row
    return row, col


# FRAME[s][row][col]: the cell of the model's frame that is (row, col) in seat s's own frame.
FRAME = [[[turned(row, col, seat) for col in range(SIZE)] for row in range(SIZE)]
         for seat in range(SEATS)]
EDGES = [(-1, 0), (1, 0), (0, -1), (0, 1)]
CORNERS = [(-1, -1), (-1, 1), (1, -1), (1, 1)]


def on_board(row, col):
    return 0 <= row < SIZE and 0 <= col < SIZE


class Model:
    """One game, as the rules say it goes."""

    def __init__(self):
        self.boards = [[[False] * SIZE for _ in range(SIZE)] for _ in range(SEATS)]
        self.in_hand = [[True] * KINDS for _ in range(SEATS)]
        self.last_kind = [None] * SEATS
        self.mask = [set(FIRST_MOVES) for _ in range(SEATS)]  # as of the seat's last observe
        self.stale = [False] * SEATS
        self.done = [False] * SEATS
        self.selection = 0

    def placed(self, seat):
        return self.in_hand[seat].count(False)

    def holder(self, seat, row, col):
        """Which seat covers (row, col) of seat's own frame, or None."""
        g_row, g_col = FRAME[seat][row][col]
        for holder in range(SEATS):
            if self.boards[holder][g_row][g_col]:
                return holder
        return None

    def legal(self, seat):
        """The grid indices of seat's legal placements, from the board cell by cell."""
        view = [[self.holder(seat, row, col) for col in range(SIZE)] for row in range(SIZE)]
        blocked, corners = 0, set()
        for row in range(SIZE):
            for col in range(SIZE):
                if view[row][col] is not None:
                    blocked |= 1 << (row * SIZE + col)
                if view[row][col] != seat:
                    continue
                for d_row, d_col in EDGES:
                    if on_board(row + d_row, col + d_col):
                        blocked |= 1 << ((row + d_row) * SIZE + col + d_col)
                for d_row, d_col in CORNERS:
                    if on_board(row + d_row, col + d_col):
                        corners.add((row + d_row) * SIZE + col + d_col)
        # A legal placement covers a free corner cell and no blocked one.
        return {grid for cell in corners if not blocked >> cell & 1
                for grid, kind, bits in COVERING[cell]
                if self.in_hand[seat][kind] and not bits & blocked}

    def observe(self, seat):
        """Observes seat; returns the planes and the mask bytes it must see."""
        if self.placed(seat) and not self.done[seat]:
            self.mask[seat] = self.legal(seat)
            self.done[seat] = not self.mask[seat]
        self.stale[seat] = False
        planes = bytearray(4 * SIZE * SIZE)
        for plane in range(SEATS):
            other = (seat + plane) % SEATS
            for row in range(SIZE):
                for col in range(SIZE):
                    g_row, g_col = FRAME[seat][row][col]
                    planes[plane * 400 + row * SIZE + col] = self.boards[other][g_row][g_col]
        mask = bytearray(NUM_ACTIONS)
        for grid in self.mask[seat]:
            mask[grid] = 1
        return bytes(planes), bytes(mask)

    def step(self, action):
        """Makes the move of action (None for none); returns the refusal message or None."""
        seat = self.selection
        if self.done[seat]:
            self.selection = (seat + 1) % SEATS
            return None
        if self.stale[seat] and self.placed(seat):
            return STALE
        if action not in self.mask[seat]:
            return NOT_AVAILABLE
        placement = BY_GRID[action]
        for row, col in placement.cells:
            g_row, g_col = FRAME[seat][row][col]
            self.boards[seat][g_row][g_col] = True
        self.in_hand[seat][placement.kind] = False
        self.last_kind[seat] = placement.kind
        self.mask[seat] -= GRIDS_OF_KIND[placement.kind]
        self.stale = [True] * SEATS
        self.selection = (seat + 1) % SEATS
        return None

    def rewards(self):
        scores = []
        for seat in range(SEATS):
            left = sum(PIECE_CELLS[k] for k in range(KINDS) if self.in_hand[seat][k])
            if not self.done[seat]:
                scores.append(None)
            elif left:
                scores.append(-left)
            else:
                scores.append(20 if self.last_kind[seat] == MONOMINO else 15)
        return scores

    def text(self):
        """What render prints: the board in seat 0's frame, which is the model's own."""
        colours = ["44", "43", "41", "42"]

        def cell(row, col):
            for seat in range(SEATS):
                if self.boards[seat][row][col]:
                    return f"|  \x1b[{colours[seat]}mx\x1b[0m "
            return "|  . "

        separator = "-" * 103
        lines = ["  | " + " | ".join(f"{col:2}" for col in range(SIZE)) + " |", separator]
        for row in range(SIZE):
            lines += [f"{row:2}" + "".join(cell(row, col) for col in range(SIZE)) + "|", separator]
        return "\n".join(lines[:-1]) + "\n"


# ---- Arguments ----------------------------------------------------------------------------------


class Index:
    """Not an int: converted through __index__, which returns value or calls it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class StrictInt(int):
    """An int subclass, converted as the int it is: its __index__ must not be asked."""

    def __index__(self):
        raise AssertionError("the __index__ of an int subclass was consulted")

    def __repr__(self):
        return f"StrictInt({int(self)})"


class Fails(NamedTuple):
    """Converting the argument raises this exception type, with these args when they are ours."""

    kind: type
    args: tuple | None = None


class Reads:
    """A zero-argument function that reads a property of an environment."""

    def __init__(self, env, name):
        self.env, self.name = env, name

    def __call__(self):
        return getattr(self.env, self.name)

    def __repr__(self):
        return f"Reads(<env {id(self.env):#x}>, {self.name!r})"


def raising():
    raise LookupError("from __index__")


def index_arguments(values):
    """(argument, what converting it gives) pairs for an index parameter, around values."""
    fits = st.one_of(values, st.sampled_from([2**64 - 1, 2**63, 2**32, NUM_ACTIONS]))
    too_big = st.one_of(st.sampled_from([2**64, 2**70]), st.integers(min_value=2**64))
    negative = st.integers(max_value=-1)
    return st.one_of(
        fits.map(lambda v: (v, v)),
        fits.map(lambda v: (Index(v), v)),
        fits.map(lambda v: (StrictInt(v), v)),
        st.booleans().map(lambda b: (b, int(b))),
        negative.map(lambda v: (v, Fails(OverflowError))),
        negative.map(lambda v: (Index(v), Fails(OverflowError))),
        too_big.map(lambda v: (v, Fails(OverflowError))),
        too_big.map(lambda v: (Index(v), Fails(OverflowError))),
        st.floats().map(lambda v: (v, Fails(TypeError))),
        st.sampled_from(["3", b"\x03", [3], 3j]).map(lambda v: (v, Fails(TypeError))),
        st.just((Index(1.0), Fails(TypeError))),
        st.just((Index(raising), Fails(LookupError, ("from __index__",)))),
    )


SEAT_ARGUMENTS = index_arguments(st.integers(0, SEATS)) | st.just((None, Fails(TypeError)))
WHICH = st.integers(0, 1)


def outcome(function):
    try:
        return function(), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return None, error


def panic_class():
    try:
        PyTavlok().observe(4)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("observe(4) did not fail")


PANIC = panic_class()


def assert_same_bytes(label, actual, expected):
    """Fails with where two byte strings differ, rather than with both of them whole."""
    if actual == expected:
        return
    if len(actual) != len(expected):
        raise AssertionError(f"{label}: {len(actual)} bytes, expected {len(expected)}")
    wrong = [i for i, (a, b) in enumerate(zip(actual, expected, strict=True)) if a != b]
    raise AssertionError(f"{label}: {len(wrong)} bytes differ, first at {wrong[:8]}")


def printed_by(call):
    """call's result and what it wrote to file descriptor 1 (where render prints, past
    sys.stdout), kept out of the test's own output."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            result = call()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return result, sink.read()


def fuzz_settings():
    examples = os.environ.get("TAVLOK_FUZZ_EXAMPLES")
    if examples:
        return settings(max_examples=int(examples), stateful_step_count=50, deadline=None,
                        suppress_health_check=[HealthCheck.too_slow])
    # Hypothesis's own CI profile: derandomized, so every run of the suite replays the same
    # examples in the same time, and without an example database.
    return settings(settings.get_profile("ci"), max_examples=200, stateful_step_count=50)


# ---- The machine --------------------------------------------------------------------------------


class Surface(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.envs = [PyTavlok(), PyTavlok()]
        self.models = [Model(), Model()]
        self.kept = []  # (observation, planes, mask): snapshots that must never change

    # -- checked calls --

    def conversion_failed(self, error, expected, parameter):
        event(f"{parameter}: {expected.kind.__name__}")
        assert type(error) is expected.kind, repr(error)
        assert error.__notes__ == [f"while processing '{parameter}'"]
        if expected.args is not None:
            assert error.args == expected.args

    def checked_observe(self, which, argument, expected, by_keyword=False):
        env, model = self.envs[which], self.models[which]
        if by_keyword:
            result, error = outcome(lambda: env.observe(agent_idx=argument))
        else:
            result, error = outcome(lambda: env.observe(argument))
        if isinstance(expected, Fails):
            self.conversion_failed(error, expected, "agent_idx")
            return
        if expected >= SEATS:
            # An internal failure, outside the Exception hierarchy; nothing changes.
            event("observe: panic")
            assert type(error) is PANIC and not isinstance(error, Exception), repr(error)
            return
        assert error is None, repr(error)
        planes, mask = model.observe(expected)
        assert_same_bytes("planes", result.observation, planes)
        assert_same_bytes("mask", result.action_mask, mask)
        if len(self.kept) < 6:
            self.kept.append((result, planes, mask))

    def checked_step(self, which, argument, expected, by_keyword=False):
        env, model = self.envs[which], self.models[which]
        if by_keyword:
            result, error = outcome(lambda: env.step(action_idx=argument))
        else:
            result, error = outcome(lambda: env.step(argument))
        if isinstance(expected, Fails):
            # Conversion comes first: even a done seat's turn is not passed.
            self.conversion_failed(error, expected, "action_idx")
            return
        passing = model.done[model.selection]
        refusal = model.step(expected)
        event(f"step: {refusal or ('passed' if passing else 'placed')}")
        if all(model.done):
            event("step: every seat done")
        if refusal is None:
            assert (result, error) == (None, None), repr(error)
        else:
            assert type(error) is AssertionError and error.args == (refusal,), repr(error)

    def reentrant(self, which, data):
        """An argument whose __index__ reads a property: of the same environment, which is in
        use and refuses, or of the other one, which answers."""
        other = 1 - which
        if data.draw(st.booleans(), label="same environment"):
            return (Index(Reads(self.envs[which], "agent_selection")),
                    Fails(RuntimeError, ("Already mutably borrowed",)))
        return Index(Reads(self.envs[other], "agent_selection")), self.models[other].selection

    # -- rules --

    @rule(which=WHICH)
    def reset(self, which):
        assert self.envs[which].reset() is None
        self.models[which] = Model()

    @rule(which=WHICH, seat=SEAT_ARGUMENTS, by_keyword=st.booleans())
    def observe(self, which, seat, by_keyword):
        self.checked_observe(which, *seat, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data())
    def observe_reentrant(self, which, data):
        self.checked_observe(which, *self.reentrant(which, data))

    @rule(which=WHICH, data=st.data(), by_keyword=st.booleans())
    def step_known_move(self, which, data, by_keyword):
        """A move of the seat's last known mask: legal when that is current, stale otherwise."""
        model = self.models[which]
        grid = data.draw(st.sampled_from(sorted(model.mask[model.selection]) or [0]), label="move")
        argument = data.draw(st.sampled_from([grid, Index(grid), StrictInt(grid)]), label="as")
        self.checked_step(which, argument, grid, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data(), by_keyword=st.booleans())
    def step_anything(self, which, data, by_keyword):
        argument = data.draw(
            index_arguments(st.integers(0, NUM_ACTIONS + 400)) | st.just((None, None)),
            label="argument")
        self.checked_step(which, *argument, by_keyword=by_keyword)

    @rule(which=WHICH, data=st.data())
    def step_reentrant(self, which, data):
        self.checked_step(which, *self.reentrant(which, data))

    @rule(which=WHICH, turns=st.integers(1, 100), policy=st.sampled_from(["any", "big", "small"]),
          random=st.randoms(use_true_random=False))
    def play(self, which, turns, policy, random):
        """Plays turns the way a training loop does, to reach the middle and the end of games."""
        model = self.models[which]
        for _ in range(turns):
            if all(model.done):
                break
            seat = model.selection
            if model.done[seat]:
                passing = random.choice([None, 0, 2**64 - 1, NUM_ACTIONS])
                self.checked_step(which, passing, passing)
                continue
            if (model.placed(seat) and model.stale[seat]) or random.random() < 0.2:
                self.checked_observe(which, seat, seat)
                if model.done[seat]:
                    continue
            moves = sorted(model.mask[seat])
            if policy != "any":
                size = (max if policy == "big" else min)(PIECE_CELLS[BY_GRID[g].kind]
                                                          for g in moves)
                moves = [g for g in moves if PIECE_CELLS[BY_GRID[g].kind] == size]
            move = random.choice(moves)
            self.checked_step(which, move, move)

    @rule(which=WHICH)
    def render(self, which):
        result, printed = printed_by(self.envs[which].render)
        assert result is None
        assert printed == self.models[which].text().encode()

    @rule()
    def reread_kept_observations(self):
        for observation, planes, mask in self.kept:
            assert_same_bytes("kept planes", observation.observation, planes)
            assert_same_bytes("kept mask", observation.action_mask, mask)

    @invariant()
    def properties_agree_with_the_model(self):
        for env, model in zip(self.envs, self.models, strict=True):
            assert env.agents == [0, 1, 2, 3]
            assert env.num_actions == NUM_ACTIONS
            assert env.action_grid_shape == (NUM_ACTIONS // 400, SIZE, SIZE)
            assert env.agent_selection == model.selection
            assert env.terminations == model.done
            assert env.rewards == model.rewards()


TestSurface = Surface.TestCase
TestSurface.settings = fuzz_settings()
