"""tavlok.State and the bots: positions for search, checked against PyTavlok."""

import ast
import copy
import copyreg
import io
import pickle
import re
from pathlib import Path

import numpy as np
import pytest

import tavlok
from _tavlok import PyTavlok
from support.docs import example
from tavlok import State, bots
from tavlok.cli import main

ROOT = Path(__file__).resolve().parents[2]


def played(seed, placements=None):
    """A state after seeded random moves: `placements` of them, or a whole game."""
    state, bot = State(), bots.Random(seed)
    while not state.is_terminal() and (placements is None or len(state.history) < placements):
        state.apply(bot(state))
    return state


def snapshot(state):
    """Everything a caller can read from a state."""
    views = [state.observation(seat) for seat in range(4)]
    return (
        state.seat,
        state.history,
        state.is_terminal(),
        state.scores(),
        state.legal_actions().tolist(),
        [(planes.tobytes(), mask.tobytes()) for planes, mask in views],
        hash(state),
    )


@pytest.mark.parametrize("copier", [State.clone, copy.copy, copy.deepcopy])
def test_copies_are_independent_of_the_original(copier):
    original = played(1, 12)
    before = snapshot(original)
    duplicate = copier(original)
    assert duplicate == original and duplicate is not original
    while not duplicate.is_terminal():
        duplicate.apply(bots.greedy(duplicate))
    assert snapshot(original) == before
    after = snapshot(duplicate)
    original.apply(bots.greedy(original))
    assert snapshot(duplicate) == after


@pytest.mark.parametrize("placements", [0, 1, 30, None])
def test_replay_and_pickle_give_the_same_state(placements):
    state = played(2, placements)
    for other in [State.from_history(state.history), State.from_history(list(state.history))]:
        assert other == state and snapshot(other) == snapshot(state)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        loaded = pickle.loads(pickle.dumps(state, protocol))
        assert type(loaded) is State and snapshot(loaded) == snapshot(state)


def test_a_state_is_saved_as_its_moves():
    # So a saved game loads into whatever the engine becomes, and is checked on the way in.
    state = played(3, 6)
    assert state.__getstate__() == state.history
    assert state.__reduce__() == (copyreg.__newobj__, (State,), state.history)
    history = list(state.history)
    history[5] = history[1]  # seat 1's first piece again
    with pytest.raises(ValueError, match=r"move 5 of the history: .*placed that piece already"):
        State.from_history(history)

    class Forged:
        """Pickles as a State saved with the illegal history."""

        def __reduce__(self):
            return State.__new__, (State,), tuple(history)

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(ValueError, match=r"move 5 of the history: .*placed that piece"):
            pickle.loads(pickle.dumps(Forged(), protocol))
    over = played(3).history
    with pytest.raises(ValueError, match=f"move {len(over)} of the history: the game is over"):
        State.from_history(over + (0,))


class ByHand:
    """One game through PyTavlok, passing the seats that are done as the batched env does."""

    def __init__(self):
        self.game = PyTavlok()
        self.settle()

    def settle(self):
        while True:
            seat = self.game.agent_selection
            self.game.observe(seat)
            if not self.game.terminations[seat] or all(self.game.terminations):
                return
            self.game.step(None)

    def play(self, action):
        self.game.step(int(action))
        self.settle()


@pytest.mark.parametrize("seed", range(3))
def test_state_and_pytavlok_agree_move_by_move(seed, capfd):
    state, env, bot = State(), ByHand(), bots.Random(seed)
    while True:
        assert state.is_terminal() == all(env.game.terminations)
        assert state.seat == env.game.agent_selection
        for seat in range(4):
            planes, mask = tavlok.arrays(env.game.observe(seat))
            ours_planes, ours_mask = state.observation(seat)
            np.testing.assert_array_equal(ours_planes, planes)
            np.testing.assert_array_equal(ours_mask, mask)
            if seat == state.seat:
                np.testing.assert_array_equal(state.legal_actions(), np.flatnonzero(mask))
        if state.is_terminal():
            break
        action = bot(state)
        state.apply(action)
        env.play(action)
    assert list(state.scores()) == env.game.rewards
    assert state.legal_actions().size == 0

    capfd.readouterr()
    env.game.render()
    assert state.render() + "\n" == capfd.readouterr().out
    svg = state._repr_svg_()
    planes, _ = state.observation(0)
    for seat in range(4):
        assert svg.count(f'data-seat="{seat}"') == planes[seat].sum()


def test_illegal_actions_raise_with_the_reason_and_change_nothing():
    def refused(state, cases):
        before = snapshot(state)
        for action, error, reason in cases:
            with pytest.raises(error, match=reason):
                state.apply(action)
            assert snapshot(state) == before

    state = State()
    refused(
        state,
        [
            (36400, ValueError, "outside 0 to 36399"),
            (-1, ValueError, "outside 0 to 36399"),
            (2**70, ValueError, "outside 0 to 36399"),
            (1.0, TypeError, "integer"),
            (419, ValueError, "names no placement"),  # the domino does not fit at column 19
            (tavlok.encode(1, 5, 5), ValueError, "must cover its start corner"),
        ],
    )
    for _ in range(4):
        state.apply(tavlok.encode(0, 0, 0))  # every seat opens with the monomino
    refused(
        state,
        [
            (tavlok.encode(0, 1, 1), ValueError, "placed that piece already"),
            (tavlok.encode(1, 0, 0), ValueError, "overlaps a piece"),
            (tavlok.encode(1, 0, 18), ValueError, "overlaps a piece"),  # seat 1's, at (0, 19)
            (tavlok.encode(1, 0, 1), ValueError, "shares an edge"),
            (tavlok.encode(1, 5, 5), ValueError, "touches none of the seat's own pieces"),
        ],
    )
    state.apply(np.int16(tavlok.encode(1, 1, 1)))  # numpy integers are indices too

    for view in (state.observation, state.board):
        for seat, error in ((4, ValueError), (-1, ValueError), (1.5, TypeError)):
            with pytest.raises(error, match="seat .* is outside 0 to 3|integer"):
                view(seat)

    over = played(4)
    for move in (lambda s: s.apply(0), bots.greedy, bots.random):
        with pytest.raises(ValueError, match="game is over"):
            move(over)
    assert over.scores() is not None and played(4, 10).scores() is None


