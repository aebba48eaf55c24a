"""One naive model of the rules, shared by the Python suites.

It is deliberately naive and shares nothing with the engine or the package: one 20 x 20 array of
booleans per seat, all in seat 0's frame, and the placements enumerated cell by cell from its own
literal table of the 91 orientations. It follows the engine's protocol (observe to refresh a
seat's mask, stale masks, done found by observing), so that any call of the surface can be
checked against it.
"""

from typing import NamedTuple

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


def hands_seen(placements, viewer):
    """What seat viewer sees of the hands after placements, (seat, grid index) pairs: row k for
    seat viewer + k, 1 for each kind in CATALOGUE order that seat still holds."""
    held = [[1] * KINDS for _ in range(SEATS)]
    for seat, grid in placements:
        held[(seat - viewer) % SEATS][BY_GRID[grid].kind] = 0
    return held


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

    def owner(self, row, col):
        """The lowest seat covering (row, col) of the model's frame (seat 0's), or None."""
        return next((seat for seat in range(SEATS) if self.boards[seat][row][col]), None)

    def text(self):
        """What render prints: the board in seat 0's frame, which is the model's own."""
        return board_text(self.owner) + "\n"


def board_text(owner):
    """The rendered board, without the final newline, built cell by cell from the rule:
    owner(row, col) is the seat covering that cell of seat 0's frame, or None."""
    colours = ["44", "43", "41", "42"]

    def cell(row, col):
        seat = owner(row, col)
        return "|  . " if seat is None else f"|  \x1b[{colours[seat]}mx\x1b[0m "

    separator = "-" * 103
    lines = ["  | " + " | ".join(f"{col:2}" for col in range(SIZE)) + " |", separator]
    for row in range(SIZE):
        lines += [f"{row:2}" + "".join(cell(row, col) for col in range(SIZE)) + "|", separator]
    return "\n".join(lines[:-1])
