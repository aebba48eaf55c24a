"""The command line: ``tavlok play``, ``view``, ``bench`` and ``arena`` (or ``python -m tavlok``).

Every placement it prints or reads is in board coordinates: seat 0's frame, in which seat 0's
start corner is the top-left cell (row 0, col 0), seat 1's the top-right, seat 2's the
bottom-right and seat 3's the bottom-left, whichever seat moves.
"""

from __future__ import annotations

import argparse
import os
import secrets
import shutil
import signal
import sys
import threading
import webbrowser
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import numpy as np

from . import _arguments, bench
from ._arguments import SEED_LIMIT
from .actions import decode, encode, turned
from .arena import LADDER, MAX_OPENING, MAX_THREADS, arena, ladder
from .board import SEAT_COLOUR_NAMES
from .bots import BOTS, play_until_turn
from .bots import make as make_bot
from .pieces import KIND_ORIENTATIONS, KINDS, NUM_SEATS, ORIENTATIONS, find_kind, orientation_index
from .records import GameRecord, RecordError, read_records, write_records
from .state import State

START_CORNERS = ("top-left", "top-right", "bottom-right", "bottom-left")

MOVE_HELP = """\
Type a move as PIECE ORDINAL ROW COL, for example 'PentominoF 2 5 7': the
piece's name (any letter case), which of its orientations, and the row and
column of the top-left corner of the orientation's bounding box. ORIENTATION
ROW COL with the orientation index 0-90 works too. Rows and columns are the
board's, as numbered on the board shown, for every seat: seat 0's start corner
is top-left, seat 1's top-right, seat 2's bottom-right, seat 3's bottom-left.
  ? or moves [PIECE]  list your legal moves, optionally of one piece
  pieces [PIECE]      list the pieces you hold, or draw one piece's orientations
  show PIECE          draw a piece's orientations with their ordinals
  board               show the board again
  quit                leave the game (so does end of input)"""


SEEDS = (0, SEED_LIMIT - 1)
THREADS = (1, MAX_THREADS)


class _Command(argparse.ArgumentParser):
    """A subcommand's parser. An argument it does not know is its own usage error, shown with its
    usage: argparse would hand it up to the whole command, whose usage lists none of the
    subcommand's options."""

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        parsed, unknown = super().parse_known_args(args, namespace)
        if unknown:
            self.error(f"unrecognized arguments: {' '.join(unknown)}")
        return parsed, unknown


def main(argv: Sequence[str] | None = None, prog: str = "tavlok") -> int:
    """Runs the command line on ``argv`` (the process's arguments by default). ``prog`` is how
    the program was started, as its usage and hints name it: the installed command, or
    ``python -m tavlok``."""
    parser = argparse.ArgumentParser(
        prog=prog, description="Play, time or pit bots against each other."
    )
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Command)
    play_parser = commands.add_parser(
        "play", help="play a game between bots, optionally with you in one seat"
    )
    play_parser.add_argument(
        "--seed", type=_whole(*SEEDS), help="seed of the bots' choices (0 to 2**64-1)"
    )
    play_parser.add_argument(
        "--human", type=int, choices=range(4), metavar="SEAT", help="play seat SEAT (0-3) yourself"
    )
    play_parser.add_argument("--watch", action="store_true", help="show the board after every move")
    play_parser.add_argument(
        "--bots",
        type=_bot_list,
        default=("random",),
        metavar="BOT[,BOT...]",
        help="the engine's bots at the other seats, in seat order, repeated as needed (random); "
        f"each one of {', '.join(BOTS)}, mcts with settings as in arena",
    )
    play_parser.add_argument("--record", metavar="FILE", help="add the game to record file FILE")
    play_parser.add_argument(
        "--web",
        action="store_true",
        help="play in the browser: seat --human (0 by default) against the bots",
    )
    _add_server_arguments(play_parser)
    view_parser = commands.add_parser(
        "view", help="step through the games of a record file in the browser"
    )
    view_parser.add_argument("file", metavar="FILE", help="a record file (JSON Lines)")
    _add_server_arguments(view_parser)
    bench_parser = commands.add_parser("bench", help="time whole games of a cheap random policy")
    bench_parser.add_argument("--games", type=_whole(1), default=100, help="games to play (100)")
    bench_parser.add_argument("--seed", type=_whole(*SEEDS), default=0, help="seed (0)")
    bench_parser.add_argument(
        "--vector", type=_whole(1), metavar="N", help="time VectorEnv steps of N games instead"
    )
    bench_parser.add_argument(
        "--threads", type=_whole(*THREADS), help="threads of the VectorEnv (default: the cores)"
    )
    bench_parser.add_argument(
        "--mask",
        choices=("bytes", "bits", "indices"),
        default="bytes",
        help="VectorEnv mask form (bytes)",
    )
    arena_parser = commands.add_parser(
        "arena", help="play games between four of the engine's bots, seats rotating every game"
    )
    # The engine knows its bots' names and settings, and the arena how many it seats: a name it
    # does not know, or a count other than four, is a usage error worded as the arena words it.
    arena_parser.add_argument(
        "bots",
        nargs="*",
        metavar="BOT",
        help=f"{NUM_SEATS} bots, each one of {', '.join(BOTS)}; mcts takes settings after a colon, "
        "as in mcts:400 (400 playouts a move) or mcts:ms=50,playout=random (see tavlok.bots.MCTS)",
    )
    arena_parser.add_argument(
        "--ladder",
        action="store_true",
        help=f"rate the four bots ({' '.join(LADDER)} if none are given) and time their moves",
    )
    arena_parser.add_argument(
        "--games", type=_whole(1), help="games (1000; 400 with --ladder)"
    )
    arena_parser.add_argument(
        "--opening",
        type=_whole(0, MAX_OPENING),
        metavar="N",
        help="begin every game with N random placements, so that bots that draw nothing at random "
        "meet in many positions (0; 4 with --ladder)",
    )
    arena_parser.add_argument(
        "--seed", type=_whole(*SEEDS), default=0, help="seed of the games (0)"
    )
    arena_parser.add_argument(
        "--threads", type=_whole(*THREADS), help="threads (default: the cores)"
    )
    arena_parser.add_argument("--record", metavar="FILE", help="write every game to FILE")
    args = parser.parse_args(argv)
    try:
        return _run(args, commands.choices[args.command], prog)
    except BrokenPipeError:
        # The reader has gone (`| head`): stop quietly, as command-line tools do. Standard output
        # now leads nowhere, so that the interpreter's last flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE


def _add_server_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--port", type=_whole(0, 65535), default=0, help="port of the page (0: a free one)"
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="address to serve on (127.0.0.1: this machine only)"
    )
    parser.add_argument(
        "--no-browser", action="store_true", help="print the page's address but open no browser"
    )


def _bot_list(text: str) -> tuple[str, ...]:
    from ._core import bot_name

    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        try:
            bot_name(name)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return names


def _run(args: argparse.Namespace, parser: argparse.ArgumentParser, prog: str) -> int:
    record = getattr(args, "record", None)
    if record is not None:
        # Checked before the games, which may take long, rather than when they are written.
        try:
            open(record, "a").close()
        except OSError as error:
            parser.error(f"cannot write {record}: {error.strerror}")
    if args.command == "play" and args.web:
        return play_web(args)
    if args.command == "play":
        return play(args.seed, args.human, args.watch, args.bots, args.record)
    if args.command == "view":
        return view(args)
    if args.command == "bench" and args.vector is None:
        print(bench.run(args.games, args.seed))
        return 0
    if args.command == "arena":
        if args.ladder and record is not None:
            parser.error("--ladder keeps no record")
        args.games = args.games or (400 if args.ladder else 1000)
        args.opening = args.opening if args.opening is not None else 4 if args.ladder else 0
    # A size the machine cannot hold, or beyond what the engine takes, is refused as a bad value
    # like the others; only the engine knows its limits, and only an allocation finds the memory.
    try:
        if args.command == "bench":
            print(bench.run_vector(args.vector, args.threads, mask=args.mask, seed=args.seed))
            return 0
        options: dict[str, Any] = {
            "progress": _progress_printer(sys.stderr), "opening": args.opening
        }
        if args.ladder:
            result = ladder(args.bots or LADDER, args.games, args.seed, args.threads, **options)
        else:
            result = arena(args.bots, args.games, args.seed, args.threads, record=record, **options)
    except MemoryError:
        what = f"{args.games} games" if args.command == "arena" else f"{args.vector} envs"
        parser.error(f"not enough memory for {what}")
    except ValueError as refused:
        parser.error(str(refused))
    print(result.table())
    if record is not None:
        print(f"{args.games} games written to {record}; '{prog} view {record}' shows them")
    return 0


