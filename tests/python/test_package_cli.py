"""The command line: random games, a person at one seat, and the benchmark."""

import io
import os
import signal
import subprocess
import sys

import pytest

from tavlok import bench, cli
from tavlok.cli import main


def run_cli(args, capsys, monkeypatch, typed=""):
    monkeypatch.setattr(sys, "stdin", io.StringIO(typed))
    status = main(args)
    return status, capsys.readouterr().out


def test_a_seeded_game_replays_exactly_and_ends_with_the_scores(capsys, monkeypatch):
    status, first = run_cli(["play", "--seed", "7"], capsys, monkeypatch)
    _, again = run_cli(["play", "--seed", "7"], capsys, monkeypatch)
    assert status == 0 and first == again
    lines = first.splitlines()
    assert lines[0] == "tavlok game, seed 7; moves in board coordinates (seat 0's frame)"
    assert sum(line.endswith("has no legal move left") for line in lines) == 4
    assert lines[-2].startswith("scores: player_0 -")
    assert lines[-1].startswith("winner: player_")
    # Not a terminal, so the final board shows seat numbers rather than colours; the legend
    # follows the last row.
    assert "\x1b[" not in first and lines[-5].startswith("19  ")
    assert lines[-4].startswith("0 blue: random, ") and lines[-3].startswith("2 red: random, ")


def test_a_person_gets_errors_the_move_list_and_can_leave(capsys, monkeypatch):
    typed = "\n".join(
        [
            "Hexomino 0 0 0",  # no such piece
            "PentominoF 0 0",  # kind without its orientation
            "PentominoF 8 0 0",  # no such orientation
            "PentominoI 1 15 1",  # fits, misses the start corner
            "PentominoI 1 17 0",  # sticks out of the board
            "moves pentominoi",
            "90 0 0",  # PentominoI 1 by its orientation index
            "?",
        ]
    )
    status, out = run_cli(["play", "--seed", "3", "--human", "0"], capsys, monkeypatch, typed)
    assert status == 0
    assert "error: unknown piece 'Hexomino'" in out
    assert "error: give PentominoF's orientation too: PentominoF ORDINAL ROW COL" in out
    assert "error: PentominoF has orientations 0 to 7, not 8" in out
    assert (
        "error: PentominoI 1 15 1 is not legal for player_0: a seat's first piece must cover its "
        "start corner" in out
    )
    assert "error: PentominoI 1 (5x1) does not fit with its top-left corner at row 17, col 0" in out
    assert (
        "2 legal moves (PIECE ORDINAL: ROW COL, ...):\n  PentominoI 0: 0 0\n  PentominoI 1: 0 0\n"
        in out
    )
    assert "player_0 plays PentominoI 1 0 0\n" in out
    # After the first round the move list covers every piece but the one placed.
    listed = out.split("player_0> ")[-2]
    assert "PentominoI" not in listed and "legal moves" in listed
    assert out.endswith("game left unfinished\n")


def test_module_runs_as_a_program_and_leaves_on_end_of_input():
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run(
        [sys.executable, "-m", "tavlok", "play", "--seed", "1", "--human", "2"],
        input="board\n",
        capture_output=True,
        text=True,
        env=environment,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith("game left unfinished\n") and done.stderr == ""
    # Run as a module, it names itself so; an argument its subcommand does not know is shown with
    # that subcommand's usage.
    done = subprocess.run(
        [sys.executable, "-m", "tavlok", "play", "--seats", "2"],
        capture_output=True,
        text=True,
        env=environment,
        timeout=60,
    )
    assert done.returncode == 2 and done.stderr.startswith("usage: python -m tavlok play [-h]")
    assert done.stderr.endswith("tavlok play: error: unrecognized arguments: --seats 2\n")


def test_bench_plays_whole_games_and_reports_the_rates(capsys, monkeypatch):
    result = bench.run(3, seed=5)
    assert result.games == 3 and result.seconds > 0
    assert bench.run(3, seed=5).turns == result.turns
    # Four seats of at most 21 pieces, and every seat places at least its first piece.
    assert 3 * 4 <= result.turns <= 3 * 84
    status, out = run_cli(["bench", "--games", "2"], capsys, monkeypatch)
    assert status == 0 and " games/s, " in out and out.rstrip().endswith("µs per turn")


GREEDY_AND_RANDOM = ["arena", "greedy", "random", "random", "random"]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["play", "--seed", "-5"], "argument --seed: must be between 0 and 2**64 - 1, not -5"),
        (["play", "--seed", str(2**64)], f"must be between 0 and 2**64 - 1, not {2**64}"),
        (["play", "--seed", "9" * 5000], "argument --seed: must be a whole number, not '999"),
        (["bench", "--vector", "2", "--seed", "-1"], "argument --seed: must be between 0 and"),
        (["bench", "--games", "0"], "argument --games: must be 1 or more, not 0"),
        (["bench", "--vector", "99999999999"], "num_envs must be between 1 and"),
        ([*GREEDY_AND_RANDOM, "--threads", "5000"], "--threads: must be between 1 and 1024, not 5000"),
        ([*GREEDY_AND_RANDOM, "--seed", str(2**64)], "argument --seed: must be between 0 and"),
        (["arena", "greedy", "random", "random", "mtcs"], "error: unknown bot 'mtcs'"),
        (["arena", "greedy", "random"], "arena: error: bots must hold 4, not 2"),
    ],
)
def test_bad_values_are_usage_errors_without_a_traceback(args, message, capsys):
    with pytest.raises(SystemExit) as exit:
        main(args)
    err = capsys.readouterr().err
    assert exit.value.code == 2 and message in err and "Traceback" not in err
    assert err.startswith("usage: tavlok " + args[0])


