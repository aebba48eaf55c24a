import gc
import itertools
import re
import sys
import threading

import numpy as np
import pytest

from _tavlok import PyTavlok
from tavlok import State, VectorEnv
from tavlok.gym_vector import LearnerVectorEnv

UNSENDABLE = re.compile(
    r"assertion `left == right` failed: tavlok_rl::(\w+) is unsendable, "
    r"but sent to another thread\n  left: .+\n right: .+"
)
DROPPED = "tavlok_rl::{} is unsendable, but is being dropped on another thread"


def on_new_thread(function):
    """What function returns on a new thread, with its exception (a handler for Exception in
    function sees only what is not a panic), and that thread's OS identity."""
    outcome = []

    def body():
        try:
            result = function()
        except Exception:
            result = "caught as Exception"
        except BaseException as error:
            result = error.with_traceback(None)  # no frame cycle keeping objects alive
        outcome.append((result, threading.get_ident()))

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return outcome[0]


@pytest.fixture
def unraisable(monkeypatch):
    gc.collect()  # cyclic garbage of earlier tests may be collected on any thread
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports


def test_every_call_from_another_thread_panics(env, panic_exception):
    observation = env.observe(0)
    calls = {
        "PyTavlok": [
            env.reset, env.render, lambda: env.step(0), lambda: env.observe(0),
            lambda: env.agents, lambda: env.agent_selection, lambda: env.num_actions,
            lambda: env.action_grid_shape, lambda: env.terminations, lambda: env.rewards,
        ],
        "PyObservation": [lambda: observation.observation, lambda: observation.action_mask],
    }
    for cls, functions in calls.items():
        for function in functions:
            error, _ = on_new_thread(function)
            assert type(error) is panic_exception
            assert UNSENDABLE.fullmatch(error.args[0]).group(1) == cls
    env.step(0)  # untouched, and still the owner's
    assert observation.observation == bytes(1600)


def test_owner_is_the_creating_thread_even_after_it_ends(unraisable, panic_exception):
    env, creator = on_new_thread(PyTavlok)
    with pytest.raises(panic_exception):
        env.agent_selection
    # Later threads often get the finished creator's OS identity; they are strangers still.
    for _ in range(100):
        error, ident = on_new_thread(lambda: env.agent_selection)
        assert type(error) is panic_exception
        if ident == creator:
            break
    del env
    gc.collect()
    assert [r.exc_value.args for r in unraisable] == [(DROPPED.format("PyTavlok"),)]


def test_release_on_another_thread_leaks_and_reports(unraisable):
    env = PyTavlok()
    holder = [env, env.observe(0)]
    del env
    on_new_thread(holder.clear)
    assert all(type(r.exc_value) is RuntimeError and r.object is None for r in unraisable)
    assert sorted(r.exc_value.args[0] for r in unraisable) == [
        DROPPED.format("PyObservation"), DROPPED.format("PyTavlok")]
    unraisable.clear()
    PyTavlok().observe(0)  # released at once, on the owner thread: nothing to report
    assert unraisable == []


# ---- The batch behind VectorEnv -----------------------------------------------------------------


def refused_while_another_thread_resets(env, resets, call):
    """How many times `call` was refused as the env being in use, called on this thread for as
    long as another thread resets the env `resets` times."""
    done = threading.Event()

    def worker():
        for _ in range(resets):
            env.reset()
        done.set()

    thread = threading.Thread(target=worker)
    thread.start()
    refused = 0
    while not done.is_set():
        # This thread runs only while the worker is inside the engine without the lock.
        try:
            call()
        except RuntimeError as error:
            assert "already in use by another call" in str(error)
            refused += 1
    thread.join()
    return refused


def test_batched_work_releases_the_lock_and_a_second_call_meanwhile_is_refused():
    env = VectorEnv(2048, num_threads=1, seed=0)  # a reset takes milliseconds
    expected = {k: v.copy() for k, v in env.reset()[0].items()}
    assert refused_while_another_thread_resets(env, 40, env.reset) > 0
    # The refused calls disturbed nothing: the env still gives every game's opening.
    for key, array in env.reset()[0].items():
        np.testing.assert_array_equal(array, expected[key], err_msg=key)


def test_a_copy_of_a_game_during_another_threads_call_is_refused_or_whole():
    env = LearnerVectorEnv(1024, opponents="greedy", num_threads=1)
    envs = itertools.cycle(range(env.num_envs))

    def copy_is_whole():
        game = env.state(next(envs))
        assert State.from_history(game.history) == game

    assert refused_while_another_thread_resets(env, 20, copy_is_whole) > 0
