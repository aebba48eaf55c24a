"""The page's HTTP server: the standard library's ``http.server``, serving the page's three files
beside this module and the JSON interface of ``sessions`` (documented in the package's docs,
"The page's interface"). It checks every request before a session sees it: its host, path,
query, media type, length and body.
"""

from __future__ import annotations

import ipaddress
import json
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qsl, urlsplit

from .sessions import _WHOLE, Live, Replay, RequestError, pieces

__all__ = ["MAX_BODY", "make_server", "url"]

MAX_BODY = 4096
# The page's own files, by the path they are served at; nothing else is read from disk.
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}


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
                # Blank values kept, so that "legal=" is refused as a bad value rather than read
                # as absent; a repeated one refused, so that no value silently wins.
                pairs = parse_qsl(
                    parts.query,
                    keep_blank_values=True,
                    strict_parsing=bool(parts.query),
                    max_num_fields=8,
                )
            except ValueError:
                raise RequestError(HTTPStatus.BAD_REQUEST, "malformed query") from None
            body, kind = work(parts.path, _fields(pairs))
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
            body = json.loads(self.rfile.read(length) or b"{}", object_pairs_hook=_fields)
        # RecursionError: nested deeper than the parser recurses, which 4 KiB of brackets is.
        except (json.JSONDecodeError, UnicodeDecodeError, RecursionError):
            raise RequestError(HTTPStatus.BAD_REQUEST, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "the body is a JSON object")
        return _json(self.server.game.post(path, body, query))

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if self.server.verbose:
            super().log_message(format, *args)


def _fields(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """The fields of a query or of a JSON object, each named once: a repeated one is refused."""
    fields: dict[str, Any] = {}
    for key, value in pairs:
        if key in fields:
            raise RequestError(HTTPStatus.BAD_REQUEST, f"repeated field {key!r}")
        fields[key] = value
    return fields


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
    folder = resources.files(__package__)
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
