"""A page in the browser to replay recorded games and to play one against the engine's bots.

``python -m tavlok view FILE`` and ``python -m tavlok play --web`` serve it: ``make_server``
binds a server of the standard library's ``http.server`` (on 127.0.0.1 and a free port by
default) that serves the page (its three files beside this module) and the small JSON interface
that the page calls, which a script can call too: ``GET /api/pieces`` and ``/api/view``, ``POST
/api/new``, ``/api/move`` and ``/api/check``, described with their queries, bodies, answers and
errors in the documentation's "The page's interface" (docs/records.md).

``sessions`` holds the games and their answers (``Replay``, ``Live``); ``server`` carries them
over HTTP. Every placement is in seat 0's frame, the board as the page shows it.
"""

from .server import MAX_BODY, make_server, url
from .sessions import Live, Replay, pieces

__all__ = ["MAX_BODY", "Live", "Replay", "make_server", "pieces", "url"]
