"""What a hostile caller found: requests too large for the process, forks in the middle of a
batched call, Ctrl-C during long engine calls, numbers too long to print, and diagnostics that
carried the build machine's paths."""

import hashlib
import json
import re
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import _tavlok
import tavlok
from _tavlok import PyTavlok
from tavlok import Board, Match, State, VectorEnv, arena
from support.processes import (forked, interrupted, run_limited, skip_under_address_sanitizer)

ROOT = Path(__file__).resolve().parents[2]
NUM_ACTIONS = 36400


def first_legal(obs, bits):
    mask = np.unpackbits(obs["action_mask"], axis=1) if bits else obs["action_mask"]
    return mask.argmax(axis=1)


def digest(obs):
    """The arrays of an observation, as one hash: big batches are compared without copies."""
    hashed = hashlib.sha256()
    for key in sorted(obs):
        hashed.update(key.encode() + np.ascontiguousarray(obs[key]).tobytes())
    return hashed.hexdigest()


# ---- Requests sized by the caller ---------------------------------------------------------------


def test_requests_too_large_for_the_process_raise_and_leave_it_working():
    skip_under_address_sanitizer("AddressSanitizer reserves more address space than any limit")
    finished = run_limited("""
        import json
        outcomes = []
        for call in (lambda: tavlok.VectorEnv(40000, 1, seed=0),
                     lambda: tavlok.arena(["greedy"] * 4, games=2**39, threads=1),
                     lambda: tavlok.VectorEnv(2000, 1000, seed=0),
                     lambda: tavlok.arena(["random"] * 4, games=2000, threads=1000)):
            try:
                call()
                outcomes.append(["returned"])
            except (MemoryError, RuntimeError) as error:
                outcomes.append([type(error).__name__, str(error)])
        env = tavlok.VectorEnv(2, 1, seed=0)
        obs = env.reset()
        env.step(obs["action_mask"].argmax(axis=1))
        outcomes.append(tavlok.arena(["random"] * 4, games=4, threads=2).seat_scores.tolist())
        print(json.dumps(outcomes))
    """)
    assert finished.returncode == 0, finished.stderr
    vector, games, vector_threads, arena_threads, afterwards = json.loads(finished.stdout)
    assert vector[0] == "MemoryError"
    match = re.fullmatch(r"40000 envs need (\d+\.\d) GB for their games and buffers, more than "
                         r"this process could allocate", vector[1])
    # At least the planes and the byte masks, 38,000 bytes an env.
    assert match and float(match[1]) >= 40000 * 38000 / 1e9, vector[1]
    # 2**39 games of four int16 scores and four uint8 seats: 6.597e12 bytes.
    assert games == ["MemoryError", "549755813888 games need 6.6 TB for their scores and seats, "
                                    "more than this process could allocate"]
    for outcome in (vector_threads, arena_threads):
        assert outcome[0] == "RuntimeError" and outcome[1].startswith(
            "could not start 1000 threads: "), outcome
    assert afterwards == arena(["random"] * 4, games=4).seat_scores.tolist()


# ---- Forks --------------------------------------------------------------------------------------


def test_a_child_forked_during_a_batched_call_gets_an_env_that_works_after_reset():
    env = VectorEnv(1000, num_threads=2, seed=3)
    opening = digest(env.reset())
    after_first_step = digest(env.step(first_legal(env.reset(), False))[0])
    stop = threading.Event()

    def reset_until_stopped():
        while not stop.is_set():
            env.reset()

    stepped, refused = 10, 11

    def child():
        # The parent's resetting thread does not exist here; it may have been inside reset.
        try:
            env.step(np.zeros(env.num_envs, np.int64))
            return 2  # every opening refuses grid index 0: an exact batch cannot step this
        except ValueError:
            outcome = stepped  # refused as illegal: the games are intact
        except RuntimeError as error:
            assert "last reset() did not finish" in str(error) and "reset()" in str(error)
            outcome = refused
        obs = env.reset()
        if digest(obs) != opening:
            return 3
        if digest(env.step(first_legal(obs, False))[0]) != after_first_step:
            return 4
        env.close()
        return outcome

    resetter = threading.Thread(target=reset_until_stopped)
    resetter.start()
    codes = []
    try:
        with warnings.catch_warnings():  # the warning that the parent has threads: the point here
            warnings.simplefilter("ignore", DeprecationWarning)
            for _ in range(8):
                codes.append(forked(child))
    finally:
        stop.set()
        resetter.join()
    assert set(codes) <= {stepped, refused}, codes
    # The resetting thread spends nearly all its time inside the engine: most forks land there.
    assert refused in codes, codes


# ---- Ctrl-C -------------------------------------------------------------------------------------


def engine_note(pattern):
    """A test that a KeyboardInterrupt carries one note matching pattern (a stop inside the
    engine); the match is kept on the error as .match."""
    def has_note(error):
        notes = getattr(error, "__notes__", [])
        error.match = re.fullmatch(pattern, notes[0]) if len(notes) == 1 else None
        return error.match is not None
    return has_note


def test_ctrl_c_stops_an_arena_early_and_the_next_one_plays_as_before():
    bots = ["greedy", "random", "greedy", "random"]
    expected = arena(bots, games=8, seed=4).seat_scores
    error = interrupted(
        lambda: arena(["greedy"] * 4, games=5000, threads=2),
        engine_note(r"tavlok: the arena stopped after (\d+) of 5000 games; their results are "
                    r"not returned"))
    assert int(error.match[1]) < 5000
    np.testing.assert_array_equal(arena(bots, games=8, seed=4).seat_scores, expected)