def test_a_bot_that_never_wins_shows_a_win_rate_of_zero_not_minus_zero(capsys, monkeypatch):
    status, out = run_cli([*GREEDY_AND_RANDOM, "--games", "40"], capsys, monkeypatch)
    assert status == 0 and "\n1 random " in out and " 0.0%      [0.0, 8.8] " in out
    assert "-0.0" not in out


def test_sizes_the_machine_cannot_hold_are_usage_errors(capsys, monkeypatch):
    def out_of_memory(*args, **kwargs):
        raise MemoryError  # what the engine raises for 2**39 games, without allocating here

    monkeypatch.setattr(cli, "arena", out_of_memory)
    with pytest.raises(SystemExit) as exit:
        main([*GREEDY_AND_RANDOM, "--games", str(2**39)])
    assert exit.value.code == 2
    assert f"error: not enough memory for {2**39} games" in capsys.readouterr().err


def test_a_reader_that_leaves_early_ends_the_program_quietly():
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    program = subprocess.Popen(
        [sys.executable, "-m", "tavlok", "play", "--seed", "1", "--watch"],  # far past a pipe's
        stdout=subprocess.PIPE,  # buffer, so the writes after the reader left fail
        stderr=subprocess.PIPE,
        env=environment,
    )
    assert program.stdout.readline().startswith(b"tavlok game, seed 1;")
    program.stdout.close()
    assert program.wait(timeout=60) == 128 + signal.SIGPIPE
    assert program.stderr.read() == b""
    program.stderr.close()


@pytest.mark.parametrize(
    "args",
    [
        ["arena", "random", "greedy", "random", "greedy", "--games", "1000000", "--threads", "1"],
        ["arena", "--ladder", "--games", "100000", "--threads", "1"],
    ],
)
def test_ctrl_c_stops_with_one_line_and_the_status_of_sigint(args):
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    # A blank line on standard output once the games are about to begin. A child started from a
    # shell without job control (as CI starts its jobs) inherits SIGINT ignored, and Python then
    # installs no handler: restore the one an interactive terminal's program has.
    started = (
        "import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
        "import sys, tavlok.cli as cli; bar = cli._progress_printer; "
        "cli._progress_printer = lambda stream: print(flush=True) or bar(stream); "
        "sys.exit(cli.main(sys.argv[1:]))"
    )
    program = subprocess.Popen(
        [sys.executable, "-c", started, *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=environment,
        text=True,
    )
    try:
        assert program.stdout.readline() == "\n"
        program.send_signal(signal.SIGINT)
        out, err = program.communicate(timeout=60)
    finally:
        program.kill()  # a child that did not stop would play on long after the test
        program.wait()
    assert program.returncode == 128 + signal.SIGINT and out == ""
    assert len(err.splitlines()) == 1 and err.startswith("stopped"), err


BAD_BYTE = os.fsdecode(b"\xff.tvln")


@pytest.mark.parametrize(
    "args",
    [
        ["arena", "--ladder", f"net:path={BAD_BYTE}", "random", "random", "random"],
        ["arena", f"net:path={BAD_BYTE}", "random", "random", "random"],
        ["play", "--bots", f"random,net:path={BAD_BYTE}"],
    ],
)
def test_a_name_that_is_not_utf8_is_refused_in_one_line(args, capsys):
    with pytest.raises(SystemExit) as exit:
        main(args)
    err = capsys.readouterr().err
    assert exit.value.code == 2 and err.count("error:") == 1, err
    assert "Traceback" not in err and "incompatible" not in err


@pytest.mark.parametrize(
    "args",
    [
        ["arena", "--ladder", "--record"],
        ["arena", "random", "random", "random", "clever", "--record"],
        ["arena", "random", "random", "random", "--record"],
    ],
)
def test_a_refused_command_leaves_no_file_behind(args, tmp_path, capsys):
    path = tmp_path / "games.jsonl"
    with pytest.raises(SystemExit) as exit:
        main([*args, str(path)])
    assert exit.value.code == 2 and "error:" in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []
