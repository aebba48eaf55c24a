"""
The engine behind tavlok.VectorEnv, tavlok.State, tavlok.bots and tavlok.arena.
"""

from collections.abc import Iterable, Sequence
import os
from typing import Annotated, SupportsIndex

import numpy
import numpy.typing
from numpy.typing import NDArray

from tavlok.board import Board
from tavlok.records import GameRecord


MAX_LEGAL_PLACEMENTS: int = 5402

MASK_LAYOUTS: tuple[str, ...]

AUTORESET_MODES: tuple[str, ...]

REWARDS: tuple[str, ...]

ILLEGAL_MOVE_REWARDS: dict[str, float]

MAX_THREADS: int = 1024

MAX_OPENING: int = 40

def view_fields(mask: str, candidates: SupportsIndex | None = None) -> list[dict[str, object]]:
    """
    The output fields of a batch whose legal actions are in layout `mask` (one of
    MASK_LAYOUTS) and that lists `candidates` candidates (None: none), in order, as
    dicts: name; dtype (numpy's name); shape (one
    env's); low and high (bounds of the values); part ('view': what the env's seat
    sees, 'result': what a step ended); rows ('env': one entry per env, 'packed':
    lists end to end with room for shape entries per env, 'offsets': num_envs + 1
    list starts); kept_at_end (whether same-step autoreset keeps a 'final_' copy);
    meaning (a sentence, as the docs' table of fields gives it); per_candidate
    (whether the first dimension has one entry per candidate).
    """

class Batch:
    """
    num_envs games in which the caller plays every seat (opponents None) or one seat
    against three of the engine's bots; the engine side of tavlok.VectorEnv and
    tavlok.gym_vector.LearnerVectorEnv.
    """

    def __init__(self, num_envs: SupportsIndex, num_threads: SupportsIndex, mask: str, autoreset_mode: str, seed: int, opponents: Sequence[str] | None = None, seat: SupportsIndex | None = None, reward: str = 'score', in_place: bool = True, candidates: SupportsIndex | None = None, pool: Sequence[tuple[str, float]] | None = None, opening: SupportsIndex = 0) -> None:
        """
        mask: one of MASK_LAYOUTS; autoreset_mode: one of AUTORESET_MODES; opponents: None
        for self-play, or the names of the engine's bots (as the arena
        reads them) for the seats 1, 2 and 3 turns after the caller's; seat: the caller's
        seat, None to rotate it game by game; reward: one of REWARDS; in_place: whether
        every call rewrites the same output arrays (see outputs); candidates: None, or
        how many of the mover's candidates each view lists, 1 to MAX_CANDIDATES
        (mask='candidates' needs them: its actions are candidate numbers); pool: instead
        of opponents, (bot name, weight) pairs, each opponent of each game drawn from them
        with probability weight / sum from the env's generator; opening: uniform random
        placements, 0 to MAX_OPENING, that begin every game, from the env's generator.
        """

    def set_opponents(self, opponents: Sequence[str] | None = None, pool: Sequence[tuple[str, float]] | None = None) -> None:
        """
        New opponents (three names) or a new pool ((name, weight) pairs) for every game
        from its next start on; the games under way keep theirs. Refused for self-play.
        """

    def reset(self, seeds: Sequence[int | None] | None, only: Annotated[NDArray[numpy.bool_], dict(shape=(None,), order='C', device='cpu', writable=False)] | None) -> None:
        """
        Starts a new game in every env, or in those where `only` is true. `seeds`, one per
        env: an int reseeds that env's generator from (seed, env index), None lets it carry
        on.
        """

    def step(self, actions: Annotated[NDArray, dict(device='cpu', writable=False)]) -> int:
        """Plays one grid index per env; returns how many games ended."""

    def close(self) -> None:
        """Ends the worker threads; the batch refuses later calls."""

    @property
    def num_envs(self) -> int:
        """Number of games."""

    @property
    def num_threads(self) -> int:
        """Threads that step the games."""

    @property
    def outputs(self) -> dict[str, NDArray]:
        """
        Views of the output arrays of the last reset or step, by the names of
        view_fields(mask) (and 'final_' and the name of those kept at the end
        under same-step autoreset). In place: read-only, and rewritten by every
        reset and step. Otherwise: writable, and never written by the batch again
        while any of them is alive.
        """

    def state(self, env: SupportsIndex) -> State:
        """
        A copy of env `env`'s game; refused while a reset or step is under way.
        """