@pytest.mark.filterwarnings("error")
def test_a_state_made_without_init_is_a_new_game():
    # Unpickling makes a State through __new__ alone, and a damaged pickle may hold no history to
    # replay: an empty instance would pass isinstance and refuse every method.
    new, blank = snapshot(State()), State.__new__(State)
    assert snapshot(pickle.loads(b"\x80\x02ctavlok._core\nState\n)\x81.")) == snapshot(blank) == new
    with pytest.raises(ValueError, match="move 1 of the history"):
        blank.__setstate__((0, 419))  # a domino cannot start in the last column
    assert snapshot(blank) == new  # a refused history leaves it as it was
    with pytest.raises(TypeError, match="not safe"):
        object.__new__(State)


def test_equal_positions_are_equal_whatever_the_order_of_moves():
    found = 0
    for seed in range(20):
        state = played(seed, 16)
        history = list(state.history)
        history[4], history[8] = history[8], history[4]  # seat 0's second and third pieces
        try:
            other = State.from_history(history)
        except ValueError:
            continue
        found += 1
        assert other == state and hash(other) == hash(state)
        assert other.history != state.history
        assert len({state, other}) == 1
    assert found

    a, b, c = played(1, 10), played(1, 11), played(2, 11)
    assert a != b and b != c and len({a, b, c}) == 3
    assert (a == "a") is False and a != object()


def played_with(bot):
    state = State()
    while not state.is_terminal():
        action = bot(state)
        assert action in state.legal_actions()
        state.apply(action)
    return state.history


def test_random_bots_repeat_with_their_seed():
    first, again, other = (played_with(bots.Random(seed)) for seed in (7, 7, 8))
    assert first == again and first != other


def test_a_bot_is_made_from_the_name_the_engine_reads():
    for name, kind in (("greedy", bots.Greedy), ("random", bots.Random), ("mcts:8", bots.MCTS)):
        assert type(bots.make(name, 4)) is kind
    assert bots.make("mcts:playouts=8", 4).name == "mcts:8"
    assert bots.make("mcts", 2**64 + 3).seed == 3  # a seat's seed offset past the top wraps
    assert played_with(bots.make("random", 7)) == played_with(bots.Random(7))
    with pytest.raises(ValueError, match="unknown bot 'Greedy'"):
        bots.make("Greedy")


def test_bots_move_until_the_given_seat_is_to_move():
    state, players = State(), {seat: bots.Random(seat) for seat in range(4)}
    made = bots.play_until_turn(state, 2, players)
    assert [seat for seat, _ in made] == [0, 1] and state.seat == 2
    assert bots.play_until_turn(state, 2, players) == []
    made += bots.play_until_turn(state, None, players)
    assert state.is_terminal()
    replay, movers = State(), []
    for index in state.history:
        movers.append(replay.seat)
        replay.apply(index)
    assert made == list(zip(movers, state.history, strict=True))


def test_progress_bar_is_redrawn_in_place_on_a_terminal():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    from tavlok.cli import _progress_printer

    terminal = Terminal()
    show = _progress_printer(terminal)
    show(5, 20)
    show(20, 20)
    assert terminal.getvalue() == (
        "\r[#######.......................] 5/20 games"
        "\r[##############################] 20/20 games\n"
    )


def test_documented_search_example_runs(capsys):
    block = example("def flat_monte_carlo")
    assert len(block.code.strip().splitlines()) <= 20
    state = block.run()["state"]
    assert len(state.history) == 1 and state.seat == 1
    assert f"opened with {tavlok.decode(state.history[0])}" in capsys.readouterr().out


def test_stub_names_what_the_module_defines():
    tree = ast.parse((ROOT / "python" / "tavlok" / "_core.pyi").read_text())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    constants = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert classes == {"State", "Batch", "Arena", "NetBot"}
    assert constants == {
        "MAX_LEGAL_PLACEMENTS",
        "NET_FEATURES",
        "NET_FEATURE_SET",
        "MASK_LAYOUTS",
        "AUTORESET_MODES",
        "REWARDS",
        "ILLEGAL_MOVE_REWARDS",
        "MAX_THREADS",
        "MAX_CANDIDATES",
        "MAX_OPENING",
        "MAX_GAMES",
        "MAX_PLACEMENTS",
        "MAX_WINDOW",
        "BOARD_SIZE",
        "CELLS_PER_BOARD",
        "NUM_SEATS",
        "SEAT_BACKGROUNDS",
    }
    assert functions | classes | constants == {n for n in vars(tavlok._core) if not n.startswith("_")}
    (state_stub,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "State"]
    declared = {f.name for f in state_stub.body if isinstance(f, ast.FunctionDef)}
    assert {n for n in vars(State) if not n.startswith("__")} <= declared


@pytest.mark.parametrize(("seat", "error"), [(4, ValueError), (-1, ValueError),
                                             (2**64, ValueError), ("0", TypeError)])
def test_a_seat_that_is_no_seat_is_refused_before_any_move(seat, error):
    state, players = State(), {s: bots.Random(s) for s in range(4)}
    with pytest.raises(error, match="seat must be"):
        bots.play_until_turn(state, seat, players)
    assert state.history == ()