def test_ctrl_c_stops_a_large_reset_and_the_batch_steps_only_after_the_next_reset():
    # A reset long enough (some 80 ms on one thread) to be asked about signals on the way.
    env = VectorEnv(16384, num_threads=1, seed=9, mask="bits")
    opening = env.reset()
    actions = first_legal(opening, True)
    opening_digest = digest(opening)
    after_step = digest(env.step(actions)[0])
    error = interrupted(
        env.reset,
        engine_note(r"tavlok: reset\(\) stopped after (\d+) of 16384 envs; the batch takes no "
                    r"step\(\) before the next reset\(\)"))
    assert int(error.match[1]) < 16384
    with pytest.raises(RuntimeError, match=r"last reset\(\) did not finish .* reset\(\) starts "
                                           r"them anew"):
        env.step(actions)
    assert digest(env.reset()) == opening_digest
    assert digest(env.step(actions)[0]) == after_step


# ---- Numbers too long to print ------------------------------------------------------------------

HUGE = 10**4400  # beyond the 4,300 digits Python turns into text
BITS = HUGE.bit_length()
BOTS = ["greedy"] * 4


@pytest.mark.parametrize(("call", "message"), [
    (lambda: State().apply(HUGE), f"grid index (a number of {BITS} bits) is outside 0 to 36399"),
    (lambda: State().apply(-HUGE),
     f"grid index (a negative number of {BITS} bits) is outside 0 to 36399"),
    (lambda: State.from_history([0, HUGE]),
     f"grid index (a number of {BITS} bits) is outside 0 to 36399"),
    (lambda: State().observation(HUGE), f"seat (a number of {BITS} bits) is outside 0 to 3"),
    (lambda: State().board(HUGE), f"seat (a number of {BITS} bits) is outside 0 to 3"),
    (lambda: arena(BOTS, games=HUGE),
     f"games must be between 1 and 2**40 - 1, not (a number of {BITS} bits)"),
    (lambda: arena(BOTS, seed=-HUGE),
     f"seed must be between 0 and 2**64 - 1, not (a negative number of {BITS} bits)"),
    (lambda: arena(BOTS, threads=HUGE), "threads must be between 1 and 1024, or None for the "
     f"cores this process may use; not (a number of {BITS} bits)"),
    (lambda: arena(BOTS, threads=1025), "threads must be between 1 and 1024, or None for the "
     "cores this process may use; not 1025"),
    (lambda: VectorEnv(HUGE), f"num_envs must be between 1 and 16777216, not (a number of {BITS} "
     "bits)"),
    (lambda: VectorEnv(2, num_threads=HUGE),
     f"num_threads must be between 1 and 1024, not (a number of {BITS} bits)"),
    (lambda: VectorEnv(2, seed=HUGE),
     f"seed must be between 0 and 2**64 - 1, not (a number of {BITS} bits)"),
    (lambda: VectorEnv(2, 1, seed=0).reset(seed=-HUGE),
     f"seed must be between 0 and 2**64 - 1, not (a negative number of {BITS} bits)"),
    (lambda: tavlok.decode(HUGE), f"grid index (a number of {BITS} bits) is outside 0 to 36399"),
    (lambda: tavlok.encode(-HUGE, 0, 0),
     f"orientation (a negative number of {BITS} bits) is outside 0 to 90"),
    (lambda: tavlok.orientation_index("Monomino", HUGE),
     f"Monomino has orientations 0 to 0, not (a number of {BITS} bits)"),
    (lambda: Board(np.full((20, 20), -1), HUGE),
     f"viewer must be a seat 0 to 3, not (a number of {BITS} bits)"),
    (lambda: Match().place(HUGE), f"seat 0 cannot play grid index (a number of {BITS} bits): "
     f"grid index (a number of {BITS} bits) is outside 0 to 36399"),
])
def test_numbers_too_long_to_print_are_refused_by_their_argument_and_range(call, message):
    with pytest.raises(ValueError) as refused:
        call()
    assert str(refused.value) == message


def test_the_pettingzoo_env_names_a_seed_or_move_too_long_to_print():
    env = tavlok.env()
    with pytest.raises(ValueError) as refused:
        env.reset(seed=-HUGE)
    assert str(refused.value) == f"seed must be 0 or more, not (a negative number of {BITS} bits)"
    env.reset(seed=1)
    with pytest.raises(ValueError) as refused:
        env.unwrapped.step(HUGE)
    assert str(refused.value) == (f"player_0 cannot play grid index (a number of {BITS} bits): "
                                  f"grid index (a number of {BITS} bits) is outside 0 to 36399")


# ---- Paths of the build machine -----------------------------------------------------------------


def test_built_extensions_carry_no_path_of_the_source_tree():
    for module in (_tavlok, tavlok._core):
        binary = Path(module.__file__).read_bytes()
        assert str(ROOT).encode() not in binary, module.__file__


def test_an_internal_error_names_its_source_relative_to_the_tree(capfd, panic_exception):
    with pytest.raises(panic_exception):
        PyTavlok().observe(4)
    assert re.fullmatch(r"tavlok: internal error at src/[a-z_/]+\.cpp:\d+: agent index 4 out of "
                        r"range \[0, 3\]\n", capfd.readouterr().err)
