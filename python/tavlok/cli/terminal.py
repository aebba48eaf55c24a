"""The game in a terminal: bots move, a person at one seat types moves, the board is printed.

Every placement it prints or reads is in board coordinates: seat 0's frame, in which seat 0's
start corner is the top-left cell (row 0, col 0), seat 1's the top-right, seat 2's the
bottom-right and seat 3's the bottom-left, whichever seat moves.
"""

from __future__ import annotations

import secrets
import shutil
import sys
from collections.abc import Sequence

from ..actions import decode, turned
from ..board import SEAT_COLOUR_NAMES
from ..bots import make as make_bot
from ..bots import play_until_turn
from ..pieces import NUM_SEATS
from ..records import GameRecord, winners, write_records
from ..state import State
from .moves import MOVE_HELP, moves_text, parse_move, pieces_text, show_text

START_CORNERS = ("top-left", "top-right", "bottom-right", "bottom-left")


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
    names = iter(list(bots) * NUM_SEATS)
    players = ["you" if seat == human else next(names) for seat in range(NUM_SEATS)]
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
        passed = (state.seat - seat - 1) % NUM_SEATS if not state.is_terminal() else NUM_SEATS
        for later in range(seat + 1, seat + 1 + passed):
            if later % NUM_SEATS not in out_of_moves:
                out_of_moves.add(later % NUM_SEATS)
                print(f"player_{later % NUM_SEATS} has no legal move left")
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
    scores = state.scores()
    if scores is None:
        print("game left unfinished")
        return 0
    print(_board_text(state, colour, players))
    print("scores: " + ", ".join(f"player_{s} {score}" for s, score in enumerate(scores)))
    print("winner: " + " and ".join(f"player_{s}" for s in winners(scores)))
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
                print(moves_text(state.legal_actions(), words[1:], seat))
            elif command == "show" or (command == "pieces" and len(words) > 1):
                print(show_text(words[1:]))
            elif command == "pieces":
                print(pieces_text(state, seat))
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
