"""Memory over long runs, and what happens to objects released away from the thread that owns
them."""

import gc
import os
import pickle
import sys
import threading
import tracemalloc

import numpy as np
import pytest

from _tavlok import PyObservation, PyTavlok
from tavlok import State, VectorEnv
from support.processes import under_address_sanitizer

DROPPED = "tavlok_rl::{} is unsendable, but is being dropped on another thread"
CALLS = 100_000


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def live_instances():
    """How many objects of our two classes the collector knows of: both classes are tracked."""
    objects = gc.get_objects()
    return (sum(type(o) is PyTavlok for o in objects),
            sum(type(o) is PyObservation for o in objects))


def churn(calls, panic):
    """Makes at least `calls` calls of every kind a training loop makes, failing ones included:
    first legal moves to the end of games, properties, refused moves, bad arguments, panics,
    resets and new environments. Returns the number of calls and of finished games."""
    env, made, turn, finished = PyTavlok(), 0, 0, 0
    extras = [lambda: env.agents, lambda: env.num_actions, lambda: env.action_grid_shape,
              lambda: env.rewards]
    while made < calls:
        seat = env.agent_selection
        observation = env.observe(seat)
        mask, planes = observation.action_mask, observation.observation
        assert len(planes) == 1600
        done = env.terminations
        env.step(None if done[seat] else mask.index(1))
        extras[turn % len(extras)]()
        # Refused: past the grid for a seat still playing; not convertible for a done one.
        with pytest.raises((AssertionError, OverflowError)):
            env.step(-1 if env.terminations[env.agent_selection] else env.num_actions)
        with pytest.raises(OverflowError):
            env.observe(-1)
        made += 10
        turn += 1
        if all(done):
            assert None not in env.rewards
            finished += 1
            env.reset()
            made += 2
        elif turn % 150 == 0:
            env.reset()
            made += 1
        if turn % 500 == 0:
            with pytest.raises(panic):
                env.observe(4)
            env = PyTavlok()
            made += 2
    return made, finished


def test_long_run_keeps_resident_memory_bounded(panic_exception):
    if under_address_sanitizer():
        pytest.skip("resident memory under AddressSanitizer is mostly its quarantine")
    churn(10_000, panic_exception)  # warm-up: the action set, allocator pools, caches
    gc.collect()
    before = resident_bytes()
    calls, finished = churn(CALLS, panic_exception)
    assert calls >= CALLS and finished > 0
    gc.collect()
    # One leaked observation per observe would be 38 kB a turn, 380 MB over the run.
    assert resident_bytes() - before < 20 * 2**20


def test_long_run_leaves_no_python_objects_behind(panic_exception):
    churn(10_000, panic_exception)
    gc.collect()
    instances = live_instances()
    type_references = sys.getrefcount(PyTavlok), sys.getrefcount(PyObservation)
    tracemalloc.start()
    try:
        churn(1_000, panic_exception)
        gc.collect()
        before = tracemalloc.take_snapshot()
        calls, finished = churn(CALLS, panic_exception)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    # Allocations are charged to the Python line that made the call, so a result, an exception
    # or a note that is never released shows up against this file, once per turn.
    here = [tracemalloc.Filter(True, __file__)]
    growth = sum(s.size_diff for s in after.filter_traces(here).compare_to(
        before.filter_traces(here), "filename"))
    assert calls >= CALLS and finished > 0
    assert growth < 16 * 1024
    assert live_instances() == instances
    # Every instance holds a reference to its class and gives it back when it is freed.
    assert (sys.getrefcount(PyTavlok), sys.getrefcount(PyObservation)) == type_references


# ---- Release on another thread -----------------------------------------------------------------


@pytest.fixture
def unraisable(monkeypatch):
    gc.collect()  # garbage of earlier tests must not be collected, and reported, in ours
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports


def on_new_thread(function):
    thread = threading.Thread(target=function)
    thread.start()
    thread.join()