class State:
    """
    A position of a game, starting from a new one: a small value that copies in
    well under a microsecond, for tree search. Seats without a legal placement
    are passed as soon as their turn comes. Two States are equal when the same
    pieces lie in the same places with the same seat to move, whatever the order
    of the moves; they pickle as their history.
    """

    def __init__(self) -> None: ...

    @property
    def seat(self) -> int:
        """
        The seat to move, one with a legal placement; once the game is over, the seat that made the last placement.
        """

    @property
    def history(self) -> tuple[int, ...]:
        """The grid indices applied so far, in order, as a tuple."""

    def legal_actions(self) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        The grid indices the seat to move may play, ascending, as a new numpy intp array;
        empty once the game is over. Worked out on each call.
        """

    def apply(self, action: SupportsIndex) -> None:
        """
        Places the piece that grid index `action` names for the seat to move, then passes
        the seats left without a legal placement. An illegal action raises ValueError with
        the reason and changes nothing.
        """

    def clone(self) -> State:
        """An independent copy."""

    def __copy__(self) -> State: ...

    def __deepcopy__(self, memo: object | None = None) -> State: ...

    def is_terminal(self) -> bool:
        """Whether no seat has a legal placement left."""

    def scores(self) -> tuple[int, int, int, int] | None:
        """
        The four final scores in seat order once the game is over, None before: minus the
        cells still in hand, 15 for a seat that placed every piece, 20 if the monomino was
        its last.
        """

    def view(self, seat: SupportsIndex | None = None, mask: str = 'bytes', candidates: SupportsIndex | None = None) -> dict[str, numpy.typing.NDArray]:
        """
        What seat `seat` (the seat to move when None) sees, as the single envs hand it
        out: the fields of view_fields(mask, candidates) that are part of the view but
        'seat', by name, each a new array of one env's shape and dtype, and the legal grid
        indices as one list, as long as it is, with no offsets. Only the seat to move has
        candidates; another seat's view lists none.
        """

    def hands(self, viewer: SupportsIndex = 0) -> NDArray:
        """
        (4, 21) uint8, new: the view's 'hands' of seat `viewer`: row k for the seat k
        turns after it, column j for the j-th kind of tavlok.KINDS, 1 while that seat
        still holds it.
        """

    def observation(self, seat: SupportsIndex | None = None) -> tuple[NDArray, Annotated[NDArray[numpy.uint8], dict(shape=(91, 20, 20))]]:
        """
        (planes, mask): what PyTavlok.observe(seat) gives in the same game, as new uint8
        arrays of shape (4, 20, 20) and (91, 20, 20), the view's 'observation' and its
        'action_mask' read one plane per orientation; the seat to move when seat is None.
        """

    @staticmethod
    def from_history(actions: Iterable[SupportsIndex]) -> State:
        """
        A new game with the grid indices `actions` applied in order; ValueError
        names the first illegal one.
        """

    def __getstate__(self) -> tuple[int, ...]: ...

    def __reduce__(self) -> tuple: ...

    def __setstate__(self, history: Iterable[SupportsIndex]) -> None: ...

    def render(self) -> str:
        """
        The board in seat 0's frame with ANSI colours, as PyTavlok.render prints it,
        returned as a string (41 lines, no final newline).
        """

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    def board(self, viewer: SupportsIndex = 0) -> Board:
        """A tavlok.Board snapshot in seat viewer's frame."""

    def last_placement(self, viewer: SupportsIndex = 0) -> list[tuple[int, int]]:
        """The cells the last placement covered, in seat viewer's frame; none before the first."""

    def svg(self, viewer: SupportsIndex = 0, cell_size: int = 20, names: Sequence[str] | None = None) -> str:
        """
        The board as SVG in seat viewer's frame, with the last placement outlined and, once the
        game is over, the scores in the legend.
        """

    def record(self, players: Sequence[str] | None = None, seed: int | None = None, game: int | None = None) -> GameRecord:
        """The game so far as a tavlok.GameRecord (write it with tavlok.write_records)."""

    def _repr_svg_(self) -> str:
        """The board as SVG, for notebooks."""

def greedy_action(state: State) -> int:
    """
    The greedy bot's move for the seat to move: largest piece first, then most own corner
    cells after the move plus opponents' corner cells covered, then lowest grid index.
    """

def random_action(state: State, key: int) -> int:
    """
    The legal move number floor(key * n / 2**64) of the n, ascending, for a random 64-bit
    key: uniform when the key is.
    """

def mcts_action(state: State, bot: str = 'mcts', seed: int = 0) -> int:
    """
    The move of search bot `bot` ('mcts' with its settings, see bot_name) for the
    seat to move, its search seeded with `seed`. With a budget of playouts it
    depends only on the position, the settings and the seed. Searches with the
    interpreter lock released; Ctrl-C ends it with KeyboardInterrupt, and no move.
    """

def mcts_visits(state: State, bot: str = 'mcts', seed: int = 0) -> tuple[int, Annotated[NDArray[numpy.int64], dict(shape=(None,))], Annotated[NDArray[numpy.int64], dict(shape=(None,))]]:
    """
    (move, moves, playouts): what mcts_action(state, bot, seed) plays, and the moves
    its search considered (the candidates of net_features, in greedy's order) with
    the playouts that began with each, as int64 arrays.
    """