def _whole(low: int, high: int | None = None) -> Callable[[str], int]:
    """An argument type: a whole number from low to high (no upper bound when high is None)."""

    def whole(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            shown = text if len(text) <= 30 else text[:27] + "..."
            raise argparse.ArgumentTypeError(f"must be a whole number, not {shown!r}") from None
        try:
            return _arguments.whole(value, "it", low, high)
        except ValueError as refused:
            # argparse names the option itself ("argument --seed: must be ...").
            raise argparse.ArgumentTypeError(str(refused).removeprefix("it ")) from None

    return whole


def _progress_printer(stream: TextIO) -> Callable[[int, int], None]:
    """A bar redrawn in place on a terminal; elsewhere (a log, a pipe) a line every tenth."""
    terminal, shown = stream.isatty(), [0]

    def report(done: int, total: int) -> None:
        if terminal:
            filled = 30 * done // total
            end = "\n" if done == total else ""
            stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {done}/{total} games{end}")
        elif done == total or 10 * done // total > 10 * shown[0] // total:
            stream.write(f"{done}/{total} games\n")
            shown[0] = done
        stream.flush()

    return report


def play(
    seed: int | None = None,
    human: int | None = None,
    watch: bool = False,
    bots: Sequence[str] = ("random",),
    record: str | None = None,
) -> int:
    """Play one game to the end, printing moves, the final board and the scores."""
    if seed is None:
        seed = secrets.randbelow(2**32)
    colour = sys.stdout.isatty()
    state = State()
    names = iter(list(bots) * 4)
    players = ["you" if seat == human else next(names) for seat in range(4)]
    movers = {s: make_bot(name, seed + s) for s, name in enumerate(players) if s != human}
    print(f"tavlok game, seed {seed}; moves in board coordinates (seat 0's frame)")
    if human is not None:
        corner = START_CORNERS[human]
        print(f"you play player_{human} ({SEAT_COLOUR_NAMES[human]}, start corner {corner})")
    out_of_moves: set[int] = set()

    def moved(seat: int, action: int) -> None:
        print(f"player_{seat} plays {decode(turned(action, seat))}")
        # The seats passed over on the way to the next mover (every seat, once the game is over)
        # have no legal move left.
        passed = (state.seat - seat - 1) % 4 if not state.is_terminal() else 4
        for later in range(seat + 1, seat + 1 + passed):
            if later % 4 not in out_of_moves:
                out_of_moves.add(later % 4)
                print(f"player_{later % 4} has no legal move left")
        if watch:
            print(_board_text(state, colour, players))

    while True:
        play_until_turn(state, human, movers, moved)
        if state.is_terminal():
            break
        seat = state.seat
        action = _ask_move(state, colour, players)
        if action is None:
            break
        state.apply(action)
        moved(seat, action)
    if record is not None:
        write_records(record, [GameRecord.from_state(state, players, seed)], append=True)
    if not state.is_terminal():
        print("game left unfinished")
        return 0
    print(_board_text(state, colour, players))
    scores = state.scores() or (0,) * 4
    print("scores: " + ", ".join(f"player_{s} {score}" for s, score in enumerate(scores)))
    best = max(scores)
    print(
        "winner: " + " and ".join(f"player_{s}" for s, score in enumerate(scores) if score == best)
    )
    return 0


def _board_text(state: State, colour: bool, players: Sequence[str]) -> str:
    columns = shutil.get_terminal_size().columns
    return state.board(0).display(
        colour,
        last=state.last_placement(0),
        scores=state.scores(),
        names=players,
        columns=columns,
    )


def _serve(game: object, args: argparse.Namespace, what: str) -> int:
    """Serve the page for ``game`` until Ctrl-C."""
    from .web import make_server, url

    try:
        server = make_server(game, args.host, args.port)  # type: ignore[arg-type]
    except OSError as error:
        print(f"error: cannot serve on {args.host} port {args.port}: {error.strerror}")
        return 1
    address = url(server)
    print(f"{what} at {address} (Ctrl-C stops)", flush=True)
    if not args.no_browser and _has_display():
        threading.Thread(target=webbrowser.open, args=(address,), daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print()
    finally:
        server.server_close()
    return 0


def _has_display() -> bool:
    """Whether a graphical browser can open: a text one would take over this terminal."""
    return sys.platform in ("darwin", "win32") or bool(
        os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
    )


def view(args: argparse.Namespace) -> int:
    """Serve the page that steps through the games of a record file."""
    from .web import Replay

    try:
        records = read_records(args.file)
    except RecordError as error:
        print(f"error: {args.file}: {error}")
        if not error.records:
            return 1
        records = error.records
        print(f"showing the {len(records)} games before it")
    except OSError as error:
        print(f"error: cannot read {args.file}: {error.strerror}")
        return 1
    if not records:
        print(f"error: {args.file} holds no games")
        return 1
    return _serve(Replay(records), args, f"{len(records)} games of {args.file}")


def play_web(args: argparse.Namespace) -> int:
    """Serve the page for a live game of the person against the bots."""
    from .web import Live

    human = args.human if args.human is not None else 0
    seed = args.seed if args.seed is not None else secrets.randbelow(2**32)
    bots = (list(args.bots) * 3)[:3]

    def keep(game: GameRecord) -> None:
        write_records(args.record, [game], append=True)

    live = Live(human, bots, seed, keep if args.record else None)
    return _serve(live, args, f"you play seat {human} against {', '.join(bots)}")


def _ask_move(state: State, colour: bool, players: Sequence[str]) -> int | None:
    """Read moves from the person at the seat to move until one is legal; None when they leave.
    Moves are typed in board coordinates; the grid index returned is in the seat's own frame."""
    seat = state.seat
    print(_board_text(state, colour, players))
    print(f"player_{seat} ({SEAT_COLOUR_NAMES[seat]}), your move; 'help' explains, '?' lists moves")
    while True:
        try:
            line = input(f"player_{seat}> ")
        except (EOFError, KeyboardInterrupt):
            print()
            return None
        words = line.replace(",", " ").split()
        if not words:
            continue
        command = words[0].lower()
        if command in ("quit", "exit"):
            return None
        try:
            if command in ("?", "moves"):
                print(_moves_text(state.legal_actions(), words[1:], seat))
            elif command == "show" or (command == "pieces" and len(words) > 1):
                print(_show_text(words[1:]))
            elif command == "pieces":
                print(_pieces_text(state, seat))
            elif command == "board":
                print(_board_text(state, colour, players))
            elif command == "help":
                print(MOVE_HELP)
            else:
                action = turned(parse_move(words), -seat)
                try:
                    state.clone().apply(action)
                except ValueError as refused:
                    # Without the grid index in the mover's frame, which the person never sees.
                    reason = str(refused).split(": ", 1)[-1]
                    placement = decode(turned(action, seat))
                    raise ValueError(
                        f"{placement} is not legal for player_{seat}: {reason}"
                    ) from None
                return action
        except ValueError as error:
            print(f"error: {error}")


def parse_move(words: Sequence[str]) -> int:
    """The grid index of a typed move: PIECE ORDINAL ROW COL, or ORIENTATION ROW COL."""
    if len(words) == 4 or (len(words) == 3 and not words[0].lstrip("-").isdigit()):
        kind = _kind(words[0])
        if len(words) == 3:
            raise ValueError(
                f"give {kind}'s orientation too: {kind} ORDINAL ROW COL ('show {kind}')"
            )
        ordinal, row, col = (
            _number(w, name) for w, name in zip(words[1:], ("ordinal", "row", "col"), strict=True)
        )
        return encode(orientation_index(kind, ordinal), row, col)
    if len(words) == 3:
        orientation, row, col = (
            _number(w, name) for w, name in zip(words, ("orientation", "row", "col"), strict=True)
        )
        return encode(orientation, row, col)
    raise ValueError(
        "a move is PIECE ORDINAL ROW COL (for example 'PentominoF 2 5 7') or ORIENTATION ROW COL"
    )


def _kind(name: str) -> str:
    try:
        return find_kind(name)
    except KeyError as error:
        raise ValueError(error.args[0]) from None


def _number(word: str, name: str) -> int:
    try:
        return int(word)
    except ValueError:
        raise ValueError(f"{name} must be a whole number, not {word!r}") from None


def _moves_text(legal: np.ndarray, filters: Sequence[str], seat: int = 0) -> str:
    kinds = {_kind(name) for name in filters}
    squares: dict[tuple[str, int], list[str]] = {}
    for index in sorted(turned(i, seat) for i in legal.tolist()):
        placement = decode(index)
        if not kinds or placement.piece in kinds:
            key = (placement.piece, placement.ordinal)
            squares.setdefault(key, []).append(f"{placement.row} {placement.col}")
    if not squares:
        return "no legal move" + (f" with {', '.join(sorted(kinds))}" if kinds else "")
    total = sum(len(at) for at in squares.values())
    lines = [f"{total} legal move{'s' if total != 1 else ''} (PIECE ORDINAL: ROW COL, ...):"]
    lines += [f"  {kind} {ordinal}: {', '.join(at)}" for (kind, ordinal), at in squares.items()]
    return "\n".join(lines)


def _pieces_text(state: State, seat: int) -> str:
    held = [kind for kind, holds in zip(KINDS, state.hands(seat)[0], strict=True) if holds]
    lines = [f"{len(held)} pieces in hand (name: orientation ordinals):"]
    lines += [f"  {kind}: 0-{len(KIND_ORIENTATIONS[kind]) - 1}" for kind in held]
    return "\n".join(lines)


def _show_text(names: Sequence[str]) -> str:
    if len(names) != 1:
        raise ValueError("show takes one piece name, for example 'show PentominoF'")
    kind = _kind(names[0])
    shapes = [ORIENTATIONS[index] for index in KIND_ORIENTATIONS[kind]]
    height = max(shape.height for shape in shapes)
    width = max(shape.width for shape in shapes)
    gap = "   "
    lines = [kind, gap.join(str(shape.ordinal).ljust(width) for shape in shapes).rstrip()]
    for r in range(height):
        cells = ((shape.rows[r] if r < shape.height else "").ljust(width, " ") for shape in shapes)
        lines.append(gap.join(cells).rstrip())
    return "\n".join(lines)
