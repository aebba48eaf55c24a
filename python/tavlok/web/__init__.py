"""A page in the browser to replay recorded games and to play one against the engine's bots.

``python -m tavlok view FILE`` and ``python -m tavlok play --web`` start ``serve``: a server of
the standard library's ``http.server`` on 127.0.0.1 and a free port, which serves the page (its
three files beside this module) and a small JSON interface that the page calls:

- ``GET /api/pieces``: every orientation's piece, ordinal and cells, and the orientation one
  quarter turn clockwise and mirrored, for the page's piece picker.
- ``GET /api/view?game=G&move=M&legal=0|1`` (replay: game G after its first M placements;
  M beyond the end shows the end) and ``GET /api/view?legal=0|1`` (the live game): the board as
  SVG, the players, the moves so far with their seat, the seat to move, the scores once over, and
  with ``legal=1`` the legal placements of the seat to move.
- ``POST /api/move?legal=0|1`` with ``{"orientation": o, "row": r, "col": c}`` (live): the
  person's placement; the bots then move until it is the person's turn again or the game is
  over. The answer is the view after them, as ``/api/view`` with the same ``legal``.
- ``POST /api/check`` with the same body (live): ``{"legal": true}``, or ``{"legal": false,
  "reason": why}`` with the reason the move would be refused; the page's preview asks it.
- ``POST /api/new?legal=0|1`` (live): a new game, and its view.

Every placement is in seat 0's frame, the board as the page shows it: seat 0's start corner
top-left, the others clockwise from it. The server checks every request: an unknown path is
404, a malformed query or body 400, a body over 4 KiB 413, an illegal move 409 with the engine's
reason, each with ``{"error": message}`` and the game left as it was. On a loopback address it
answers only requests whose Host is its own address (a page elsewhere cannot reach it through a
name that resolves here), and it takes posts only as JSON, which a form on another site cannot
send without asking.
"""

from __future__ import annotations

import ipaddress
import json
import re
import threading
from collections.abc import Callable, Sequence
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qsl, urlsplit

from .. import _arguments
from .. import bots as _bots
from .._core import State
from ..actions import decode, encode, turn_orientation, turned
from ..board import SEAT_COLOUR_NAMES, SEAT_COLOURS, _hex
from ..pieces import KINDS, NUM_SEATS, ORIENTATIONS
from ..records import GameRecord

__all__ = ["Live", "Replay", "make_server"]

MAX_BODY = 4096
# The page's own files, by the path they are served at; nothing else is read from disk.
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}
_WHOLE = re.compile(r"\d{1,9}")


