"""The net bot: its weights files between numpy and the engine, the files the engine refuses, its
settings, and its games for a seed; and the names of bots, whatever they hold."""

import os
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

from tavlok import _core, bots, net
from tavlok.arena import arena
from tavlok.cli import main
from tavlok.gym_vector import LearnerVectorEnv


def positions():
    """A new game and positions along a seeded game."""
    state = _core.State()
    rng = np.random.default_rng(5)
    found = [state.clone()]
    while not state.is_terminal():
        moves = state.legal_actions()
        state.apply(int(moves[rng.integers(len(moves))]))
        if len(state.history) % 13 == 0 and not state.is_terminal():
            found.append(state.clone())
    return found


def random_weights(widths, inputs=len(net.FEATURES), seed=0):
    rng = np.random.default_rng(seed)
    layers = []
    for width in widths:
        layers.append((rng.normal(0, 0.5, (width, inputs)).astype(np.float32),
                       rng.normal(0, 0.5, width).astype(np.float32)))
        inputs = width
    return net.NetWeights(tuple(layers))


def perceptron(weights, features):
    """What the engine must compute: each layer's weight @ x + bias, a ReLU between layers."""
    x = features
    for i, (w, b) in enumerate(weights.layers):
        x = x @ w.T + b
        if i + 1 < len(weights.layers):
            x = np.maximum(x, 0)
    return x[:, 0]


def test_weights_round_trip_and_score_as_a_perceptron(tmp_path):
    path = tmp_path / "mine.tvln"
    weights = random_weights([16, 8, 1])
    net.write(weights, path)
    read = net.read(path)
    assert read.feature_set == net.FEATURE_SET
    for (w, b), (w2, b2) in zip(weights.layers, read.layers, strict=True):
        assert w2.dtype == b2.dtype == np.float32
        assert np.array_equal(w, w2) and np.array_equal(b, b2)
    bot = _core.NetBot(f"net:path={path}")
    for state in positions():
        moves, features = _core.net_features(state)
        scored, scores = bot.scores(state)
        assert np.array_equal(scored, moves)
        expected = perceptron(read, features)
        np.testing.assert_allclose(scores, expected, rtol=1e-5, atol=1e-5)
        assert bot.action(state) == moves[np.argmax(expected)]


def test_the_built_in_net_is_the_package_file():
    built_in = _core.NetBot("net")
    from_file = _core.NetBot(f"net:path={net.default_path()}")
    for state in positions():
        assert np.array_equal(built_in.scores(state)[1], from_file.scores(state)[1])


def damaged(path, data):
    path.write_bytes(data)
    return path


def with_checksum(body):
    return body + struct.pack("<I", zlib.crc32(body))


def weights_file(widths, inputs=len(net.FEATURES), feature_set=net.FEATURE_SET, fill=0.5):
    """A weights file laid out by hand, every number `fill`, with a right checksum."""
    body = struct.pack(f"<4sIIII{len(widths)}I", b"TVLN", 1, feature_set, inputs, len(widths),
                       *widths)
    numbers = sum(o * (i + 1) for o, i in zip(widths, (inputs, *widths[:-1]), strict=True))
    return with_checksum(body + np.full(numbers, fill, "<f4").tobytes())


