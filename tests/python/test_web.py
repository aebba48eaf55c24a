"""The page's server: what it serves, and the requests it refuses without touching the game."""

import http.client
import json
import threading
from importlib import resources

import pytest

import tavlok
from tavlok.actions import decode, turned
from tavlok.pieces import KIND_ORIENTATIONS, ORIENTATIONS
from tavlok.web import MAX_BODY, Live, Replay, make_server, pieces


@pytest.fixture(scope="module")
def records():
    kept = []
    tavlok.arena(["greedy", "random", "greedy", "random"], 2, seed=3, record=kept)
    return kept


class Client:
    def __init__(self, game):
        self.game = game
        self.server = make_server(game)
        self.thread = threading.Thread(
            target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self.thread.start()
        self.host, self.port = self.server.server_address[:2]

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.getheader("Content-Type"), response.read()
        finally:
            connection.close()

    def json(self, method, path, body=None, headers=None):
        status, _, data = self.request(method, path, body, headers)
        return status, json.loads(data)

    def move(self, fields, path="/api/move"):
        return self.json("POST", path, json.dumps(fields), {"Content-Type": "application/json"})

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def replay(records):
    client = Client(Replay(records))
    yield client
    client.close()


@pytest.fixture
def live():
    client = Client(Live(1, ["greedy", "random", "greedy"], seed=2))
    yield client
    client.close()


def test_the_page_is_served_from_the_package_files_only(replay):
    folder = resources.files("tavlok.web")
    for path, name in (("/", "index.html"), ("/app.js", "app.js"), ("/style.css", "style.css")):
        status, kind, data = replay.request("GET", path)
        assert status == 200 and data == folder.joinpath(name).read_bytes()
        assert kind.split(";")[0] in ("text/html", "text/javascript", "text/css")
    for path in (
        "/index.html",
        "/../__init__.py",
        "/%2e%2e/__init__.py",
        "/..%2f..%2fpyproject.toml",
        "//etc/passwd",
        "/app.js/../../records.py",
        "/static/../../../etc/passwd",
    ):
        status, kind, data = replay.request("GET", path)
        assert (status, kind) == (404, "application/json"), path
        assert json.loads(data)["error"].startswith("nothing at")


def test_requests_for_another_host_are_refused(replay):
    status, answer = replay.json("GET", "/", headers={"Host": "attacker.example:80"})
    assert (status, answer) == (403, {"error": "unknown host"})
    status, _, _ = replay.request("GET", "/", headers={"Host": f"localhost:{replay.port}"})
    assert status == 200


def test_a_replay_shows_each_position_in_board_coordinates(replay, records):
    record = records[1]
    status, view = replay.json("GET", "/api/view?game=1&move=9&legal=1")
    assert status == 200 and (view["game"], view["games"], view["move"]) == (1, 2, 9)
    assert view["length"] == len(record.history) and view["final_scores"] == list(record.scores)
    state = tavlok.State.from_history(record.history[:9])
    assert view["to_move"] == state.seat and view["scores"] is None
    # The whole game is listed, every move turned from its mover's frame onto the board.
    board = tavlok.State.from_history(record.history).board(0).owners
    assert len(view["moves"]) == len(record.history)
    for move in view["moves"]:
        for r, c in decode(move["index"]).cells:
            assert board[r, c] == move["seat"]
        assert move["text"] == str(decode(move["index"]))
    assert sorted(view["legal"]) == sorted(turned(i, state.seat) for i in state.legal_actions())
    assert view["svg"] == state.svg(0, names=record.players)
    status, end = replay.json("GET", "/api/view?game=1&move=999")
    assert end["move"] == len(record.history) and end["scores"] == list(record.scores)


@pytest.mark.parametrize(
    ("path", "status", "message"),
    [
        ("/api/view?game=2", 404, "game 2 is outside 0 to 1"),
        ("/api/view?game=-1", 400, "game must be a whole number, not '-1'"),
        ("/api/view?game=1e3", 400, "game must be a whole number"),
        ("/api/view?move=" + "9" * 40, 400, "move must be a whole number"),
        ("/api/view?legal=2", 400, "legal must be 0 or 1"),
        ("/api/view?human=1", 400, "unknown field 'human'"),
        ("/api/view?game", 400, "malformed query"),
        ("/api/view?" + "&".join(f"a{i}=1" for i in range(20)), 400, "malformed query"),
        ("/api/nothing", 404, "nothing at '/api/nothing'"),
    ],
)
def test_malformed_queries_are_refused(replay, path, status, message):
    got, answer = replay.json("GET", path)
    assert got == status and answer["error"].startswith(message)


def test_a_replay_takes_no_moves(replay):
    status, answer = replay.move({"orientation": 0, "row": 0, "col": 0})
    assert (status, answer) == (404, {"error": "a replay takes no moves"})


def test_a_live_game_takes_a_legal_move_and_the_bots_answer(live):
    game = live.game
    status, view = live.json("GET", "/api/view?legal=1")
    assert status == 200 and view["human"] == 1 and view["to_move"] == 1
    assert view["players"] == ["greedy", "you", "random", "greedy"]
    assert len(view["moves"]) == 1 and view["hand"] == list(tavlok.KINDS)
    chosen = view["legal"][0]
    assert turned(chosen, -1) in game.state.legal_actions()
    placement = decode(chosen)
    status, after = live.move(
        {"orientation": placement.orientation, "row": placement.row, "col": placement.col},
        "/api/move?legal=1",
    )
    assert status == 200 and after["to_move"] in (1, None)
    assert game.state.history[1] == turned(chosen, -1) and after["moves"][1]["index"] == chosen
    assert placement.piece not in after["hand"] and len(after["hand"]) == 20
    # The answer carries the legal moves it was asked for, so that the page keeps showing them.
    assert after["legal"] == [turned(i, 1) for i in game.state.legal_actions().tolist()]
    status, fresh = live.json("POST", "/api/new", "{}", {"Content-Type": "application/json"})
    assert status == 200 and len(fresh["moves"]) == 1 and len(game.state.history) == 1


def test_a_check_gives_the_engines_reason_for_an_illegal_spot(live):
    legal = decode(live.json("GET", "/api/view?legal=1")[1]["legal"][0])
    spot = {"orientation": legal.orientation, "row": legal.row, "col": legal.col}
    assert live.move(spot, "/api/check") == (200, {"legal": True})
    reason = "a seat's first piece must cover its start corner"
    assert live.move({**spot, "row": 9}, "/api/check") == (200, {"legal": False, "reason": reason})
    # A move with a query it cannot answer is refused before it is made.
    refused_unchanged(live, lambda: live.move(spot, "/api/move?legal=2"), 400, "legal must be")


def refused_unchanged(live, send, status, message):
    before = live.game.state.history
    got, answer = send()
    assert got == status and message in answer["error"]
    assert live.game.state.history == before


@pytest.mark.parametrize(
    ("fields", "status", "message"),
    [
        ({"orientation": 0, "row": 5, "col": 5}, 409, "first piece must cover its start corner"),
        ({"orientation": 90, "row": 17, "col": 0}, 409, "does not fit with its top-left corner"),
        ({"orientation": 91, "row": 0, "col": 0}, 409, "orientation 91 is outside 0 to 90"),
        ({"orientation": 0, "row": 0}, 400, "missing field 'col'"),
        ({"orientation": 0, "row": 0, "col": 19, "seat": 1}, 400, "unknown field 'seat'"),
        ({"orientation": 0, "row": "0", "col": 19}, 400, "row must be a whole number"),
        ({"orientation": True, "row": 0, "col": 19}, 400, "orientation must be a whole number"),
        ({"orientation": 0, "row": 2**80, "col": 19}, 409, "does not fit"),
    ],
)
def test_bad_moves_are_refused_and_change_nothing(live, fields, status, message):
    refused_unchanged(live, lambda: live.move(fields), status, message)


@pytest.mark.parametrize(
    ("body", "headers", "status", "message"),
    [
        ("x" * (MAX_BODY + 1), {"Content-Type": "application/json"}, 413, f"over {MAX_BODY} bytes"),
        ('{"orientation": 0', {"Content-Type": "application/json"}, 400, "the body is not JSON"),
        (b"\xff\xfe", {"Content-Type": "application/json"}, 400, "the body is not JSON"),
        # Deeper than 3.12's parser recurses (not JSON there); 3.13's parses it (not an object).
        ("[" * 2000 + "]" * 2000, {"Content-Type": "application/json"}, 400, "the body is "),
        ("[1, 2]", {"Content-Type": "application/json"}, 400, "the body is a JSON object"),
        ("{}", {"Content-Type": "text/plain"}, 415, "send JSON"),
        ("{}", {"Content-Type": "application/x-www-form-urlencoded"}, 415, "send JSON"),
    ],
)
def test_bad_bodies_are_refused_and_change_nothing(live, body, headers, status, message):
    refused_unchanged(live, lambda: live.json("POST", "/api/move", body, headers), status, message)


def test_a_body_without_a_length_is_refused(live):
    connection = http.client.HTTPConnection(live.host, live.port, timeout=30)
    connection.putrequest("POST", "/api/move")
    connection.putheader("Content-Type", "application/json")
    connection.endheaders()
    response = connection.getresponse()
    assert response.status == 411 and b"say how long the body is" in response.read()
    connection.close()


def test_a_finished_game_takes_no_more_moves():
    game = Live(0, ["greedy", "greedy", "greedy"], seed=0)
    while not game.state.is_terminal():
        move = decode(turned(tavlok.bots.greedy(game.state), 0))
        game.post("/api/move", {"orientation": move.orientation, "row": move.row, "col": move.col})
    client = Client(game)
    try:
        refused_unchanged(
            client, lambda: client.move({"orientation": 0, "row": 0, "col": 0}), 409, "over"
        )
    finally:
        client.close()


def test_finished_live_games_are_recorded():
    kept = []
    game = Live(3, ["random", "random", "random"], seed=6, record=kept.append)
    while not game.state.is_terminal():
        move = decode(turned(int(game.state.legal_actions()[-1]), 3))
        game.post("/api/move", {"orientation": move.orientation, "row": move.row, "col": move.col})
    (record,) = kept
    assert record.players == ("random", "random", "random", "you") and record.seed == 6
    assert record.history == game.state.history and record.scores == game.state.scores()


def test_the_piece_picker_turns_and_flips_within_a_piece():
    orientations = pieces()["orientations"]
    for index, o in enumerate(orientations):
        assert o["cells"] == [list(c) for c in ORIENTATIONS[index].cells]
        around = index
        for _ in range(4):
            around = orientations[around]["turn"]
            assert orientations[around]["kind"] == o["kind"]
        assert around == index
        assert orientations[o["flip"]]["flip"] == index
        # Turning and flipping reach every orientation of the piece.
        reached, frontier = {index}, [index]
        while frontier:
            here = frontier.pop()
            for there in (orientations[here]["turn"], orientations[here]["flip"]):
                if there not in reached:
                    reached.add(there)
                    frontier.append(there)
        assert reached == set(KIND_ORIENTATIONS[o["kind"]])


def test_bot_names_and_seats_are_checked():
    with pytest.raises(ValueError, match="unknown bot 'clever'"):
        Live(0, ["greedy", "clever", "random"])
    with pytest.raises(ValueError, match="bots must hold 3, not 2"):
        Live(0, ["greedy", "random"])
    with pytest.raises(ValueError, match="human must be between 0 and 3, not 4"):
        Live(4, ["greedy"] * 3)
    with pytest.raises(ValueError, match="no games to show"):
        Replay([])


@pytest.mark.parametrize(
    ("path", "body", "message"),
    [
        ("/api/move?legal=x&legal=1", None, "repeated field 'legal'"),
        ("/api/move?legal=1&legal=1", None, "repeated field 'legal'"),
        ("/api/move?legal=", None, "legal must be 0 or 1"),
        ("/api/move?legal=1&seat=0", None, "unknown field 'seat'"),
        ("/api/check?legal=", None, "unknown field 'legal'"),
        ("/api/check?legal=1", None, "unknown field 'legal'"),
        ("/api/new?legal=", "{}", "legal must be 0 or 1"),
        ("/api/move", '{"orientation": 0, "row": 0, "row": 9, "col": 0}', "repeated field 'row'"),
    ],
)
def test_repeated_empty_and_unknown_fields_are_refused_and_change_nothing(live, path, body, message):
    move = decode(live.json("GET", "/api/view?legal=1")[1]["legal"][0])
    body = body or json.dumps({"orientation": move.orientation, "row": move.row, "col": move.col})
    headers = {"Content-Type": "application/json"}
    refused_unchanged(live, lambda: live.json("POST", path, body, headers), 400, message)
    status, view = live.json("GET", "/api/view?legal=")
    assert (status, view["error"]) == (400, "legal must be 0 or 1")


def test_the_page_is_told_the_winners_and_the_legal_placements():
    game = Live(2, ["greedy", "random", "mcts:20"], seed=5)
    client = Client(game)
    try:
        while True:
            status, view = client.json("GET", "/api/view?legal=1")
            assert status == 200
            if view["over"]:
                break
            assert view["winners"] is None
            placements = [[p.orientation, p.row, p.col] for p in map(decode, view["legal"])]
            assert view["placements"] == placements
            index = int(game.state.legal_actions()[-1])
            move = decode(turned(index, 2))
            client.move({"orientation": move.orientation, "row": move.row, "col": move.col})
        best = max(view["scores"])
        assert view["winners"] == [s for s, score in enumerate(view["scores"]) if score == best]
        assert view["placements"] == [] and view["legal"] == []
    finally:
        client.close()
