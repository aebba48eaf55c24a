"""Game records: what the arena, State and the command line keep, and how a bad file is refused."""

import io
import json
import re
import tomllib
from pathlib import Path

import numpy as np
import pytest

import tavlok
from tavlok import GameRecord, RecordError, read_records, write_records
from tavlok.records import MAX_LINE, iter_records

ROOT = Path(__file__).resolve().parents[2]
BOTS = ["greedy", "random", "mcts:30", "random"]


@pytest.fixture(scope="module")
def recorded():
    kept = []
    result = tavlok.arena(BOTS, 6, seed=5, opening=2, record=kept)
    return result, kept


def test_the_arena_keeps_the_games_it_scores(recorded):
    result, kept = recorded
    plain = tavlok.arena(BOTS, 6, seed=5, opening=2)
    np.testing.assert_array_equal(plain.seat_scores, result.seat_scores)
    assert [r.game for r in kept] == list(range(6))
    for g, record in enumerate(kept):
        assert record.seed == 5 and record.opening == 2
        # Bot i sits at seat (i + g) mod 4.
        assert record.players == tuple(BOTS[(s - g) % 4] for s in range(4))
        state = record.state()
        assert state.is_terminal() and state.scores() == record.scores
        assert record.scores == tuple(result.seat_scores[g].tolist())


def test_records_round_trip_through_a_file(recorded, tmp_path):
    _, kept = recorded
    path = tmp_path / "games.jsonl"
    assert write_records(path, kept[:4]) == 4
    assert write_records(path, kept[4:], append=True) == 2
    assert read_records(path) == kept
    lines = path.read_text().splitlines()
    assert len(lines) == 6
    fields = json.loads(lines[0])
    assert fields["tavlok"] == tavlok.__version__
    assert fields["history"] == list(kept[0].history) and fields["players"] == list(kept[0].players)


def test_the_arena_writes_records_to_a_path(tmp_path):
    path = tmp_path / "arena.jsonl"
    tavlok.arena(["greedy", "random", "random", "random"], 3, seed=1, record=path)
    assert [r.game for r in read_records(path)] == [0, 1, 2]


def test_the_arena_refuses_a_record_it_cannot_keep_before_playing(tmp_path):
    with pytest.raises(TypeError, match="record must be a path or a list, not dict"):
        tavlok.arena(BOTS, 1, record={})
    with pytest.raises(IsADirectoryError):
        tavlok.arena(["random"] * 4, 1, record=tmp_path)


def test_an_unfinished_game_keeps_no_scores():
    state = tavlok.State()
    for _ in range(7):
        state.apply(tavlok.bots.greedy(state))
    record = state.record(players=["a", "b", "c", "d"], seed=9)
    assert record.scores is None and record.history == state.history
    again = GameRecord.from_json(record.to_json())
    assert again == record and again.state() == state


def lines_of(records):
    return [r.to_json() for r in records]


def test_a_corrupted_line_is_named_and_the_lines_before_it_are_read(recorded):
    _, kept = recorded
    lines = lines_of(kept[:3])
    lines[1] = lines[1].replace('"history":[', '"history":[7,', 1)  # an illegal first move
    text = "\n".join(lines) + "\n"
    with pytest.raises(RecordError) as refused:
        read_records(io.StringIO(text))
    assert refused.value.line == 2 and refused.value.records == kept[:1]
    assert str(refused.value).startswith("line 2: the history is not a game: move 0 of the history")
    # Read one by one, the game before the bad line arrives before the error.
    games = iter_records(io.StringIO(text))
    assert next(games) == kept[0]
    with pytest.raises(RecordError, match="^line 2: "):
        next(games)


def test_a_truncated_file_keeps_its_whole_lines(recorded, tmp_path):
    _, kept = recorded
    text = "\n".join(lines_of(kept[:3])) + "\n"
    path = tmp_path / "cut.jsonl"
    path.write_text(text[: len(text) - 40])  # the last line cut short
    with pytest.raises(RecordError, match=r"^line 3: not JSON") as refused:
        read_records(path)
    assert refused.value.records == kept[:2]


def test_scores_that_do_not_match_the_history_are_refused(recorded):
    _, kept = recorded
    record = kept[0]
    wrong = list(record.scores)
    wrong[0] += 1
    line = record.to_json().replace(
        json.dumps(list(record.scores), separators=(",", ":")), json.dumps(wrong)
    )
    mismatch = f"do not match the history, which scores {list(record.scores)}"
    with pytest.raises(ValueError, match=re.escape(mismatch)):
        GameRecord.from_json(line)
    with pytest.raises(ValueError, match="the game is over .* but 'scores' is null"):
        GameRecord.from_json(line.replace(json.dumps(wrong), "null"))
    cut = {**json.loads(line), "history": list(record.history[:10]), "scores": list(record.scores)}
    with pytest.raises(ValueError, match="the history stops before the game ends"):
        GameRecord.from_json(json.dumps(cut))


GOOD = {"tavlok": "0.1.0", "players": ["a", "b", "c", "d"], "history": [], "scores": None}


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ([1, 2], "a record is a JSON object, not list"),
        ({"players": ["a"] * 4}, "the record has no 'tavlok', 'history', 'scores'"),
        ({**GOOD, "tavlok": 1}, "'tavlok' .* must be a string"),
        ({**GOOD, "players": ["a", "b"]}, "a game has four players, not 2"),
        ({**GOOD, "players": ["a", "b", "c", 4]}, "'players' must be a list of strings"),
        ({**GOOD, "history": [True]}, "'history' must be a list of whole numbers"),
        ({**GOOD, "history": [1.5]}, "'history' must be a list of whole numbers"),
        ({**GOOD, "history": [10**9]}, "the history is not a game: grid index"),
        ({**GOOD, "scores": [1, 2, 3]}, "'scores' holds four numbers, not 3"),
        ({**GOOD, "seed": "7"}, "'seed' must be a whole number or null"),
        ({**GOOD, "opening": -1}, "'opening' must be a whole number, 0 or more"),
    ],
)
def test_malformed_records_say_what_is_wrong(fields, message):
    with pytest.raises(ValueError, match=message):
        GameRecord.from_json(json.dumps(fields))


def test_blank_lines_are_skipped_and_an_endless_line_is_refused():
    record = GameRecord.from_json(json.dumps(GOOD))
    assert read_records(io.StringIO("\n" + record.to_json() + "\n\n")) == [record]
    with pytest.raises(RecordError, match=f"^line 2: longer than {MAX_LINE} characters"):
        read_records(io.StringIO(record.to_json() + "\n" + " " * (MAX_LINE + 10)))


def test_records_carry_the_version_the_package_is_built_as():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert tavlok.__version__ == project["version"]
