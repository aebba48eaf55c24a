"""The net bot: its weights files between numpy and the engine, the files the engine refuses, its
settings, and its games for a seed."""

import re
import struct
import zlib

import numpy as np
import pytest

from tavlok import _core, bots, net
from tavlok.arena import arena
from tavlok.cli import main


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


def test_weights_round_trip_and_score_as_numpy_scores(tmp_path):
    path = tmp_path / "mine.tvln"
    weights = random_weights([16, 8, 1])
    net.write(weights, path)
    read = net.read(path)
    for (w, b), (w2, b2) in zip(weights.layers, read.layers, strict=True):
        assert np.array_equal(w, w2) and np.array_equal(b, b2)
    bot = _core.NetBot(f"net:path={path}")
    for state in positions():
        moves, features = _core.net_features(state)
        scored, scores = bot.scores(state)
        assert np.array_equal(scored, moves)
        expected = net.scores(read, features)
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
        (lambda p: net.write(random_weights([4, 1], inputs=len(net.FEATURES) + 1), p) or p,
         f"has {len(net.FEATURES) + 1} inputs; this engine's net reads {len(net.FEATURES)}"),
        (lambda p: net.write(random_weights([4, 2]), p) or p, "gives its last layer 2 outputs"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIIII", b"TVLN", 1, 99,
                                                        len(net.FEATURES), 1, 1))),
         "was made for feature set 99"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIII", b"TVLN", 1, net.FEATURE_SET,
                                                        len(net.FEATURES), 9))),
         "has 9 layers; a net has 1 to 8"),
        (lambda p: damaged(p, with_checksum(struct.pack("<4sIIIII", b"TVLN", 1, net.FEATURE_SET,
                                                        len(net.FEATURES), 1, 300))),
         "gives layer 1 300 outputs; a layer has 1 to 256"),
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