NET_FEATURES: tuple[str, ...]

NET_FEATURE_SET: int = 1

MAX_CANDIDATES: int = 64

def net_features(state: State) -> tuple[Annotated[NDArray[numpy.int64], dict(shape=(None,))], Annotated[NDArray[numpy.float32], dict(shape=(None, 44))]]:
    """
    (moves, features): the candidate moves of the seat to move that the net scores
    (the search's: greedy's order, largest pieces first, at most MAX_CANDIDATES) as
    int64 grid indices, and their features, float32 of shape (moves,
    len(NET_FEATURES)); empty once the game is over.
    """

class NetBot:
    """
    The net bot of a name ('net', 'net:path=FILE,temperature=X'), its
    weights read once, when it is made.
    """

    def __init__(self, name: str = 'net') -> None: ...

    @property
    def name(self) -> str:
        """The engine's spelling of its name."""

    def action(self, state: State, key: int = 0) -> int:
        """
        Its move for the seat to move, with the interpreter lock released; with a
        temperature, drawn by `key`, a 64-bit number read as a fraction.
        """

    def scores(self, state: State) -> tuple[Annotated[NDArray[numpy.int64], dict(shape=(None,))], Annotated[NDArray[numpy.float32], dict(shape=(None,))]]:
        """
        (moves, scores): the moves of net_features and the net's float32 score of each.
        """

def read_net_weights(path: str | bytes | os.PathLike) -> list[tuple[Annotated[NDArray[numpy.float32], dict(shape=(None, None))], Annotated[NDArray[numpy.float32], dict(shape=(None,))]]]:
    """
    The layers of the weights file at `path` (str, bytes or os.PathLike), read by the
    engine's loader, the one 'net:path=FILE' uses: a list of (weight, bias) float32
    arrays of shapes (outputs, inputs) and (outputs,), first layer first. ValueError
    names the file and says what is wrong, in the words a bot name's refusal uses; a
    FIFO, a device or a directory is refused without being read.
    """

def net_weights_file(layers: Sequence[tuple[Annotated[NDArray[numpy.float32], dict(shape=(None, None), order='C', device='cpu', writable=False)], Annotated[NDArray[numpy.float32], dict(shape=(None,), order='C', device='cpu', writable=False)]]], path: str | bytes | os.PathLike, feature_set: int = 1) -> bytes:
    """
    The bytes of a weights file of `layers` ((weight, bias) float32 arrays as
    read_net_weights gives them), laid out by the engine's writer and read back by its
    reader: ValueError, naming `path` (where the caller means to write them), for
    layers that do not follow on or that the engine would refuse to read.
    """

def setting_text(value: str) -> str:
    """
    A setting's value as a bot name writes it: as it is, or in single quotes (a quote
    inside doubled) when it holds a comma or begins with a quote, so that it reads back
    whole: f'net:path={setting_text(path)}' names the file at path, whatever it holds.
    """

MAX_GAMES: int = 1099511627775

MAX_PLACEMENTS: int = 84

MAX_WINDOW: int = 65536

def win_shares(scores: Annotated[NDArray, dict(device='cpu', writable=False)]) -> NDArray[numpy.float64]:
    """
    Each seat's share of the win, float64 of the shape of `scores`, integer final
    scores of shape (4,) or (n, 4): 1 shared equally by the seats with the best
    score of their row, 0 to the others. TypeError for scores that are not
    integers, ValueError quoting a score outside -32768 to 32767.
    """

def bot_name(name: str) -> str:
    """
    The engine's own spelling of a bot's name: 'random', 'greedy', or 'net' or 'mcts' with
    the settings that differ from the defaults ('mcts:400' for 400 playouts a move,
    'net:path=FILE', a value holding a comma in single quotes: setting_text).
    ValueError says why a name names no bot; a 'net:path=FILE' is read now.
    """

def bot_names(list: str) -> list[str]:
    """
    The names in a list of bots separated by commas ('greedy,mcts:ms=5,playout=random' is
    two): a key=value piece outside quotes is a setting of the name before it. Unchecked.
    """

def play_arena(bots: Sequence[str], seed: int, first: SupportsIndex, count: SupportsIndex, threads: SupportsIndex, opening: SupportsIndex = 0) -> tuple[Annotated[NDArray[numpy.int16], dict(shape=(None, 4))], Annotated[NDArray[numpy.uint8], dict(shape=(None, 4))]]:
    """
    Plays games first to first + count - 1 between four bots (names) with the
    interpreter lock released, each opening with `opening` random placements; returns
    (scores, seats): count x 4 int16 scores by seat and count x 4 uint8 seats of each bot.
    """