def games_in_progress(count):
    """count environments a few moves into a game, each with two observations."""
    objects = []
    for _ in range(count):
        env = PyTavlok()
        for _ in range(5):
            env.step(env.observe(env.agent_selection).action_mask.index(1))
        objects += [env, env.observe(0), env.observe(1)]
    return objects


def reported(unraisable):
    assert all(type(r.exc_value) is RuntimeError and r.object is None for r in unraisable)
    return sorted(r.exc_value.args[0] for r in unraisable)


def test_foreign_release_frees_the_objects_and_reports_each_once(unraisable):
    instances = live_instances()
    type_references = sys.getrefcount(PyTavlok), sys.getrefcount(PyObservation)
    holder = games_in_progress(3)
    on_new_thread(holder.clear)
    assert reported(unraisable) == sorted(
        [DROPPED.format("PyTavlok")] * 3 + [DROPPED.format("PyObservation")] * 6)
    # Only the contents are left behind: the objects themselves are gone, and so are the
    # references they held on their classes.
    assert live_instances() == instances
    assert (sys.getrefcount(PyTavlok), sys.getrefcount(PyObservation)) == type_references
    # The owner thread's objects made afterwards are freed quietly.
    unraisable.clear()
    games_in_progress(2)
    gc.collect()
    assert unraisable == []


def test_cycle_collected_by_another_thread_is_a_foreign_release(unraisable):
    gc.disable()  # the collection must happen on the other thread, not on ours by chance
    try:
        cycle = games_in_progress(1)
        cycle.append(cycle)
        del cycle
        on_new_thread(gc.collect)
    finally:
        gc.enable()
    assert reported(unraisable) == sorted(
        [DROPPED.format("PyTavlok")] + [DROPPED.format("PyObservation")] * 2)


# ---- tavlok._core: State and the batch behind VectorEnv -----------------------------------------


def native_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("copy", [False, True])
def test_batch_views_keep_it_alive_and_its_threads_end_with_the_last_reference(copy):
    gc.collect()
    before = native_threads()
    env = VectorEnv(8, num_threads=2, seed=0, copy=copy)
    obs, _ = env.reset()
    assert native_threads() == before + 1  # the calling thread is the other one
    kept = {key: array.copy() for key, array in obs.items()}
    del env
    gc.collect()
    # In place the arrays are views of the batch's own memory: it must outlive the env. Arrays
    # that are the caller's keep only their own memory.
    assert native_threads() == before + (0 if copy else 1)
    for key, array in obs.items():
        np.testing.assert_array_equal(array, kept[key], err_msg=key)
    del obs, array
    gc.collect()
    assert native_threads() == before


def search_churn(calls):
    """Makes `calls` rounds of what a search and a trainer do with tavlok._core, failing calls
    included: copies, legal moves, observations, moves, refused moves, pickles, and new
    VectorEnvs stepped and dropped."""
    state = State()
    for call in range(calls):
        if state.is_terminal():
            state = State()
        legal = state.legal_actions()
        planes, mask = state.observation()
        assert planes.shape == (4, 20, 20) and mask.sum() == legal.size
        assert pickle.loads(pickle.dumps(state)) == state
        state = state.clone()
        state.apply(legal[call % legal.size])
        with pytest.raises(ValueError):
            state.apply(-1)
        if call % 2000 == 0:
            with VectorEnv(4, num_threads=2, seed=call) as env:
                obs, _ = env.reset()
                env.step(obs["action_mask"].argmax(axis=1))


def test_state_and_batch_calls_leave_no_memory_behind():
    if under_address_sanitizer():
        pytest.skip("resident memory under AddressSanitizer is mostly its quarantine")
    search_churn(2_000)
    gc.collect()
    before, threads = resident_bytes(), native_threads()
    search_churn(40_000)
    gc.collect()
    # One leaked observation per round would be 38 kB, 1.5 GB over the run; one leaked copy of a
    # State or array of legal moves about 1 kB, 40 MB.
    assert resident_bytes() - before < 20 * 2**20
    assert native_threads() == threads