class RequestError(Exception):
    """A request refused: its HTTP status and the message the page shows."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def pieces() -> dict[str, Any]:
    """What the page needs to draw and turn pieces."""
    return {
        "colours": [_hex(colour) for colour in SEAT_COLOURS],
        "names": list(SEAT_COLOUR_NAMES),
        "kinds": list(KINDS),
        "orientations": [
            {
                "kind": o.kind,
                "ordinal": o.ordinal,
                "cells": [list(cell) for cell in o.cells],
                "turn": turn_orientation(o.index),
                "flip": turn_orientation(o.index, flip=True),
            }
            for o in ORIENTATIONS
        ],
    }


def _view(
    state: State, players: Sequence[str], legal: bool, history: Sequence[int] | None = None
) -> dict[str, Any]:
    """The page's picture of a position, everything in seat 0's frame; the move list is
    ``history`` (the whole game of a replay), or the moves that led to ``state``."""
    over = state.is_terminal()
    moves, replayed = [], State()
    for index in state.history if history is None else history:
        absolute = turned(index, replayed.seat)
        moves.append({"seat": replayed.seat, "index": absolute, "text": str(decode(absolute))})
        replayed.apply(index)
    view: dict[str, Any] = {
        "svg": state.svg(0, names=players),
        "players": list(players),
        "moves": moves,
        "to_move": None if over else state.seat,
        "over": over,
        "scores": list(state.scores()) if over else None,
    }
    if legal:
        view["legal"] = [turned(i, state.seat) for i in state.legal_actions().tolist()]
    return view


class Replay:
    """Recorded games to step through."""

    mode = "replay"

    def __init__(self, records: Sequence[GameRecord]) -> None:
        if not records:
            raise ValueError("no games to show")
        self.records = list(records)

    def view(self, query: dict[str, str]) -> dict[str, Any]:
        _expect(query, {"game", "move", "legal"})
        game = _whole(query, "game", 0)
        if game >= len(self.records):
            raise RequestError(
                HTTPStatus.NOT_FOUND, f"game {game} is outside 0 to {len(self.records) - 1}"
            )
        record = self.records[game]
        move = min(_whole(query, "move", len(record.history)), len(record.history))
        state = State.from_history(record.history[:move])
        view = _view(state, record.players, _flag(query, "legal"), record.history)
        view.update(
            mode=self.mode,
            game=game,
            games=len(self.records),
            move=move,
            length=len(record.history),
            seed=record.seed,
            final_scores=list(record.scores) if record.scores is not None else None,
        )
        return view

    def post(
        self, path: str, body: dict[str, Any], query: dict[str, str] | None = None
    ) -> dict[str, Any]:
        raise RequestError(HTTPStatus.NOT_FOUND, "a replay takes no moves")


class Live:
    """A game in which a person plays one seat against the engine's bots at the others.

    ``bots`` names the bots of the other seats in seat order, ``record(game)`` is called with
    each game that ends (to keep it), and ``seed`` seeds the bots.
    """

    mode = "live"

    def __init__(
        self,
        human: int,
        bots: Sequence[str],
        seed: int = 0,
        record: Callable[[GameRecord], None] | None = None,
    ) -> None:
        human = _arguments.whole(human, "human", 0, NUM_SEATS - 1)
        bots = _arguments.counted(bots, "bots", NUM_SEATS - 1)
        self.human, self.seed, self._record = human, seed, record
        names = iter(bots)
        self.players = ["you" if s == human else next(names) for s in range(NUM_SEATS)]
        self._bots = {
            s: _bots.make(name, seed + s) for s, name in enumerate(self.players) if s != human
        }
        self._lock = threading.Lock()
        self._new_game()

    def _new_game(self) -> None:
        self.state = State()
        self._bots_move()

    def _bots_move(self) -> None:
        _bots.play_until_turn(self.state, self.human, self._bots)
        if self.state.is_terminal() and self._record is not None:
            self._record(GameRecord.from_state(self.state, self.players, self.seed))

    def view(self, query: dict[str, str]) -> dict[str, Any]:
        _expect(query, {"legal"})
        with self._lock:
            view = _view(self.state, self.players, _flag(query, "legal"))
            held = self.state.hands(self.human)[0]
            hand = [kind for kind, holds in zip(KINDS, held, strict=True) if holds]
            view.update(mode=self.mode, human=self.human, hand=hand, move=len(self.state.history))
            return view

    def post(
        self, path: str, body: dict[str, Any], query: dict[str, str] | None = None
    ) -> dict[str, Any]:
        """A new game, a move or a check (see the module); a move's or new game's answer is its
        view, with the legal moves when ``query`` asks for them."""
        query = query or {}
        # Checked before the game changes: a bad query refuses the move along with it.
        _expect(query, set() if path == "/api/check" else {"legal"})
        _flag(query, "legal")
        if path == "/api/new":
            _expect(body, set())
            with self._lock:
                self._new_game()
            return self.view(query)
        with self._lock:
            if path == "/api/check":
                try:
                    self._placement(body)
                except RequestError as refused:
                    if refused.status != HTTPStatus.CONFLICT:
                        raise
                    return {"legal": False, "reason": str(refused)}
                return {"legal": True}
            self.state.apply(self._placement(body))
            self._bots_move()
        return self.view(query)

    def _placement(self, body: dict[str, Any]) -> int:
        """The grid index, in the person's frame, of the placement ``body`` asks for: refused
        (409 with the engine's reason) unless the person may make it now."""
        _expect(body, {"orientation", "row", "col"}, required=True)
        try:
            orientation, row, col = (
                _arguments.whole(body[key], key) for key in ("orientation", "row", "col")
            )
        except TypeError as refused:
            raise RequestError(HTTPStatus.BAD_REQUEST, str(refused)) from None
        state = self.state
        if state.is_terminal():
            raise RequestError(HTTPStatus.CONFLICT, "the game is over")
        if state.seat != self.human:
            raise RequestError(HTTPStatus.CONFLICT, "it is not your turn")
        try:
            index = turned(encode(orientation, row, col), -self.human)
            state.clone().apply(index)
        except ValueError as refused:
            # Without the grid index in the mover's frame, which the page does not show.
            reason = str(refused).split(": ", 1)[-1]
            raise RequestError(HTTPStatus.CONFLICT, reason) from None
        return index


def _expect(fields: dict[str, Any], allowed: set[str], required: bool = False) -> None:
    unknown = sorted(set(fields) - allowed)
    if unknown:
        raise RequestError(HTTPStatus.BAD_REQUEST, f"unknown field {unknown[0]!r}")
    if required and set(fields) != allowed:
        missing = sorted(allowed - set(fields))
        raise RequestError(HTTPStatus.BAD_REQUEST, f"missing field {missing[0]!r}")


def _whole(query: dict[str, str], key: str, default: int) -> int:
    text = query.get(key)
    if text is None:
        return default
    if not _WHOLE.fullmatch(text):
        raise RequestError(HTTPStatus.BAD_REQUEST, f"{key} must be a whole number, not {text!r}")
    return int(text)


def _flag(query: dict[str, str], key: str) -> bool:
    text = query.get(key, "0")
    if text not in ("0", "1"):
        raise RequestError(HTTPStatus.BAD_REQUEST, f"{key} must be 0 or 1")
    return text == "1"


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "tavlok"
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:  # noqa: N802 - the name http.server calls
        self._answer(self._get)

    def do_POST(self) -> None:  # noqa: N802
        self._answer(self._post)

    def _answer(self, work: Callable[[str, dict[str, str]], tuple[bytes, str]]) -> None:
        try:
            self._check_host()
            parts = urlsplit(self.path)
            try:
                query = dict(parse_qsl(parts.query, strict_parsing=bool(parts.query),
                                       max_num_fields=8))
            except ValueError:
                raise RequestError(HTTPStatus.BAD_REQUEST, "malformed query") from None
            body, kind = work(parts.path, query)
            status = HTTPStatus.OK
        except RequestError as refused:
            status, kind = refused.status, "application/json"
            body = json.dumps({"error": str(refused)}).encode()
            # What is left of a refused body is not read: the connection ends with the answer.
            self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        self.wfile.write(body)

    def _check_host(self) -> None:
        hosts = self.server.hosts
        if hosts is not None and self.headers.get("Host") not in hosts:
            raise RequestError(HTTPStatus.FORBIDDEN, "unknown host")

    def _get(self, path: str, query: dict[str, str]) -> tuple[bytes, str]:
        if path in FILES:
            name, kind = FILES[path]
            return self.server.files[name], kind
        if path == "/api/pieces":
            return _json(pieces())
        if path == "/api/view":
            return _json(self.server.game.view(query))
        raise RequestError(HTTPStatus.NOT_FOUND, f"nothing at {path[:80]!r}")

    def _post(self, path: str, query: dict[str, str]) -> tuple[bytes, str]:
        if path not in ("/api/move", "/api/check", "/api/new"):
            raise RequestError(HTTPStatus.NOT_FOUND, f"nothing to post at {path[:80]!r}")
        if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
            raise RequestError(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "send JSON")
        length_text = self.headers.get("Content-Length")
        if length_text is None or not _WHOLE.fullmatch(length_text):
            raise RequestError(HTTPStatus.LENGTH_REQUIRED, "say how long the body is")
        length = int(length_text)
        if length > MAX_BODY:
            raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"over {MAX_BODY} bytes")
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        # RecursionError: nested deeper than the parser recurses, which 4 KiB of brackets is.
        except (json.JSONDecodeError, UnicodeDecodeError, RecursionError):
            raise RequestError(HTTPStatus.BAD_REQUEST, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "the body is a JSON object")
        return _json(self.server.game.post(path, body, query))

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if self.server.verbose:
            super().log_message(format, *args)


def _json(value: Any) -> tuple[bytes, str]:
    return json.dumps(value, separators=(",", ":")).encode(), "application/json"


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    game: Replay | Live
    files: dict[str, bytes]
    hosts: set[str] | None
    verbose: bool


def make_server(
    game: Replay | Live, host: str = "127.0.0.1", port: int = 0, verbose: bool = False
) -> _Server:
    """A server of the page for ``game``, bound (port 0: a free port) but not yet serving: call
    its ``serve_forever`` (and ``shutdown`` from another thread). Its URL is ``url(server)``."""
    server = _Server((host, port), _Handler)
    server.game, server.verbose = game, verbose
    folder = resources.files(__name__)
    server.files = {name: folder.joinpath(name).read_bytes() for name, _ in FILES.values()}
    bound = server.server_address[1]
    # On this machine only, the page answers only for its own names; served on a network
    # address by choice (--host), for any name that reaches it.
    loopback = ipaddress.ip_address(server.server_address[0]).is_loopback
    names = (host, "127.0.0.1", "localhost")
    server.hosts = {f"{name}:{bound}" for name in names} if loopback else None
    return server


def url(server: _Server) -> str:
    host, port = server.server_address[:2]
    return f"http://{host}:{port}/"
