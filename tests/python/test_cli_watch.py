"""The command line's board coordinates, refusals, piece drawings, records and page commands."""

import io
import re
import sys
import threading

import pytest

import tavlok
from tavlok import cli, read_records
from tavlok.actions import decode, encode, turned
from tavlok.cli import main
from tavlok.pieces import orientation_index


def run_cli(args, capsys, monkeypatch, typed=""):
    monkeypatch.setattr(sys, "stdin", io.StringIO(typed))
    status = main(args)
    return status, capsys.readouterr().out


PLAYED = re.compile(r"^player_(\d) plays (\w+) (\d+) (\d+) (\d+)$")


def test_every_move_is_printed_in_board_coordinates(capsys, monkeypatch, tmp_path):
    path = tmp_path / "game.jsonl"
    status, out = run_cli(
        ["play", "--seed", "4", "--bots", "greedy,random", "--record", str(path)],
        capsys,
        monkeypatch,
    )
    assert status == 0
    (record,) = read_records(path)
    assert record.players == ("greedy", "random", "greedy", "random") and record.seed == 4
    printed = [PLAYED.match(line).groups() for line in out.splitlines() if PLAYED.match(line)]
    assert len(printed) == len(record.history)
    final = record.state().board(0).owners
    for (seat, piece, ordinal, row, col), index in zip(printed, record.history, strict=True):
        board_index = encode(orientation_index(piece, int(ordinal)), int(row), int(col))
        assert turned(board_index, -int(seat)) == index
        assert all(final[r, c] == int(seat) for r, c in decode(board_index).cells)
    # The four first moves cover the four start corners, as board coordinates show them.
    corners = [set(decode(encode(orientation_index(p, int(o)), int(r), int(c))).cells)
               for _, p, o, r, c in printed[:4]]
    for corner, cells in zip([(0, 0), (0, 19), (19, 19), (19, 0)], corners, strict=True):
        assert corner in cells


def test_a_person_types_board_coordinates_and_hears_why_a_move_is_refused(capsys, monkeypatch):
    typed = "\n".join(
        [
            "Monomino 0 5 5",  # not on the start corner
            "pieces Domino",
            "moves Domino",
            "Domino 0 0 18",  # seat 1's corner is the board's top-right
            "Domino 0 0 18",  # placed already
            "quit",
        ]
    )
    status, out = run_cli(
        ["play", "--seed", "3", "--human", "1", "--bots", "greedy"], capsys, monkeypatch, typed
    )
    assert status == 0
    assert (
        "error: Monomino 0 5 5 is not legal for player_1: a seat's first piece must cover its "
        "start corner" in out
    )
    assert "player_1> Domino\n0    1\nXX   X\n     X\n" in out
    listed = "2 legal moves (PIECE ORDINAL: ROW COL, ...):\n  Domino 0: 0 18\n  Domino 1: 0 19\n"
    assert listed in out
    assert "player_1 plays Domino 0 0 18\n" in out
    assert "is not legal for player_1: the seat has placed that piece already" in out
    # Another piece that touches nothing of its own, then one that overlaps.
    typed = "Domino 0 0 18\npieces\nTrominoI 0 1 14\nTrominoI 0 0 14\nTrominoI 0 1 17\nquit\n"
    _, out = run_cli(
        ["play", "--seed", "3", "--human", "1", "--bots", "greedy"], capsys, monkeypatch, typed
    )
    assert "20 pieces in hand (name: orientation ordinals):\n  Monomino: 0-0\n  TrominoL:" in out
    assert "TrominoI 0 1 14 is not legal for player_1: it touches none of the seat's own" in out
    assert "TrominoI 0 1 17 is not legal for player_1: it shares an edge with one of" in out


def test_the_board_shrinks_for_a_narrow_terminal(capsys, monkeypatch):
    # The terminal's size as shutil finds it first: from the environment.
    monkeypatch.setenv("COLUMNS", "50")
    _, narrow = run_cli(["play", "--seed", "2"], capsys, monkeypatch)
    monkeypatch.setenv("COLUMNS", "80")
    _, wide = run_cli(["play", "--seed", "2"], capsys, monkeypatch)
    board_lines = [line for line in narrow.splitlines() if re.match(r"^[ 1]\d ", line)]
    assert len(board_lines) == 20 and max(map(len, board_lines)) <= 43
    board_lines = [line for line in wide.splitlines() if re.match(r"^[ 1]\d ", line)]
    assert len(board_lines) == 20 and max(map(len, board_lines)) <= 63
    assert max(map(len, wide.splitlines())) <= 80


def test_what_a_person_reads_fits_an_80_column_terminal(capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    _, out = run_cli(["play", "--seed", "1", "--human", "3"], capsys, monkeypatch, "help\n?\n")
    assert "\nyou play player_3 (green, start corner bottom-left)\n" in out
    assert "\nplayer_3 (green), your move; 'help' explains, '?' lists moves\n" in out
    # Without a terminal the typed line is not echoed, so what follows the prompt joins it.
    assert max(len(line) for line in out.replace("player_3> ", "").splitlines()) <= 80


def test_the_arena_writes_its_games(capsys, monkeypatch, tmp_path):
    path = tmp_path / "arena.jsonl"
    status, out = run_cli(
        ["arena", "greedy", "random", "greedy", "random", "--games", "5", "--record", str(path)],
        capsys,
        monkeypatch,
    )
    assert status == 0 and f"5 games written to {path}" in out
    records = read_records(path)
    assert [r.game for r in records] == list(range(5))
    assert all(r.state().scores() == r.scores for r in records)


@pytest.fixture
def served(monkeypatch):
    """What the command would serve, without serving it."""
    games = []

    def serve(game, args, what):
        games.append((game, what))
        return 0

    monkeypatch.setattr(cli, "_serve", serve)
    return games


@pytest.mark.parametrize(("bad", "why"), [(b"{oops", "not JSON"), (b'"\xff"', "not UTF-8"),
                                          (b"[" * 20_000, "not a record: JSON nested too")])
def test_view_serves_the_games_before_a_bad_line(capsys, monkeypatch, tmp_path, served, bad, why):
    kept = []
    tavlok.arena(["greedy", "random", "random", "random"], 3, seed=2, record=kept)
    path = tmp_path / "games.jsonl"
    lines = [r.to_json().encode() for r in kept]
    path.write_bytes(b"\n".join([lines[0], lines[1], bad, lines[2]]) + b"\n")
    status, out = run_cli(["view", str(path), "--no-browser"], capsys, monkeypatch)
    assert status == 0
    assert f"error: {path}: line 3: {why}" in out and "showing the 2 games before it" in out
    (game, what), = served
    assert game.records == kept[:2] and what == f"2 games of {path}"


@pytest.mark.parametrize(
    ("content", "message"),
    [(None, "error: cannot read"), ("", "holds no games"), ("[]\n", "line 1: a record is a JSON")],
)
def test_view_without_games_fails(capsys, monkeypatch, tmp_path, served, content, message):
    path = tmp_path / "games.jsonl"
    if content is not None:
        path.write_text(content)
    status, out = run_cli(["view", str(path)], capsys, monkeypatch)
    assert status == 1 and message in out and not served


def test_play_on_the_web_seats_the_bots_around_the_person(capsys, monkeypatch, served):
    status, _ = run_cli(
        ["play", "--web", "--human", "2", "--bots", "greedy,random,mcts:20,playout=random",
         "--seed", "1"],
        capsys,
        monkeypatch,
    )
    (game, what), = served
    # A setting after a comma belongs to the bot before it.
    search = "mcts:20,playout=random"
    assert status == 0 and game.players == ["greedy", "random", "you", search]
    assert what == f"you play seat 2 against greedy, random, {search}"
    # The bots before the person have moved.
    assert len(game.state.history) == 2 and game.state.seat == 2


def test_the_server_answers_on_the_address_it_prints(capsys, monkeypatch):
    from tavlok import web

    made = []
    real = web.make_server

    def make(*args, **kwargs):
        server = real(*args, **kwargs)
        made.append(server)
        threading.Timer(0.2, server.shutdown).start()
        return server

    monkeypatch.setattr(web, "make_server", make)
    status, out = run_cli(["play", "--web", "--no-browser", "--seed", "3"], capsys, monkeypatch)
    (server,) = made
    assert status == 0
    assert re.search(rf"at http://127\.0\.0\.1:{server.server_address[1]}/ \(Ctrl-C stops\)", out)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["play", "--bots", "greedy,clever"], "unknown bot 'clever'"),
        (["play", "--record", "."], "cannot write .: Is a directory"),
        (["arena", *["random"] * 4, "--record", "."], "cannot write .: Is a directory"),
    ],
)
def test_bad_bots_and_unwritable_records_are_usage_errors(capsys, args, message):
    with pytest.raises(SystemExit) as exit:
        main(args)
    assert exit.value.code == 2 and message in capsys.readouterr().err