@pytest.mark.parametrize(
    "make, problem",
    [
        (lambda p: p, "cannot be read: No such file or directory"),
        (lambda p: damaged(p, p.read_bytes()[:13]), "is truncated: 13 bytes, less than the 20 of"),
        (lambda p: damaged(p, p.read_bytes()[:-9]), "is truncated: "),
        (lambda p: damaged(p, p.read_bytes() + b"\0"), "more than the "),
        (lambda p: damaged(p, b"TVLM" + p.read_bytes()[4:]), "it does not begin with TVLN"),
        (lambda p: damaged(p, p.read_bytes()[:40] + bytes([p.read_bytes()[40] ^ 1])
                           + p.read_bytes()[41:]), "its checksum does not match"),
        (lambda p: damaged(p, weights_file([4, 1], inputs=len(net.FEATURES) + 1)),
         f"has {len(net.FEATURES) + 1} inputs; this engine's net reads {len(net.FEATURES)}"),
        (lambda p: damaged(p, weights_file([4, 2])), "gives its last layer 2 outputs"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIIII", b"TVLN", 1, 99,
                                                        len(net.FEATURES), 1, 1))),
         "was made for feature set 99"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIII", b"TVLN", 1, net.FEATURE_SET,
                                                        len(net.FEATURES), 9))),
         "has 9 layers; a net has 1 to 8"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIIII", b"TVLN", 1, net.FEATURE_SET,
                                                        len(net.FEATURES), 1, 300))),
         "gives layer 1 300 outputs; a layer has 1 to 256"),
        (lambda p: damaged(p, weights_file([0, 1])), "gives layer 1 0 outputs; a layer has 1 to"),
        (lambda p: damaged(p, weights_file([257, 1])), "gives layer 1 257 outputs"),
        (lambda p: damaged(p, weights_file([3, 1], fill=np.nan)),
         "is damaged: layer 1 has a weight that is not a finite number"),
        (lambda p: damaged(p, weights_file([1], fill=np.inf)), "not a finite number"),
    ],
)
def test_a_bad_weights_file_is_refused_with_the_file_and_what_is_wrong(tmp_path, make, problem):
    path = tmp_path / "bad.tvln"
    net.write(random_weights([8, 1]), path)
    bad = make(tmp_path / "missing.tvln" if "No such" in problem else path)
    message = f"weights file '{bad}' {problem}" if "truncated: 13" in problem else problem
    with pytest.raises(ValueError, match=re.escape(message)) as refused:
        arena([f"net:path={bad}", "greedy", "greedy", "greedy"], games=1)
    assert f"weights file '{bad}' " in str(refused.value)
    # tavlok.net reads with the engine's reader: the same refusal, in the same words.
    with pytest.raises(ValueError) as read_refused:
        net.read(bad)
    assert str(refused.value) == f"unknown bot 'net:path={bad}': {read_refused.value}"


def layered(*shapes, fill=0.5):
    """Weights of layers of these (outputs, inputs) shapes, every number `fill`."""
    return net.NetWeights(tuple((np.full(shape, fill, np.float32),
                                 np.full(shape[0], fill, np.float32)) for shape in shapes))


F = len(net.FEATURES)


@pytest.mark.parametrize(
    "weights, problem",
    [
        (random_weights([0, 1]), "gives layer 1 0 outputs; a layer has 1 to 256"),
        (random_weights([257, 1]), "gives layer 1 257 outputs; a layer has 1 to 256"),
        (random_weights([4, 2]), "gives its last layer 2 outputs; a net's last layer has 1"),
        (random_weights([2] * 8 + [1]), "has 9 layers; a net has 1 to 8"),
        (net.NetWeights(()), "has 0 layers; a net has 1 to 8"),
        (random_weights([4, 1], inputs=F + 1), f"has {F + 1} inputs; this engine's net reads"),
        (layered((4, F), (1, 4), fill=np.nan), "is damaged: layer 1 has a weight that is not a"),
        (net.NetWeights(((np.zeros((1, F), np.float32), np.array([np.inf], np.float32)),)),
         "is damaged: layer 1 has a weight that is not a finite number"),
        (net.NetWeights(random_weights([1]).layers, feature_set=2), "was made for feature set 2"),
        (layered((4, F), (1, 5)),
         "cannot be written: layer 2 takes 5 inputs, not the 4 outputs of layer 1"),
        (net.NetWeights(((np.zeros((4, F), np.float32), np.zeros(3, np.float32)),)),
         "cannot be written: layer 1 has 3 biases for its 4 outputs"),
    ],
)
def test_write_refuses_what_the_engine_would_not_read_and_writes_nothing(tmp_path, weights,
                                                                           problem):
    path = tmp_path / "never.tvln"
    with pytest.raises(ValueError, match=re.escape(f"weights file '{path}' {problem}")):
        net.write(weights, path)
    assert not path.exists()


@pytest.fixture
def fifo(tmp_path):
    """A FIFO that nobody writes. Should a reader block on it, a process opens it for writing and
    closes it, so that the reader sees an empty file and the test fails rather than hangs."""
    path = tmp_path / "fifo.tvln"
    os.mkfifo(path)
    unblock = ("import os, sys, time\n"
               "while True:\n"
               "    try: os.close(os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK))\n"
               "    except OSError: time.sleep(0.05)\n")
    watchdog = subprocess.Popen([sys.executable, "-c", unblock, str(path)])
    yield path
    watchdog.kill()
    watchdog.wait()


def special_file(kind, tmp_path, request):
    if kind == "fifo":
        return request.getfixturevalue("fifo"), "is not a regular file"
    if kind == "directory":
        return tmp_path, "is not a regular file"
    if kind == "sparse":
        path = tmp_path / "sparse.tvln"
        with path.open("wb") as file:
            file.truncate(2**36)
        return path, "has more than "
    return Path(kind), "is not a regular file"


# Every way a bot name reaches the engine, each ending in a ValueError for a name it refuses.
NAME_SURFACES = {
    "bot_name": _core.bot_name,
    "make": bots.make,
    "arena": lambda name: arena([name, "greedy", "greedy", "greedy"], games=1),
    "learner env": lambda name: LearnerVectorEnv(1, opponents=name),
}


@pytest.mark.parametrize("kind", ["fifo", "/dev/zero", "directory", "sparse"])
@pytest.mark.parametrize("surface", [*NAME_SURFACES, "net.read"])
def test_a_weights_file_that_is_not_a_plain_file_is_refused_without_reading_it(
    tmp_path, request, kind, surface
):
    path, problem = special_file(kind, tmp_path, request)
    read = net.read if surface == "net.read" else NAME_SURFACES[surface]
    with pytest.raises(ValueError, match=re.escape(f"weights file '{path}' {problem}")):
        read(path if surface == "net.read" else f"net:path={path}")


@pytest.mark.parametrize("surface", NAME_SURFACES)
def test_a_nul_anywhere_in_a_bot_name_is_refused(tmp_path, surface):
    good = tmp_path / "good.tvln"
    net.write(random_weights([4, 1]), good)
    for name, problem in (
        (f"net:path={good}\0.evil", "cannot be read: its path holds a NUL"),
        (f"net:temperature=1,path=\0{good}", "cannot be read: its path holds a NUL"),
        (f"net:path='{good}\0'", "cannot be read: its path holds a NUL"),
        ("net:temperature=1\0", "temperature must be a number from 0 to 1000000, not '1\\x00'"),
        ("mcts:prior=net\0", "prior must be net or greedy, not 'net\\x00'"),
        ("\0greedy", "the engine plays random, greedy, net and mcts"),
    ):
        # Quoted whole, the NUL shown.
        quoted = name.replace("\0", "\\x00")
        with pytest.raises(ValueError, match=re.escape(f"unknown bot '{quoted}': ") + ".*" +
                           re.escape(problem)):
            NAME_SURFACES[surface](name)


@pytest.mark.parametrize(
    "file",
    ["a,b.tvln", "'quoted'.tvln", "it's,, here,.tvln", "k=v:w.tvln", os.fsdecode(b"\xff,\xfe.tvln"),
     "'"],
)
def test_any_path_round_trips_through_a_bot_name(tmp_path, file):
    path = tmp_path / file
    net.write(random_weights([8, 1], seed=3), path)
    plain = tmp_path / "plain.tvln"
    plain.write_bytes(path.read_bytes())
    bot = bots.Net(path=path, temperature=0.5)
    assert _core.bot_name(bot.name) == bot.name
    assert bots.make(bot.name).name == bot.name
    assert bots.Net(path=os.fsencode(path), temperature=0.5).name == bot.name
    state = positions()[2]
    assert np.array_equal(_core.NetBot(bot.name).scores(state)[1],
                          _core.NetBot(f"net:path={plain}").scores(state)[1])
    played = arena([bot, "greedy", "random", "greedy"], games=4, seed=2)
    again = arena([f"net:path={plain},temperature=0.5", "greedy", "random", "greedy"], games=4,
                  seed=2)
    assert np.array_equal(played.seat_scores, again.seat_scores)


@pytest.mark.parametrize(
    "name, problem",
    [
        ("net:temperature=1,temperature=2", "give one temperature"),
        ("mcts:prior=net,prior=greedy", "give one prior"),
        ("mcts:playout=random,playout=random", "give one playout"),
        ("mcts:exploration=1,widening=2,exploration=1", "give one exploration"),
        ("mcts:widening=1,widening=2", "give one widening"),
        ("mcts:score_weight=0,score_weight=1", "give one score_weight"),
        ("mcts:400,playouts=400", "give one budget, playouts or ms"),
        ("mcts:ms=5,ms=5", "give one budget, playouts or ms"),
        ("net:path='a.tvln", "a quoted setting has no closing quote"),
        ("net:path='a''b.tvln", "a quoted setting has no closing quote"),
        ("net:path='a'b.tvln", "a quoted setting ends at a comma or at the end, not before 'b.tvln'"),
    ],
)
def test_every_repeated_setting_and_a_broken_quote_are_refused(name, problem):
    with pytest.raises(ValueError, match=re.escape(f": {problem}") + "$"):
        _core.bot_name(name)


@pytest.mark.parametrize("surface", NAME_SURFACES)
def test_a_name_holding_bytes_that_are_not_text_names_those_bytes(tmp_path, surface):
    # What argv holds for a path that is not UTF-8: its bytes, surrogate-escaped.
    path = os.fsdecode(os.fsencode(tmp_path) + b"/\xff\xfe.tvln")
    name = f"net:path={path}"
    with pytest.raises(ValueError, match=r"cannot be read: No such file or directory$"):
        NAME_SURFACES[surface](name)
    net.write(random_weights([4, 1]), path)
    NAME_SURFACES[surface](name)
    assert _core.bot_name(name) == name


def test_settings_round_trip_and_a_temperature_replays_from_its_seed(tmp_path):
    path = tmp_path / "mine.tvln"
    net.write(random_weights([8, 1]), path)
    assert _core.bot_name(f"net:temperature=0.50,path={path}") == (
        f"net:path={path},temperature=0.5"
    )
    assert _core.bot_name("net:temperature=0") == "net"
    for name in ("net:temperature", f"net:path={path},path={path}", "net:depth=2"):
        with pytest.raises(ValueError):
            _core.bot_name(name)
    with pytest.raises(ValueError, match="give one path$"):
        _core.bot_name(f"net:path={path},path={path}")

    bots = ["net:temperature=1", "greedy", f"net:path={path},temperature=0.3", "net"]
    played = arena(bots, games=8, seed=3, opening=2)
    # The same games in the lockstep arena, which plays the bots through another loop.
    again = arena(bots, games=8, seed=3, opening=2, record=[])
    assert np.array_equal(played.seat_scores, again.seat_scores)
    other = arena(bots, games=8, seed=4, opening=2)
    assert not np.array_equal(played.seat_scores, other.seat_scores)


def test_the_searchs_playouts_are_over_the_nets_candidates():
    for state in positions()[1:4]:
        move, moves, playouts = _core.mcts_visits(state, "mcts:60", 7)
        assert np.array_equal(moves, _core.net_features(state)[0])
        assert playouts.sum() == 60
        assert move == _core.mcts_action(state, "mcts:60", 7)


def test_the_net_object_plays_as_its_name_and_the_ladder_rates_and_times_bots(capsys):
    chosen = [bots.Net(temperature=1, seed=4)(state) for state in positions()]
    assert [bots.make("net:temperature=1", 4)(state) for state in positions()] == chosen
    seated = ["greedy", "random", "greedy"]
    by_name = arena(["net:temperature=0.5", *seated], games=8, seed=3)
    as_object = arena([bots.Net(temperature=0.5, seed=77), *seated], games=8, seed=3)
    assert as_object.bots == by_name.bots
    assert np.array_equal(as_object.seat_scores, by_name.seat_scores)

    assert main(["arena", "--ladder", "random", "greedy", "net", "mcts:4", "--games", "8"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("8 games of all four bots, seed 0, 4 random placements first;")
    rows = re.findall(r"^(\S+) +([+-]\d+) +[\d.]+% +\[[\d.]+, [\d.]+\] +-?[\d.]+ +([\d.]+)$",
                      out, re.M)
    assert sorted(name for name, _, _ in rows) == ["greedy", "mcts:4", "net", "random"]
    assert [int(rating) for _, rating, _ in rows] == sorted(
        (int(rating) for _, rating, _ in rows), reverse=True)
    assert all(float(ms) > 0 for _, _, ms in rows)
    with pytest.raises(SystemExit):
        main(["arena", "greedy", "net"])


def test_the_search_with_the_net_as_prior_orders_its_moves_by_the_nets_scores():
    for state in positions()[1:3]:
        moves, scores = _core.NetBot("net").scores(state)
        _, searched, _ = _core.mcts_visits(state, "mcts:20,prior=net", 1)
        assert np.array_equal(searched, moves[np.argsort(-scores, kind="stable")])
    assert _core.bot_name("mcts:prior=greedy") == "mcts"
    with pytest.raises(ValueError, match="prior must be net or greedy, not 'best'"):
        _core.bot_name("mcts:prior=best")
