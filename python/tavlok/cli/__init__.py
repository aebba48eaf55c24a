"""The command line: ``tavlok play``, ``view``, ``bench`` and ``arena`` (or ``python -m tavlok``).

This module reads the arguments and runs the subcommand; the game in a terminal is in
``terminal``, and moves as a person types and reads them in ``moves``. Ctrl-C stops any
subcommand with one line and the status 130, a serving page with the status 0; an output file
(``--record``) is created only when there is something to write, so a refused command leaves
none behind.
"""

from __future__ import annotations

import argparse
import errno
import os
import secrets
import signal
import stat
import sys
import threading
import webbrowser
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .. import _arguments, bench
from .._arguments import SEED_LIMIT
from .._core import bot_name, bot_names
from ..arena import LADDER, MAX_OPENING, MAX_THREADS, arena, ladder
from ..bots import BOTS
from ..pieces import NUM_SEATS
from ..records import GameRecord, RecordError, read_records, write_records
from .moves import parse_move
from .terminal import play

__all__ = ["main", "parse_move", "play"]


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
    try:
        return _command(argv, prog)
    except BrokenPipeError:
        # The reader has gone (`| head`): stop quietly, as command-line tools do. Standard output
        # now leads nowhere, so that the interpreter's last flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt as stopped:
        # Ctrl-C is how a person ends a long arena: one line, on a line of its own below a
        # progress bar, with what was done (the arena's note), and the status of a SIGINT.
        done = "; ".join(getattr(stopped, "__notes__", ()))
        below_bar = "\n" if sys.stderr.isatty() else ""
        print(f"{below_bar}stopped{': ' + done if done else ''}", file=sys.stderr)
        return 128 + signal.SIGINT


def _command(argv: Sequence[str] | None, prog: str) -> int:
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
        "--human", type=int, choices=range(NUM_SEATS), metavar="SEAT", help="play at seat SEAT"
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
    # The layouts whose legal grid indices the benchmark's policy reads: not "candidates".
    layouts = ("bytes", "bits", "indices")
    bench_parser.add_argument(
        "--mask", choices=layouts, default="bytes", help="VectorEnv mask form (bytes)"
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
        help=f"{NUM_SEATS} bots (or more with --ladder), each one of {', '.join(BOTS)}; mcts takes settings after a colon, "
        "as in mcts:400 (400 playouts a move) or mcts:ms=50,playout=random (see tavlok.bots.MCTS)",
    )
    arena_parser.add_argument(
        "--ladder",
        action="store_true",
        help=f"rate the bots ({' '.join(LADDER)} if none are given; with more than four, every "
        "four of them play a table) and time their moves",
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
    return _run(args, commands.choices[args.command], prog)


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
    names = tuple(bot_names(text))
    for name in names:
        try:
            bot_name(name)  # the engine says why, for the bytes of a path too
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return names


def _unwritable(path: str) -> str | None:
    """Why ``path`` could not be written to (None when it could), found without creating it:
    a refused command leaves no file behind."""
    try:
        if stat.S_ISDIR(os.stat(path).st_mode):
            return os.strerror(errno.EISDIR)
        return None if os.access(path, os.W_OK) else os.strerror(errno.EACCES)
    except FileNotFoundError:
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            return os.strerror(errno.ENOENT)
        return None if os.access(folder, os.W_OK | os.X_OK) else os.strerror(errno.EACCES)
    except OSError as error:
        return error.strerror
    except ValueError as error:  # a NUL in the path
        return str(error)


def _run(args: argparse.Namespace, parser: argparse.ArgumentParser, prog: str) -> int:
    record = getattr(args, "record", None)
    if args.command == "arena":
        if args.ladder and record is not None:
            parser.error("--ladder keeps no record")
        args.games = args.games or (400 if args.ladder else 1000)
        args.opening = args.opening if args.opening is not None else 4 if args.ladder else 0
    if record is not None:
        # Checked before the games, which may take long, rather than when they are written.
        reason = _unwritable(record)
        if reason is not None:
            parser.error(f"cannot write {record}: {reason}")
    if args.command == "play" and args.web:
        return play_web(args)
    if args.command == "play":
        return play(args.seed, args.human, args.watch, args.bots, args.record)
    if args.command == "view":
        return view(args)
    if args.command == "bench" and args.vector is None:
        print(bench.run(args.games, args.seed))
        return 0
    # A size the machine cannot hold, or beyond what the engine takes, is refused as a bad value
    # like the others; only the engine knows its limits, and only an allocation finds the memory.
    games: list[GameRecord] = []
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
            kept = games if record is not None else None
            result = arena(args.bots, args.games, args.seed, args.threads, record=kept, **options)
    except MemoryError:
        what = f"{args.games} games" if args.command == "arena" else f"{args.vector} envs"
        parser.error(f"not enough memory for {what}")
    except ValueError as refused:
        parser.error(str(refused))
    print(result.table())
    if record is not None:
        # Written once the games are played: nothing is created for games that never end.
        write_records(record, games)
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


def _serve(game: object, args: argparse.Namespace, what: str) -> int:
    """Serve the page for ``game`` until Ctrl-C."""
    from ..web import make_server, url

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
    from ..web import Replay

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
    from ..web import Live

    human = args.human if args.human is not None else 0
    seed = args.seed if args.seed is not None else secrets.randbelow(2**32)
    bots = (list(args.bots) * 3)[:3]

    def keep(game: GameRecord) -> None:
        write_records(args.record, [game], append=True)

    live = Live(human, bots, seed, keep if args.record else None)
    return _serve(live, args, f"you play seat {human} against {', '.join(bots)}")
