"""What a hostile caller found: forks in the middle of a batched call, Ctrl-C during long engine
calls, unclear argument messages, and diagnostics that carried the build machine's paths.
Requests too large for the process, and numbers too long to print, are drawn in
test_fuzz_surface.py."""

import hashlib
import re
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import _tavlok
import tavlok
from _tavlok import PyTavlok
from tavlok import VectorEnv, arena
from support.processes import forked, interrupted, skip_under_address_sanitizer

ROOT = Path(__file__).resolve().parents[2]


def first_legal(obs, bits):
    mask = np.unpackbits(obs["action_mask"], axis=1) if bits else obs["action_mask"]
    return mask.argmax(axis=1)


def digest(obs):
    """The arrays of an observation, as one hash: big batches are compared without copies."""
    hashed = hashlib.sha256()
    for key in sorted(obs):
        hashed.update(key.encode() + np.ascontiguousarray(obs[key]).tobytes())
    return hashed.hexdigest()


# ---- Forks --------------------------------------------------------------------------------------


def test_a_child_forked_during_a_batched_call_gets_an_env_that_works_after_reset():
    env = VectorEnv(1000, num_threads=2, seed=3)
    opening = digest(env.reset()[0])
    after_first_step = digest(env.step(first_legal(env.reset()[0], False))[0])
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
        obs, _ = env.reset()
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
    # A reset long enough (some 90 ms on one thread, against checks for signals every 50 ms) to be
    # asked about signals on the way.
    env = VectorEnv(32768, num_threads=1, seed=9, mask="bits")
    opening, _ = env.reset()
    actions = first_legal(opening, True)
    opening_digest = digest(opening)
    after_step = digest(env.step(actions)[0])
    error = interrupted(
        env.reset,
        engine_note(r"tavlok: reset\(\) stopped after (\d+) of 32768 envs; the batch takes no "
                    r"step\(\) before the next reset\(\)"))
    assert int(error.match[1]) < 32768
    with pytest.raises(RuntimeError, match=r"last reset\(\) did not finish .* reset\(\) starts "
                                           r"them anew"):
        env.step(actions)
    # Restarting some of the envs does not bring the others back in step.
    some = np.zeros(env.num_envs, dtype=bool)
    some[::2] = True
    env.reset(options={"reset_mask": some})
    with pytest.raises(RuntimeError, match=r"last reset\(\) did not finish"):
        env.step(actions)
    assert digest(env.reset()[0]) == opening_digest
    assert digest(env.step(actions)[0]) == after_step


def test_ctrl_c_stops_a_large_reset_of_the_learner_batch_too():
    from tavlok.gym_vector import LearnerVectorEnv

    env = LearnerVectorEnv(8192, opponents="greedy", seat=2, num_threads=1, mask="bits")
    opening, _ = env.reset(seed=5)
    actions = first_legal(opening, True)
    opening_digest = digest(opening)
    after_step = digest(env.step(actions)[0])
    error = interrupted(
        lambda: env.reset(seed=5),
        engine_note(r"tavlok: reset\(\) stopped after (\d+) of 8192 envs; the batch takes no "
                    r"step\(\) before the next reset\(\)"))
    assert int(error.match[1]) < 8192
    with pytest.raises(RuntimeError, match=r"last reset\(\) did not finish"):
        env.step(actions)
    assert digest(env.reset(seed=5)[0]) == opening_digest
    assert digest(env.step(actions)[0]) == after_step


def test_ctrl_c_during_the_single_envs_opponents_leaves_it_refusing_steps_until_reset():
    from gymnasium.error import ResetNeeded

    from tavlok.gym_env import TavlokGymEnv

    env = TavlokGymEnv(opponents="mcts:ms=300", seat=0, render_mode="ansi", opponent_moves=True)
    obs, _ = env.reset(seed=1)
    action = int(np.flatnonzero(obs["action_mask"])[0])
    interrupted(lambda: env.step(action),
                engine_note(r"tavlok: step\(\) stopped after 0 of 1 envs; the batch takes no "
                            r"step\(\) before the next reset\(\)"))
    # The opponents stopped part-way: the learner's next action must not be placed for one.
    board = env.render()
    with pytest.raises(ResetNeeded, match=r"after a step\(\) that did not finish"):
        env.step(action)
    assert env.render() == board
    obs, info = env.reset(seed=1)
    assert info["opponent_moves"] == () and obs["action_mask"][action]


# ---- Argument messages --------------------------------------------------------------------------
# (Numbers too long to print, at every call that takes one: test_fuzz_surface.py.)


def test_an_arena_refuses_one_thread_more_than_it_takes():
    with pytest.raises(ValueError) as refused:
        arena(["greedy"] * 4, threads=1025)
    assert str(refused.value) == "threads must be between 1 and 1024, not 1025"


# ---- Paths of the build machine -----------------------------------------------------------------


def test_built_extensions_carry_no_path_of_the_source_tree():
    # GCC writes the source location of each sanitizer check as the command line named the file,
    # whatever the prefix maps say; a sanitized build is never shipped.
    skip_under_address_sanitizer("the sanitizers' own records keep the paths of the build")
    for module in (_tavlok, tavlok._core):
        binary = Path(module.__file__).read_bytes()
        paths = re.findall(re.escape(str(ROOT).encode()) + rb"[^\0]*", binary)
        assert paths == [], (module.__file__, sorted(set(paths))[:5])


def test_an_internal_error_names_its_source_relative_to_the_tree(capfd, panic_exception):
    with pytest.raises(panic_exception):
        PyTavlok().observe(4)
    assert re.fullmatch(r"tavlok: internal error at src/[a-z_/]+\.cpp:\d+: agent index 4 out of "
                        r"range \[0, 3\]\n", capfd.readouterr().err)