class Arena:
    """
    Games first to first + games - 1 between four bots, some of them the caller's (None
    in bots), up to `window` at once in lockstep: each round is advance(), select(bots),
    observe() or states(), and play(moves). Bot i sits at seat (i + g) % 4 in game g,
    which draws from a generator seeded from (seed, g) and opens with `opening` random
    placements. With record=True it keeps every game's moves for histories().
    """

    def __init__(self, bots: Sequence[str | None], seed: int, games: SupportsIndex, window: SupportsIndex, threads: SupportsIndex, opening: SupportsIndex = 0, first: SupportsIndex = 0, record: bool = False) -> None: ...

    @property
    def games(self) -> int:
        """The number of games."""

    @property
    def window(self) -> int:
        """How many games are played side by side."""

    @property
    def finished(self) -> int:
        """The games over so far."""

    def advance(self) -> bool:
        """
        Plays the engine's bots until every game waits for the caller, beginning new games
        in the place of those that end; returns whether games remain. Clears the selection.
        """

    def select(self, bots: int) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        Selects the games waiting for one of `bots` (bit i for bot i), in window order;
        returns their game indices.
        """

    def observe(self) -> dict:
        """
        The selected games as the mover sees them: observation (n, 4, 20, 20) uint8,
        hands (n, 4, 21) uint8, legal_offsets (n + 1,) and legal_indices int32 (row i's
        legal grid indices are legal_indices[legal_offsets[i]:legal_offsets[i + 1]]),
        seat (n,) int8 and game (n,) int64.
        """

    def states(self) -> list[State]:
        """Copies of the selected games' positions."""

    def play(self, moves: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None:
        """
        Plays moves[i] in the i-th selected game. ValueError names the first game whose
        move is illegal; that game waits as it was, the others have moved.
        """

    def results(self) -> tuple[Annotated[NDArray[numpy.int16], dict(shape=(None, 4))], Annotated[NDArray[numpy.uint8], dict(shape=(None, 4))]]:
        """
        (scores, seats) once every game is over: games x 4 int16 scores by seat and
        games x 4 uint8 seats of each bot.
        """

    def histories(self) -> Annotated[NDArray[numpy.int32], dict(shape=(None, 84))]:
        """
        Once every game is over, with record=True: games x 84 int32, row g the grid
        indices of game g in order, then -1.
        """

BOARD_SIZE: int = 20

CELLS_PER_BOARD: int = 400

NUM_SEATS: int = 4

SEAT_BACKGROUNDS: tuple = ('\x1b[44m', '\x1b[43m', '\x1b[41m', '\x1b[42m')

def board_text(owners: Annotated[NDArray[numpy.int8], dict(shape=(20, 20), order='C', device='cpu', writable=False)], colour: bool = True) -> str:
    """
    A board as the engine writes it, 41 lines of 103 columns: `owners`, int8 of
    shape (20, 20) taken as it is, the seat covering each cell or -1; each covered
    cell an 'x' on the seat's background colour (SEAT_BACKGROUNDS), or without
    `colour` its number.
    """

def piece_kinds() -> list[str]:
    """
    The 21 piece kinds' names in catalogue order: the order of a hand's columns.
    """

def orientations() -> list[tuple[str, int, list[tuple[int, int]]]]:
    """
    The 91 orientations in index order, each as (kind, ordinal within the kind,
    cells): cells as (row, col) offsets from the top-left corner of its bounding box.
    """

def decode(grid_index: SupportsIndex) -> tuple[int, int, int]:
    """
    (orientation, row, col) of the placement a grid index names; ValueError for an
    index outside the grid or one whose orientation does not fit there.
    """

def encode(orientation: SupportsIndex, row: SupportsIndex, col: SupportsIndex) -> int:
    """
    The grid index of an orientation with the top-left corner of its bounding box
    at (row, col), orientation * 400 + row * 20 + col; ValueError when it does not
    fit on the board.
    """

def turned(grid_index: SupportsIndex, quarter_turns: SupportsIndex) -> int:
    """
    The grid index of the same cells after the board is turned clockwise
    `quarter_turns` times (any whole number, taken modulo 4): seat k's placement in
    its own frame is turned(index, k - viewer) in seat viewer's.
    """

def turn_cell(row: SupportsIndex, col: SupportsIndex, quarter_turns: SupportsIndex) -> tuple[int, int]:
    """
    Where cell (row, col) lands after the board is turned clockwise
    `quarter_turns` times (any whole number, taken modulo 4).
    """

def turn_orientation(orientation: SupportsIndex, flip: bool = False) -> int:
    """
    The orientation of the same piece turned a quarter clockwise, or mirrored left
    to right when `flip` is set.
    """
